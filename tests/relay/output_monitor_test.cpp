#include "relay/OutputMonitor.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "relay/ChildProcess.h"
#include "support/ProcessProbe.h"

using namespace std::chrono_literals;
using ProcessProbe::WaitUntil;
using Clock = std::chrono::steady_clock;

namespace {

// ---- the parser --------------------------------------------------------------------------

std::string StatusLine(const char* sizeField, const char* bitrate)
{
    return std::string("frame=  126 fps=0.0 q=4.0 size=") + sizeField +
           " time=00:00:05.06 bitrate=" + bitrate + " speed=9.87x\r";
}

// A chunk of exactly 4096 bytes that ends with the given text.
std::string FullChunkEndingWith(const std::string& tail)
{
    std::string chunk(4096 - tail.size(), '.');
    chunk.back() = '\n';
    return chunk + tail;
}

TEST(ProgressParser, ReadsTheBitrateOfTheFirstStatusLine)
{
    struct Case {
        const char* what;
        std::string chunk;
        bool hasSize;
        bool post;
        int kbps;
    } cases[] = {
        {"ffmpeg 5.1 line", StatusLine("     196kB", " 318.0kbits/s"), true, true, 318},
        {"7.x KiB moves the column", StatusLine("     196KiB", " 318.0kbits/s"), true, true, 318},
        {"copy mode without frame/fps",
         "size=     512KiB time=00:00:10.00 bitrate= 419.4kbits/s speed=1.0x\r", true, true, 419},
        {"N/A fields", "frame=    1 fps=0.0 q=0.0 size=N/A time=00:00:00.00 bitrate=N/A speed=N/A    \r",
         true, true, 0},
        {"first line of a run", "frame=    1 fps=0.0 q=0.0 size=       0kB time=00:00:00.00 bitrate=N/A speed=N/A    \r",
         true, true, 0},
        {"negative zero", "size=       0kB time=00:00:00.00 bitrate=  -0.0kbits/s speed=N/A\r", true, true, 0},
        {"summary line", "frame=   75 fps=0.0 q=-1.0 Lsize=      15kB time=00:00:02.88 bitrate=  41.2kbits/s speed=43.9x    \n",
         true, true, 41},
        {"only the first of several lines",
         StatusLine("     100kB", " 100.0kbits/s") + StatusLine("     200kB", " 200.0kbits/s"), true, true, 100},
        {"banner before the line", "Press [q] to stop, [?] for help\n" + StatusLine("     196kB", "1011.2kbits/s"),
         true, true, 1011},
        {"blanks before the value", "size=     196kB time=00:00:05.06 bitrate=  56.3kbits/s speed=1x\r", true, true, 56},
        {"positional rule without a bitrate label",
         "size=     196kB time=00:00:05.06 xxxxxxx=1011.2kbits/s speed=1x\r", true, true, 1011},
        {"huge size pushes the column",
         "frame=99999 fps= 25 q=28.0 size=123456789kB time=12:34:56.78 bitrate= 654.3kbits/s speed=1x\r", true, true, 654},
        {"value cut after its digits", "size=     196KiB time=00:00:05.06 bitrate= 318.0kbi", true, true, 318},
        {"value cut inside its digits: too short to read", "size=     196kB time=00:00:05.06 bitrate= 31", true,
         false, 0},
        {"size= close to the end", "frame= 1 fps=0 size=     196kB time=00:00:05.06 bitr", true, false, 0},
        {"no status line", "Input #0, rtsp, from 'rtsp://127.0.0.1:8554/test':\n  Duration: N/A, bitrate: N/A\n",
         false, false, 0},
        {"empty chunk", "", false, false, 0},
        {"full chunk, complete line at its end", FullChunkEndingWith("size=     196kB time=00:00:05.06 bitrate= 318.0kbits/s"),
         true, true, 318},
        {"full chunk, line cut at its end", FullChunkEndingWith("size=     196kB time=00:00:05.06 bitrate= 3"), true,
         false, 0},
        {"absurd value saturates", "size=     196kB time=00:00:05.06 bitrate=99999999999999kbits/s\r", true, true,
         2147483647},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ProgressReading r = ParseProgressChunk(c.chunk);
        EXPECT_EQ(r.hasSize, c.hasSize);
        EXPECT_EQ(r.post, c.post);
        if (c.post) {
            EXPECT_EQ(r.kbps, c.kbps);
        }
    }
}

// ---- the monitor thread ------------------------------------------------------------------

// Records what a monitor posts; the test thread waits on it.
class RecordingSink : public MonitorSink {
public:
    void PostRelayBitrate(int row, int kbps) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_posts.emplace_back(row, kbps);
        m_changed.notify_all();
    }
    bool WaitForCount(std::size_t count, std::chrono::milliseconds timeout = 5s)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, timeout, [&] { return m_posts.size() >= count; });
    }
    std::vector<std::pair<int, int>> Posts()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_posts;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<std::pair<int, int>> m_posts;
};

// One pipe whose read end goes to a monitor; closes what is left when the test ends.
class MonitorTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(::pipe2(m_pipe, O_CLOEXEC), 0); }
    void TearDown() override
    {
        m_monitor.reset();
        CloseWriter();
        if (!m_started && m_pipe[0] >= 0)
            ::close(m_pipe[0]);
    }

    void Start(int row = 7)
    {
        MonitorContext ctx;
        ctx.m_pOwner = &m_sink;
        ctx.m_hReadPipe = m_pipe[0];
        ctx.m_nRow = row;
        ctx.m_pRunning = &m_running;
        ctx.m_tail = m_tail;
        m_started = true;
        m_monitor = std::make_unique<OutputMonitor>(ctx);
        ASSERT_TRUE(m_monitor->Started());
    }
    void Write(const std::string& text)
    {
        ASSERT_EQ(::write(m_pipe[1], text.data(), text.size()), static_cast<ssize_t>(text.size()));
    }
    void CloseWriter()
    {
        if (m_pipe[1] >= 0)
            ::close(m_pipe[1]);
        m_pipe[1] = -1;
    }
    // The monitor has closed the read end: the write end reports an error.
    bool ReaderClosed()
    {
        pollfd p{m_pipe[1], POLLOUT, 0};
        return ::poll(&p, 1, 0) == 1 && (p.revents & POLLERR);
    }
    bool TailHas(const std::string& line)
    {
        for (const std::string& l : m_tail->Lines())
            if (l == line)
                return true;
        return false;
    }
    static std::string Status(int kbps)
    {
        char line[128];
        std::snprintf(line, sizeof line,
                      "frame=  126 fps=0.0 q=4.0 size=     196kB time=00:00:05.06 bitrate=%6.1fkbits/s speed=1x\r",
                      static_cast<double>(kbps));
        return line;
    }

    int m_pipe[2] = {-1, -1};
    bool m_started = false;
    std::atomic<bool> m_running{true};
    RecordingSink m_sink;
    std::shared_ptr<OutputTail> m_tail = std::make_shared<OutputTail>();
    std::unique_ptr<OutputMonitor> m_monitor;
};

TEST_F(MonitorTest, PostsInOrderPausesAfterStatusLinesAndEndsAtEof)
{
    Start(7);
    const auto begin = Clock::now();
    // Chunks without a status line are dropped and the next read follows at once.
    Write("ffmpeg version 5.1\n");
    ASSERT_TRUE(WaitUntil([&] { return TailHas("ffmpeg version 5.1"); }, 5s));
    Write("Stream mapping:\n");
    ASSERT_TRUE(WaitUntil([&] { return TailHas("Stream mapping:"); }, 5s));
    Write(Status(100));
    ASSERT_TRUE(m_sink.WaitForCount(1));
    EXPECT_LT(Clock::now() - begin, 1900ms);

    // Written during the pause, these two wait in the pipe and are read as one chunk; without
    // the pause they would be read (and posted) one by one.
    std::this_thread::sleep_for(300ms);
    Write(Status(200));
    std::this_thread::sleep_for(300ms);
    Write(Status(300));
    ASSERT_TRUE(m_sink.WaitForCount(2));
    Write(Status(400));
    ASSERT_TRUE(m_sink.WaitForCount(3));
    CloseWriter();
    EXPECT_TRUE(WaitUntil([&] { return m_monitor->Finished(); }, 5s));
    const std::vector<std::pair<int, int>> expected = {{7, 100}, {7, 200}, {7, 400}};
    EXPECT_EQ(m_sink.Posts(), expected);
}

TEST_F(MonitorTest, StopInterruptsThePauseAndTheRead)
{
    Start();
    Write(Status(250));
    ASSERT_TRUE(m_sink.WaitForCount(1));
    const auto stopAt = Clock::now();
    m_monitor->Stop();
    m_monitor->Stop();   // idempotent
    m_monitor->Join();
    EXPECT_LT(Clock::now() - stopAt, 1900ms);
    EXPECT_TRUE(m_monitor->Finished());
    EXPECT_TRUE(ReaderClosed());
}

TEST_F(MonitorTest, StopEndsAMonitorBlockedInItsRead)
{
    Start();
    m_monitor->Stop();
    m_monitor->Join();
    EXPECT_TRUE(m_monitor->Finished());
    EXPECT_TRUE(ReaderClosed());
    EXPECT_TRUE(m_sink.Posts().empty());
}

TEST_F(MonitorTest, ClearRunBitAtStartReadsNothing)
{
    Write(Status(318));
    m_running = false;
    Start();
    ASSERT_TRUE(WaitUntil([&] { return m_monitor->Finished(); }, 5s));
    EXPECT_TRUE(ReaderClosed());
    EXPECT_TRUE(m_sink.Posts().empty());
    EXPECT_TRUE(m_tail->Lines().empty());
}

TEST_F(MonitorTest, RunBitClearedEndsAfterTheCurrentRead)
{
    Start();
    Write("first\n");
    ASSERT_TRUE(WaitUntil([&] { return TailHas("first"); }, 5s));
    EXPECT_FALSE(m_monitor->Finished());
    m_running = false;
    Write("second\n");
    EXPECT_TRUE(WaitUntil([&] { return m_monitor->Finished(); }, 5s));
    EXPECT_TRUE(ReaderClosed());
}

TEST_F(MonitorTest, TailKeepsTheLastFiftyLinesAcrossChunkBoundaries)
{
    // All of it waits in the pipe, so the first read takes exactly 4096 bytes and
    // "Connection refused" is split between two reads.
    std::string blob;
    std::vector<std::string> lines;
    for (int i = 0; blob.size() < 3900; ++i) {
        lines.push_back("[rtsp @ 0x55] info line " + std::to_string(i));
        blob += lines.back() + "\n";
        if (i % 10 == 0)
            blob += Status(100 + i);
    }
    std::string filler(4096 - 9 - blob.size() - 1, 'f');
    lines.push_back(filler);
    blob += filler + "\n";
    ASSERT_EQ(blob.size(), 4096u - 9);
    blob += "Connection refused\nConversion failed!";
    lines.push_back("Connection refused");
    lines.push_back("Conversion failed!");
    Write(blob);
    CloseWriter();

    Start();
    ASSERT_TRUE(WaitUntil([&] { return m_monitor->Finished(); }, 10s));
    const std::vector<std::string> expected(lines.end() - 50, lines.end());
    EXPECT_EQ(m_tail->Lines(), expected);
    EXPECT_EQ(m_sink.Posts().size(), 1u);
}

TEST(OutputMonitor, HundredMonitorsLeaveNoDescriptorOrThread)
{
    const int fds = ProcessProbe::OpenFdCount();
    const int threads = ProcessProbe::ThreadCount();
    RecordingSink sink;
    std::atomic<bool> running{true};
    for (int i = 0; i < 100; ++i) {
        int p[2];
        ASSERT_EQ(::pipe2(p, O_CLOEXEC), 0);
        if (i % 2) {
            ASSERT_GT(::write(p[1], "size=     196kB time=00:00:05.06 bitrate= 318.0kbits/s\r", 55), 0);
        }
        {
            OutputMonitor monitor({&sink, p[0], -1, i, &running, nullptr});
            ASSERT_TRUE(monitor.Started());
        }
        ::close(p[1]);
    }
    EXPECT_EQ(ProcessProbe::OpenFdCount(), fds);
    EXPECT_TRUE(WaitUntil([&] { return ProcessProbe::ThreadCount() == threads; }, 5s));
}

TEST(OutputMonitor, WithoutAThreadTheReadEndIsClosed)
{
    pid_t pid = ::fork();
    if (pid == 0) {
        int p[2];
        if (::pipe2(p, O_CLOEXEC) != 0)
            ::_exit(10);
        // No descriptor left for the monitor's wake-up: it cannot start.
        int lowest = ::dup(0);
        ::close(lowest);
        rlimit lim{static_cast<rlim_t>(lowest), static_cast<rlim_t>(lowest)};
        if (::setrlimit(RLIMIT_NOFILE, &lim) != 0)
            ::_exit(11);
        std::atomic<bool> running{true};
        OutputMonitor monitor({nullptr, p[0], -1, 0, &running, nullptr});
        if (monitor.Started() || !monitor.Finished())
            ::_exit(12);
        pollfd w{p[1], POLLOUT, 0};
        ::_exit(::poll(&w, 1, 0) == 1 && (w.revents & POLLERR) ? 0 : 13);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(OutputMonitor, FollowsARealChildToItsEnd)
{
    SpawnResult child = SpawnChild(ProcessProbe::FakeFfmpegPath(),
                                   {"-i", "rtsp://127.0.0.1:8554/test", "-f", "flv",
                                    "rtmp://127.0.0.1/live/s#lines=3,interval=20,kbps=512.0,shape=KiB,exit=1,"
                                    "error=Connection%20refused"});
    ASSERT_EQ(child.status, SpawnResult::Ok);
    RecordingSink sink;
    std::atomic<bool> running{true};
    auto tail = std::make_shared<OutputTail>();
    {
        OutputMonitor monitor({&sink, child.readFd, child.pid, 3, &running, tail});
        EXPECT_TRUE(WaitUntil([&] { return monitor.Finished(); }, 15s));
    }
    int code = -1;
    EXPECT_TRUE(WaitUntil([&] { return PollChild(child.pid, &code) == ChildState::Ended; }, 5s));
    KillChild(child.pid);
    EXPECT_EQ(code, 1);

    const auto posts = sink.Posts();
    ASSERT_FALSE(posts.empty());
    for (const auto& post : posts) {
        EXPECT_EQ(post, std::make_pair(3, 512));
    }
    const auto lines = tail->Lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "Connection refused");
    for (const std::string& line : lines) {
        EXPECT_EQ(line.find("size="), std::string::npos) << line;
    }
}

}   // namespace
