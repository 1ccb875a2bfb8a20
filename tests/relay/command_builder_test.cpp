#include "relay/CommandBuilder.h"
#include "relay/CommandLine.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

namespace {

// The values of the worked example; the watermark path is a drive path.
ChannelSettings Example(bool watermark)
{
    ChannelSettings s;
    s.SignalName = "rtsp://192.168.1.66/onvif/live/1";
    s.Adress = "rtmp://192.168.1.20/live/cam1";
    s.AdChannel = 2;
    s.AdSmpLinGrate = 44100;
    s.AdBitRate = 64;
    s.VdWidth = 640;
    s.VdHeight = 360;
    s.VdBitRate = 800;
    s.VdRameRate = 25;
    s.VdProFile = "main";
    if (watermark) {
        s.strFilePath = R"(D:\logo\wm.png)";
        s.StrPucSeatPos = "10:10";
    }
    return s;
}

struct Pinned {
    CheckStates checks;   // video, re-encode, copyts, audio, audio re-encode
    bool watermark;
    int templateNo;
    const char* line;
};

// Every template once, plus rows whose extra flags must not change the line.
const Pinned kPinned[] = {
    {{0, 0, 0, 1, 0}, false, 1, R"L( -i "rtsp://192.168.1.66/onvif/live/1" -y -acodec copy -vn -f flv rtmp://192.168.1.20/live/cam1 )L"},
    {{0, 0, 0, 1, 1}, false, 2, R"L( -i "rtsp://192.168.1.66/onvif/live/1" -y -acodec libfaac -ac 2 -ar 44100 -b:a 64k -vn -f flv rtmp://192.168.1.20/live/cam1 )L"},
    {{0, 1, 1, 1, 1}, true, 2, R"L( -i "rtsp://192.168.1.66/onvif/live/1" -y -acodec libfaac -ac 2 -ar 44100 -b:a 64k -vn -f flv rtmp://192.168.1.20/live/cam1 )L"},
    {{1, 0, 0, 0, 0}, false, 3, R"L( -i "rtsp://192.168.1.66/onvif/live/1" -vcodec copy -an -f flv rtmp://192.168.1.20/live/cam1 )L"},
    {{1, 0, 0, 0, 1}, true, 3, R"L( -i "rtsp://192.168.1.66/onvif/live/1" -vcodec copy -an -f flv rtmp://192.168.1.20/live/cam1 )L"},
    {{1, 0, 0, 1, 0}, true, 4, R"L( -i "rtsp://192.168.1.66/onvif/live/1" -vcodec copy -acodec copy -f flv rtmp://192.168.1.20/live/cam1 )L"},
    {{1, 0, 0, 1, 1}, false, 5, R"L( -i "rtsp://192.168.1.66/onvif/live/1" -vcodec copy -acodec libfaac -ac 2 -ar 44100 -b:a 64k -f flv rtmp://192.168.1.20/live/cam1 )L"},
    {{1, 0, 1, 0, 0}, false, 6, R"L( -i "rtsp://192.168.1.66/onvif/live/1" -vcodec copy -an -f flv -copyts rtmp://192.168.1.20/live/cam1 )L"},
    {{1, 0, 1, 1, 0}, false, 7, R"L( -i "rtsp://192.168.1.66/onvif/live/1" -vcodec copy -acodec copy -f flv -copyts rtmp://192.168.1.20/live/cam1 )L"},
    {{1, 0, 1, 1, 1}, true, 8, R"L( -i "rtsp://192.168.1.66/onvif/live/1" -vcodec copy -acodec libfaac -ac 2 -ar 44100 -b:a 64k -f flv -copyts rtmp://192.168.1.20/live/cam1 )L"},
    {{1, 1, 0, 0, 0}, false, 9, R"L( -i "rtsp://192.168.1.66/onvif/live/1" -vcodec libx264 -s 640*360 -b:v 800k -r 25 -vprofile main -an -f flv  rtmp://192.168.1.20/live/cam1 )L"},
    {{1, 1, 0, 0, 1}, false, 9, R"L( -i "rtsp://192.168.1.66/onvif/live/1" -vcodec libx264 -s 640*360 -b:v 800k -r 25 -vprofile main -an -f flv  rtmp://192.168.1.20/live/cam1 )L"},
    {{1, 1, 0, 0, 0}, true, 10, R"L( -i "rtsp://192.168.1.66/onvif/live/1" -vcodec libx264 -s 640*360 -b:v 800k -r 25 -vprofile main -vf " movie=D\\:/logo/wm.png [watermark];[in][watermark] overlay=10:10 " -an -f flv  rtmp://192.168.1.20/live/cam1 )L"},
    {{1, 1, 0, 1, 0}, false, 11, R"L( -i "rtsp://192.168.1.66/onvif/live/1" -vcodec libx264 -acodec copy -s 640*360 -b:v 800k -r 25  -vprofile main -f flv rtmp://192.168.1.20/live/cam1 )L"},
    {{1, 1, 0, 1, 0}, true, 12, R"L( -i "rtsp://192.168.1.66/onvif/live/1" -vcodec libx264 -acodec copy -s 640*360 -b:v 800k -r 25  -vprofile main -vf " movie=D\\:/logo/wm.png [watermark];[in][watermark] overlay=10:10 " -f flv rtmp://192.168.1.20/live/cam1 )L"},
    {{1, 1, 0, 1, 1}, false, 13, R"L( -i "rtsp://192.168.1.66/onvif/live/1" -vcodec libx264 -acodec libfaac -ac 2 -ar 44100 -b:a 64k -s 640*360 -b:v 800k -r 25  -vprofile main -f flv rtmp://192.168.1.20/live/cam1 )L"},
    {{1, 1, 0, 1, 1}, true, 14, R"L( -i "rtsp://192.168.1.66/onvif/live/1" -vcodec libx264 -acodec libfaac -ac 2 -ar 44100 -b:a 64k -s 640*360 -b:v 800k -r 25  -vprofile main -vf " movie=D\\:/logo/wm.png [watermark];[in][watermark] overlay=10:10 " -f flv rtmp://192.168.1.20/live/cam1 )L"},
    {{1, 1, 1, 0, 0}, false, 15, R"L( -i "rtsp://192.168.1.66/onvif/live/1" -vcodec libx264 -s 640*360 -b:v 800k -r 25  -vprofile main -an -f flv -copyts rtmp://192.168.1.20/live/cam1 )L"},
    {{1, 1, 1, 0, 1}, true, 16, R"L( -i "rtsp://192.168.1.66/onvif/live/1" -vcodec libx264 -s 640*360 -b:v 800k -r 25  -vprofile main -vf " movie=D\\:/logo/wm.png [watermark];[in][watermark] overlay=10:10 " -an -f flv -copyts rtmp://192.168.1.20/live/cam1 )L"},
    {{1, 1, 1, 1, 0}, false, 17, R"L( -i "rtsp://192.168.1.66/onvif/live/1" -vcodec libx264 -acodec libfaac -s 640*360 -b:v 800k -r 25 -vprofile main -f flv -copyts rtmp://192.168.1.20/live/cam1 )L"},
    {{1, 1, 1, 1, 0}, true, 18, R"L( -i "rtsp://192.168.1.66/onvif/live/1" -vcodec libx264 -acodec libfaac -s 640*360 -b:v 800k -r 25 -vprofile main -vf " movie=D\\:/logo/wm.png [watermark];[in][watermark] overlay=10:10 " -f flv -copyts rtmp://192.168.1.20/live/cam1 )L"},
    {{1, 1, 1, 1, 1}, false, 19, R"L( -i "rtsp://192.168.1.66/onvif/live/1" -vcodec libx264 -acodec libfaac -s 640*360 -b:v 800k -r 25 -vprofile main -ac 2 -ar 44100 -b:a 64k -f flv -copyts rtmp://192.168.1.20/live/cam1 )L"},
    {{7, -1, 1, 2, 1}, true, 20, R"L( -i "rtsp://192.168.1.66/onvif/live/1" -vcodec libx264 -acodec libfaac -s 640*360 -b:v 800k -r 25 -vprofile main -ac 2 -ar 44100 -b:a 64k -vf " movie=D\\:/logo/wm.png [watermark];[in][watermark] overlay=10:10 " -f flv -copyts rtmp://192.168.1.20/live/cam1 )L"},
};

TEST(CommandBuilder, TwentyTemplatesByteForByte)
{
    for (const Pinned& p : kPinned) {
        SCOPED_TRACE("template " + std::to_string(p.templateNo));
        const CommandBuild b = BuildCommandLine(p.checks, Example(p.watermark));
        ASSERT_EQ(b.status, CommandBuild::Ok) << b.message;
        EXPECT_EQ(b.templateNo, p.templateNo);
        EXPECT_EQ(b.line, p.line);
        EXPECT_EQ(b.reencodesVideo, p.templateNo >= 9);
        EXPECT_TRUE(b.message.empty());
    }
}

TEST(CommandBuilder, StoredZerosAndEmptyTextsStillBuild)
{
    ChannelSettings s;
    s.SignalName = "";
    s.Adress = "rtmp://h/live/a";
    s.VdProFile = "main";
    const CommandBuild b = BuildCommandLine({1, 1, 0, 1, 1}, s);
    ASSERT_EQ(b.status, CommandBuild::Ok) << b.message;
    EXPECT_EQ(b.line, R"L( -i "" -vcodec libx264 -acodec libfaac -ac 0 -ar 0 -b:a 0k -s 0*0 -b:v 0k -r 0  -vprofile main -f flv rtmp://h/live/a )L");
    EXPECT_EQ(SplitCommandLine(b.line).at(1), "");
}

// Offsets the operator left empty would give "overlay=:" or "main_w-overlay_w+:…", which the
// overlay filter rejects after the first frame: an empty offset counts as 0.
TEST(CommandBuilder, EmptyWatermarkOffsetsCountAsZero)
{
    const struct { const char* stored; const char* built; } cases[] = {
        {":", "overlay=0:0 "},
        {"main_w-overlay_w+:main_h-overlay_h+", "overlay=main_w-overlay_w+0:main_h-overlay_h+0 "},
        {"main_w/2-overlay_w/2+-5:", "overlay=main_w/2-overlay_w/2+-5:0 "},
        {"10:20", "overlay=10:20 "},
    };
    for (const auto& c : cases) {
        ChannelSettings s;
        s.SignalName = "rtsp://h/1";
        s.Adress = "rtmp://h/live/a";
        s.VdProFile = "main";
        s.strFilePath = "/srv/logo.png";
        s.StrPucSeatPos = c.stored;
        const CommandBuild b = BuildCommandLine({1, 1, 0, 0, 0}, s);
        ASSERT_EQ(b.status, CommandBuild::Ok) << b.message;
        EXPECT_NE(b.line.find(c.built), std::string::npos) << c.stored << " -> " << b.line;
    }
}

TEST(CommandBuilder, EscapeFilterPath)
{
    const struct {
        const char* path;
        const char* escaped;
    } cases[] = {
        {R"(D:\logo\wm.png)", R"(D\\:/logo/wm.png)"},
        {R"(D:\a\b.png)", R"(D\\:/a/b.png)"},
        {"D:/logo/wm.png", R"(D\\:/logo/wm.png)"},
        {R"(C:\my,logo[1]\wm;a.png)", R"(C\\:/my\,logo\[1\]/wm\;a.png)"},
        {"/home/op/wm.png", "/home/op/wm.png"},
        {"/tmp/co:lon.png", R"(/tmp/co\\:lon.png)"},
        {"/tmp/quo'te.png", R"(/tmp/quo\\\'te.png)"},
        {"/tmp/com,ma.png", R"(/tmp/com\,ma.png)"},
        {"/tmp/br[ack]ets.png", R"(/tmp/br\[ack\]ets.png)"},
        {"/tmp/semi;colon.png", R"(/tmp/semi\;colon.png)"},
        {R"(/tmp/back\slash.png)", R"(/tmp/back\\\\slash.png)"},
        {"/tmp/水印 图 #&%.png", "/tmp/水印 图 #&%.png"},
        {"wm.png", "wm.png"},
        {"x", "x"},
        {"", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(EscapeFilterPath(c.path), c.escaped) << c.path;
}

TEST(CommandBuilder, ApplyRtspTransport)
{
    const std::string t3 = R"L( -i "rtsp://192.168.1.66/onvif/live/1" -vcodec copy -an -f flv rtmp://192.168.1.20/live/cam1 )L";
    const struct {
        const char* what;
        bool useTcp;
        std::string in;
        std::string out;
    } cases[] = {
        {"rewrite example", true, t3,
         R"L(   -rtsp_transport tcp -i "rtsp://192.168.1.66/onvif/live/1" -vcodec copy -an -f flv rtmp://192.168.1.20/live/cam1  )L"},
        {"option clear", false, t3, t3},
        {"rtmp source", true, R"L( -i "rtmp://h/live/src" -vcodec copy -an -f flv rtmp://h/live/a )L",
         R"L( -i "rtmp://h/live/src" -vcodec copy -an -f flv rtmp://h/live/a )L"},
        {"http source", true, R"L( -i "http://h/a.flv" -vcodec copy -an -f flv rtmp://h/live/a )L",
         R"L( -i "http://h/a.flv" -vcodec copy -an -f flv rtmp://h/live/a )L"},
        {"capital scheme", true, R"L( -i "RTSP://h/x" -vcodec copy -an -f flv rtmp://h/live/a )L",
         R"L( -i "RTSP://h/x" -vcodec copy -an -f flv rtmp://h/live/a )L"},
        {"transport already chosen", true, R"L( -i "rtsp://h/x?rtsp_transport=udp" -vcodec copy -an -f flv rtmp://h/a )L",
         R"L( -i "rtsp://h/x?rtsp_transport=udp" -vcodec copy -an -f flv rtmp://h/a )L"},
        {"-i inside addresses", true, R"L( -i "rtsp://host/live-in/1" -vcodec copy -an -f flv rtmp://h/live-i )L",
         R"L(   -rtsp_transport tcp -i "rtsp://host/live-in/1" -vcodec copy -an -f flv rtmp://h/live-i  )L"},
        {"rtsp only in publish address", true, R"L( -i "http://h/a" -vcodec copy -an -f flv rtsp://h/b )L",
         R"L(   -rtsp_transport tcp -i "http://h/a" -vcodec copy -an -f flv rtsp://h/b  )L"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::string line = c.in;
        EXPECT_TRUE(ApplyRtspTransport(c.useTcp, line));
        EXPECT_EQ(line, c.out);
    }
}

// Template-3 settings whose line has exactly the given length, from a padded source address.
ChannelSettings Template3Settings(std::size_t length)
{
    ChannelSettings s;
    s.SignalName = "rtsp://h/";
    s.Adress = "rtmp://h/live/a";
    const std::size_t base = BuildCommandLine({1, 0, 0, 0, 0}, s).line.size();
    s.SignalName.append(length - base, 'a');
    return s;
}

TEST(CommandBuilder, RefusesWhatWouldNotFitNeverTruncates)
{
    // 1023 characters and the terminator fill the buffer exactly; one more is refused.
    const CommandBuild full = BuildCommandLine({1, 0, 0, 0, 0}, Template3Settings(kCommandBufferSize - 1));
    EXPECT_EQ(full.status, CommandBuild::Ok);
    EXPECT_EQ(full.line.size(), kCommandBufferSize - 1);
    for (std::size_t length : {kCommandBufferSize, kCommandBufferSize + 400}) {
        const CommandBuild b = BuildCommandLine({1, 0, 0, 0, 0}, Template3Settings(length));
        EXPECT_EQ(b.status, CommandBuild::TooLong);
        EXPECT_TRUE(b.line.empty());
        EXPECT_EQ(b.message, "命令行过长，未开启直播！");
    }

    // The rewrite adds 23 bytes: a 1000-byte line still fits, a 1001-byte one is kept as it was.
    std::string fits = BuildCommandLine({1, 0, 0, 0, 0}, Template3Settings(1000)).line;
    EXPECT_TRUE(ApplyRtspTransport(true, fits));
    EXPECT_EQ(fits.size(), kCommandBufferSize - 1);
    const std::string over = BuildCommandLine({1, 0, 0, 0, 0}, Template3Settings(1001)).line;
    ASSERT_EQ(over.size(), 1001u);
    std::string line = over;
    EXPECT_FALSE(ApplyRtspTransport(true, line));
    EXPECT_EQ(line, over);
}

TEST(CommandBuilder, RefusesNoStreams)
{
    for (const CheckStates& checks : {CheckStates{0, 0, 0, 0, 0}, CheckStates{0, 1, 1, 0, 1}}) {
        const CommandBuild b = BuildCommandLine(checks, Example(true));
        EXPECT_EQ(b.status, CommandBuild::NoStreams);
        EXPECT_EQ(b.templateNo, 0);
        EXPECT_TRUE(b.line.empty());
        EXPECT_EQ(b.message, "视频和音频均未启用，未开启直播！");
    }
}

TEST(CommandBuilder, RefusesValuesThatLeaveTheirArgument)
{
    enum Field { Source, Publish, Profile, Watermark, Position };
    const struct {
        Field field;
        std::string value;
        const char* named;
    } cases[] = {
        {Source, R"(rtsp://h/a"b)", "信号源地址"},
        {Source, R"(rtsp://h/live\)", "信号源地址"},
        {Source, R"(rtsp://h/live\\\)", "信号源地址"},
        {Source, "rtsp://h/a\tb", "信号源地址"},
        {Source, "rtsp://h/a\nb", "信号源地址"},
        {Source, "rtsp://h/a\x7f", "信号源地址"},
        {Publish, "rtmp://h/live/a b", "发布地址"},
        {Publish, R"(rtmp://h/"a")", "发布地址"},
        {Publish, "rtmp://h/live/a\x01", "发布地址"},
        {Publish, "", "发布地址"},
        {Publish, "-y", "发布地址"},
        {Profile, "main -an", "Profile"},
        {Profile, "", "Profile"},
        {Profile, "-an", "Profile"},
        {Profile, R"(ma"in)", "Profile"},
        {Watermark, R"(/tmp/a"b.png)", "水印文件"},
        {Watermark, "/tmp/a\rb.png", "水印文件"},
        {Watermark, "/tmp/logo%d.png", "水印文件"},
        {Position, "10,10", "水印位置"},
        {Position, "10:10[x];[x]drawtext", "水印位置"},
        {Position, "10;10", "水印位置"},
        {Position, "x=1:y=2", "水印位置"},
        {Position, "'10':10", "水印位置"},
        {Position, R"(10\:10)", "水印位置"},
        {Position, R"(10" -y ")", "水印位置"},
        {Position, "10:10\n", "水印位置"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value);
        ChannelSettings s = Example(true);
        switch (c.field) {
        case Source: s.SignalName = c.value; break;
        case Publish: s.Adress = c.value; break;
        case Profile: s.VdProFile = c.value; break;
        case Watermark: s.strFilePath = c.value; break;
        case Position: s.StrPucSeatPos = c.value; break;
        }
        const CommandBuild b = BuildCommandLine({1, 1, 1, 1, 1}, s);
        EXPECT_EQ(b.status, CommandBuild::BadValue);
        EXPECT_EQ(b.templateNo, 0);
        EXPECT_TRUE(b.line.empty());
        EXPECT_EQ(b.message.find(c.named), 0u) << b.message;
        EXPECT_NE(b.message.find("未开启直播！"), std::string::npos);
    }

    // Values a template does not use are not looked at.
    ChannelSettings s = Example(false);
    s.VdProFile = "";
    s.StrPucSeatPos = "10,10";
    EXPECT_EQ(BuildCommandLine({1, 0, 0, 1, 1}, s).status, CommandBuild::Ok);
}

// Each value of every template arrives whole in its own argument, however awkward.
TEST(CommandBuilder, EveryLineSplitsIntoItsArguments)
{
    ChannelSettings odd = Example(true);
    odd.SignalName = R"(rtsp://admin:p@ss&x=1?y=%41#frag/摄像头 1\sub)";
    odd.Adress = "rtmp://直播.example/live/频道1?key=a&b=%20#x";
    odd.VdProFile = "high";
    odd.strFilePath = "/home/操作员/水印 图/it's [1], a;b: c#&.png";
    odd.StrPucSeatPos = "main_w-overlay_w+-10:main_h/2-(overlay_h/2)+0.5";
    const ChannelSettings plain = Example(true);
    const std::string plainGraph = R"( movie=D\\:/logo/wm.png [watermark];[in][watermark] overlay=10:10 )";
    const std::string oddGraph = " movie=" + EscapeFilterPath(odd.strFilePath)
                                 + " [watermark];[in][watermark] overlay=" + odd.StrPucSeatPos + " ";

    for (const Pinned& p : kPinned) {
        SCOPED_TRACE("template " + std::to_string(p.templateNo));
        const CommandBuild b = BuildCommandLine(p.checks, odd);
        ASSERT_EQ(b.status, CommandBuild::Ok) << b.message;
        const std::vector<std::string> expect = SplitCommandLine(BuildCommandLine(p.checks, plain).line);
        const std::vector<std::string> got = SplitCommandLine(b.line);
        ASSERT_EQ(got.size(), expect.size());
        for (std::size_t i = 0; i < got.size(); ++i) {
            if (expect[i] == plain.SignalName)
                EXPECT_EQ(got[i], odd.SignalName);
            else if (expect[i] == plain.Adress)
                EXPECT_EQ(got[i], odd.Adress);
            else if (expect[i] == plain.VdProFile)
                EXPECT_EQ(got[i], odd.VdProFile);
            else if (expect[i] == plainGraph)
                EXPECT_EQ(got[i], oddGraph);
            else
                EXPECT_EQ(got[i], expect[i]);
        }
        EXPECT_EQ(got.back(), odd.Adress);
    }
}

// The stored feed: keys by id, numbers and flags by lenient decimal conversion.
TEST(CommandBuilder, ReadsTheStoredChannel)
{
    const TempDir temp("camrelay-read");
    ASSERT_TRUE(temp.Valid());
    const std::string& dir = temp.Path();
    std::ofstream(dir + "/config.ini") << "[SET DEFAULT VALUE]\n"
        "3+checkstate=1\n3+checkstate1= 2x\n3+checkstate2=0\n3+checkstate3=yes\n"
        "2+checkstate4=1\n3+SignalName=rtsp://192.168.1.66/onvif/live/1\n"
        "3+Adress=rtmp://192.168.1.20/live/cam1\n3+VdWidth=640\n3+VdHeight=360\n"
        "3+VdBitRate=800\n3+VdRameRate=25\n3+VdProFile=main\n3+AdChannel=2\n"
        "3+AdSmpLinGrate=44100\n3+AdBitRate=-64\n3+strFilePath=/水印/wm.png\n"
        "3+StrPucSeatPos=10:10\n3+Name=门口\n";

    ChannelSettings s;
    CheckStates checks{9, 9, 9, 9, 9};
    ReadChannelForCommand(ConfigStore(dir), 3, s, checks);
    EXPECT_EQ(checks, (CheckStates{1, 2, 0, 0, 0}));
    EXPECT_EQ(s.SignalName, "rtsp://192.168.1.66/onvif/live/1");
    EXPECT_EQ(s.Adress, "rtmp://192.168.1.20/live/cam1");
    EXPECT_EQ(s.VdWidth, 640);
    EXPECT_EQ(s.VdHeight, 360);
    EXPECT_EQ(s.VdBitRate, 800);
    EXPECT_EQ(s.VdRameRate, 25);
    EXPECT_EQ(s.VdProFile, "main");
    EXPECT_EQ(s.AdChannel, 2);
    EXPECT_EQ(s.AdSmpLinGrate, 44100);
    EXPECT_EQ(s.AdBitRate, -64);
    EXPECT_EQ(s.strFilePath, "/水印/wm.png");
    EXPECT_EQ(s.StrPucSeatPos, "10:10");

    // A missing channel reads as all off and empty.
    ReadChannelForCommand(ConfigStore(dir), 7, s, checks);
    EXPECT_EQ(checks, (CheckStates{0, 0, 0, 0, 0}));
    EXPECT_EQ(s.SignalName, "");
    EXPECT_EQ(s.VdWidth, 0);
    EXPECT_EQ(BuildCommandLine(checks, s).status, CommandBuild::NoStreams);
}

}  // namespace
