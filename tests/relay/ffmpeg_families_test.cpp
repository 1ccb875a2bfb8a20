#include "ffmpeg/CommandBuilder.h"
#include "ffmpeg/TranscoderCompat.h"
#include "support/LocalServers.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <fstream>

// Runs each family of lines through the installed ffmpeg on a short local clip and probes what
// comes out: the lines must mean to ffmpeg what they say.
TEST(FfmpegFamilies, LinesRunOnTheInstalledFfmpeg)
{
    const TempDir dir("camrelay-families");
    const std::string clip = dir.File("clip.mp4");   // H.264 High 640x360, AAC 44.1 kHz mono
    ASSERT_EQ(0, RunShell("make_test_clip \"$1\" 2", {clip}, 120));
    const std::string folder = dir.File("wm: ,'[];=水印 dir#&");   // needs every filter-graph escape
    ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
    const std::string png = folder + "/w m=1.png";   // 64x32, red at 60 % opacity
    ASSERT_EQ(0, RunShell("make_test_png \"$1\"", {png}, 60));
    const struct { CheckStates checks; bool watermark; const char* streams; } families[] = {
        {{1, 0, 0, 1, 0}, false, "h264 640x360 High, aac 44100 Hz 1 ch"},
        {{1, 1, 0, 1, 1}, false, "h264 320x240 Main, aac 22050 Hz 2 ch"},
        {{0, 0, 0, 1, 1}, false, "aac 22050 Hz 2 ch"},
        {{1, 1, 0, 0, 0}, true, "h264 320x240 Main"},
        {{1, 1, 1, 1, 1}, true, "h264 320x240 Main, aac 22050 Hz 2 ch"},
    };
    for (const auto& f : families) {
        const ChannelRecord s = {.name = {}, .sourceUrl = clip,
            .publishUrl = dir.File("out" + std::to_string(&f - families) + ".flv"), .streamName = {},
            .videoBitrate = 300, .frameRate = 25, .width = 320, .height = 240, .profile = "main", .audioChannels = 2,
            .sampleRate = 22050, .audioBitrate = 32, .watermarkPath = f.watermark ? png : "",
            .watermarkPlacement = "main_w-overlay_w+-10:10", .watermarkCorner = {}, .watermarkOffsetX = {},
            .watermarkOffsetY = {}, .audioToAac = 0, .silentAudio = 0, .keyframeSeconds = 0, .standIn = {}, .standInPicture = {}};
        const CommandBuild b = BuildCommandLine(f.checks, s);
        ASSERT_EQ(b.status, CommandBuild::Ok) << b.message;
        std::vector<std::string> argv = LaunchArguments(AdaptToEncoders(b.plan, QueryEncoders("/usr/bin/ffmpeg")));
        argv.insert(argv.begin(), {"/usr/bin/ffmpeg", "-hide_banner"});
        std::string out;
        ASSERT_EQ(RunCommand(argv, 120, &out), 0) << b.line << "\n" << out;
        ASSERT_EQ(0, RunShell("probe_stream \"$1\"", {s.publishUrl}, 20, &out)) << b.line;
        EXPECT_EQ(f.streams + std::string("\n"), out) << b.line;
        if (!f.watermark)
            continue;
        // The 64x32 red image, 10 pixels in from the top right of the 640x360 picture, lands at
        // x 283..314, y 7..27 of the 320x240 output: one frame cropped inside it, scaled to a pixel.
        ASSERT_EQ(0, RunCommand({"ffmpeg", "-nostdin", "-v", "error", "-i", s.publishUrl, "-frames:v", "1", "-vf",
                                 "crop=24:14:287:10,scale=1:1:flags=area", "-f", "rawvideo", "-pix_fmt", "rgb24",
                                 "-y", dir.File("mean.rgb")}, 60, &out)) << out;
        unsigned char rgb[3];
        ASSERT_TRUE(std::ifstream(dir.File("mean.rgb"), std::ios::binary).read(reinterpret_cast<char*>(rgb), 3));
        EXPECT_TRUE(rgb[0] > 140 && rgb[1] < 120 && rgb[2] < 120) << "mean colour " << +rgb[0] << "," << +rgb[1] << "," << +rgb[2];
    }
}

// What the launch is told about H.265 in FLV must be what the installed ffmpeg does with a real
// H.265 stream copied into FLV: 5.1 refuses it, 6.1 and later write enhanced FLV.
TEST(FfmpegFamilies, KnowsWhetherFlvCarriesHevc)
{
    const FfmpegTraits traits = QueryFfmpegTraits("/usr/bin/ffmpeg");
    ASSERT_TRUE(traits.known) << traits.version;
    int major = 0, minor = 0;
    ASSERT_EQ(2, std::sscanf(traits.version.c_str(), "%d.%d", &major, &minor)) << traits.version;
    EXPECT_EQ(major * 100 + minor >= 601, traits.flvHevc) << traits.version;
    const TempDir dir("camrelay-hevc");
    const std::string camera = dir.File("camera.mkv"), flv = dir.File("out.flv");
    std::string out;
    ASSERT_EQ(0, RunCommand({"ffmpeg", "-nostdin", "-v", "error", "-f", "lavfi", "-i", "testsrc=s=320x240:r=25:d=1",
                             "-pix_fmt", "yuv420p", "-c:v", "libx265", "-x265-params", "log-level=none", "-y", camera}, 60, &out)) << out;
    EXPECT_EQ(traits.flvHevc, RunCommand({"ffmpeg", "-nostdin", "-v", "error", "-i", camera, "-c", "copy", "-f", "flv",
                                          "-y", flv}, 60, &out) == 0) << out;
    if (traits.flvHevc) {
        // Relayed over RTMP to an ffmpeg that receives enhanced RTMP, it arrives as H.265 (the
        // receiver may end on an error once the sender leaves: what it wrote is what counts).
        const std::string received = dir.File("received.mkv");
        ASSERT_EQ(0, RunShell("trap 'kill $(jobs -p) 2>/dev/null' EXIT; "
                              "ffmpeg -nostdin -v error -listen 1 -i rtmp://127.0.0.1:$1/live/s -c copy -y \"$2\" & r=$!; "
                              "until grep -qi \":$(printf %04X $1) 00000000:0000 0A\" /proc/net/tcp; do sleep 0.05; done; "
                              "ffmpeg -nostdin -v error -i \"$3\" -c copy -f flv rtmp://127.0.0.1:$1/live/s && { wait $r || true; }",
                              {std::to_string(FreeTcpPort()), received, camera}, 60, &out)) << out;
        ASSERT_EQ(0, RunShell("probe_stream \"$1\"", {received}, 20, &out));
        EXPECT_EQ("hevc 320x240 Main\n", out);
    }
}
