// The whole program as an operator runs it: the built CamRelay copied into a private folder with
// ffmpeg beside it, a config.ini with two channels stored as running and auto-run on, a private
// nginx-rtmp and the RTSP camera simulator on 127.0.0.1, standard output and standard error
// closed. Everything is observed from outside: the status log, /proc, ffprobe and the settings file.
#include "E2eFixture.h"

#include <sys/stat.h>

#include <array>
#include <regex>
#include <thread>

namespace {

using namespace std::chrono_literals;

const std::string kNames[2] = {"前门摄像头", "大厅\"转码\""};
const std::string kFirstFailure = "连续1次直播失败，重试中";

using apptest::ReadFile;
using e2e::Nginx;

// Whether pid has a handler for SIGTERM (SigCgt in /proc/<pid>/status).
bool CatchesSigterm(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("SigCgt:", 0) == 0)
            return (std::stoull(line.substr(7), nullptr, 16) >> (SIGTERM - 1)) & 1;
    return false;
}

bool IsRelaying(const std::string& text) { return std::regex_match(text, std::regex("开始直播 [0-9]+kbps")); }
bool IsFailure(const std::string& text) { return text.rfind("连续", 0) == 0; }

// One raw HTTP exchange with 127.0.0.1:port through bash's /dev/tcp: the answer, or "".
std::string Http(int port, const std::string& request)
{
    std::string answer;
    RunCommand({"bash", "-c", "exec 3<>/dev/tcp/127.0.0.1/$0 && printf '%s' \"$1\" >&3 && cat <&3",
                std::to_string(port), request}, 10, &answer);
    return answer;
}

// The value of one metrics sample ("<name>{<labels>} <value>"), -1 when it is missing.
double Sample(const std::string& metrics, const std::string& nameAndLabels)
{
    const std::size_t at = metrics.find("\n" + nameAndLabels + " ");
    return at == std::string::npos ? -1 : std::stod(metrics.substr(at + nameAndLabels.size() + 2));
}

// CamRelay is started by SetUp and killed by TearDown, with any relay child still running.
class SystemTest : public ::testing::Test {
protected:
    // The headless fixture runs the service on the folder instead of the window beside it.
    virtual bool Headless() const { return false; }
    void SetUp() override
    {
        ASSERT_TRUE(e2e::TheCamera().Start()) << e2e::TheCamera().Log();
        ASSERT_TRUE(Nginx().Start()) << Nginx().Log();
        // A folder name with CJK characters and a blank: config.ini and ffmpeg must still be
        // found beside the program.
        const std::string dir = m_root.File("中继 程序");
        std::filesystem::create_directory(dir);
        std::filesystem::copy_file(CAMRELAY_BIN_DIR "/CamRelay", dir + "/CamRelay");
        std::filesystem::create_symlink("/usr/bin/ffmpeg", dir + "/ffmpeg");
        // A status file that is a FIFO must not hang the window at the first start.
        ASSERT_EQ(0, ::mkfifo((dir + "/NetStatus.txt").c_str(), 0644));
        // Channel 0 copies the camera's video and re-encodes its A-law audio (FLV cannot carry
        // it); channel 1 re-encodes both. Both are stored as running, so auto-run resumes them; the
        // service starts them whatever m_bAutoRun says. Its file has a line spaced by hand, as an
        // operator of a service would write it: starting the channels must not rewrite it.
        const std::string common = "SignalName=" + e2e::TheCamera().Url() + "\nstrFilePath=\ncheckstate=1\n"
                                   "checkstate2=0\ncheckstate3=1\ncheckstate4=1\nAdSmpLinGrate=44100\nAdBitRate=64\n";
        std::ofstream(m_ini = dir + "/config.ini", std::ios::binary)
            << "[SET DEFAULT VALUE]\nnextId=2\nm_bAutoRun=" << !Headless() << "\nm_bRTSPuseTCP=1\n"
            << apptest::Keys(0, "Name=" + kNames[0] + "\nAdress=" + Url(0) + "\n" + common +
                                    "checkstate1=0\nAdChannel=1\nVdTransCode=否")
            << (Headless() ? "0+strAVState = 运行中\n" : "0+strAVState=运行中\n")
            << apptest::Keys(1, "Name=" + kNames[1] + "\nAdress=" + Url(1) + "\n" + common +
                                    "strAVState=运行中\ncheckstate1=1\nVdBitRate=800\nVdRameRate=25\nVdWidth=640\n"
                                    "VdHeight=360\nVdProFile=main\nAdChannel=2\nVdTransCode=是");
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
        m_log = dir + "/CamRelay.log";
        m_statusPort = FreeTcpPort();
        // The service without a display; the window with closed standard streams, which must stop
        // nothing: the status log still has every line.
        ASSERT_TRUE(Headless() ? m_run.Start({"env", "-u", "DISPLAY", "-u", "WAYLAND_DISPLAY", "-u", "QT_QPA_PLATFORM",
                                              CAMRELAY_BIN_DIR "/CamRelay", "--headless", "--dir", dir,
                                              "--status-port", std::to_string(m_statusPort)}, m_root.File("stderr.log"))
                               : m_run.Start({"/bin/sh", "-c", "exec \"$0\" <&- >&- 2>&-", dir + "/CamRelay"}, ""));
    }
    void TearDown() override
    {
        if (HasFailure())
            std::cerr << "--- CamRelay.log ---\n" << ReadFile(m_log) << "--- end ---\n";
        m_run.Stop(SIGKILL, 1.0);
        for (pid_t pid : Relays())
            ::kill(pid, SIGKILL);
    }

    static std::string Url(int row) { return Nginx().Url("cam" + std::to_string(row)); }
    // Live processes publishing to our server: CamRelay's ffmpeg children.
    static std::vector<pid_t> Relays() { return ProcessProbe::ProcessesWithArg(Nginx().Url("cam")); }

    // Events CamRelay logged for a row ("<stamp> 信号 <name> (id <row>): <event>"), in order; a
    // line still being written does not count.
    std::vector<std::string> Statuses(int row) const
    {
        const std::regex line("\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d 信号 " + kNames[row] + " \\(id " +
                              std::to_string(row) + "\\): (.*)");
        std::vector<std::string> texts;
        std::istringstream lines(ReadFile(m_log));
        std::smatch match;
        for (std::string text; std::getline(lines, text) && !lines.eof();)
            if (std::regex_match(text, match, line))
                texts.push_back(match[1]);
        return texts;
    }
    // Index of the first status of row after index `after` that matches, waiting up to the
    // timeout; -1 when none came.
    int WaitStatus(int row, int after, bool (*match)(const std::string&), std::chrono::seconds timeout) const
    {
        int found = -1;
        ProcessProbe::WaitUntil([&] {
            const std::vector<std::string> texts = Statuses(row);
            for (int i = after + 1; found < 0 && i < static_cast<int>(texts.size()); ++i)
                found = match(texts[i]) ? i : -1;
            return found >= 0;
        }, timeout);
        return found;
    }
    // Waits until both rows report relaying after the given status indexes; returns where.
    std::array<int, 2> BothRelaying(std::array<int, 2> after, const char* when)
    {
        for (int row = 0; row < 2; ++row) {
            after[row] = WaitStatus(row, after[row], IsRelaying, 45s);
            EXPECT_GE(after[row], 0) << "row " << row + 1 << " did not relay " << when;
        }
        return after;
    }

    TempDir m_root{"camrelay-system"};
    std::string m_ini, m_log;
    int m_statusPort = 0;
    ServerProcess m_run;
};

class HeadlessTest : public SystemTest {
protected:
    bool Headless() const override { return true; }
};

}  // namespace

// Auto-run resumes both stored channels and the streams arrive as configured; a second CamRelay
// on the folder (the installed program pointed at it with --dir) refuses, starts nothing, shows
// the refusal until acknowledged and writes nothing; an nginx outage is counted as a first failure
// and recovered from; SIGTERM (the close box) ends CamRelay and its children and writes nothing.
TEST_F(SystemTest, RelaysRefusesASecondInstanceRecoversAndClosesCleanly)
{
    const std::string settings = ReadFile(m_ini);
    std::array<int, 2> mark = BothRelaying({-1, -1}, "after start-up");
    ASSERT_FALSE(HasFailure());
    for (int row = 0; row < 2; ++row)
        for (int i = 0; i < mark[row]; ++i)
            EXPECT_FALSE(IsFailure(Statuses(row)[i])) << "row " << row + 1 << " failed before relaying";
    EXPECT_EQ(std::vector<std::string>({"h264 640x360 Main, aac 44100 Hz 1 ch", "h264 640x360 Main, aac 44100 Hz 2 ch"}),
              e2e::ProbeAll({Url(0), Url(1)}));

    // Exactly two relays, ffmpeg children of CamRelay pulling the camera over TCP, one per channel.
    const std::vector<pid_t> relays = Relays();
    ASSERT_EQ(2u, relays.size());
    for (pid_t pid : relays) {
        EXPECT_EQ(m_run.Pid(), ProcessProbe::ParentOf(pid));
        EXPECT_EQ("ffmpeg", std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/exe").filename().string());
        std::string args;
        for (const std::string& arg : ProcessProbe::CmdLine(pid))
            args += arg + "\n";
        EXPECT_NE(std::string::npos, args.find("\n-rtsp_transport\ntcp\n-i\n" + e2e::TheCamera().Url() + "\n")) << args;
    }
    EXPECT_EQ(1u, ProcessProbe::ProcessesWithArg(Url(0)).size());
    EXPECT_EQ(1u, ProcessProbe::ProcessesWithArg(Url(1)).size());

    const std::string dir = std::filesystem::path(m_ini).parent_path();
    ServerProcess second;
    ASSERT_TRUE(second.Start({CAMRELAY_BIN_DIR "/CamRelay", "--dir", dir}, m_root.File("second.log")));
    EXPECT_TRUE(ProcessProbe::WaitUntil([&] {
        return ReadFile(m_root.File("second.log")).find("该目录已有CamRelay在运行：" + dir) != std::string::npos;
    }, 10s)) << ReadFile(m_root.File("second.log"));
    EXPECT_EQ(relays, Relays()) << "the first instance's children changed";

    // The outage gives the refused instance time for its auto-run, which must start nothing.
    Nginx().Stop();
    for (int row = 0; row < 2; ++row) {  // the end is noticed at one 5 s tick and counted at the next
        mark[row] = WaitStatus(row, mark[row], IsFailure, 30s);
        ASSERT_GE(mark[row], 0) << "row " << row + 1 << " counted no failure in the outage";
        EXPECT_EQ(kFirstFailure, Statuses(row)[mark[row]]) << "row " << row + 1;
    }
    ASSERT_TRUE(Nginx().Start()) << Nginx().Log();
    BothRelaying(mark, "after the outage");
    ASSERT_FALSE(HasFailure());
    EXPECT_EQ("h264 640x360 Main, aac 44100 Hz 2 ch", ProbeUntilVideo(Url(1))) << "after the outage";
    for (pid_t pid : Relays())
        EXPECT_EQ(m_run.Pid(), ProcessProbe::ParentOf(pid)) << "a relay of the refused instance";

    EXPECT_TRUE(second.Running()) << "the refusal is shown until it is acknowledged";
    ASSERT_EQ(0, ::kill(second.Pid(), SIGTERM));  // closes the message box
    EXPECT_TRUE(ProcessProbe::WaitUntil([&] { return !second.Running(); }, 10s));
    EXPECT_EQ(3, second.ExitCode());

    ASSERT_EQ(0, ::kill(m_run.Pid(), SIGTERM));
    ASSERT_TRUE(ProcessProbe::WaitUntil([&] { return !m_run.Running(); }, 10s)) << "CamRelay did not end on SIGTERM";
    EXPECT_EQ(0, m_run.ExitCode());
    EXPECT_TRUE(ProcessProbe::WaitUntil([] { return Relays().empty(); }, 5s)) << "an ffmpeg child outlived CamRelay";
    EXPECT_EQ(settings, ReadFile(m_ini)) << "closing or the second instance wrote the settings";
    EXPECT_NE(std::string::npos, ReadFile(m_log).find(" CamRelay 已退出\n"));
}

// kill -9 leaves CamRelay no chance to stop its children: the kernel must take them along.
TEST_F(SystemTest, KilledProgramTakesItsChildrenAlong)
{
    ASSERT_TRUE(ProcessProbe::WaitUntil([] { return Relays().size() == 2; }, 30s)) << "auto-run did not start both";
    ASSERT_EQ(0, ::kill(m_run.Pid(), SIGKILL));
    EXPECT_TRUE(ProcessProbe::WaitUntil([] { return Relays().empty(); }, 3s)) << "an ffmpeg child outlived CamRelay";
    EXPECT_TRUE(ProcessProbe::WaitUntil([&] { return !m_run.Running(); }, 3s));
    EXPECT_EQ(128 + SIGKILL, m_run.ExitCode());
}

// The service without a display: both stored channels relay with m_bAutoRun off; the endpoint
// reports them up with their names escaped and survives a malformed request; a second instance
// refuses; a channel paused in config.ini stops on SIGHUP while the other keeps its child;
// SIGTERM ends everything and leaves config.ini as it was.
TEST_F(HeadlessTest, RelaysReloadsReportsAndStops)
{
    const std::string before = ReadFile(m_ini);
    BothRelaying({-1, -1}, "headless");
    ASSERT_FALSE(HasFailure()) << ReadFile(m_root.File("stderr.log"));
    EXPECT_EQ(before, ReadFile(m_ini)) << "starting the stored channels rewrote config.ini";
    EXPECT_EQ(std::vector<std::string>({"h264 640x360 Main, aac 44100 Hz 1 ch", "h264 640x360 Main, aac 44100 Hz 2 ch"}),
              e2e::ProbeAll({Url(0), Url(1)}));
    const std::vector<pid_t> relays = Relays();
    ASSERT_EQ(2u, relays.size());
    const std::string labels[2] = {"{id=\"0\",name=\"前门摄像头\"}", "{id=\"1\",name=\"大厅\\\"转码\\\"\"}"};
    // Readings arrive about twice a second; the endpoint shows them with the next one.
    std::string metrics;
    EXPECT_TRUE(ProcessProbe::WaitUntil([&] {
        metrics = Http(m_statusPort, "GET /metrics HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
        return Sample(metrics, "camrelay_channel_up" + labels[0]) == 1 &&
               Sample(metrics, "camrelay_channel_up" + labels[1]) == 1 &&
               Sample(metrics, "camrelay_channel_bitrate_kbps" + labels[0]) > 0 &&
               Sample(metrics, "camrelay_channel_bitrate_kbps" + labels[1]) > 0;
    }, 20s)) << metrics;
    EXPECT_EQ(0u, Http(m_statusPort, "BOGUS\r\n\r\n").rfind("HTTP/1.1 400", 0));

    const std::string dir = std::filesystem::path(m_ini).parent_path();
    std::string second;
    EXPECT_EQ(3, RunCommand({CAMRELAY_BIN_DIR "/CamRelay", "--headless", "--dir", dir}, 5, &second));
    EXPECT_NE(std::string::npos, second.find("该目录已有CamRelay在运行：" + dir)) << second;
    EXPECT_EQ(relays, Relays()) << "children changed after the malformed request or the second instance";

    std::string ini = ReadFile(m_ini);
    const std::string running = "1+strAVState=运行中";
    ASSERT_NE(std::string::npos, ini.find(running));
    ini.replace(ini.find(running), running.size(), "1+strAVState=暂停中");
    std::ofstream(m_ini, std::ios::binary | std::ios::trunc) << ini;
    const pid_t kept = ProcessProbe::ProcessesWithArg(Url(0)).at(0);
    ASSERT_EQ(0, ::kill(m_run.Pid(), SIGHUP));
    EXPECT_TRUE(ProcessProbe::WaitUntil([&] { return ProcessProbe::ProcessesWithArg(Url(1)).empty(); }, 10s))
        << "the paused channel's child is still there";
    std::this_thread::sleep_for(6s);  // a supervision tick: nothing else may change
    EXPECT_EQ(std::vector<pid_t>{kept}, Relays()) << "the other channel's child changed";
    EXPECT_EQ("配置已改为暂停中: 已停止", Statuses(1).back());

    ASSERT_EQ(0, ::kill(m_run.Pid(), SIGTERM));
    ASSERT_TRUE(ProcessProbe::WaitUntil([&] { return !m_run.Running(); }, 10s)) << "no end on SIGTERM";
    EXPECT_EQ(0, m_run.ExitCode());
    EXPECT_TRUE(Relays().empty()) << "an ffmpeg child outlived the service";
    EXPECT_EQ(ini, ReadFile(m_ini)) << "the service wrote the settings";
}

// The command line answers without a display; a wrong option is a usage error; a window without
// a display says what to do instead of aborting.
TEST(ProgramTest, CommandLineWithoutDisplay)
{
    struct Case { std::vector<std::string> args; int status; const char* says; };
    const Case cases[] = {
        {{"--help"}, 0, "--status-port <PORT>"}, {{"--version"}, 0, "CamRelay 1.0.0.9"},
        {{"--bogus"}, 2, "用法：CamRelay [--dir DIR]"}, {{"--status-port", "0"}, 2, "--status-port"},
        {{"stray"}, 2, "多余的参数"}, {{}, 1, "--headless"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> argv{"env", "-u", "DISPLAY", "-u", "WAYLAND_DISPLAY", "-u", "QT_QPA_PLATFORM",
                                      CAMRELAY_BIN_DIR "/CamRelay"};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        std::string output;
        EXPECT_EQ(c.status, RunCommand(argv, 10, &output)) << output;
        EXPECT_NE(std::string::npos, output.find(c.says)) << output;
    }
}

// SIGTERM early in the start-up of a large config (5,000 channels to renumber) ends CamRelay
// with status 0 once the start-up write is done or before it began, never half-way.
TEST(ProgramTest, EarlySigtermEndsCleanly)
{
    TempDir dir("camrelay-early");
    std::ostringstream ini;
    ini << "[SET DEFAULT VALUE]\nnextId=10000\nm_bAutoRun=1\n";
    for (int id = 0; id < 10000; ++id) {
        if (id % 2 == 0)
            ini << id << "+Name=x\n" << id << "+ISDelete=true\n";
        else
            ini << id << "+Name=摄像头" << id << "\n" << id << "+SignalName=rtsp://127.0.0.1:1/x\n" << id
                << "+Adress=rtmp://127.0.0.1:1/live/x\n" << id << "+strAVState=运行中\n";
    }
    const std::string original = ini.str();
    std::filesystem::copy_file(CAMRELAY_BIN_DIR "/CamRelay", dir.File("CamRelay"));
    for (int delayMs : {0, 30, 150}) {
        std::ofstream(dir.File("config.ini"), std::ios::binary | std::ios::trunc) << original;
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
        ServerProcess run;
        ASSERT_TRUE(run.Start({dir.File("CamRelay")}, dir.File("log")));
        // The handler must be there before the start-up scan has written anything.
        ASSERT_TRUE(ProcessProbe::WaitUntil([&] { return CatchesSigterm(run.Pid()) || !run.Running(); }, 10s));
        EXPECT_EQ(original, ReadFile(dir.File("config.ini"))) << "SIGTERM was caught only after the start-up write";
        std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
        ASSERT_EQ(0, ::kill(run.Pid(), SIGTERM));
        EXPECT_TRUE(ProcessProbe::WaitUntil([&] { return !run.Running(); }, 30s)) << delayMs << " ms";
        EXPECT_EQ(0, run.ExitCode()) << "SIGTERM " << delayMs << " ms after the handler was installed";
        const std::string after = ReadFile(dir.File("config.ini"));
        EXPECT_TRUE(after == original || after.find("\n4999+Name=摄像头9999\n") != std::string::npos) << delayMs << " ms";
        EXPECT_TRUE(ProcessProbe::ProcessesWithArg("rtmp://127.0.0.1:1/live/x").empty()) << "a child was started";
    }
}

// Without ffmpeg beside the program or on PATH, the row says where it was looked for.
TEST(ProgramTest, MissingFfmpegNamesThePlacesTried)
{
    TempDir dir("camrelay-noffmpeg");
    std::filesystem::copy_file(CAMRELAY_BIN_DIR "/CamRelay", dir.File("CamRelay"));
    std::ofstream(dir.File("config.ini")) << "[SET DEFAULT VALUE]\nnextId=1\nm_bAutoRun=1\n0+Name=门口\n"
                                             "0+SignalName=rtsp://127.0.0.1:1/x\n0+Adress=rtmp://127.0.0.1:1/live/y\n"
                                             "0+strAVState=运行中\n0+checkstate=1\n";
    ServerProcess run;
    ASSERT_TRUE(run.Start({"env", "PATH=/nonexistent:relative", "QT_QPA_PLATFORM=offscreen", dir.File("CamRelay")},
                          dir.File("log")));
    const std::string expected = "找不到ffmpeg，已查找：" + dir.File("ffmpeg") + "、/nonexistent/ffmpeg";
    EXPECT_TRUE(ProcessProbe::WaitUntil([&] { return ReadFile(dir.File("log")).find(expected) != std::string::npos; },
                                        20s)) << ReadFile(dir.File("log"));
    ASSERT_EQ(0, ::kill(run.Pid(), SIGTERM));
    EXPECT_TRUE(ProcessProbe::WaitUntil([&] { return !run.Running(); }, 10s));
    EXPECT_EQ(0, run.ExitCode());
}
