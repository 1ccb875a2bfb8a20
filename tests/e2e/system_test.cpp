// The whole program as an operator runs it: the built CamRelay copied into a private folder with
// ffmpeg beside it, a config.ini with two channels stored as running and auto-run on, a private
// nginx-rtmp and the RTSP camera simulator on 127.0.0.1, standard output and standard error
// closed. Everything is observed from outside: the status log, /proc, ffprobe and the settings file.
#include "support/LocalServers.h"
#include "support/ProcessProbe.h"

#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <regex>
#include <sstream>

namespace {

using namespace std::chrono_literals;

const std::string kNames[2] = {"前门摄像头", "大厅转码"};
const std::string kFirstFailure = "连续1次直播失败，重试中";

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

bool IsRelaying(const std::string& text) { return std::regex_match(text, std::regex("开始直播 [0-9]+kbps")); }
bool IsFailure(const std::string& text) { return text.rfind("连续", 0) == 0; }

// The servers are shared by the tests; CamRelay is started by SetUp and killed by TearDown, with
// any relay child still running.
class SystemTest : public ::testing::Test {
protected:
    static void TearDownTestSuite() { s_camera.reset(), s_nginx.reset(); }
    void SetUp() override
    {
        if (!s_camera)
            s_camera = std::make_unique<RtspSimulator>(), s_camera->Start(), s_nginx = std::make_unique<NginxRtmp>();
        ASSERT_TRUE(s_camera->Running()) << s_camera->Log();
        ASSERT_TRUE(s_nginx->Start()) << s_nginx->ErrorLog();
        // A folder name with CJK characters and a blank: config.ini and ffmpeg must still be
        // found beside the program.
        const std::string dir = m_root.File("中继 程序");
        std::filesystem::create_directory(dir);
        std::filesystem::copy_file(CAMRELAY_BIN_DIR "/CamRelay", dir + "/CamRelay");
        std::filesystem::create_symlink("/usr/bin/ffmpeg", dir + "/ffmpeg");
        // Channel 0 copies the camera's video and re-encodes its A-law audio (FLV cannot carry
        // it); channel 1 re-encodes both. Both are stored as running, so auto-run resumes them.
        const std::string encodings[2] = {"checkstate1=0 AdChannel=1 VdTransCode=否",
                                          "checkstate1=1 VdBitRate=800 VdRameRate=25 VdWidth=640 VdHeight=360 "
                                          "VdProFile=main AdChannel=2 VdTransCode=是"};
        std::ofstream ini(m_ini = dir + "/config.ini", std::ios::binary);
        ini << "[SET DEFAULT VALUE]\nnextId=2\nm_bAutoRun=1\nm_bRTSPuseTCP=1\n";
        for (int id = 0; id < 2; ++id) {
            std::istringstream keys("Name=" + kNames[id] + " SignalName=" + s_camera->Url() + " Adress=" + Url(id) +
                                    " strFilePath= strAVState=运行中 checkstate=1 checkstate2=0 checkstate3=1 "
                                    "checkstate4=1 AdSmpLinGrate=44100 AdBitRate=64 " + encodings[id]);
            for (std::string kv; keys >> kv;)
                ini << id << "+" << kv << "\n";
        }
        ini.close();
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
        m_log = dir + "/CamRelay.log";
        // Closed standard streams must not stop anything: the status log still has every line.
        ASSERT_TRUE(m_run.Start({"/bin/sh", "-c", "exec \"$0\" 2>&- >&-", dir + "/CamRelay"}, ""));
    }
    void TearDown() override
    {
        if (HasFailure())
            std::cerr << "--- CamRelay.log ---\n" << ReadFile(m_log) << "--- end ---\n";
        m_run.Stop(SIGKILL, 1.0);
        for (pid_t pid : Relays())
            ::kill(pid, SIGKILL);
    }

    static std::string Url(int row) { return s_nginx->Url("cam" + std::to_string(row)); }
    // Live processes publishing to our server: CamRelay's ffmpeg children.
    static std::vector<pid_t> Relays() { return ProcessProbe::ProcessesWithArg(s_nginx->Url("cam")); }

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

    static inline std::unique_ptr<RtspSimulator> s_camera;
    static inline std::unique_ptr<NginxRtmp> s_nginx;
    TempDir m_root{"camrelay-system"};
    std::string m_ini, m_log;
    ServerProcess m_run;
};

}  // namespace

// Auto-run resumes both stored channels and the streams arrive as configured; two nginx outages
// are each counted as a first failure (the progress in between reset the count) and recovered
// from; SIGTERM (the close box) ends CamRelay and its children and writes nothing.
TEST_F(SystemTest, RelaysRecoversFromOutagesAndClosesCleanly)
{
    const std::string settings = ReadFile(m_ini);
    std::array<int, 2> mark = BothRelaying({-1, -1}, "after start-up");
    ASSERT_FALSE(HasFailure());
    for (int row = 0; row < 2; ++row)
        for (int i = 0; i < mark[row]; ++i)
            EXPECT_FALSE(IsFailure(Statuses(row)[i])) << "row " << row + 1 << " failed before relaying";
    EXPECT_EQ("h264 640x360 Main, aac 44100 Hz 1 ch", ProbeUntilVideo(Url(0)).Summary());
    EXPECT_EQ("h264 640x360 Main, aac 44100 Hz 2 ch", ProbeUntilVideo(Url(1)).Summary());

    // Exactly two relays, ffmpeg children of CamRelay pulling the camera over TCP, one per channel.
    const std::vector<pid_t> relays = Relays();
    ASSERT_EQ(2u, relays.size());
    for (pid_t pid : relays) {
        EXPECT_EQ(m_run.Pid(), ProcessProbe::ParentOf(pid));
        EXPECT_EQ("ffmpeg", std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/exe").filename().string());
        std::string args;
        for (const std::string& arg : ProcessProbe::CmdLine(pid))
            args += arg + "\n";
        EXPECT_NE(std::string::npos, args.find("\n-rtsp_transport\ntcp\n-i\n" + s_camera->Url() + "\n")) << args;
    }
    EXPECT_EQ(1u, ProcessProbe::ProcessesWithArg(Url(0)).size());
    EXPECT_EQ(1u, ProcessProbe::ProcessesWithArg(Url(1)).size());

    for (int outage = 1; outage <= 2; ++outage) {
        s_nginx->Stop();
        for (int row = 0; row < 2; ++row) {  // the end is noticed at one 5 s tick and counted at the next
            mark[row] = WaitStatus(row, mark[row], IsFailure, 30s);
            ASSERT_GE(mark[row], 0) << "row " << row + 1 << " counted no failure in outage " << outage;
            EXPECT_EQ(kFirstFailure, Statuses(row)[mark[row]]) << "row " << row + 1 << ", outage " << outage;
        }
        ASSERT_TRUE(s_nginx->Start()) << s_nginx->ErrorLog();
        mark = BothRelaying(mark, "after an outage");
        ASSERT_FALSE(HasFailure());
    }
    EXPECT_EQ("h264", ProbeUntilVideo(Url(1)).videoCodec) << "after the outages";

    ASSERT_EQ(0, ::kill(m_run.Pid(), SIGTERM));
    ASSERT_TRUE(ProcessProbe::WaitUntil([&] { return !m_run.Running(); }, 10s)) << "CamRelay did not end on SIGTERM";
    EXPECT_EQ(0, m_run.ExitCode());
    EXPECT_TRUE(ProcessProbe::WaitUntil([] { return Relays().empty(); }, 5s)) << "an ffmpeg child outlived CamRelay";
    EXPECT_EQ(settings, ReadFile(m_ini)) << "closing wrote the settings";
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
