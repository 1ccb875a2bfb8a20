// The whole program as an operator runs it: the built CamRelay copied into a private folder with
// ffmpeg beside it, a config.ini with two channels stored as running and auto-run on, a private
// nginx-rtmp and the RTSP camera simulator on 127.0.0.1. Everything is observed from outside:
// standard error, /proc, ffprobe and the settings file.
#include "support/LocalServers.h"
#include "support/ProcessProbe.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

const std::string kNames[2] = {"前门摄像头", "大厅转码"};
const std::string kFirstFailure = "连续1次直播失败，重试中。。。！";
const std::string kGaveUp = "直播多次失败，请检查！";

// ---------------------------------------------------------------------------------------------
// /proc helpers

// One process as /proc shows it. start (clock ticks after boot) tells a pid apart from a later
// process that reuses the number.
struct ProcInfo {
    pid_t pid = 0;
    pid_t ppid = 0;
    pid_t pgrp = 0;
    char state = 0;
    unsigned long long start = 0;
};

bool ReadProc(pid_t pid, ProcInfo* info)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    if (!std::getline(in, text))
        return false;
    const std::size_t close = text.rfind(')');
    if (close == std::string::npos)
        return false;
    std::istringstream rest(text.substr(close + 1));
    std::vector<std::string> fields;
    for (std::string f; rest >> f;)
        fields.push_back(f);
    if (fields.size() < 20)
        return false;
    info->pid = pid;
    info->state = fields[0][0];
    info->ppid = static_cast<pid_t>(std::stol(fields[1]));
    info->pgrp = static_cast<pid_t>(std::stol(fields[2]));
    info->start = std::stoull(fields[19]);
    return true;
}

// True while the very process that was recorded runs (not ended, not a zombie, pid not reused).
bool StillRunning(const ProcInfo& recorded)
{
    ProcInfo now;
    return ReadProc(recorded.pid, &now) && now.start == recorded.start && now.state != 'Z' &&
           now.state != 'X';
}

std::vector<ProcInfo> ChildrenOf(pid_t parent)
{
    std::vector<ProcInfo> children;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        const std::string name = entry.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        ProcInfo info;
        if (ReadProc(static_cast<pid_t>(std::stol(name)), &info) && info.ppid == parent)
            children.push_back(info);
    }
    return children;
}

std::string ReadLink(const std::string& path)
{
    std::error_code ec;
    const auto target = std::filesystem::read_symlink(path, ec);
    return ec ? std::string() : target.string();
}

std::vector<std::string> CmdLine(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/cmdline", std::ios::binary);
    std::vector<std::string> args;
    for (std::string arg; std::getline(in, arg, '\0');)
        args.push_back(arg);
    return args;
}

bool HasPair(const std::vector<std::string>& args, const std::string& a, const std::string& b)
{
    for (std::size_t i = 0; i + 1 < args.size(); ++i) {
        if (args[i] == a && args[i + 1] == b)
            return true;
    }
    return false;
}

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// ---------------------------------------------------------------------------------------------

// One run of the real program with standard output and error in a log file. Owns the process:
// the destructor kills it (its own group) and reaps it, then kills any ffmpeg child that was
// ever seen under it and still runs. Use from the test's main thread.
class CamRelayProcess {
public:
    CamRelayProcess() = default;
    CamRelayProcess(const CamRelayProcess&) = delete;
    CamRelayProcess& operator=(const CamRelayProcess&) = delete;
    ~CamRelayProcess()
    {
        m_proc.Stop(SIGKILL, 1.0);
        for (const ProcInfo& child : m_seen) {
            if (StillRunning(child)) {
                ::kill(-child.pid, SIGKILL);
                ::kill(child.pid, SIGKILL);
            }
        }
    }

    bool Start(const std::string& exe, const std::string& logPath)
    {
        m_log = logPath;
        return m_proc.Start({exe}, logPath);
    }
    pid_t Pid() const { return m_proc.Pid(); }
    bool Running() { return m_proc.Running(); }
    int ExitCode() const { return m_proc.ExitCode(); }
    std::string Log() const { return ReadFile(m_log); }

    // Current children; every child seen is remembered for the clean-up.
    std::vector<ProcInfo> Children()
    {
        std::vector<ProcInfo> children = ChildrenOf(Pid());
        for (const ProcInfo& c : children) {
            const bool known = std::any_of(m_seen.begin(), m_seen.end(), [&](const ProcInfo& s) {
                return s.pid == c.pid && s.start == c.start;
            });
            if (!known)
                m_seen.push_back(c);
        }
        return children;
    }

    // Status texts the program reported for a row ("CamRelay: 第<row+1>行 <name>: <text>"), in
    // order; only complete lines count.
    std::vector<std::string> Statuses(int row) const
    {
        const std::string prefix = "CamRelay: 第" + std::to_string(row + 1) + "行 " + kNames[row] + ": ";
        std::vector<std::string> texts;
        std::istringstream lines(Log());
        for (std::string line; std::getline(lines, line);) {
            if (lines.eof())
                break;   // a line still being written
            if (line.compare(0, prefix.size(), prefix) == 0)
                texts.push_back(line.substr(prefix.size()));
        }
        return texts;
    }

    // Index of the first status of the row at or after `from` that satisfies the predicate,
    // waiting up to the timeout; -1 when none came.
    int WaitStatus(int row, int from, const std::function<bool(const std::string&)>& match,
                   std::chrono::milliseconds timeout) const
    {
        int found = -1;
        ProcessProbe::WaitUntil([&] {
            const std::vector<std::string> texts = Statuses(row);
            for (std::size_t i = static_cast<std::size_t>(std::max(from, 0)); i < texts.size(); ++i) {
                if (match(texts[i])) {
                    found = static_cast<int>(i);
                    return true;
                }
            }
            return false;
        }, timeout);
        return found;
    }

private:
    ServerProcess m_proc;
    std::string m_log;
    std::vector<ProcInfo> m_seen;
};

bool IsRelaying(const std::string& text)
{
    const std::string head = "直播中 ";
    if (text.compare(0, head.size(), head) != 0 || text.size() <= head.size() + 4 ||
        text.compare(text.size() - 4, 4, "kbps") != 0)
        return false;
    const std::string number = text.substr(head.size(), text.size() - head.size() - 4);
    return number.find_first_not_of("0123456789") == std::string::npos;
}

bool IsFailure(const std::string& text)
{
    return text.rfind("连续", 0) == 0 || text == kGaveUp;
}

// A live stream is probed until it shows video (nginx starts a viewer at a keyframe).
StreamInfo ProbeUntilVideo(const std::string& url, std::chrono::seconds budget = 30s)
{
    StreamInfo info;
    const auto end = std::chrono::steady_clock::now() + budget;
    do {
        info = ProbeStream(url, 10);
        if (info.ok && !info.videoCodec.empty())
            break;
        std::this_thread::sleep_for(500ms);
    } while (std::chrono::steady_clock::now() < end);
    return info;
}

// ---------------------------------------------------------------------------------------------

class SystemTest : public ::testing::Test {
protected:
    // The servers are shared by the suite; a test that stopped nginx leaves it to the next
    // SetUp to start it again on the same port.
    static void TearDownTestSuite()
    {
        s_camera.reset();
        s_nginx.reset();
    }

    void SetUp() override
    {
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
        if (!s_camera) {
            s_camera = std::make_unique<RtspSimulator>();
            s_camera->Start();
        }
        ASSERT_TRUE(s_camera->Running()) << s_camera->Log();
        if (!s_nginx)
            s_nginx = std::make_unique<NginxRtmp>();
        if (!s_nginx->Running()) {
            ASSERT_TRUE(s_nginx->Start()) << s_nginx->ErrorLog();
        }

        // A folder name with CJK characters and a blank: config.ini must still be found beside
        // the program, and ffmpeg beside it started.
        ASSERT_TRUE(m_root.Valid());
        m_appDir = m_root.Path() + "/中继 程序";
        std::filesystem::create_directory(m_appDir);
        m_exe = m_appDir + "/CamRelay";
        std::filesystem::copy_file(CAMRELAY_BIN_DIR "/CamRelay", m_exe);
        std::filesystem::permissions(m_exe, std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add);
        ASSERT_EQ(0, ::symlink("/usr/bin/ffmpeg", (m_appDir + "/ffmpeg").c_str()));

        std::ofstream(m_appDir + "/config.ini", std::ios::binary) << ConfigText();
    }

    void TearDown() override
    {
        if (HasFailure() && m_run)
            std::cerr << "--- CamRelay output ---\n" << m_run->Log() << "--- end ---\n";
        m_run.reset();
    }

    static std::string Url(int row) { return s_nginx->Url("cam" + std::to_string(row)); }

    // Channel 0 copies the camera's video and re-encodes its A-law audio (FLV cannot carry it);
    // channel 1 re-encodes both. Both are stored as running, so auto-run resumes them.
    static std::string ConfigText()
    {
        const std::string camera = s_camera->Url();
        std::string text = "[SET DEFAULT VALUE]\nnextId=2\nm_bAutoRun=1\nm_bRTSPuseTCP=1\n";
        const std::vector<std::string> encodings[2] = {
            {"checkstate=1", "checkstate1=0", "checkstate2=0", "checkstate3=1", "checkstate4=1",
             "AdChannel=1", "AdSmpLinGrate=44100", "AdBitRate=64", "VdTransCode=否"},
            {"checkstate=1", "checkstate1=1", "checkstate2=0", "checkstate3=1", "checkstate4=1",
             "VdBitRate=800", "VdRameRate=25", "VdWidth=640", "VdHeight=360", "VdProFile=main",
             "AdChannel=2", "AdSmpLinGrate=44100", "AdBitRate=64", "VdTransCode=是"}};
        for (int id = 0; id < 2; ++id) {
            const std::string p = std::to_string(id) + "+";
            text += p + "Name=" + kNames[id] + "\n" + p + "SignalName=" + camera + "\n" + p +
                    "Adress=" + Url(id) + "\n" + p + "strFilePath=\n" + p + "strAVState=运行中\n";
            for (const std::string& kv : encodings[id])
                text += p + kv + "\n";
        }
        return text;
    }

    CamRelayProcess& Launch()
    {
        m_run = std::make_unique<CamRelayProcess>();
        EXPECT_TRUE(m_run->Start(m_exe, m_root.Path() + "/camrelay-" + std::to_string(++m_runs) + ".log"));
        return *m_run;
    }

    // Waits until both rows report relaying at or after the given status indexes; returns the
    // indexes of those reports (-1 for a row that did not get there).
    std::vector<int> WaitBothRelaying(const std::vector<int>& from, std::chrono::milliseconds timeout)
    {
        std::vector<int> at(2, -1);
        for (int row = 0; row < 2; ++row)
            at[row] = m_run->WaitStatus(row, from[row], IsRelaying, timeout);
        return at;
    }

    // Waits until the program has exactly two children; returns them.
    std::vector<ProcInfo> WaitTwoChildren(std::chrono::milliseconds timeout)
    {
        std::vector<ProcInfo> children;
        ProcessProbe::WaitUntil([&] {
            children = m_run->Children();
            return children.size() == 2;
        }, timeout);
        return children;
    }

    static bool NoRelayToOurServer()
    {
        return ProcessProbe::ProcessesWithArg(Url(0)).empty() &&
               ProcessProbe::ProcessesWithArg(Url(1)).empty();
    }

    static inline std::unique_ptr<RtspSimulator> s_camera;
    static inline std::unique_ptr<NginxRtmp> s_nginx;

    TempDir m_root{"camrelay-system"};
    std::string m_appDir, m_exe;
    std::unique_ptr<CamRelayProcess> m_run;
    int m_runs = 0;
};

}  // namespace

// Auto-run resumes both stored channels, the streams arrive as configured, the children are
// ffmpeg in groups of their own, and SIGTERM (the close box) ends everything and writes nothing.
TEST_F(SystemTest, ResumesStoredChannelsAndClosesCleanly)
{
    CamRelayProcess& run = Launch();
    const std::vector<int> relaying = WaitBothRelaying({0, 0}, 45s);
    ASSERT_GE(relaying[0], 0) << "row 1 never relayed";
    ASSERT_GE(relaying[1], 0) << "row 2 never relayed";
    for (int row = 0; row < 2; ++row) {
        for (int i = 0; i < relaying[row]; ++i)
            EXPECT_FALSE(IsFailure(run.Statuses(row)[i])) << "row " << row + 1 << " failed before relaying";
    }

    const StreamInfo copy = ProbeUntilVideo(Url(0));
    EXPECT_EQ("h264", copy.videoCodec) << copy.output;
    EXPECT_EQ(640, copy.width);
    EXPECT_EQ(360, copy.height);
    EXPECT_EQ("aac", copy.audioCodec) << copy.output;
    EXPECT_EQ(44100, copy.sampleRate);
    EXPECT_EQ(1, copy.channels);
    const StreamInfo enc = ProbeUntilVideo(Url(1));
    EXPECT_EQ("h264", enc.videoCodec) << enc.output;
    EXPECT_EQ(640, enc.width);
    EXPECT_EQ(360, enc.height);
    EXPECT_EQ("Main", enc.profile);
    EXPECT_EQ("aac", enc.audioCodec) << enc.output;
    EXPECT_EQ(44100, enc.sampleRate);
    EXPECT_EQ(2, enc.channels);

    // Exactly two children, both ffmpeg, each leading its own process group, stdin /dev/null,
    // one per channel, pulling the camera over TCP.
    const std::vector<ProcInfo> children = run.Children();
    ASSERT_EQ(2u, children.size());
    std::map<std::string, int> publishers;
    for (const ProcInfo& child : children) {
        const std::string proc = "/proc/" + std::to_string(child.pid);
        EXPECT_NE(std::string::npos, ReadLink(proc + "/exe").find("ffmpeg")) << ReadLink(proc + "/exe");
        EXPECT_NE('Z', child.state) << "an ended child was not reaped";
        EXPECT_EQ(child.pid, child.pgrp) << "child " << child.pid << " shares a process group";
        EXPECT_EQ("/dev/null", ReadLink(proc + "/fd/0"));
        EXPECT_EQ(ReadLink(proc + "/fd/1"), ReadLink(proc + "/fd/2"));
        const std::vector<std::string> args = CmdLine(child.pid);
        EXPECT_TRUE(HasPair(args, "-rtsp_transport", "tcp"));
        EXPECT_TRUE(HasPair(args, "-i", s_camera->Url()));
        for (int row = 0; row < 2; ++row) {
            if (std::find(args.begin(), args.end(), Url(row)) != args.end())
                ++publishers[Url(row)];
        }
    }
    EXPECT_EQ(1, publishers[Url(0)]);
    EXPECT_EQ(1, publishers[Url(1)]);

    const std::string settingsBefore = ReadFile(m_appDir + "/config.ini");
    ASSERT_EQ(0, ::kill(run.Pid(), SIGTERM));
    ASSERT_TRUE(ProcessProbe::WaitUntil([&] { return !run.Running(); }, 10s))
        << "CamRelay did not end on SIGTERM";
    EXPECT_EQ(0, run.ExitCode());
    EXPECT_TRUE(ProcessProbe::WaitUntil([&] {
        return std::none_of(children.begin(), children.end(), StillRunning) && NoRelayToOurServer();
    }, 5s)) << "an ffmpeg child outlived CamRelay";

    // Closing writes nothing: both channels stay stored as running for the next start.
    const std::string settingsAfter = ReadFile(m_appDir + "/config.ini");
    EXPECT_EQ(settingsBefore, settingsAfter);
    EXPECT_NE(std::string::npos, settingsAfter.find("0+strAVState=运行中"));
    EXPECT_NE(std::string::npos, settingsAfter.find("1+strAVState=运行中"));
}

// nginx goes away: both rows count a first failure and keep retrying. It comes back on the same
// port: both relay again. It goes away once more: the count starts at 1 again, because the
// progress in between reset it.
TEST_F(SystemTest, ServerOutageIsCountedRetriedAndResetByProgress)
{
    CamRelayProcess& run = Launch();
    const std::vector<int> relaying = WaitBothRelaying({0, 0}, 45s);
    ASSERT_GE(relaying[0], 0) << "row 1 never relayed";
    ASSERT_GE(relaying[1], 0) << "row 2 never relayed";

    s_nginx->Stop();
    std::vector<int> failed(2, -1);
    for (int row = 0; row < 2; ++row) {
        // The end is noticed at one 5 s tick and counted at the next.
        failed[row] = run.WaitStatus(row, relaying[row] + 1, IsFailure, 30s);
        ASSERT_GE(failed[row], 0) << "row " << row + 1 << " counted no failure";
        EXPECT_EQ(kFirstFailure, run.Statuses(row)[failed[row]]) << "row " << row + 1;
    }

    ASSERT_TRUE(s_nginx->Start()) << s_nginx->ErrorLog();
    const std::vector<int> back = WaitBothRelaying({failed[0] + 1, failed[1] + 1}, 40s);
    ASSERT_GE(back[0], 0) << "row 1 did not relay again";
    ASSERT_GE(back[1], 0) << "row 2 did not relay again";
    for (int row = 0; row < 2; ++row) {
        for (int i = failed[row]; i < back[row]; ++i)
            EXPECT_NE(kGaveUp, run.Statuses(row)[i]);
    }
    EXPECT_EQ("h264", ProbeUntilVideo(Url(0)).videoCodec);
    EXPECT_EQ("h264", ProbeUntilVideo(Url(1)).videoCodec);

    s_nginx->Stop();
    for (int row = 0; row < 2; ++row) {
        const int again = run.WaitStatus(row, back[row] + 1, IsFailure, 30s);
        ASSERT_GE(again, 0) << "row " << row + 1 << " counted no failure after the second outage";
        EXPECT_EQ(kFirstFailure, run.Statuses(row)[again]) << "row " << row + 1 << ": count not reset";
    }
    EXPECT_TRUE(run.Running());
}

// kill -9 leaves CamRelay no chance to stop its children: the kernel must take them along.
TEST_F(SystemTest, KilledProgramTakesItsChildrenAlong)
{
    CamRelayProcess& run = Launch();
    const std::vector<ProcInfo> children = WaitTwoChildren(30s);
    ASSERT_EQ(2u, children.size()) << "auto-run did not start both channels";

    ASSERT_EQ(0, ::kill(run.Pid(), SIGKILL));
    EXPECT_TRUE(ProcessProbe::WaitUntil([&] {
        return std::none_of(children.begin(), children.end(), StillRunning);
    }, 3s)) << "an ffmpeg child outlived the killed CamRelay";
    EXPECT_TRUE(ProcessProbe::WaitUntil(NoRelayToOurServer, 3s));
    EXPECT_TRUE(ProcessProbe::WaitUntil([&] { return !run.Running(); }, 3s));
    EXPECT_EQ(128 + SIGKILL, run.ExitCode());
}
