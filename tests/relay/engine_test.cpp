// The engine's decisions as tables (supervision, reload), and its scenarios on the engine and
// session as the faces drive them: scripted children on a hand-moved clock with a real
// config.ini (no process, no Qt), and the fake transcoder where the system's limits matter.
#include "engine/RelaySession.h"
#include "settings/ConfigLint.h"
#include "settings/ConfigStore.h"
#include "support/ProcessProbe.h"
#include "support/TempDir.h"

#include <sys/resource.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <mutex>
#include <numeric>
#include <regex>
#include <set>
#include <thread>

#include <gtest/gtest.h>

namespace {

// Children as a script: each spawn gets the next pid and runs until the test ends it; a kill
// ends it too. No process is made.
class ScriptedChildren : public ChildLauncher {
public:
    SpawnResult Spawn(const std::string&, const std::vector<std::string>& args) const override
    {
        exits[next] = -1;
        spawned.push_back(next);
        lines[next] = " " + std::accumulate(args.begin(), args.end(), std::string(),
                                            [](std::string a, const std::string& b) { return a + " " + b; });
        return {SpawnResult::Ok, next++, -1, 0};
    }
    ChildState Poll(pid_t pid, int* exitCode, int* signal) const override
    {
        if (exits.at(pid) < 0)
            return ChildState::Running;
        *exitCode = exits[pid], *signal = 0;
        return ChildState::Ended;
    }
    void Kill(pid_t pid) const override { exits[pid] = 137; }
    mutable std::map<pid_t, int> exits;  // -1 while running
    mutable std::vector<pid_t> spawned;
    mutable std::map<pid_t, std::string> lines;  // each child's arguments, blank-separated
    mutable pid_t next = 1000;
};

// A clock moved by hand.
class ManualClock : public TimeSource {
public:
    std::int64_t SteadyNs() const override { return ns; }
    std::time_t Now() const override { return 1700000000 + static_cast<std::time_t>(ns / 1000000000); }
    std::int64_t ns = MsToNs(1000000);
};

EncoderSupport NoEncoderQuery(const std::string&) { return {}; }

class EngineScenario : public ::testing::Test, public RelayView, public MonitorSink {
protected:
    void OnRowEvent(int, const RowEvent&) override {}
    void ShowMessage(const std::string&) override {}
    // Readings reach the engine on the test's thread, through Readings() (real children only).
    void PostProgress(int row, const ProgressSample& sample) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_readings.emplace_back(row, sample);
    }
    void Readings()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (const auto& [row, sample] : std::exchange(m_readings, {}))
            m_engine->OnProgress(row, sample);
    }

    // Channels 门口0 … stored under ids 0 …, running unless state says otherwise; started as the
    // service queues them. Scripted children on the hand-moved clock, or (real) the fake
    // transcoder told by fake what to do.
    void Open(int channels, const std::string& state = "运行中", bool real = false, const std::string& fake = "#hang=1",
              const std::string& globals = "")
    {
        // TCP mode rewrites every RTSP line: a reload must still find them unchanged.
        m_base = "[SET DEFAULT VALUE]\nm_bRTSPuseTCP=1\nnextId=" + std::to_string(channels) + "\n" + globals;
        for (int id = 0; id < channels; ++id) {
            const std::string k = "\n" + std::to_string(id) + "+";
            // The publish address last: a file cut inside it still has the state word.
            m_base += k.substr(1) + "Name=门口" + std::to_string(id) + k + "SignalName=rtsp://127.0.0.1:1/in" + k +
                      "checkstate=1" + k + "checkstate3=1" + k + "strAVState=" + state + k + "VdTransCode=否" + k +
                      "Adress=rtmp://127.0.0.1:1/live/" + std::to_string(id) + (real ? fake : "") + "\n";
        }
        WriteFile(m_dir.File("config.ini"), m_base);
        EngineEffects effects{&m_children, &m_clock, &NoEncoderQuery};
        if (real) {
            std::filesystem::create_symlink(CAMRELAY_BIN_DIR "/fake_ffmpeg", m_dir.File("ffmpeg"));
            effects = {};
        }
        m_engine = std::make_unique<RelayEngine>(m_dir.Path(), *this, *this, effects);
        m_session = std::make_unique<RelaySession>(*m_engine);
        m_session->LoadFlags();
        m_session->LoadChannels(true);
    }
    void StartQueued() { while (m_engine->StartNextQueued()) {} }
    // Moves the clock on by ms as a face does: from one of the engine's deadlines to the next.
    void Run(int ms)
    {
        const std::int64_t end = m_clock.ns + MsToNs(ms);
        for (int calls = 0; m_engine->NextDeadline() <= end; ++calls) {
            ASSERT_LT(calls, 100000) << "the schedule does not move on";
            m_clock.ns = std::max(m_clock.ns, m_engine->NextDeadline());
            m_engine->Advance();
        }
        m_clock.ns = end;
    }
    // Ends the current child of each row given with exit code 1.
    void End(std::initializer_list<int> rows)
    {
        for (int row : rows)
            m_children.exits.at(m_engine->View(row).pid) = 1;
    }
    // The status log so far.
    std::string Log()
    {
        m_engine->Log().Flush();
        return ReadFile(m_dir.File("CamRelay.log"));
    }
    // The child of each row, 0 for none.
    std::vector<pid_t> Children() const
    {
        std::vector<pid_t> pids;
        for (int row = 0; row < m_engine->RowCount(); ++row)
            pids.push_back(std::max(m_engine->View(row).pid, 0));
        return pids;
    }

    TempDir m_dir{"camrelay-engine"};
    std::string m_base;
    ScriptedChildren m_children;
    ManualClock m_clock;
    std::unique_ptr<RelayEngine> m_engine;
    std::unique_ptr<RelaySession> m_session;
    std::mutex m_mutex;
    std::vector<std::pair<int, ProgressSample>> m_readings;
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
    // 启动间隔: seconds with decimals, 0.1 s to a minute; what is not a positive number is no choice.
    const struct { const char* text; int ms; } intervals[] = {
        {"", 0}, {"abc", 0}, {"-1", 0}, {"0", 0}, {"0.5", 500}, {" 2", 2000}, {"0.01", 100}, {"3600", 60000},
    };
    for (const auto& t : intervals)
        EXPECT_EQ(t.ms, StartIntervalMs(t.text)) << '"' << t.text << '"';

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

// Three running channels; each file below is put in place and reloaded ('=' the same child,
// 'n' a new one, 'x' none, 'd' deleted), then the original is put back and reloaded: every channel runs again.
TEST_F(EngineScenario, ReloadChangesOnlyWhatTheFileSays)
{
    Open(3);
    StartQueued();
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
        {"empty", "", "===", "门口1", false}, {"missing", "-", "===", "门口1", false},
        {"a folder", "/", "===", "门口1", false}, {"no section", b.substr(b.find('\n') + 1), "===", "门口1", false},
        {"cut inside a line", cut("1+Adress=rtmp://12", 0), "===", "门口1", false},
        {"cut inside a channel", cut("1+SignalName=", 0) + "x\n", "===", "门口1", false},
        {"last channel gone", cut("live/1", 1), "===", "门口1", false},
        {"GBK", swap("门口1", "\xC3\xC5\xBF\xDA" "1"), "===", "门口1", false},
        {"renamed", swap("门口1", "后门"), "===", "后门", false},
        {"paused", swap("1+strAVState=运行中", "1+strAVState=暂停中"), "=x=", "门口1", false},
        {"deleted", b + "2+ISDelete=true\n", "==d", "门口1", false},
        {"changed", swap("live/0\n", "live/9\n"), "n==", "门口1", false},
        {"now refused", swap("1+checkstate=1\n1+checkstate3=1", "1+checkstate=0\n1+checkstate3=0"), "=x=", "门口1", false},
        {"all paused", swap("运行中", "暂停中"), "xxx", "门口1", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string ini = m_dir.File("config.ini");
        std::filesystem::remove_all(ini);
        c.file == "/" ? void(std::filesystem::create_directory(ini)) : c.file == "-" ? void() : WriteFile(ini, c.file);
        const std::size_t logged = Log().size();
        const std::vector<pid_t> before = Children();
        m_session->Reload();
        std::string seen;
        for (std::size_t row = 0; row < 3; ++row)
            seen += m_engine->View(int(row)).deleted ? 'd' : Children()[row] == 0 ? 'x' : Children()[row] == before[row] ? '=' : 'n';
        EXPECT_EQ(c.children, seen);
        EXPECT_EQ(c.name1, m_engine->View(1).name);
        const std::string log = Log().substr(logged);
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
    // A channel stored under a new id, running, is appended and started; one whose publish
    // address has no stream name is appended with a warning that says so.
    WriteFile(m_dir.File("config.ini"), b + "7+Name=新\n7+checkstate=1\n7+checkstate3=1\n7+strAVState=运行中\n"
                                            "7+Adress=rtmp://127.0.0.1:1/live/7\n8+Name=无名\n8+strAVState=暂停中\n"
                                            "8+Adress=rtmp://127.0.0.1:1/live\n");
    m_session->Reload();
    StartQueued();
    EXPECT_EQ("新", m_engine->View(3).name);
    EXPECT_LT(0, m_engine->View(3).pid) << "a channel newly stored running was not started";
    EXPECT_NE(std::string::npos, Log().find("信号 无名 (id 8): 警告: 发布地址缺少流名称"));
    // The lint's findings: each logged once however many reloads find it again, a new one when
    // it appears; the endpoint's list is the latest lint's.
    const auto logged = [this](const std::string& text) {
        const std::string log = Log();
        int n = 0;
        for (std::size_t at = 0; (at = log.find(text, at)) != std::string::npos; at += text.size())
            ++n;
        return n;
    };
    const std::string typo = "配置警告: 信号 0（门口0）：未知的键 Adresss", state = "信号 1（门口1）：未知的状态 strAVState=running";
    WriteFile(m_dir.File("config.ini"), b + "0+Adresss=x\n");
    m_session->Reload(), m_session->Reload();
    WriteFile(m_dir.File("config.ini"), swap("1+strAVState=运行中", "1+strAVState=running") + "0+Adresss=x\n");
    m_session->Reload(), m_session->Reload();
    EXPECT_EQ(1, logged(typo));
    EXPECT_EQ(1, logged(state));
    const std::vector<std::string> kept = ConfigWarnings(ConfigStore(m_dir.Path()).IniPath());
    ASSERT_EQ(2u, kept.size());
    EXPECT_EQ(0u, kept[1].find(state));
    m_engine->StopAllChannels();
    for (const auto& [pid, exit] : m_children.exits)
        EXPECT_NE(-1, exit) << "child " << pid << " left running";
}

// A child that fails at every attempt: relaunched at the tick that counts each failure, given up
// at the tenth, or with keep-retrying relaunched once a minute from the last attempt; turning
// keep-retrying on revives a channel that gave up and is still wanted running.
TEST_F(EngineScenario, TenFailuresThenGiveUpOrRetryEachMinute)
{
    Open(2, "运行中");
    StartQueued();
    m_engine->PauseChannel(1);
    for (int failure = 1; failure <= 10; ++failure) {
        End({0});
        Run(10000);  // the first tick notices the end, the next counts it
        EXPECT_EQ(failure, m_engine->View(0).failures);
    }
    EXPECT_STREQ("given_up", m_engine->View(0).state);
    EXPECT_EQ("直播多次失败，请检查！", m_engine->View(0).cells.bitrate);
    EXPECT_EQ(11u, m_children.spawned.size()) << "ten attempts and the paused row's one";
    EXPECT_EQ(0u, m_engine->View(0).liveEnds) << "attempts that never went live counted as live ends (Flapping)";
    Run(120000);
    EXPECT_EQ(11u, m_children.spawned.size()) << "relaunched after giving up";

    m_engine->SetKeepRetrying(true);
    EXPECT_STREQ("retrying", m_engine->View(0).state);
    EXPECT_STREQ("stopped", m_engine->View(1).state) << "a paused row is not wanted running";
    Run(5000);
    ASSERT_EQ(12u, m_children.spawned.size()) << "revived at the next tick";
    End({0});
    Run(10000);
    EXPECT_STREQ("retrying", m_engine->View(0).state);
    EXPECT_EQ("连续11次直播失败，每分钟重试。。。！", m_engine->View(0).cells.bitrate);
    const std::int64_t counted = m_clock.ns;
    while (m_children.spawned.size() == 12 && m_clock.ns - counted < MsToNs(200000))
        Run(1000);
    const std::int64_t waited = m_clock.ns - counted;
    EXPECT_TRUE(waited >= MsToNs(45000) && waited <= MsToNs(75000)) << waited / 1000000 << " ms";
    m_engine->OnProgress(0, ProgressSample{512, m_clock.ns});
    EXPECT_EQ(0, m_engine->View(0).failures) << "a reading resets the count";
    EXPECT_STREQ("live", m_engine->View(0).state);
    // Paused while waiting for its minute: no retry comes.
    for (int failure = 1; failure <= 10; ++failure)
        End({0}), Run(10000);
    ASSERT_STREQ("retrying", m_engine->View(0).state);
    const std::size_t attempts = m_children.spawned.size();
    m_engine->PauseChannel(0);
    Run(180000);
    EXPECT_EQ(attempts, m_children.spawned.size()) << "a paused row was retried";
}

// A child that reported once and then fell silent: the cell and the endpoint read 0kbps once it
// is no longer relaying; the watchdog ends it after the stall period, and it is relaunched.
TEST_F(EngineScenario, WatchdogEndsASilentChild)
{
    Open(1);
    StartQueued();
    const pid_t first = m_engine->View(0).pid;
    m_engine->OnProgress(0, ProgressSample{512, m_clock.ns});
    EXPECT_EQ(std::make_tuple(std::string("live"), 512, std::string("512kbps")),
              std::make_tuple(std::string(m_engine->View(0).state), m_engine->View(0).kbps, m_engine->View(0).cells.bitrate));
    for (int step = 0; step < 30; ++step) {  // between the ticks too, the cell says what the number says
        Run(500);
        const RowView v = m_engine->View(0);
        ASSERT_EQ(v.kbps == 0, v.cells.bitrate == "0kbps") << step << ": " << v.kbps << " vs " << v.cells.bitrate;
    }
    EXPECT_EQ(std::make_tuple(first, 0, std::string("0kbps")),
              std::make_tuple(m_engine->View(0).pid, m_engine->View(0).kbps, m_engine->View(0).cells.bitrate));
    Run(20000);  // ended at the first tick after thirty seconds of silence
    EXPECT_EQ(137, m_children.exits.at(first)) << "the watchdog did not end the silent child";
    EXPECT_EQ("无数据30秒，重新连接。。。", m_engine->View(0).cells.bitrate);
    EXPECT_STREQ("failing", m_engine->View(0).state);
    Run(5000);
    EXPECT_NE(first, m_engine->View(0).pid);
    EXPECT_LT(0, m_engine->View(0).pid) << "not relaunched after the watchdog";
    EXPECT_NE(std::string::npos, Log().find("无数据30秒，结束 ffmpeg"));
}

// 备用画面: a camera that freezes is covered by a stand-in on the channel's address, and checked
// at the rhythm of a relaunch instead of relaunched; a stand-in that ends is started again, a
// check that passes ends the stand-in and relaunches the relay; ten failures give up and end the
// stand-in, unless the option keeps it; a pause leaves no child. The channel's own word wins
// over the site's.
TEST_F(EngineScenario, StandInWhileTheCameraIsDown)
{
    const struct { const char* channel, *site; StandInMode want; } modes[] = {
        {"", "", StandInMode::Off}, {"", "1", StandInMode::UntilGiveUp}, {"0", "2", StandInMode::Off},
        {"2", "", StandInMode::Always}, {"x", "1", StandInMode::UntilGiveUp}, {"", "3", StandInMode::Off}};
    for (const auto& m : modes)
        EXPECT_EQ(m.want, ChooseStandIn(m.channel, m.site)) << m.channel << "/" << m.site;

    // Then, once given up with its stand-in kept: 全部运行, or 全部暂停.
    const struct { const char* mode; bool cameraBack; bool runAll; } runs[] = {
        {"1", true, false}, {"1", false, false}, {"2", false, true}, {"2", false, false}};
    for (const auto& [mode, cameraBack, runAll] : runs) {
        SCOPED_TRACE(mode);
        m_engine.reset(), m_session.reset();
        Open(1, "运行中", false, "", std::string("standIn=") + mode + "\n");
        StartQueued();
        // An end that does not blame the camera (no line says why) is relaunched as before.
        End({0});
        Run(10000);
        ASSERT_EQ(std::make_tuple(std::string("failing"), 1), std::make_tuple(std::string(m_engine->View(0).state), m_engine->View(0).failures));
        const pid_t relay = m_engine->View(0).pid;
        auto childWith = [&](const char* text) {  // the newest child whose line holds text, 0: none
            for (auto it = m_children.spawned.rbegin(); it != m_children.spawned.rend(); ++it)
                if (m_children.lines[*it].find(text) != std::string::npos)
                    return *it;
            return pid_t(0);
        };
        auto running = [&](pid_t pid) { return pid != 0 && m_children.exits.at(pid) < 0; };
        Run(40000);  // the camera sends nothing: the watchdog ends the relay
        ASSERT_EQ(137, m_children.exits.at(relay));
        pid_t standIn = childWith("anullsrc"), check = childWith("-frames:v");
        ASSERT_TRUE(running(standIn) && running(check)) << "no stand-in or no camera check";
        EXPECT_NE(std::string::npos, m_children.lines[standIn].find("rtmp://127.0.0.1:1/live/0"));
        RowView v = m_engine->View(0);
        EXPECT_EQ(std::make_tuple(std::string("standin"), -1, std::string("stalled")),
                  std::make_tuple(std::string(v.state), v.pid, v.standInCause));
        EXPECT_TRUE(v.cells.bitrate.starts_with("备用画面（")) << v.cells.bitrate;
        EXPECT_NE(0, v.standInSince);

        m_children.exits.at(standIn) = 1;  // the stand-in's ffmpeg ends: started again at the tick
        Run(5000);
        EXPECT_TRUE(running(childWith("anullsrc")) && childWith("anullsrc") != standIn);
        // Failed checks count as relaunches do, at their rhythm: nine more give up after 90 s or so.
        for (int failures = 2; failures < 10; ++failures) {
            const pid_t now = childWith("-frames:v");
            ASSERT_TRUE(running(now)) << failures;
            m_children.exits.at(now) = 1;
            Run(5000);
            EXPECT_EQ(failures, m_engine->View(0).failures) << "a failed check counted before its next tick";
            Run(5000);
            ASSERT_EQ(failures + 1, m_engine->View(0).failures);
            if (failures == 5 && !cameraBack && runAll) {  // an address mended meanwhile is checked at once
                WriteFile(m_dir.File("config.ini"), std::regex_replace(ReadFile(m_dir.File("config.ini")),
                                                                      std::regex("1/in"), "2/moved"));
                m_children.exits.at(childWith("-frames:v")) = 1;
                Run(10000);
                EXPECT_NE(std::string::npos, m_children.lines[childWith("-frames:v")].find("127.0.0.1:2/moved"));
                ++failures;
                continue;
            }
            if (failures == 3 && cameraBack) {  // the camera answers: the relay is back
                const pid_t standInNow = childWith("anullsrc");
                m_children.exits.at(childWith("-frames:v")) = 0;
                Run(5000);
                EXPECT_EQ(137, m_children.exits.at(standInNow)) << "the stand-in outlived the camera's return";
                v = m_engine->View(0);
                EXPECT_TRUE(running(v.pid) && m_children.lines[v.pid].find("anullsrc") == std::string::npos);
                EXPECT_EQ(std::make_tuple(0L, std::string("failing")), std::make_tuple(long(v.standInSince), std::string(v.state)));
                EXPECT_LE(25.0, v.standInSeconds);  // from the watchdog's end to the camera's return
                m_engine->PauseChannel(0);  // nothing is left running
                for (const auto& [pid, exit] : m_children.exits)
                    EXPECT_LE(0, exit) << pid;
                break;
            }
        }
        if (cameraBack)
            continue;
        v = m_engine->View(0);
        EXPECT_EQ(std::make_tuple(std::string("given_up"), std::string("直播多次失败，请检查！")),
                  std::make_tuple(std::string(v.state), v.cells.bitrate));
        EXPECT_EQ(std::string(mode) == "2", running(childWith("anullsrc"))) << "only standIn=2 keeps the stand-in after the give-up";
        EXPECT_FALSE(running(childWith("-frames:v")));
        const pid_t kept = childWith("anullsrc");
        if (runAll) {  // the relay is started again: the kept stand-in gives way first
            m_engine->RunAll();
            EXPECT_TRUE(running(m_engine->View(0).pid) && m_children.lines[m_engine->View(0).pid].find("anullsrc") == std::string::npos);
        } else {
            EXPECT_EQ(std::string(mode) == "2" ? 1 : 0, m_engine->PauseAll()) << "全部暂停 left the kept stand-in";
        }
        EXPECT_FALSE(running(kept));
        m_engine->PauseChannel(0);
        for (const auto& [pid, exit] : m_children.exits)
            EXPECT_LE(0, exit) << pid;
    }
}

// A re-encoding row whose output runs at a fifth of real time, then one that loses packets: it
// stays live and running, says why beside its bitrate, and is well again once it keeps up. Slow
// again until it stalls, the watchdog's end names this machine, not the camera. Counts go on
// over a relaunch; only a child that had been live counts as a live end.
TEST_F(EngineScenario, ALiveButDegradedRowSaysWhyAndKeepsRunning)
{
    Open(1);
    const std::string reencode = std::regex_replace(m_base, std::regex("0\\+VdTransCode=否"),
                                                    "0+VdTransCode=是\n0+checkstate1=1\n0+VdBitRate=300\n0+VdRameRate=25\n0+VdWidth=640\n0+VdHeight=360\n0+VdProFile=main");
    WriteFile(m_dir.File("config.ini"), reencode);
    StartQueued();
    const pid_t child = m_engine->View(0).pid;
    ProgressSample s{300, 0, 0, 0, 25.0, 1.0};
    auto feed = [&](int seconds, double speed, int lostEachRead) {
        for (int i = 0; i < seconds; i += 2) {
            Run(2000);
            s.at = m_clock.ns, s.timeMs += static_cast<std::int64_t>(2000 * speed);
            s.frames += static_cast<std::int64_t>(50 * speed), s.lostPackets += lostEachRead, s.dropped += 1;
            m_engine->OnProgress(0, s);
        }
    };
    feed(30, 0.2, 0);
    EXPECT_EQ("", m_engine->View(0).cells.health) << "degraded before thirty seconds of slowness";
    feed(10, 0.2, 0);
    RowView v = m_engine->View(0);
    EXPECT_EQ(std::make_tuple(std::string("live"), std::string("slow"), child, std::string("300kbps")),
              std::make_tuple(std::string(v.state), std::string(v.degradation), v.pid, v.cells.bitrate));
    EXPECT_EQ("本机 CPU 不足：转码速度只有 0.2 倍实时，请降低尺寸/帧率或改为直通", v.cells.health);
    EXPECT_NEAR(0.2, v.speed, 0.01);
    EXPECT_NEAR(5.0, v.fps, 0.1);
    feed(20, 1.0, 0);
    EXPECT_EQ(std::make_tuple(std::string(""), std::string("")), std::make_tuple(m_engine->View(0).cells.health, std::string(m_engine->View(0).degradation)));
    feed(20, 1.0, 1);  // one packet lost every read: 30 a minute, over the line
    v = m_engine->View(0);
    EXPECT_EQ("packet_loss", std::string(v.degradation));
    EXPECT_NE(std::string::npos, v.cells.health.find("摄像头到本机丢包")) << v.cells.health;
    EXPECT_NE(std::string::npos, v.cells.health.find("网络")) << "a camera already read over TCP is told to check the network";
    EXPECT_EQ(child, v.pid) << "a degraded row was restarted";
    feed(40, 0.2, 0);
    Run(40000);  // no more samples: the watchdog ends it
    ASSERT_NE(nullptr, m_engine->View(0).lastFailure);
    EXPECT_STREQ("machine_too_slow", m_engine->View(0).lastFailure->m_diagnosis.name);
    Run(5000);
    v = m_engine->View(0);
    EXPECT_EQ(std::make_tuple(std::string(""), 1ull, 10ull, 60ull),
              std::make_tuple(v.cells.health, (unsigned long long)v.liveEnds, (unsigned long long)v.lostPackets,
                              (unsigned long long)v.droppedFrames));
    const std::string log = Log();
    EXPECT_NE(std::string::npos, log.find("直播质量差: 本机 CPU 不足：转码速度只有 0.2 倍实时"));
    EXPECT_NE(std::string::npos, log.find("直播恢复正常"));
}

// 启动间隔 overrides the face's pacing of the start queue. 快速重启: a child that had been live is
// relaunched as soon as its output ends; one that ends before going live waits for the ticks, as
// every end does with the option off.
TEST_F(EngineScenario, FastRestartAndTheStartInterval)
{
    Open(4);
    m_engine->SetStartIntervalMs(100);
    m_engine->PaceStarts(5000, 5000);  // the window's pacing
    Run(350);
    EXPECT_EQ(3u, m_children.spawned.size()) << "not one start every 100 ms";
    Run(100);
    m_engine->SetFastRestart(true);
    m_engine->OnProgress(0, ProgressSample{300, m_clock.ns});
    End({0});
    m_engine->OnOutputEnded(0);
    EXPECT_EQ(5u, m_children.spawned.size()) << "a live child's end waited for the ticks";
    EXPECT_EQ(1, m_engine->View(0).failures);
    End({0});
    m_engine->OnOutputEnded(0);
    EXPECT_EQ(5u, m_children.spawned.size()) << "a child that never went live was relaunched at once";
    EXPECT_EQ(1, m_engine->View(0).failures) << "the end of a child that never went live was counted before the ticks";
    Run(10000);
    EXPECT_EQ(6u, m_children.spawned.size());
    // Seen by a tick before its output's end is reported: relaunched at that tick.
    m_engine->OnProgress(0, ProgressSample{300, m_clock.ns});
    End({0});
    Run(5000);
    EXPECT_EQ(7u, m_children.spawned.size()) << "a live child's end seen by a tick waited for the next";
    m_engine->SetFastRestart(false);
    m_engine->OnProgress(1, ProgressSample{300, m_clock.ns});
    End({1});
    m_engine->OnOutputEnded(1);
    EXPECT_EQ(7u, m_children.spawned.size()) << "relaunched at once with the option off";
}

// The service's start queue takes one stored channel a second; "全部暂停" reaches the rows still
// waiting in it; "全部运行" starts the first at once and the others one every quarter second.
TEST_F(EngineScenario, StartsArePacedAndPauseAllReachesTheQueue)
{
    Open(6);
    m_engine->PaceStarts(0, 1000);
    std::vector<std::size_t> started;
    for (int second = 0; second < 3; ++second) {
        Run(1000);
        started.push_back(m_children.spawned.size());
    }
    EXPECT_EQ((std::vector<std::size_t>{2, 3, 4}), started);  // the first at once
    EXPECT_STREQ("queued", m_engine->View(4).state);
    m_engine->StartChannel(5);  // by hand before its turn: no longer reported queued
    EXPECT_STREQ("starting", m_engine->View(5).state);
    EXPECT_EQ(6, m_engine->PauseAll());
    Run(10000);
    EXPECT_EQ(5u, m_children.spawned.size()) << "a paused row started from the queue";
    EXPECT_EQ("暂停中", ConfigStore(m_dir.Path()).GetValue("5+strAVState"));

    EXPECT_EQ(6, m_engine->RunAll());
    EXPECT_EQ(6u, m_children.spawned.size()) << "the first at once";
    EXPECT_EQ(m_clock.ns + MsToNs(kRunAllPeriodMs), m_engine->NextDeadline());
    started.clear();
    for (int turn = 0; turn < 6; ++turn) {
        Run(kRunAllPeriodMs);
        started.push_back(m_children.spawned.size());
    }
    EXPECT_EQ((std::vector<std::size_t>{7, 8, 9, 10, 11, 11}), started);
    // A row whose start was refused is taken again by the next "全部运行" once mended.
    ConfigStore(m_dir.Path()).SetValue("0", "5+checkstate"), ConfigStore(m_dir.Path()).SetValue("0", "5+checkstate3");
    m_engine->PauseAll(), m_engine->RunAll(), Run(2000);
    ASSERT_EQ(-1, m_engine->View(5).pid);
    ConfigStore(m_dir.Path()).SetValue("1", "5+checkstate"), ConfigStore(m_dir.Path()).SetValue("1", "5+checkstate3");
    m_engine->RunAll(), Run(2000);
    EXPECT_LT(0, m_engine->View(5).pid) << "a refused row is left out of the next 全部运行";
    // A tick that comes late (a suspended machine) is not followed by a burst of ticks.
    m_clock.ns += MsToNs(60000);
    m_engine->Advance();
    EXPECT_LE(m_clock.ns + MsToNs(kTimerPeriodMs) / 2, m_engine->NextDeadline());
    // Keep-retrying: on by default for the service (its log says so, read by the headless test),
    // but a stored 0 holds.
    ConfigStore(m_dir.Path()).SetValue("0", "m_bKeepRetrying");
    RelaySession(*m_engine, true).LoadFlags();
    EXPECT_FALSE(m_engine->Options().m_bKeepRetrying);
}

// Twenty channels fail together (a server outage): the first is relaunched at once, the others
// spread over two seconds after it, never all in the same second.
TEST_F(EngineScenario, CommonFailureRelaunchesAreSpread)
{
    Open(20);
    StartQueued();
    std::vector<int> rows(20);
    std::iota(rows.begin(), rows.end(), 0);
    for (int row : rows)
        End({row});
    Run(10000);  // noticed, then counted at the second tick
    const std::int64_t counted = m_clock.ns;
    std::size_t seen = m_children.spawned.size();
    std::set<long> seconds;
    for (int ms = 0; ms < 3000; ms += 25) {
        if (m_children.spawned.size() != seen)  // a relaunch since the last look: note its second
            seconds.insert(static_cast<long>((m_clock.ns - counted) / MsToNs(1000)));
        seen = m_children.spawned.size();
        Run(25);
    }
    EXPECT_EQ(40u, m_children.spawned.size());
    EXPECT_EQ((std::set<long>{0, 1, 2}), seconds);
}

// A relaunch that finds no descriptor for its pipe counts as a failed attempt and is retried
// at the next tick, like any other start that could not run. The system's own limit, on the fake.
TEST_F(EngineScenario, RelaunchWithoutAPipeIsRetried)
{
    Open(1, "运行中", true, "#lines=2,interval=50,kbps=512.0,exit=1");
    StartQueued();
    ASSERT_TRUE(ProcessProbe::WaitUntil([&] {
        std::lock_guard<std::mutex> lock(m_mutex);
        return !ProcessProbe::IsAlive(Children()[0]) && !m_readings.empty();  // the second line's rate
    }, std::chrono::seconds(10)));
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
    m_engine->StopAllChannels();
    EXPECT_TRUE(ProcessProbe::ChildPids(false).empty());
}

// A channel with an extra address runs a puller, and a pusher per address once the puller reads.
// A pusher that ends is counted and started again after its back-off (at once, then 5 s, then
// 10 s) while the puller and the other pusher run on; the channel's rate is its best address's.
// The puller's end takes the pushers with it and is the channel's failure, not theirs. An edited
// address starts only its own pusher again; a reload of the same edit restarts nothing. A frozen
// puller's pushers end with it before its stand-in publishes.
TEST_F(EngineScenario, SeveralAddressesFailAndRecoverApart)
{
    Open(1, "运行中", false, "", "standIn=1\n0+Adress2=rtmp://127.0.0.1:1/live/b\n");
    StartQueued();
    const pid_t puller = m_engine->View(0).pid;
    EXPECT_NE(std::string::npos, m_children.lines.at(puller).find(" -f tee ")) << m_children.lines.at(puller);
    ASSERT_EQ(1u, m_children.spawned.size()) << "a pusher before the puller reads";
    std::int64_t timeMs = 0;
    const auto read = [&](int output, int kbps) {
        ProgressSample sample{kbps, m_clock.ns, timeMs += 1000};
        sample.output = output;
        m_engine->OnProgress(0, sample);
    };
    const auto pusher = [&](int output) { return m_children.spawned.at(m_children.spawned.size() - 2 + output); };
    read(-1, 0);
    ASSERT_EQ(3u, m_children.spawned.size());
    const pid_t first = pusher(0), second = pusher(1);
    EXPECT_NE(std::string::npos, m_children.lines.at(first).find("live/0"));
    EXPECT_NE(std::string::npos, m_children.lines.at(second).find("live/b"));
    EXPECT_STREQ("starting", m_engine->View(0).state) << "live without an address up";
    read(0, 800), read(1, 700);
    EXPECT_EQ(std::make_tuple(std::string("live"), 800), std::make_tuple(std::string(m_engine->View(0).state), m_engine->View(0).kbps));

    // The second address fails three times: each new pusher is ended at once. The first end is
    // seen at a tick and started again there; then back-offs of 5 and 10 s, seen at the ticks.
    std::vector<pid_t> seconds{second};
    std::vector<std::int64_t> startedAt;
    for (int failure = 1; failure <= 3; ++failure) {
        m_children.exits.at(seconds.back()) = 1;
        for (int ms = 0; m_children.spawned.back() == seconds.back() && ms < 30000; ms += 1000) {
            read(-1, 0), read(0, 800);
            Run(1000);
        }
        seconds.push_back(m_children.spawned.back());
        startedAt.push_back(m_clock.ns / 1000000000);
    }
    EXPECT_EQ(std::vector<std::int64_t>({10, 15}), std::vector<std::int64_t>({startedAt[1] - startedAt[0], startedAt[2] - startedAt[1]}));
    const OutputView failing = m_engine->View(0).outputs[1];
    EXPECT_EQ(std::make_tuple(std::string("failing"), 3, std::uint64_t{3}),
              std::make_tuple(std::string(failing.state), failing.failures, failing.restarts));
    EXPECT_FALSE(failing.cause.empty());
    EXPECT_EQ(std::make_tuple(puller, -1, 0), std::make_tuple(m_engine->View(0).pid, m_children.exits.at(first), m_engine->View(0).failures))
        << "the puller, the other pusher or the channel touched";
    EXPECT_STREQ("live", m_engine->View(0).outputs[0].state);

    // The edited address: only its pusher starts again; a reload finds nothing else to do.
    ConfigStore(m_dir.Path()).SetValues({{"0+Adress2", "rtmp://127.0.0.1:1/live/c"}});
    m_engine->ApplyPublishEdits(0);
    EXPECT_NE(std::string::npos, m_children.lines.at(m_children.spawned.back()).find("live/c"));
    EXPECT_EQ(0, m_engine->View(0).outputs[1].failures);
    const std::size_t spawned = m_children.spawned.size();
    m_session->Reload();
    EXPECT_EQ(spawned, m_children.spawned.size());
    EXPECT_EQ(std::make_pair(-1, -1), std::make_pair(m_children.exits.at(puller), m_children.exits.at(first)));

    // The puller ends: its pushers go with it; the channel fails, the addresses do not.
    m_children.exits.at(puller) = 1;
    Run(10000);
    EXPECT_EQ(137, m_children.exits.at(first));
    EXPECT_EQ(1, m_engine->View(0).failures);
    EXPECT_EQ(0, m_engine->View(0).outputs[0].failures);
    EXPECT_NE(puller, m_engine->View(0).pid);
    EXPECT_EQ(spawned + 1, m_children.spawned.size()) << "pushers before the new puller reads";

    // The new puller reads, then freezes: the watchdog ends it, its pushers go with it, and the
    // stand-in (备用画面 on) is the only publisher of the channel's own address.
    read(-1, 0);
    const pid_t frozen = m_engine->View(0).pid, pushers[2] = {pusher(0), pusher(1)};
    Run(45000);
    EXPECT_EQ(std::make_tuple(137, 137, 137), std::make_tuple(m_children.exits.at(frozen), m_children.exits.at(pushers[0]),
                                                           m_children.exits.at(pushers[1])));
    EXPECT_TRUE(std::any_of(m_children.spawned.begin(), m_children.spawned.end(), [&](pid_t pid) {
        return pid > pushers[1] && m_children.lines.at(pid).find("live/0") != std::string::npos;
    })) << "no stand-in";
}
