#include "relay/CommandBuilder.h"
#include "relay/CommandLine.h"
#include "relay/TranscoderCompat.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <memory>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

// Runs each family of argument lines through the real ffmpeg on a short local clip and
// checks what comes out with ffprobe: the lines must mean to ffmpeg what they say.

namespace {

const char kFfmpeg[] = "/usr/bin/ffmpeg";
const char kFfprobe[] = "/usr/bin/ffprobe";

struct RunResult {
    int exitCode = -1;     // -1 when it did not exit by itself
    std::string output;    // stdout and stderr together
};

// Spawns argv with stdin from /dev/null and both outputs on a pipe; kills it after timeoutSec.
RunResult RunBounded(const std::vector<std::string>& args, int timeoutSec)
{
    RunResult result;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return result;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
    std::vector<char*> argv;
    std::vector<std::string> copy = args;
    for (std::string& a : copy)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    if (rc != 0) {
        close(fds[0]);
        return result;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSec);
    bool timedOut = false;
    char buf[4096];
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now()).count();
        pollfd pfd{fds[0], POLLIN, 0};
        if (left <= 0 || poll(&pfd, 1, static_cast<int>(left)) == 0) {
            timedOut = true;
            break;
        }
        const ssize_t n = read(fds[0], buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        result.output.append(buf, static_cast<std::size_t>(n));
    }
    close(fds[0]);
    if (timedOut)
        kill(pid, SIGKILL);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!timedOut && WIFEXITED(status))
        result.exitCode = WEXITSTATUS(status);
    return result;
}

class FfmpegFamilies : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        s_temp = std::make_unique<TempDir>("camrelay-families");
        ASSERT_TRUE(s_temp->Valid());
        s_dir = s_temp->Path();
        s_clip = s_dir + "/clip.flv";
        const RunResult clip = RunBounded(
            {kFfmpeg, "-hide_banner", "-f", "lavfi", "-i", "testsrc=size=320x240:rate=25", "-f", "lavfi", "-i",
             "sine=frequency=440:sample_rate=48000", "-t", "2", "-pix_fmt", "yuv420p", "-c:v", "libx264",
             "-c:a", "aac", s_clip},
            120);
        ASSERT_EQ(clip.exitCode, 0) << clip.output;

        // A folder whose name needs every kind of filter-graph escaping.
        const std::string folder = s_dir + "/wm: ,'[];水印 dir#&%";
        ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
        s_watermark = folder + "/w m.png";
        const RunResult png = RunBounded({kFfmpeg, "-hide_banner", "-f", "lavfi", "-i", "color=white:size=32x32",
                                          "-frames:v", "1", s_watermark},
                                         60);
        ASSERT_EQ(png.exitCode, 0) << png.output;
    }

    static void TearDownTestSuite() { s_temp.reset(); }

    // Stream lines "codec,profile,width,height" / "codec,profile,rate,channels", sorted.
    static std::vector<std::string> Probe(const std::string& file)
    {
        const RunResult r = RunBounded({kFfprobe, "-v", "error", "-show_entries",
                                        "stream=codec_name,profile,width,height,sample_rate,channels", "-of",
                                        "csv=p=0", file},
                                       30);
        std::vector<std::string> lines;
        std::istringstream in(r.output);
        for (std::string line; std::getline(in, line);)
            if (!line.empty())
                lines.push_back(line);
        std::sort(lines.begin(), lines.end());
        return lines;
    }

    static std::unique_ptr<TempDir> s_temp;
    static std::string s_dir, s_clip, s_watermark;
};

std::unique_ptr<TempDir> FfmpegFamilies::s_temp;
std::string FfmpegFamilies::s_dir, FfmpegFamilies::s_clip, FfmpegFamilies::s_watermark;

TEST_F(FfmpegFamilies, LinesRunOnTheInstalledFfmpeg)
{
    const EncoderSupport support = QueryEncoders(kFfmpeg);
    struct Family {
        const char* name;
        CheckStates checks;
        bool watermark;
        int templateNo;
        std::vector<std::string> streams;
    };
    const Family families[] = {
        {"copy", {1, 0, 0, 1, 0}, false, 4, {"aac,LC,48000,1", "h264,High,320,240"}},
        {"reencode", {1, 1, 0, 1, 1}, false, 13, {"aac,LC,44100,2", "h264,Main,640,360"}},
        {"audio-only", {0, 0, 0, 1, 1}, false, 2, {"aac,LC,22050,1"}},
        {"watermark", {1, 1, 0, 0, 0}, true, 10, {"h264,Main,640,360"}},
        {"copyts", {1, 1, 1, 1, 1}, true, 20, {"aac,LC,44100,2", "h264,Main,640,360"}},
    };
    for (const Family& f : families) {
        SCOPED_TRACE(f.name);
        ChannelSettings s;
        s.SignalName = s_clip;
        s.Adress = s_dir + "/out-" + f.name + ".flv";
        s.VdWidth = 640;
        s.VdHeight = 360;
        s.VdBitRate = 800;
        s.VdRameRate = 25;
        s.VdProFile = "main";
        const bool audioOnly = f.checks[0] == 0;
        s.AdChannel = audioOnly ? 1 : 2;
        s.AdSmpLinGrate = audioOnly ? 22050 : 44100;
        s.AdBitRate = audioOnly ? 32 : 64;
        if (f.watermark) {
            s.strFilePath = s_watermark;
            s.StrPucSeatPos = "main_w-overlay_w+-10:10";
        }
        const CommandBuild b = BuildCommandLine(f.checks, s);
        ASSERT_EQ(b.status, CommandBuild::Ok) << b.message;
        EXPECT_EQ(b.templateNo, f.templateNo);

        std::vector<std::string> argv = AdaptArguments(SplitCommandLine(b.line), support);
        argv.insert(argv.begin(), {kFfmpeg, "-hide_banner"});
        const RunResult run = RunBounded(argv, 120);
        ASSERT_EQ(run.exitCode, 0) << b.line << "\n" << run.output;
        EXPECT_EQ(Probe(s.Adress), f.streams) << b.line;
    }
}

}  // namespace
