#include "ffmpeg/CommandBuilder.h"
#include "ffmpeg/MultiOutput.h"
#include "ffmpeg/CommandLine.h"
#include "ffmpeg/TranscoderCompat.h"

#include <gtest/gtest.h>

namespace {

// The values of the worked example; the watermark path is a drive path. The builder reads no
// name and no wizard fields, but every member is named to keep -Wextra quiet.
const ChannelRecord kExample = {.name = {}, .sourceUrl = "rtsp://192.168.1.66/onvif/live/1",
    .publishUrl = "rtmp://192.168.1.20/live/cam1", .streamName = {}, .videoBitrate = 800, .frameRate = 25, .width = 640,
    .height = 360, .profile = "main", .audioChannels = 2, .sampleRate = 44100, .audioBitrate = 64,
    .watermarkPath = R"(D:\logo\wm.png)", .watermarkPlacement = "10:10", .watermarkCorner = {}, .watermarkOffsetX = {},
    .watermarkOffsetY = {}, .audioToAac = 0, .silentAudio = 0, .keyframeSeconds = 0, .standIn = {}, .standInPicture = {}};
const ChannelRecord kNoWatermark = [] { ChannelRecord s = kExample; s.watermarkPath.clear(); return s; }();

// The pinned lines below abbreviate the example's recurring pieces; Expand() writes them out.
std::string Expand(std::string line)
{
    const std::pair<std::string, std::string> pieces[] = {
        {"<in>", R"( -i "rtsp://192.168.1.66/onvif/live/1")"}, {"<out>", "rtmp://192.168.1.20/live/cam1 "},
        {"<x264>", "-vcodec libx264"}, {"<size>", "-s 640*360 -b:v 800k -r 25"}, {"<aac>", "-ac 2 -ar 44100 -b:a 64k"},
        {"<wm>", R"(-vf " movie=D\\:/logo/wm.png [watermark];[in][watermark] overlay=10:10 ")"}};
    for (const auto& [abbreviation, text] : pieces)
        for (std::size_t at; (at = line.find(abbreviation)) != std::string::npos;)
            line.replace(at, abbreviation.size(), text);
    return line;
}

// Check states: video, re-encode, copyts, audio, audio re-encode. Template 0: nothing to stream.
// The later options (AAC for copied audio, silent track, keyframe seconds) where a row sets them.
struct Pinned { CheckStates checks; bool watermark; int templateNo; const char* line; int toAac = 0, silence = 0, keyframe = 0; };

// Every template once, most with flags it must ignore (a watermark where nothing is re-encoded,
// audio re-encoding without audio, values other than 0 and 1).
const Pinned kPinned[] = {
    {{0, 1, 1, 0, 1}, true, 0, ""},
    {{0, 0, 0, 1, 0}, false, 1, "<in> -y -acodec copy -vn -f flv <out>"},
    {{0, 1, 1, 1, 1}, true, 2, "<in> -y -acodec libfaac <aac> -vn -f flv <out>"},
    {{1, 0, 0, 0, 1}, true, 3, "<in> -vcodec copy -an -f flv <out>"},
    {{1, 0, 0, 1, 0}, true, 4, "<in> -vcodec copy -acodec copy -f flv <out>"},
    {{1, 0, 0, 1, 1}, false, 5, "<in> -vcodec copy -acodec libfaac <aac> -f flv <out>"},
    {{1, 0, 1, 0, 0}, false, 6, "<in> -vcodec copy -an -f flv -copyts <out>"},
    {{1, 0, 1, 1, 0}, false, 7, "<in> -vcodec copy -acodec copy -f flv -copyts <out>"},
    {{1, 0, 1, 1, 1}, true, 8, "<in> -vcodec copy -acodec libfaac <aac> -f flv -copyts <out>"},
    {{1, 1, 0, 0, 1}, false, 9, "<in> <x264> <size> -vprofile main -an -f flv  <out>"},
    {{1, 1, 0, 0, 0}, true, 10, "<in> <x264> <size> -vprofile main <wm> -an -f flv  <out>"},
    {{1, 1, 0, 1, 0}, false, 11, "<in> <x264> -acodec copy <size>  -vprofile main -f flv <out>"},
    {{1, 1, 0, 1, 0}, true, 12, "<in> <x264> -acodec copy <size>  -vprofile main <wm> -f flv <out>"},
    {{1, 1, 0, 1, 1}, false, 13, "<in> <x264> -acodec libfaac <aac> <size>  -vprofile main -f flv <out>"},
    {{1, 1, 0, 1, 1}, true, 14, "<in> <x264> -acodec libfaac <aac> <size>  -vprofile main <wm> -f flv <out>"},
    {{1, 1, 1, 0, 0}, false, 15, "<in> <x264> <size>  -vprofile main -an -f flv -copyts <out>"},
    {{1, 1, 1, 0, 1}, true, 16, "<in> <x264> <size>  -vprofile main <wm> -an -f flv -copyts <out>"},
    {{1, 1, 1, 1, 0}, false, 17, "<in> <x264> -acodec libfaac <size> -vprofile main -f flv -copyts <out>"},
    {{1, 1, 1, 1, 0}, true, 18, "<in> <x264> -acodec libfaac <size> -vprofile main <wm> -f flv -copyts <out>"},
    {{1, 1, 1, 1, 1}, false, 19, "<in> <x264> -acodec libfaac <size> -vprofile main <aac> -f flv -copyts <out>"},
    {{7, -1, 1, 2, 1}, true, 20, "<in> <x264> -acodec libfaac <size> -vprofile main <aac> <wm> -f flv -copyts <out>"},
    {{1, 0, 0, 1, 0}, false, 4, "<in> -vcodec copy -acodec aac <aac> -f flv <out>", 1},
    {{1, 0, 0, 1, 1}, false, 5, "<in> -vcodec copy -acodec libfaac <aac> -f flv <out>", 1, 0, 2},
    {{1, 0, 0, 0, 0}, false, 3, "<in> -f lavfi -i anullsrc=channel_layout=stereo:sample_rate=44100 -vcodec copy "
                                "-acodec aac <aac> -map 0:v -map 1:a -shortest -f flv <out>", 0, 1},
    {{0, 0, 0, 1, 0}, false, 1, "<in> -y -acodec copy -vn -f flv <out>", 0, 1, 2},
    {{1, 1, 0, 1, 0}, false, 11, "<in> <x264> -acodec copy <size>  -vprofile main -g 50 -sc_threshold 0 -f flv <out>", 0, 0, 2},
};

TEST(CommandBuilder, TwentyTemplatesByteForByte)
{
    for (const Pinned& p : kPinned) {
        SCOPED_TRACE("template " + std::to_string(p.templateNo));
        ChannelRecord s = p.watermark ? kExample : kNoWatermark;
        s.audioToAac = p.toAac, s.silentAudio = p.silence, s.keyframeSeconds = p.keyframe;
        const CommandBuild b = BuildCommandLine(p.checks, s);
        EXPECT_EQ(b.status, p.templateNo ? CommandBuild::Ok : CommandBuild::NoStreams);
        EXPECT_EQ(b.templateNo, p.templateNo);
        EXPECT_EQ(b.line, Expand(p.line));
        EXPECT_EQ(b.reencodesVideo, p.templateNo >= 9);
        EXPECT_EQ(b.message, p.templateNo ? "" : "视频和音频均未启用，未开启直播！");
        if (p.templateNo) {  // the child runs what the line shows
            EXPECT_EQ(LaunchArguments(b.plan), SplitCommandLine(b.line));
        }
    }
}

// Over TCP an rtsp:// input gets "-rtsp_transport tcp" before "-i" (three blanks in front, two
// at the end); only the input's scheme decides, not an "rtsp://" elsewhere in the line.
TEST(CommandBuilder, ApplyRtspTransport)
{
    const struct { bool useTcp; const char *source, *publish; bool rewritten; } cases[] = {
        {true, "rtsp://192.168.1.66/onvif/live/1", "rtmp://192.168.1.20/live/cam1", true},
        {false, "rtsp://192.168.1.66/onvif/live/1", "rtmp://192.168.1.20/live/cam1", false},
        {true, "rtmp://h/live/src", "rtmp://h/live/a", false},
        {true, "RTSP://h/live", "rtmp://h/live/a", false},
        {true, "rtsp://h/x?rtsp_transport=udp", "rtmp://h/a", false},
        {true, "rtsp://h/x", "rtmp://h/rtsp_transport", true},
        {true, "rtsp://host/live-in/1", "rtmp://h/live-i", true},
        {true, "http://h/a", "rtsp://h/b", false},
        {true, "http://h/a", "rtmp://h/rtsp://b", false},
    };
    for (const auto& c : cases) {
        ChannelRecord s = kExample;
        s.sourceUrl = c.source, s.publishUrl = c.publish;
        CommandBuild b = BuildCommandLine({1, 1, 0, 0, 0}, s);
        const std::string plain = b.line;
        EXPECT_TRUE(ApplyRtspTransport(c.useTcp, b)) << c.source;
        EXPECT_EQ(b.line, c.rewritten ? "   -rtsp_transport tcp" + plain + " " : plain) << c.source;
        EXPECT_EQ(LaunchArguments(b.plan), SplitCommandLine(b.line));
    }
    CommandBuild example = BuildCommandLine({1, 0, 0, 0, 0}, kExample);
    EXPECT_TRUE(ApplyRtspTransport(true, example));
    EXPECT_EQ(example.line, "  " + Expand(R"( -rtsp_transport tcp<in> -vcodec copy -an -f flv <out> )"));
}

// Template-3 settings whose line has exactly the given length, from a padded source address.
ChannelRecord Template3(std::size_t length)
{
    ChannelRecord s = kNoWatermark;
    s.sourceUrl.append(length - BuildCommandLine({1, 0, 0, 0, 0}, s).line.size(), 'a');
    return s;
}

TEST(CommandBuilder, RefusesWhatWouldNotFitNeverTruncates)
{
    // 1023 characters and the terminator fill the buffer exactly; one more is refused.
    EXPECT_EQ(BuildCommandLine({1, 0, 0, 0, 0}, Template3(1023)).line.size(), 1023u);
    const CommandBuild b = BuildCommandLine({1, 0, 0, 0, 0}, Template3(1024));
    EXPECT_EQ(b.status, CommandBuild::TooLong);
    EXPECT_EQ(b.message, "命令行过长，未开启直播！");

    // The rewrite adds 23 bytes: a 1000-byte line still fits, a 1001-byte one is kept as it was.
    CommandBuild fits = BuildCommandLine({1, 0, 0, 0, 0}, Template3(1000));
    EXPECT_TRUE(ApplyRtspTransport(true, fits));
    EXPECT_EQ(fits.line.size(), 1023u);
    const CommandBuild over = BuildCommandLine({1, 0, 0, 0, 0}, Template3(1001));
    CommandBuild build = over;
    EXPECT_FALSE(ApplyRtspTransport(true, build));
    EXPECT_EQ(build.line, over.line);
}

TEST(CommandBuilder, RefusesValuesThatLeaveTheirArgument)
{
    const struct { std::string ChannelRecord::*field; std::vector<std::string> values; const char* named; } cases[] = {
        {&ChannelRecord::sourceUrl, {R"(rtsp://h/a"b)", R"(rtsp://h/live\)", "rtsp://h/a\tb"}, "信号源地址"},
        {&ChannelRecord::publishUrl, {"rtmp://h/live/a b", "", "-y"}, "发布地址"},
        {&ChannelRecord::profile, {"main -an"}, "Profile"},
        // The filter-graph parser drops blanks at the ends of the path.
        {&ChannelRecord::watermarkPath, {R"(/tmp/a"b.png)", "/tmp/logo%d.png", "/tmp/logo.png ", " logo.png"}, "水印文件"},
        {&ChannelRecord::watermarkPlacement, {"10:10[x];[x]drawtext", "x=1,y=2", R"('10'\:10)"}, "水印位置"},
    };
    for (const auto& c : cases) {
        for (const std::string& value : c.values) {
            ChannelRecord s = kExample;
            s.*c.field = value;
            const CommandBuild b = BuildCommandLine({1, 1, 1, 1, 1}, s);
            EXPECT_EQ(b.status, CommandBuild::BadValue) << value;
            EXPECT_EQ(b.message.find(c.named), 0u) << value << " -> " << b.message;
        }
    }
    // A re-encode without a frame rate or size, which ffmpeg would refuse at every attempt.
    for (int ChannelRecord::*number : {&ChannelRecord::frameRate, &ChannelRecord::width, &ChannelRecord::height}) {
        ChannelRecord n = kExample;
        n.*number = 0;
        EXPECT_EQ(BuildCommandLine({1, 1, 0, 1, 0}, n).message, "视频重编码需要帧率、宽度和高度（均须大于 0），未开启直播！");
    }
    // Values a template does not use are not looked at.
    ChannelRecord s = kNoWatermark;
    s.profile = "", s.frameRate = 0;
    s.watermarkPlacement = "10,10";
    EXPECT_EQ(BuildCommandLine({1, 0, 0, 1, 1}, s).status, CommandBuild::Ok);
}

// Both filter levels, as checked with the real ffmpeg: level 1 first, then level 2 doubles its
// backslashes. An empty watermark offset counts as 0: "overlay=:" fails after the first frame.
TEST(CommandBuilder, WatermarkPathsEscapedAndEmptyOffsetsZero)
{
    const char* paths[][2] = {
        {R"(D:\logo\wm.png)", R"(D\\:/logo/wm.png)"}, {"/tmp/co:lon.png", R"(/tmp/co\\:lon.png)"},
        {"/tmp/cam=1/a=b.png", R"(/tmp/cam\\=1/a\\=b.png)"}, {"/tmp/quo'te", R"(/tmp/quo\\\'te)"},
        {"/tmp/com,ma", R"(/tmp/com\,ma)"}, {"/t/br[ack]ets;x", R"(/t/br\[ack\]ets\;x)"},
        {"/tmp/水印 图.png", "/tmp/水印 图.png"},
    };
    for (const auto& p : paths)
        EXPECT_EQ(EscapeFilterPath(p[0]), p[1]) << p[0];
    const char* offsets[][2] = {
        {":", "overlay=0:0 "}, {"10:20", "overlay=10:20 "},
        {"main_w-overlay_w+:main_h-overlay_h+", "overlay=main_w-overlay_w+0:main_h-overlay_h+0 "},
        {"main_w/2-overlay_w/2+-5:", "overlay=main_w/2-overlay_w/2+-5:0 "},
        {"main_w-overlay_w+-:-", "overlay=main_w-overlay_w+-0:-0 "},  // a lone "-" typed as offset
    };
    for (const auto& o : offsets) {
        ChannelRecord s = kExample;
        s.watermarkPlacement = o[0];
        const std::string line = BuildCommandLine({1, 1, 0, 0, 0}, s).line;
        EXPECT_NE(line.find(o[1]), std::string::npos) << o[0] << " -> " << line;
    }
}

// A pusher of a channel with several addresses reads its port on the loopback only (no other host
// can send it a stream), ends 5 s after its puller stops sending, and studies the stream for 1 s
// (a restarted address publishes again within about 2 s, not ffmpeg's default 6).
TEST(MultiOutput, PusherLine)
{
    EXPECT_EQ(" -hide_banner -nostdin -timeout 5000000 -analyzeduration 1000000 -i "
              "udp://127.0.0.1:5000?localaddr=127.0.0.1&fifo_size=50000&overrun_nonfatal=1 -map 0 -c copy -f flv rtmp://h/live/s ",
              PusherLine(5000, "rtmp://h/live/s"));
}

// The rules of the C runtime that splits the child's command line.
TEST(SplitCommandLine, FollowsTheCRuntimeRules)
{
    const struct { std::string line; std::vector<std::string> args; } cases[] = {
        {"   \t ", {}},
        {" -i x  -f\tflv ", {"-i", "x", "-f", "flv"}},
        {R"(a"b c"d)", {"ab cd"}},
        {R"( "" x)", {"", "x"}},
        {R"(a\b c:\dir\)", {R"(a\b)", R"(c:\dir\)"}},
        {R"(a\\"b c")", {R"(a\b c)"}},        // 2n: the quote toggles
        {R"("rtsp://h/x\" -f flv out)", {R"(rtsp://h/x" -f flv out)"}},  // trailing backslash eats the quote
        {R"("a""b" c)", {R"(a"b)", "c"}},     // doubled quote inside quotes, quoting stays on
        {R"("unterminated a b)", {"unterminated a b"}},
        {R"(-vf " movie=D\\:/logo/wm.png [watermark];[in][watermark] overlay=10:10 " -f flv)",
         {"-vf", R"( movie=D\\:/logo/wm.png [watermark];[in][watermark] overlay=10:10 )", "-f", "flv"}},
        {"a\nb", {"a\nb"}},                   // only blank and tab separate
        {std::string("a\0b", 3), {"a"}},
        {"中文 '单引号'", {"中文", "'单引号'"}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(SplitCommandLine(c.line), c.args) << c.line;
}

// The encoder after -acodec, with the audio settings (template 13) and without (template 17).
TEST(TranscoderCompat, ReplacesLibfaacOnlyWhenMissing)
{
    const LaunchPlan plans[] = {BuildCommandLine({1, 1, 0, 1, 1}, kNoWatermark).plan,
                                BuildCommandLine({1, 1, 1, 1, 0}, kNoWatermark).plan};
    const struct { EncoderSupport support; const char* encoder; } cases[] = {
        {{true, false}, "aac"},    // ffmpeg lacks libfaac
        {{false, false}, "aac"},   // ffmpeg did not answer
        {{true, true}, "libfaac"},
    };
    for (const auto& c : cases)
        for (const LaunchPlan& plan : plans)
            EXPECT_EQ(LaunchArguments(AdaptToEncoders(plan, c.support)).at(5), c.encoder);
    // Missing programs, failing ones and ones that print no encoder list are not "known"; the
    // answer of the installed ffmpeg is used by the ffmpeg families test.
    for (const char* program : {"/nonexistent/ffmpeg", "/bin/false", "/bin/echo"})
        EXPECT_FALSE(QueryEncoders(program).known) << program;
}

}  // namespace
