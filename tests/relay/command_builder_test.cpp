#include "relay/CommandBuilder.h"
#include "relay/CommandLine.h"

#include <gtest/gtest.h>

#include <map>

namespace {

// The values of the worked example; the watermark path is a drive path. The builder reads no
// name and no wizard fields, but every member is named to keep -Wextra quiet.
const ChannelSettings kExample = {.Name = {}, .SignalName = "rtsp://192.168.1.66/onvif/live/1",
    .Adress = "rtmp://192.168.1.20/live/cam1", .StreamName = {}, .VdBitRate = 800, .VdRameRate = 25, .VdWidth = 640,
    .VdHeight = 360, .VdProFile = "main", .AdChannel = 2, .AdSmpLinGrate = 44100, .AdBitRate = 64,
    .strFilePath = R"(D:\logo\wm.png)", .StrPucSeatPos = "10:10", .strPucSeat = {}, .strValue = {}, .strValue1 = {}};
const ChannelSettings kNoWatermark = [] { ChannelSettings s = kExample; s.strFilePath.clear(); return s; }();

// Check states: video, re-encode, copyts, audio, audio re-encode. Template 0: nothing to stream.
struct Pinned { CheckStates checks; bool watermark; int templateNo; const char* line; };

// Every template once, plus rows whose extra flags must not change the line.
const Pinned kPinned[] = {
    {{0, 0, 0, 0, 0}, true, 0, ""},
    {{0, 1, 1, 0, 1}, true, 0, ""},
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
        const CommandBuild b = BuildCommandLine(p.checks, p.watermark ? kExample : kNoWatermark);
        EXPECT_EQ(b.status, p.templateNo ? CommandBuild::Ok : CommandBuild::NoStreams);
        EXPECT_EQ(b.templateNo, p.templateNo);
        EXPECT_EQ(b.line, p.line);
        EXPECT_EQ(b.reencodesVideo, p.templateNo >= 9);
        EXPECT_EQ(b.message, p.templateNo ? "" : "视频和音频均未启用，未开启直播！");
    }
}

// The rewrite example, and lines it must leave alone.
TEST(CommandBuilder, ApplyRtspTransport)
{
    const std::string t3 = R"L( -i "rtsp://192.168.1.66/onvif/live/1" -vcodec copy -an -f flv rtmp://192.168.1.20/live/cam1 )L";
    const struct { bool useTcp; std::string in, out; } cases[] = {
        {true, t3, R"L(   -rtsp_transport tcp -i "rtsp://192.168.1.66/onvif/live/1" -vcodec copy -an -f flv rtmp://192.168.1.20/live/cam1  )L"},
        {false, t3, t3},
        {true, R"L( -i "rtmp://h/live/src" -vcodec copy -an -f flv rtmp://h/live/a )L", R"L( -i "rtmp://h/live/src" -vcodec copy -an -f flv rtmp://h/live/a )L"},
        {true, R"L( -i "rtsp://h/x?rtsp_transport=udp" -f flv rtmp://h/a )L", R"L( -i "rtsp://h/x?rtsp_transport=udp" -f flv rtmp://h/a )L"},
        {true, R"L( -i "rtsp://host/live-in/1" -f flv rtmp://h/live-i )L", R"L(   -rtsp_transport tcp -i "rtsp://host/live-in/1" -f flv rtmp://h/live-i  )L"},
        {true, R"L( -i "http://h/a" -f flv rtsp://h/b )L", R"L(   -rtsp_transport tcp -i "http://h/a" -f flv rtsp://h/b  )L"},
    };
    for (const auto& c : cases) {
        std::string line = c.in;
        EXPECT_TRUE(ApplyRtspTransport(c.useTcp, line)) << c.in;
        EXPECT_EQ(line, c.out);
    }
}

// Template-3 settings whose line has exactly the given length, from a padded source address.
ChannelSettings Template3(std::size_t length)
{
    ChannelSettings s = kNoWatermark;
    s.SignalName.append(length - BuildCommandLine({1, 0, 0, 0, 0}, s).line.size(), 'a');
    return s;
}

TEST(CommandBuilder, RefusesWhatWouldNotFitNeverTruncates)
{
    // 1023 characters and the terminator fill the buffer exactly; one more is refused.
    EXPECT_EQ(BuildCommandLine({1, 0, 0, 0, 0}, Template3(1023)).line.size(), 1023u);
    const CommandBuild b = BuildCommandLine({1, 0, 0, 0, 0}, Template3(1024));
    EXPECT_EQ(b.status, CommandBuild::TooLong);
    EXPECT_TRUE(b.line.empty());
    EXPECT_EQ(b.message, "命令行过长，未开启直播！");

    // The rewrite adds 23 bytes: a 1000-byte line still fits, a 1001-byte one is kept as it was.
    std::string fits = BuildCommandLine({1, 0, 0, 0, 0}, Template3(1000)).line;
    EXPECT_TRUE(ApplyRtspTransport(true, fits));
    EXPECT_EQ(fits.size(), 1023u);
    const std::string over = BuildCommandLine({1, 0, 0, 0, 0}, Template3(1001)).line;
    std::string line = over;
    EXPECT_FALSE(ApplyRtspTransport(true, line));
    EXPECT_EQ(line, over);
}

TEST(CommandBuilder, RefusesValuesThatLeaveTheirArgument)
{
    const struct { std::string ChannelSettings::*field; std::string value; const char* named; } cases[] = {
        {&ChannelSettings::SignalName, R"(rtsp://h/a"b)", "信号源地址"},
        {&ChannelSettings::SignalName, R"(rtsp://h/live\)", "信号源地址"},
        {&ChannelSettings::SignalName, "rtsp://h/a\tb", "信号源地址"},
        {&ChannelSettings::Adress, "rtmp://h/live/a b", "发布地址"},
        {&ChannelSettings::Adress, "", "发布地址"},
        {&ChannelSettings::Adress, "-y", "发布地址"},
        {&ChannelSettings::VdProFile, "main -an", "Profile"},
        {&ChannelSettings::strFilePath, R"(/tmp/a"b.png)", "水印文件"},
        {&ChannelSettings::strFilePath, "/tmp/logo%d.png", "水印文件"},
        {&ChannelSettings::strFilePath, "/tmp/logo.png ", "水印文件"},   // the graph parser drops end blanks
        {&ChannelSettings::strFilePath, " logo.png", "水印文件"},
        {&ChannelSettings::StrPucSeatPos, "10:10[x];[x]drawtext", "水印位置"},
        {&ChannelSettings::StrPucSeatPos, "x=1,y=2", "水印位置"},
        {&ChannelSettings::StrPucSeatPos, R"('10'\:10)", "水印位置"},
    };
    for (const auto& c : cases) {
        ChannelSettings s = kExample;
        s.*c.field = c.value;
        const CommandBuild b = BuildCommandLine({1, 1, 1, 1, 1}, s);
        EXPECT_EQ(b.status, CommandBuild::BadValue) << c.value;
        EXPECT_TRUE(b.line.empty()) << c.value;
        EXPECT_EQ(b.message.find(c.named), 0u) << c.value << " -> " << b.message;
        EXPECT_NE(b.message.find("未开启直播！"), std::string::npos) << c.value << " -> " << b.message;
    }
    // Values a template does not use are not looked at.
    ChannelSettings s = kNoWatermark;
    s.VdProFile = "";
    s.StrPucSeatPos = "10,10";
    EXPECT_EQ(BuildCommandLine({1, 0, 0, 1, 1}, s).status, CommandBuild::Ok);
}

// Both filter levels, as checked with the real ffmpeg: level 1 first, then level 2 doubles its backslashes.
TEST(CommandBuilder, EscapesWatermarkPathsForBothFilterLevels)
{
    const char* paths[][2] = {
        {R"(D:\logo\wm.png)", R"(D\\:/logo/wm.png)"}, {"/tmp/co:lon.png", R"(/tmp/co\\:lon.png)"},
        {"/tmp/cam=1/a=b.png", R"(/tmp/cam\\=1/a\\=b.png)"}, {"/tmp/quo'te", R"(/tmp/quo\\\'te)"},
        {"/tmp/com,ma", R"(/tmp/com\,ma)"}, {"/t/br[ack]ets;x", R"(/t/br\[ack\]ets\;x)"},
        {"/tmp/水印 图.png", "/tmp/水印 图.png"},
    };
    for (const auto& p : paths)
        EXPECT_EQ(EscapeFilterPath(p[0]), p[1]) << p[0];
}

TEST(CommandBuilder, EmptyWatermarkOffsetsCountAsZero)
{
    // An empty offset would give "overlay=:", which the overlay filter rejects after the first frame.
    const char* offsets[][2] = {
        {":", "overlay=0:0 "}, {"10:20", "overlay=10:20 "},
        {"main_w-overlay_w+:main_h-overlay_h+", "overlay=main_w-overlay_w+0:main_h-overlay_h+0 "},
        {"main_w/2-overlay_w/2+-5:", "overlay=main_w/2-overlay_w/2+-5:0 "},
    };
    for (const auto& o : offsets) {
        ChannelSettings s = kExample;
        s.StrPucSeatPos = o[0];
        const std::string line = BuildCommandLine({1, 1, 0, 0, 0}, s).line;
        EXPECT_NE(line.find(o[1]), std::string::npos) << o[0] << " -> " << line;
    }
}

// Each value of every template arrives whole in its own argument, however awkward.
TEST(CommandBuilder, EveryLineSplitsIntoItsArguments)
{
    ChannelSettings odd = kExample;
    odd.SignalName = R"(rtsp://admin:p@ss&x=1?y=%41#frag/摄像头 1\sub)";
    odd.Adress = "rtmp://直播.example/live/频道1?key=a&b=%20#x";
    odd.VdProFile = "high";
    odd.strFilePath = "/home/操作员/水印 图/it's [1], a;b: c#&=.png";
    odd.StrPucSeatPos = "main_w-overlay_w+-10:main_h/2-(overlay_h/2)+0.5";
    const std::map<std::string, std::string> swapped = {
        {kExample.SignalName, odd.SignalName}, {kExample.Adress, odd.Adress}, {"main", "high"},
        {R"( movie=D\\:/logo/wm.png [watermark];[in][watermark] overlay=10:10 )",
         " movie=" + EscapeFilterPath(odd.strFilePath) + " [watermark];[in][watermark] overlay=" + odd.StrPucSeatPos + " "}};
    for (const Pinned& p : kPinned) {
        std::vector<std::string> expect = SplitCommandLine(BuildCommandLine(p.checks, kExample).line);
        for (std::string& arg : expect)
            if (swapped.count(arg))
                arg = swapped.at(arg);
        EXPECT_EQ(SplitCommandLine(BuildCommandLine(p.checks, odd).line), expect) << "template " << p.templateNo;
    }
}

}  // namespace
