// The engine's decisions as tables (supervision, reload), and the reload and the relaunch rules
// on the engine and session as the headless service drives them, with the fake transcoder as
// ffmpeg and a real config.ini.
#include "engine/RelaySession.h"
#include "settings/ConfigStore.h"
#include "support/ProcessProbe.h"
#include "support/TempDir.h"

#include <sys/resource.h>
#include <unistd.h>

#include <filesystem>
#include <mutex>
#include <set>
#include <thread>

#include <gtest/gtest.h>

namespace {

class ReloadTest : public ::testing::Test, public RelayView, public MonitorSink {
protected:
    void OnRowEvent(int, const RowEvent&) override {}
    void ShowMessage(const std::string&) override {}
    // Readings reach the engine on the test's thread, through Readings().
    void PostRelayBitrate(int row, int kbps) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_readings.emplace_back(row, kbps);
    }
    void Readings()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (const auto& [row, kbps] : std::exchange(m_readings, {}))
            m_engine->OnRelayBitrate(row, kbps);
    }

    // Channels 门口0 … stored running under ids 0 …, each a fake that runs until stopped
    // unless fake says otherwise; all started as the service starts them.
    void Open(int channels, const std::string& fake = "#hang=1", bool start = true)
    {
        std::filesystem::create_symlink(CAMRELAY_BIN_DIR "/fake_ffmpeg", m_dir.File("ffmpeg"));
        // TCP mode rewrites every RTSP line: a reload must still find them unchanged.
        m_base = "[SET DEFAULT VALUE]\nm_bRTSPuseTCP=1\nnextId=" + std::to_string(channels) + "\n";
        for (int id = 0; id < channels; ++id) {
            const std::string k = "\n" + std::to_string(id) + "+";
            // The publish address last: a file cut inside it still has the state word.
            m_base += k.substr(1) + "Name=门口" + std::to_string(id) + k + "SignalName=rtsp://127.0.0.1:1/in" + k +
                      "checkstate=1" + k + "checkstate3=1" + k + "strAVState=运行中" + k + "VdTransCode=否" + k +
                      "Adress=rtmp://127.0.0.1:1/live/" + std::to_string(id) + fake + "\n";
        }
        WriteFile(m_dir.File("config.ini"), m_base);
        m_engine = std::make_unique<RelayEngine>(m_dir.Path(), *this, *this);
        m_session = std::make_unique<RelaySession>(*m_engine, *this);
        m_session->LoadFlags();
        m_session->LoadChannels(true);
        if (start)
            StartQueued();
    }
    void StartQueued() { while (m_session->StartNext()) {} }
    // The child of each row, 0 for none.
    std::vector<pid_t> Children() const
    {
        std::vector<pid_t> pids;
        for (int row = 0; row < m_engine->RowCount(); ++row)
            pids.push_back(std::max(m_engine->View(row).pid, 0));
        return pids;
    }

    TempDir m_dir{"camrelay-reload"};
    std::string m_base;
    std::unique_ptr<RelayEngine> m_engine;
    std::unique_ptr<RelaySession> m_session;
    std::mutex m_mutex;
    std::vector<std::pair<int, int>> m_readings;
};

}  // namespace

TEST(SupervisionRules, StallTimeoutTickAndFailureVerdicts)
{
    const struct { const char* text; int ms; } timeouts[] = {
        {"", 30000}, {"abc", 30000}, {"-5", 30000}, {"0", 0}, {"1", 10000}, {"9", 10000},
        {"10", 10000}, {" +45s", 45000}, {"999999999", 86400000},
    };
    for (const auto& t : timeouts)
        EXPECT_EQ(t.ms, StallTimeoutMs(t.text)) << '"' << t.text << '"';

    const std::int64_t s = MsToNs(1000), stall = MsToNs(kDefaultStallSeconds * 1000);
    const std::int64_t minute = MsToNs(kKeepRetryPeriodMs);
    // failedStart, hasChild, childEnded, runBit, now, lastProgress, retryAt, stallNs, retryPeriodNs,
    // failedStartNoticed: a start that could not run is counted, and relaunched, a tick later, as an end
    const struct { TickInput in; TickAction want; } ticks[] = {
        {{true, false, false, false, 100 * s, 0, 0, stall, minute}, TickAction::NoticeFailedStart},
        {{true, false, false, false, 100 * s, 0, 0, stall, minute, true}, TickAction::CountFailedStart},
        {{false, false, false, false, 100 * s, 0, 0, stall, minute}, TickAction::LeaveAlone},
        {{false, false, false, false, 59 * s, 0, 60 * s, stall, minute}, TickAction::RetryNow},  // a 60th early
        {{false, false, false, false, 58 * s, 0, 60 * s, stall, minute}, TickAction::LeaveAlone},
        {{false, true, false, true, 100 * s, 70 * s, 0, stall, minute}, TickAction::LeaveAlone},
        {{false, true, false, true, 100 * s, 70 * s - 1, 0, stall, minute}, TickAction::EndStalled},
        {{false, true, false, true, 100 * s, 0, 0, 0, minute}, TickAction::LeaveAlone},  // no watchdog
        {{false, true, true, true, 100 * s, 0, 0, stall, minute}, TickAction::FirstNotice},
        {{false, true, true, false, 100 * s, 0, 0, stall, minute}, TickAction::CountEnd},
    };
    for (std::size_t i = 0; i < std::size(ticks); ++i)
        EXPECT_EQ(ticks[i].want, DecideTick(ticks[i].in)) << "tick row " << i;

    // A common failure's relaunches wait an eighth of a second more each, two seconds at most;
    // the minute of keep-retrying grows by up to a fifth by the id, not at all for id 0.
    EXPECT_EQ((std::vector<std::int64_t>{0, MsToNs(125), MsToNs(2000)}),
              (std::vector<std::int64_t>{RelaunchDelayNs(0), RelaunchDelayNs(1), RelaunchDelayNs(99)}));
    for (int id : {0, 1, 7, 12345})
        EXPECT_TRUE(RetrySpreadNs(id, minute) <= minute / 5 && (id != 0 || RetrySpreadNs(id, minute) == 0)) << id;
    // Ten failures in a row give up; keep-retrying relaunches a minute after the last attempt.
    const struct { int failures; bool keep; FailureAction want; std::int64_t retryAt; } failures[] = {
        {1, false, FailureAction::Relaunch, 0}, {9, true, FailureAction::Relaunch, 0}, {10, false, FailureAction::GiveUp, 0},
        {10, true, FailureAction::RetryEveryMinute, 65 * s}, {11, true, FailureAction::RetryEveryMinute, 65 * s}};
    for (const auto& f : failures) {
        const FailureVerdict v = DecideAfterFailure(f.failures, f.keep, 5 * s, MsToNs(kKeepRetryPeriodMs));
        EXPECT_EQ(std::pair(f.want, f.retryAt), std::pair(v.action, v.retryAt)) << f.failures << f.keep;
    }
}

TEST(ReloadDecisionTest, StartsStopsRestartsOrKeeps)
{
    using Says = ReloadStored::Says;
    struct Case { bool deleted, active; const char* launched; Says says; const char* line; ReloadAction want; };
    const Case cases[] = {
        {false, false, "", Says::Running, "a", ReloadAction::Start},      // newly stored running
        {false, false, "", Says::Paused, "", ReloadAction::Keep},         // paused stays paused
        {false, true, "a", Says::Paused, "", ReloadAction::Stop},         // now paused
        {false, true, "a", Says::Deleted, "", ReloadAction::Delete},      // marked deleted
        {false, false, "", Says::Deleted, "", ReloadAction::Delete},      // gone from the endpoint too
        {false, true, "a", Says::Nothing, "", ReloadAction::Keep},        // keys gone, cut short or no word
        {false, true, "a", Says::Running, "b", ReloadAction::Restart},    // settings changed
        {false, true, "a", Says::Running, "", ReloadAction::Restart},     // now refused: the old child must go
        {false, true, "a", Says::Running, "a", ReloadAction::Keep},       // unchanged: same child, same count
        {false, true, "", Says::Running, "b", ReloadAction::Keep},        // queued or between attempts
        {true, false, "", Says::Running, "a", ReloadAction::Start},       // deleted by a reload, stored again
        {true, false, "", Says::Deleted, "", ReloadAction::Keep},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.want, DecideReload({c.deleted, c.active, c.launched}, {c.says, c.line}))
            << c.deleted << c.active << c.launched << int(c.says) << c.line;
}

// Three running channels; each file below is put in place and reloaded ('=' the same child,
// 'n' a new one, 'x' none, 'd' deleted), then the original is put back and reloaded: every channel runs again.
TEST_F(ReloadTest, OnlyWhatTheFileSaysChanges)
{
    Open(3);
    ASSERT_TRUE(Children()[0] && Children()[1] && Children()[2]);
    EXPECT_FALSE(m_engine->View(0).up) << "a child that never reported progress counts as up";
    const std::string& b = m_base;
    const auto cut = [&b](const std::string& at, int more) { return b.substr(0, b.find(at) + at.size() + more); };
    const auto swap = [&b](const std::string& from, const std::string& to) {  // every occurrence
        std::string t = b;
        for (std::size_t at; (at = t.find(from)) != std::string::npos;)
            t.replace(at, from.size(), to);
        return t;
    };
    const struct { const char* what; std::string file; const char* children, *name1; bool warns; } cases[] = {
        {"empty", "", "===", "门口1", false},
        {"missing", "-", "===", "门口1", false},
        {"a folder", "/", "===", "门口1", false},
        {"no section", b.substr(b.find('\n') + 1), "===", "门口1", false},
        {"cut inside a line", cut("1+Adress=rtmp://12", 0), "===", "门口1", false},
        {"cut inside a channel", cut("1+SignalName=", 0) + "x\n", "===", "门口1", false},
        {"last channel gone", cut("live/1" + std::string("#hang=1"), 1), "===", "门口1", false},
        {"GBK", swap("门口1", "\xC3\xC5\xBF\xDA" "1"), "===", "门口1", false},
        {"renamed", swap("门口1", "后门"), "===", "后门", false},
        {"paused", swap("1+strAVState=运行中", "1+strAVState=暂停中"), "=x=", "门口1", false},
        {"deleted", b + "2+ISDelete=true\n", "==d", "门口1", false},
        {"changed", swap("live/0#", "live/9#"), "n==", "门口1", false},
        {"all paused", swap("运行中", "暂停中"), "xxx", "门口1", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string ini = m_dir.File("config.ini");
        std::filesystem::remove_all(ini);
        c.file == "/" ? void(std::filesystem::create_directory(ini)) : c.file == "-" ? void() : WriteFile(ini, c.file);
        const std::uintmax_t logged = std::filesystem::file_size(m_dir.File("CamRelay.log"));
        const std::vector<pid_t> before = Children();
        m_session->Reload();
        std::string seen;
        for (std::size_t row = 0; row < 3; ++row)
            seen += m_engine->View(int(row)).deleted ? 'd' : Children()[row] == 0 ? 'x' : Children()[row] == before[row] ? '=' : 'n';
        EXPECT_EQ(c.children, seen);
        EXPECT_EQ(c.name1, m_engine->View(1).name);
        m_engine->Log().Flush();
        const std::string log = ReadFile(m_dir.File("CamRelay.log")).substr(logged);
        EXPECT_EQ(c.warns, log.find("警告") != std::string::npos);
        const bool gone = std::string(c.what) == "cut inside a channel" || std::string(c.what) == "last channel gone";
        EXPECT_EQ(gone, log.find("(id 2): 配置中找不到该信号") != std::string::npos) << log;  // channel 2's keys
        std::filesystem::remove_all(ini);
        WriteFile(ini, m_base);
        m_session->Reload();
        StartQueued();
        const std::vector<pid_t> after = Children();
        EXPECT_EQ(0, std::count(after.begin(), after.end(), 0)) << "not started again by the whole file";
    }
    // A channel stored under a new id, running, is appended and started.
    WriteFile(m_dir.File("config.ini"), b + "7+Name=新\n7+checkstate=1\n7+checkstate3=1\n7+strAVState=运行中\n"
                                            "7+Adress=rtmp://127.0.0.1:1/live/7#hang=1\n");
    m_session->Reload();
    StartQueued();
    EXPECT_EQ("新", m_engine->View(3).name);
    EXPECT_LT(0, m_engine->View(3).pid) << "a channel newly stored running was not started";
    m_engine->StopAllChannels();
    EXPECT_TRUE(ProcessProbe::ChildPids(false).empty());
}

// A relaunch that finds no descriptor for its pipe counts as a failed attempt and is retried
// at the next tick, like any other start that could not run.
TEST_F(ReloadTest, RelaunchWithoutAPipeIsRetried)
{
    Open(1, "#lines=2,interval=50,kbps=512.0,exit=1");
    ASSERT_TRUE(ProcessProbe::WaitUntil([&] { return !ProcessProbe::IsAlive(Children()[0]); }, std::chrono::seconds(5)));
    Readings();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const double age = m_engine->View(0).secondsSinceReading.value_or(-1);
    EXPECT_TRUE(age >= 0.3 && age < 30) << age << " s since the reading";
    m_engine->SuperviseTick();  // first notice
    EXPECT_EQ(0, m_engine->View(0).kbps) << "the bitrate of a child that ended is still reported";
    rlimit saved{}, none{};
    ::getrlimit(RLIMIT_NOFILE, &saved);
    none = {static_cast<rlim_t>(::dup(0)), saved.rlim_max};  // no descriptor left from the lowest free one up
    ::close(static_cast<int>(none.rlim_cur));
    ::setrlimit(RLIMIT_NOFILE, &none);
    m_engine->SuperviseTick();  // counted, relaunched: no pipe
    ::setrlimit(RLIMIT_NOFILE, &saved);
    EXPECT_EQ(-1, m_engine->View(0).pid);
    // No descriptor for the pipe, or for the child's: said in the operator's words either way.
    EXPECT_TRUE(m_engine->RowOutput(0).back().ends_with("：本程序打开的文件过多（文件描述符已用尽）")) << m_engine->RowOutput(0).back();
    m_engine->SuperviseTick();
    EXPECT_EQ(-1, m_engine->View(0).pid) << "relaunched five seconds after the failed start, not ten";
    m_engine->SuperviseTick();
    EXPECT_LT(0, m_engine->View(0).pid) << "a relaunch without a pipe was never retried";
    EXPECT_NE(std::string::npos, m_engine->RowFailure(0).at(0).find("无法"));
}

// "全部暂停" reaches rows still waiting in the start queue: none of them starts later.
TEST_F(ReloadTest, PauseAllStopsQueuedRowsToo)
{
    Open(2, "#hang=1", false);
    EXPECT_EQ(2, m_engine->PauseAll());
    StartQueued();
    EXPECT_EQ((std::vector<pid_t>{0, 0}), Children());
    EXPECT_EQ("暂停中", ConfigStore(m_dir.Path()).GetValue("1+strAVState"));
    // Keep-retrying: on by default for the service (its log says so, read by the headless test),
    // but a stored 0 holds.
    ConfigStore(m_dir.Path()).SetValue("0", "m_bKeepRetrying");
    RelaySession(*m_engine, *this, true).LoadFlags();
    EXPECT_FALSE(m_engine->Options().m_bKeepRetrying);
}

// Twenty channels fail together (a server outage): the first is relaunched at once, the others
// spread over two seconds after it, never all in the same second.
TEST_F(ReloadTest, CommonFailureRelaunchesAreSpread)
{
    Open(20, "#lines=0,exit=1");
    std::vector<pid_t> before = Children();
    ASSERT_TRUE(ProcessProbe::WaitUntil([&] { return std::none_of(before.begin(), before.end(), ProcessProbe::IsAlive); },
                                        std::chrono::seconds(10)));
    m_engine->SuperviseTick();  // first notice
    m_engine->SuperviseTick();  // counted: relaunched or scheduled
    const auto counted = std::chrono::steady_clock::now();
    std::set<long> seconds;
    while (m_engine->NextRelaunchAt() != 0 || seconds.empty()) {
        m_engine->RelaunchDue();
        const std::vector<pid_t> now = Children();
        if (now != before)  // a relaunch since the last look: note its second
            seconds.insert(std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - counted).count());
        before = now;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ((std::set<long>{0, 1, 2}), seconds);
}
