// The local test servers themselves: if these fail, the relay tests that use them mean nothing.
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>

#include <gtest/gtest.h>

#include "support/LocalServers.h"
#include "support/ProcessProbe.h"
#include "support/TempDir.h"

namespace {

bool Eventually(const std::function<bool()>& done, int seconds)
{
    return ProcessProbe::WaitUntil(done, std::chrono::seconds(seconds));
}

std::string ReadAll(const std::string& path)
{
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// A copy relay as CamRelay's children run it, spawned by hand.
std::vector<std::string> CopyRelay(const std::string& from, const std::string& to, bool tcp)
{
    std::vector<std::string> argv = {"ffmpeg", "-nostdin", "-loglevel", "error"};
    if (tcp)
        argv.insert(argv.end(), {"-rtsp_transport", "tcp"});
    argv.insert(argv.end(), {"-i", from, "-vcodec", "copy", "-acodec", "copy", "-f", "flv", to});
    return argv;
}

class LocalServersTest : public ::testing::Test {
protected:
    void TearDown() override
    {
        // Every fixture must be gone, reaped, by the end of the test body.
        EXPECT_EQ(ProcessProbe::ChildPids(), std::vector<pid_t>{});
    }
};

TEST_F(LocalServersTest, PublishedTestSourceProbesAsH264AndAac)
{
    NginxRtmp nginx;
    ASSERT_TRUE(nginx.Start()) << nginx.ErrorLog();
    TestPublisher publisher;
    ASSERT_TRUE(publisher.Start(nginx.Url("src")));
    StreamInfo info;
    EXPECT_TRUE(Eventually([&] {
        info = ProbeStream(nginx.Url("src"));
        return !info.videoCodec.empty() && !info.audioCodec.empty();
    }, 30)) << info.output << nginx.ErrorLog();
    EXPECT_EQ(info.videoCodec, "h264");
    EXPECT_EQ(info.width, 640);
    EXPECT_EQ(info.height, 360);
    EXPECT_EQ(info.audioCodec, "aac");
    EXPECT_EQ(info.sampleRate, 44100);
}

// The camera's A-law audio goes into FLV by copy, over UDP and over TCP interleaving.
TEST_F(LocalServersTest, RtspCopyRelayReachesNginx)
{
    RtspSimulator camera;
    ASSERT_TRUE(camera.Start()) << camera.Log();
    NginxRtmp nginx;
    ASSERT_TRUE(nginx.Start()) << nginx.ErrorLog();
    TempDir logs;
    for (bool tcp : {false, true}) {
        SCOPED_TRACE(tcp ? "rtsp over tcp" : "rtsp over udp");
        const std::string out = nginx.Url(tcp ? "tcp" : "udp");
        ServerProcess relay;
        const std::string log = logs.File(tcp ? "tcp.log" : "udp.log");
        ASSERT_TRUE(relay.Start(CopyRelay(camera.Url(), out, tcp), log));
        StreamInfo info;
        EXPECT_TRUE(Eventually([&] {
            info = ProbeStream(out);
            return !info.videoCodec.empty() && !info.audioCodec.empty();
        }, 30)) << info.output << ReadAll(log) << camera.Log();
        EXPECT_EQ(info.videoCodec, "h264");
        EXPECT_EQ(info.profile, "Main");
        EXPECT_EQ(info.width, 640);
        EXPECT_EQ(info.height, 360);
        EXPECT_EQ(info.audioCodec, "pcm_alaw");
        EXPECT_EQ(info.sampleRate, 8000);
        EXPECT_EQ(info.channels, 1);
        EXPECT_TRUE(relay.Running()) << ReadAll(log);
    }
}

// What the supervision relies on: a relay ends when its server goes away, and a server
// restarted on the same port takes a new relay.
TEST_F(LocalServersTest, StoppedServerEndsRelayAndRestartsOnSamePort)
{
    HttpFlvSource source;
    ASSERT_TRUE(source.Start());
    NginxRtmp nginx;
    ASSERT_TRUE(nginx.Start()) << nginx.ErrorLog();
    const int port = nginx.Port();
    ServerProcess relay;
    ASSERT_TRUE(relay.Start(CopyRelay(source.Url(), nginx.Url("cam"), false), ""));
    ASSERT_TRUE(Eventually([&] { return !ProbeStream(nginx.Url("cam")).videoCodec.empty(); }, 30))
        << nginx.ErrorLog();

    nginx.Stop();
    EXPECT_FALSE(nginx.Running());
    EXPECT_FALSE(TcpPortAccepts(port));
    EXPECT_EQ(ProcessProbe::ProcessesWithArg(nginx.Dir()), std::vector<pid_t>{});
    EXPECT_TRUE(Eventually([&] { return !relay.Running(); }, 20));
    relay.Stop();
    // The HTTP source served its one client, which has now left.
    EXPECT_TRUE(Eventually([&] { return !source.Running(); }, 20));

    ASSERT_TRUE(nginx.Start()) << nginx.ErrorLog();
    EXPECT_EQ(nginx.Port(), port);
    TestPublisher publisher;
    ASSERT_TRUE(publisher.Start(nginx.Url("cam")));
    EXPECT_TRUE(Eventually([&] { return !ProbeStream(nginx.Url("cam")).videoCodec.empty(); }, 30));
}

TEST_F(LocalServersTest, CommandAndFileHelpers)
{
    TempDir dir;
    ASSERT_TRUE(dir.Valid());
    std::string out;
    EXPECT_EQ(RunCommand({"sh", "-c", "echo hello; exit 3"}, 10, &out), 3);
    EXPECT_EQ(out, "hello\n");
    EXPECT_EQ(RunCommand({"camrelay-no-such-program"}, 10), -1);
    // A command that outlives its time is killed with its whole group, grandchildren included.
    EXPECT_EQ(RunCommand({"sh", "-c", "sleep 60 & sleep 60"}, 0.5), 124);

    // Names that ffmpeg would read as a protocol or a pattern still come out as named.
    for (const std::string name : {"logo.png", "co:lon 'q' [1],%d.png"}) {
        const std::string png = MakeTestPng(dir.Path(), name);
        ASSERT_EQ(png, dir.File(name));
        std::string probe;
        ASSERT_EQ(RunCommand({"ffprobe", "-v", "error", "-show_entries",
                              "stream=codec_name,pix_fmt,width,height", "-of", "csv=p=0",
                              "-f", "png_pipe", "file:" + png},
                             20, &probe), 0) << probe;
        EXPECT_EQ(probe, "png,64,32,rgba\n");
    }
    EXPECT_EQ(MakeTestPng(dir.Path(), "sub/dir.png"), "");

    const std::string clip = MakeTestClip(dir.Path(), 2);
    ASSERT_FALSE(clip.empty());
    const StreamInfo info = ProbeStream(clip);
    EXPECT_TRUE(info.ok);
    EXPECT_EQ(info.profile, "High");
    EXPECT_EQ(info.audioCodec, "aac");
    EXPECT_FALSE(ProbeStream(dir.File("missing.flv")).ok);

    // Folders a test made unreadable are removed all the same.
    std::string kept;
    {
        TempDir inner;
        kept = inner.Path();
        ::mkdir(inner.File("locked").c_str(), 0700);
        std::ofstream(inner.File("locked/file")) << "x";
        ::chmod(inner.File("locked").c_str(), 0);
    }
    EXPECT_NE(::access(kept.c_str(), F_OK), 0);
}

// A test binary that dies while servers run leaves none of them serving.
TEST_F(LocalServersTest, ServersDieWithAnAbortedTestBinary)
{
    const struct {
        const char* how;
        int signal;
    } cases[] = {{"abort", SIGABRT}, {"kill", SIGKILL}};
    // The dying child cannot remove its server's folder: keep it inside one that this test owns.
    TempDir scratch;
    ASSERT_TRUE(scratch.Valid());
    const char* oldTmp = std::getenv("TMPDIR");
    const std::string savedTmp = oldTmp ? oldTmp : "";
    ::setenv("TMPDIR", scratch.Path().c_str(), 1);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.how);
        const int port = FreeTcpPort();
        ASSERT_GT(port, 0);
        EXPECT_EXIT(
            {
                auto* nginx = new NginxRtmp(port);   // never destroyed: the process dies first
                if (!nginx->Start())
                    std::_Exit(2);
                std::raise(c.signal);
            },
            ::testing::KilledBySignal(c.signal), "");
        EXPECT_TRUE(Eventually([&] { return !TcpPortAccepts(port); }, 10));
    }
    if (oldTmp)
        ::setenv("TMPDIR", savedTmp.c_str(), 1);
    else
        ::unsetenv("TMPDIR");
}

}   // namespace
