#include "ffmpeg/OutputMonitor.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support/ProcessProbe.h"

using namespace std::chrono_literals;
using ProcessProbe::WaitUntil;

namespace {

// Every text is fed in two reads, cut at every byte: a status line is read only once it is whole,
// so the first reading is always that of the first status line, whatever the cut.
TEST(ProgressParser, ReadsTheFirstWholeStatusLineWhereverTheReadCutsIt)
{
    const struct { const char* what; std::string text; int kbps; } cases[] = {   // kbps -1: no post
        {"ffmpeg 7.1, copy", "frame=   75 fps= 25 q=-1.0 size=     769KiB time=00:00:03.02 bitrate=2081.9kbits/s speed=0.995x    \r", 2081},
        {"ffmpeg 5.1", "frame=  126 fps=0.0 q=4.0 size=     196kB time=00:00:05.06 bitrate= 318.0kbits/s speed=9.87x\r", 318},
        {"final line, 13-digit size", "Lsize=1234567890123kB time=765:00:00.07 bitrate=N/A speed=N/A\n", 0},
        {"first of two", "size=  100kB time=00:00:05.06 bitrate= 100.0kbits/s\rsize=  200kB time=00:00:06.06 bitrate= 200.0kbits/s\r", 100},
        {"after other lines", "[rtsp @ 0x55] size=4 in header\nInput #0, rtsp:\n size=  99kB time=00:00:01.00 bitrate= 812.0kbits/s\r", 812},
        {"positional, no label", "size=     196kB time=00:00:05.06 xxxxxxx=1011.2kbits/s speed=1x\r", 1011},
        {"not yet ended", "size=     196kB time=00:00:05.06 bitrate= 318.0kbits/s", -1},
        {"beyond the carry bound", std::string(1500, 'x') + " size=  1kB time=00:00:01.00 bitrate= 777.0kbits/s\r", -1},
    };
    // The size field, in kB (1,024 bytes) however it is spelled; none while it says N/A.
    for (const auto& [line, bytes] : {std::pair{"size=     196kB time=1 bitrate=1.0kbits/s", 196 * 1024},
                                      {"size=   7KiB time=1 bitrate=1.0kbits/s", 7 * 1024}, {"size=N/A time=N/A bitrate=N/A", -1}})
        EXPECT_EQ(bytes, ParseStatusLine(line).bytes) << line;
    // The figures of a live channel's health, and the RTP loss ffmpeg reports on lines of their own.
    const ProgressReading r = ParseStatusLine("frame= 1500 fps= 24 q=28.0 size=  2048kB time=00:01:00.00 bitrate= 279.6kbits/s dup=3 drop=17 speed=0.21x");
    EXPECT_EQ(std::make_tuple(1500LL, 24.0, 0.21, 17LL, 3LL), std::make_tuple((long long)r.frames, r.fps, r.speed, (long long)r.dropped, (long long)r.duplicated));
    EXPECT_EQ(-1, ParseStatusLine("size=N/A time=N/A bitrate=N/A speed=N/A").speed);
    EXPECT_EQ(12, MissedPackets("[rtsp @ 0x55d] RTP: missed 12 packets"));
    EXPECT_EQ(0, MissedPackets("[rtsp @ 0x55d] RTP: missed 12 bytes"));
    OutputLineReader lossy;
    lossy.Feed("[rtsp @ 0x5] RTP: missed 3 packets\nRTP: missed 2 packets\r");
    EXPECT_EQ(5, lossy.LostPackets());
    for (const auto& c : cases) {
        for (std::size_t cut = 0; cut <= c.text.size(); ++cut) {
            OutputLineReader reader;
            std::vector<int> posts;
            for (const ProgressReading& r : {reader.Feed(c.text.substr(0, cut)), reader.Feed(c.text.substr(cut))})
                if (r.post)
                    posts.push_back(r.kbps);
            ASSERT_EQ(posts.empty() ? -1 : posts.front(), c.kbps) << c.what << ", cut at " << cut;
        }
    }
}

// The watchdog's clock moves only when the output's time or size does (1: the line advances it).
TEST(ProgressClock, AdvancesOnlyWhenTheOutputsTimeOrSizeDoes)
{
    const struct { const char* what; std::vector<const char*> lines; const char* advances; } cases[] = {
        {"5.1, transcoding", {"frame=  126 fps=0.0 q=4.0 size=     196kB time=00:00:05.06 bitrate= 318.0kbits/s speed=9.87x",
                              "frame=  139 fps= 25 q=4.0 size=     220kB time=00:00:05.58 bitrate= 322.1kbits/s speed=1x"}, "11"},
        {"7.1 copy, camera stopped", {"frame=   75 fps= 25 q=-1.0 size=     769KiB time=00:00:03.02 bitrate=2081.9kbits/s speed=0.995x",
                                      "frame=   75 fps= 21 q=-1.0 size=     769KiB time=00:00:03.02 bitrate=2081.9kbits/s speed=0.852x",
                                      "frame=   75 fps= 18 q=-1.0 size=     769KiB time=00:00:03.02 bitrate=2081.9kbits/s speed=0.744x"}, "100"},
        {"time alone, hundredths", {"size=1kB time=100:00:00.00 bitrate=0.1kbits/s", "size=1kB time=100:00:00.01 bitrate=0.1kbits/s"}, "11"},
        {"size alone", {"size=  10KiB time=N/A bitrate=N/A", "size=  12KiB time=N/A bitrate=N/A", "size=  12KiB time=N/A bitrate=N/A"}, "110"},
        {"nothing written yet", {"size=       0kB time=-577014:32:22.77 bitrate=  -0.0kbits/s", "size=0KiB time=N/A bitrate=N/A"}, "00"},
    };
    for (const auto& c : cases) {
        ProgressClock clock;
        std::string advances;
        for (const char* line : c.lines)
            advances += clock.Advances(ParseStatusLine(line)) ? '1' : '0';
        EXPECT_EQ(c.advances, advances) << c.what;
    }
}

// One pipe whose read end a monitor of row 7 owns; the fixture is the sink and records the posts.
class MonitorTest : public ::testing::Test, public MonitorSink {
protected:
    void SetUp() override { ASSERT_EQ(::pipe2(m_pipe, O_CLOEXEC), 0); }
    void TearDown() override
    {
        m_monitor.reset();   // every test starts it: it has closed the read end
        ::close(m_pipe[1]);
    }
    void PostProgress(int row, const ProgressSample& s) override { m_posts.Append(std::to_string(row) + ":" + std::to_string(s.kbps)); }
    void PostOutputEnded(int row) override { m_posts.Append(std::to_string(row) + ":ended"); }
    bool Posted(std::size_t count) { return WaitUntil([&] { return m_posts.Lines().size() >= count; }, 5s); }
    void Start() { m_monitor = std::make_unique<OutputMonitor>(MonitorContext{this, m_pipe[0], -1, 7, nullptr, m_tail, &m_lastProgress}); }
    void Write(const std::string& text) { ASSERT_EQ(::write(m_pipe[1], text.data(), text.size()), ssize_t(text.size())); }
    static std::string Status(int ms, int kib)
    {
        char line[96];
        std::snprintf(line, sizeof line, "size=%6dkB time=00:00:%02d.%02d bitrate= 999.0kbits/s\r", kib, ms / 1000, ms % 1000 / 10);
        return line;
    }

    int m_pipe[2] = {-1, -1};
    std::shared_ptr<OutputTail> m_tail = std::make_shared<OutputTail>();
    std::unique_ptr<OutputMonitor> m_monitor;
    OutputTail m_posts{1000};   // "row:kbps" as posted; thread-safe
    std::atomic<std::int64_t> m_lastProgress{0};
};

// A child's first line is where its rate starts: no post. Of the lines one read brings, the
// first is read; a line that repeats the last time and size moves neither
// the watchdog's clock nor the rate.
TEST_F(MonitorTest, PostsRatesInOrderPausesAfterStatusLinesAndStopCutsThePause)
{
    Start();
    Write(Status(1000, 100));
    ASSERT_TRUE(WaitUntil([&] { return m_lastProgress.load() != 0; }, 5s));
    const std::int64_t first = m_lastProgress.load();
    Write(Status(2000, 200) + Status(3000, 400));  // one read: 100 kB in a second, 819 kbit/s
    ASSERT_TRUE(Posted(1));
    const std::int64_t second = m_lastProgress.load();
    EXPECT_GT(second, first);
    Write(Status(2000, 200));
    ASSERT_TRUE(Posted(2));
    EXPECT_EQ(second, m_lastProgress.load()) << "the same time and size moved the watchdog's clock";
    // Stop() cuts the pause that follows the last post short.
    const auto stopAt = std::chrono::steady_clock::now();
    m_monitor->Stop();
    m_monitor->Join();
    EXPECT_LT(std::chrono::steady_clock::now() - stopAt, 1900ms);
    EXPECT_EQ(m_posts.Lines(), (std::vector<std::string>{"7:819", "7:0"}));
}

// A child that ends during the pause after a reading: its end is reported without waiting for
// the pause to run out, so that a relaunch need not wait either.
TEST_F(MonitorTest, AnEndDuringThePauseCutsItShort)
{
    Start();
    Write(Status(1000, 100) + Status(2000, 200));
    ASSERT_TRUE(Posted(1));
    const auto endAt = std::chrono::steady_clock::now();
    ::close(std::exchange(m_pipe[1], -1));
    ASSERT_TRUE(Posted(2));
    EXPECT_LT(std::chrono::steady_clock::now() - endAt, 1900ms);
    EXPECT_EQ("7:ended", m_posts.Lines().back());
}

// Waiting in the pipe, the blob is read as 4096 bytes and the rest: one line is cut between the reads.
TEST_F(MonitorTest, TailKeepsTheLastFiftyLinesAndEndsAtEof)
{
    std::string blob;
    std::vector<std::string> lines;
    for (int i = 0; i < 70; ++i) {
        lines.push_back("[rtsp @ 0x55] info line " + std::to_string(i) + std::string(i % 7 * 12, '.'));
        blob += lines.back() + (i == 69 ? "" : "\n");
    }
    ASSERT_TRUE(blob.size() > 4096 && blob[4095] != '\n');
    Write(blob);
    ::close(std::exchange(m_pipe[1], -1));   // end of file after the blob
    Start();
    m_monitor->Join();  // returns once the monitor has read to the end of the file
    EXPECT_EQ(m_tail->Lines(), std::vector<std::string>(lines.end() - 50, lines.end()));
    EXPECT_EQ(m_posts.Lines(), std::vector<std::string>{"7:ended"}) << "the end of the output was not reported";
}

}   // namespace
