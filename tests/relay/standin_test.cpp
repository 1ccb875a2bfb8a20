#include "ffmpeg/CommandLine.h"
#include "ffmpeg/StandIn.h"
#include "support/LocalServers.h"
#include "support/ProcessProbe.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <memory>

namespace {

// Every character that means something to the filter-graph parser, the option parser or
// drawtext's own expansion, after Chinese text; two names differ only in their last character.
const std::string kHostile = "通道 甲'\":\\,;[a]=%{x}{}%%\\\"";

// "codec WxH rate" of the video and "codec rate channels" of the audio of a file.
std::string Streams(const std::string& file)
{
    std::string out;
    RunCommand({"ffprobe", "-v", "error", "-show_entries", "stream=codec_name,width,height,r_frame_rate,sample_rate,channels",
                "-of", "csv=p=0", file}, 20, &out);
    return out;
}

// The times of the video's keyframes.
std::vector<double> Keyframes(const std::string& file)
{
    std::string out;
    RunCommand({"ffprobe", "-v", "error", "-select_streams", "v", "-show_entries", "packet=pts_time,flags", "-of", "csv=p=0",
                file}, 20, &out);
    std::vector<double> times;
    for (std::size_t at = 0, end; (end = out.find('\n', at)) != std::string::npos; at = end + 1)
        if (out.find(",K", at) < end)
            times.push_back(std::atof(out.c_str() + at));
    return times;
}

// The frame at second 1 (the time line drawn) as RGB bytes.
std::string Frame(const std::string& file)
{
    std::string out;
    RunCommand({"ffmpeg", "-nostdin", "-v", "error", "-ss", "1", "-i", file, "-frames:v", "1", "-f", "rawvideo", "-pix_fmt",
                "rgb24", "-"}, 20, &out);
    return out;
}

// Whether the pixel at x,y of a frame width pixels wide is red (the test pictures' colour).
bool Red(const std::string& rgb, int width, int x, int y)
{
    const std::size_t at = 3 * (static_cast<std::size_t>(y) * width + x);
    return at + 2 < rgb.size() && static_cast<unsigned char>(rgb[at]) > 180 && static_cast<unsigned char>(rgb[at + 1]) < 80;
}

}  // namespace

// The stand-in's own arguments (a few seconds each, written to files, in parallel): the dark
// background at the default size and rate, a wide and a tall picture in another size and rate
// (the wide one under a name full of parser characters), the default font. Each is H.264 + AAC
// stereo at the size and rate asked, with a keyframe every 2 s exactly; the picture keeps its
// aspect ratio with background bars; two hostile names that differ in their last character
// give different text. The printed line splits back into the arguments.
TEST(StandIn, PicturesNamesSizesAndKeyframes)
{
    const TempDir dir("camrelay-standin");
    const std::string wide = dir.File("图 a'b,c;[d]:e=f.png"), tall = dir.File("tall.png");
    ASSERT_EQ(0, RunShell("make_test_png \"$1\" red 64x32 && make_test_png \"$2\" red 32x64", {wide, tall}, 30));
    const std::string font = FindCjkFont();
    const struct Case {
        const char* file;
        StandInPlan plan;
        const char* streams;
    } cases[] = {
        {"a.flv", {kHostile + "A", "", 0, 0, 0, "", font}, "h264,640,360,25/1\naac,44100,2,0/0\n"},
        {"b.flv", {kHostile + "B", dir.File("missing.png"), 0, 0, 0, "", font}, "h264,640,360,25/1\naac,44100,2,0/0\n"},
        {"c.flv", {kHostile, wide, 320, 240, 10, "", font}, "h264,320,240,10/1\naac,44100,2,0/0\n"},
        {"d.flv", {"", tall, 321, 240, 10, "", ""}, "h264,320,240,10/1\naac,44100,2,0/0\n"},
    };
    std::vector<std::unique_ptr<ServerProcess>> runs;
    for (const Case& c : cases) {
        StandInPlan plan = c.plan;
        plan.output = dir.File(c.file);
        std::vector<std::string> argv = StandInArguments(plan);
        EXPECT_EQ(SplitCommandLine(StandInLine(plan)), argv);
        // Ended by a duration (test only) so that a clean end says the whole run went well.
        argv.insert(argv.end() - 1, {"-t", "6.5"});
        argv.insert(argv.begin(), "ffmpeg");
        runs.push_back(std::make_unique<ServerProcess>());
        ASSERT_TRUE(runs.back()->Start(argv, plan.output + ".log"));
    }
    for (std::size_t i = 0; i < runs.size(); ++i) {
        const std::string file = dir.File(cases[i].file);
        ASSERT_TRUE(ProcessProbe::WaitUntil([&] { return !runs[i]->Running(); }, std::chrono::seconds(60))) << file;
        ASSERT_EQ(runs[i]->ExitCode(), 0) << ReadFile(file + ".log");
        EXPECT_EQ(Streams(file), cases[i].streams) << file;
        const std::vector<double> keys = Keyframes(file);
        ASSERT_EQ(keys.size(), 4u) << file;
        for (std::size_t k = 1; k < keys.size(); ++k)
            EXPECT_NEAR(keys[k] - keys[k - 1], 2.0, 0.001) << file;
    }
    const std::string a = Frame(dir.File("a.flv")), b = Frame(dir.File("b.flv"));
    ASSERT_EQ(a.size(), 640u * 360 * 3);
    ASSERT_EQ(b.size(), a.size());
    // The name's band (above the middle) differs, the background's corner does not.
    EXPECT_NE(a.substr(3 * 640 * 110, 3 * 640 * 30), b.substr(3 * 640 * 110, 3 * 640 * 30));
    EXPECT_EQ(a.substr(0, 3 * 640 * 10), b.substr(0, 3 * 640 * 10));
    EXPECT_FALSE(Red(a, 640, 5, 180));
    // 64x32 fills the width of 320x240 with bars above and below; 32x64 the height, bars beside.
    const std::string c = Frame(dir.File("c.flv")), d = Frame(dir.File("d.flv"));
    EXPECT_TRUE(Red(c, 320, 5, 120) && !Red(c, 320, 5, 5) && !Red(c, 320, 5, 235));
    EXPECT_TRUE(Red(d, 320, 160, 5) && !Red(d, 320, 5, 120) && !Red(d, 320, 315, 120));
}

// The camera probe against the simulator (over TCP and over UDP: ends 0 on the first video
// packet), a closed port (a stopped camera: fails at once) and a listener that accepts and says
// nothing, as rtsp, rtmp and http (each ends non-zero within its 2 s timeout and some slack).
TEST(StandIn, CameraProbeEndsOnVideoRefusalOrSilence)
{
    const std::string mute = std::to_string(FreeTcpPort()), closed = std::to_string(FreeTcpPort());
    ShellServer servers;
    ASSERT_TRUE(servers.Start("start_rtsp_sim rtsp.log $(free_port) && spawn_server mute.log /usr/bin/python3 -c "
                              "'import socket,time;s=socket.create_server((\"127.0.0.1\"," + mute + "));c=[]\n"
                              "while True: c.append(s.accept())'", "$RTSP_URL")) << servers.Log();
    const std::string camera = servers.Ready();
    const struct {
        std::string source;
        bool tcp;
        int exit;  // 0, or 1 for any failure
    } cases[] = {
        {camera, true, 0},
        {camera, false, 0},
        {"rtsp://127.0.0.1:" + closed + "/test", true, 1},
        {"rtsp://127.0.0.1:" + mute + "/test", true, 1},
        {"rtsp://127.0.0.1:" + mute + "/test", false, 1},
        {"rtmp://127.0.0.1:" + mute + "/live/cam", false, 1},
        {"http://127.0.0.1:" + mute + "/cam.flv", false, 1},
    };
    // Each ends by itself (about 2 s for the silent listener here); a probe without its socket
    // timeout would hang until RunCommand ends it at 30 s. The margin is for a loaded machine.
    const double ends = 20;
    for (const auto& c : cases) {
        std::vector<std::string> argv = CameraProbeArguments(c.source, c.tcp, 2);
        argv.insert(argv.begin(), "ffmpeg");
        std::string output;
        const auto start = std::chrono::steady_clock::now();
        const int code = RunCommand(argv, 30, &output);
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        EXPECT_EQ(code != 0, c.exit != 0) << c.source << " tcp " << c.tcp << ": " << code << " " << output;
        EXPECT_LT(took.count(), ends) << c.source << " tcp " << c.tcp;
    }
}

// The stand-in of a copied camera takes the size and rate of the relay's output, read from the
// stream lines ffmpeg printed as it began: the output's video line, not the input's.
TEST(StandIn, OutputPictureFromTheStreamLines)
{
    const std::vector<std::string> copied = {
        "Input #0, rtsp, from 'rtsp://127.0.0.1:8554/test':",
        "  Stream #0:0: Video: h264 (Main), yuv420p(progressive), 1920x1080, 25 fps, 25 tbr, 90k tbn",
        "Output #0, flv, to 'rtmp://127.0.0.1/live/a':",
        "  Stream #0:0(und): Video: h264 (High) ([7][0][0][0] / 0x0007), yuv420p(progressive), 1280x720 [SAR 1:1 DAR "
        "16:9], q=2-31, 358 kb/s, 29.97 fps, 29.97 tbr, 1k tbn (default)"};
    const auto picture = OutputPicture(copied);
    ASSERT_TRUE(picture);
    EXPECT_EQ(std::make_tuple(1280, 720, 30), std::make_tuple(picture->width, picture->height, picture->frameRate));
    const auto raw = OutputPicture({"Output #0, nut, to 'x':", "  Stream #0:0: Video: rawvideo, rgb24, 640x360 [SAR 1:1 "
                                    "DAR 16:9], q=2-31, 30 tbr, 61440 tbn"});
    ASSERT_TRUE(raw);
    EXPECT_EQ(30, raw->frameRate);
    EXPECT_FALSE(OutputPicture({copied[0], copied[1]})) << "the input's picture is not the output's";
}
