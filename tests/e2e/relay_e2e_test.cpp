// Real relays end to end: the main window starts real ffmpeg children that pull real sources
// (an RTMP stream, the RTSP camera simulator, an HTTP-FLV stream) and publish into a private
// nginx-rtmp on 127.0.0.1; ffprobe checks what arrives. Supervision ticks are driven by hand.
#include "E2eFixture.h"

#include <QElapsedTimer>

#include <csignal>
#include <functional>

using namespace apptest;

namespace {

const std::string kCopyAll = "checkstate=1\ncheckstate1=0\ncheckstate2=0\ncheckstate3=1\ncheckstate4=0";
const std::string kReencode = "checkstate=1\ncheckstate1=1\ncheckstate2=0\ncheckstate3=1\ncheckstate4=1\n"
                              "VdBitRate=600\nVdRameRate=25\nVdWidth=480\nVdHeight=270\nVdProFile=main\n"
                              "AdChannel=2\nAdSmpLinGrate=44100\nAdBitRate=64";
// A-law audio cannot be copied into FLV: the camera's audio is re-encoded, its video copied.
const std::string kCamera = "checkstate=1\ncheckstate1=0\ncheckstate2=0\ncheckstate3=1\ncheckstate4=1\n"
                            "AdChannel=1\nAdSmpLinGrate=44100\nAdBitRate=64";

std::string Channel(int id, const std::string& source, const std::string& publish, const std::string& encoding)
{
    return Keys(id, "Name=通道" + std::to_string(id) + "\nSignalName=" + source + "\nAdress=" + publish +
                        "\nstrAVState=暂停中\n" + encoding);
}

// A second window on a folder of its own, beside the fixture's, so that two settings of one
// option run through the same outage at once.
struct SecondWindow {
    explicit SecondWindow(const std::string& body)
    {
        std::filesystem::create_symlink("/usr/bin/ffmpeg", dir.File("ffmpeg"));
        std::ofstream(dir.File("config.ini")) << "[SET DEFAULT VALUE]\n" << body;
        dlg = std::make_unique<CRelayDlg>(dir.Path(), true);
    }
    TempDir dir{"camrelay-e2e2"};
    std::unique_ptr<CRelayDlg> dlg;
};

// Ticks both windows' supervision every periodMs until done() holds or timeoutMs passed.
bool TickUntil(std::initializer_list<CRelayDlg*> windows, int periodMs, int timeoutMs, const std::function<bool()>& done)
{
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > timeoutMs)
            return false;
        QTest::qWait(periodMs);
        for (CRelayDlg* dlg : windows)
            dlg->OnTimer(ID_SUPERVISE_TIMER);
    }
    return true;
}

class RelayEndToEnd : public e2e::E2eTest {
protected:
    void SetUp() override
    {
        E2eTest::SetUp();
        ASSERT_TRUE(e2e::TheCamera().Start()) << e2e::TheCamera().Log();
    }
    // The settings of one channel copying the camera's video to `stream`, after the switches.
    static std::string CopyCamera(const std::string& switches, const std::string& stream)
    {
        return "nextId=1\nm_bRTSPuseTCP=1\n" + switches +
               Channel(0, e2e::TheCamera().Url(), Url(stream), "checkstate=1\ncheckstate1=0\ncheckstate2=0\ncheckstate3=0");
    }
    // Starts the channel in both windows and waits until the fixture's relays.
    void StartBoth(CRelayDlg& dlg, CRelayDlg& other)
    {
        dlg.OnChannelCommand(ID_CHANNEL_RUN, 0);
        other.OnChannelCommand(ID_CHANNEL_RUN, 0);
        ASSERT_TRUE(WaitBitrate(0)) << dlg.CellText(0, 1).toStdString();
    }
};

}  // namespace

// Every kind of source in one window: an RTMP stream copied and re-encoded, an HTTP-FLV stream,
// and the RTSP camera pulled without TCP (over TCP: the system test).
TEST_F(RelayEndToEnd, EverySourceKindRelays)
{
    ShellServer http;
    ASSERT_TRUE(http.Start("start_http_flv . $(free_port)", "$HTTP_URL")) << http.Log();
    CRelayDlg& dlg = Open("nextId=4\nm_bRTSPuseTCP=0\n" + Channel(0, Url("src"), Url("copy"), kCopyAll) +
                          Channel(1, Url("src"), Url("enc"), kReencode) + Channel(2, http.Ready(), Url("web"), kCopyAll) +
                          Channel(3, e2e::TheCamera().Url(), Url("cam"), kCamera));
    for (int row = 0; row < 4; ++row)
        dlg.OnChannelCommand(ID_CHANNEL_RUN, row);
    EXPECT_EQ(std::string::npos, std::string(dlg.m_engine.m_szCommand).find("-rtsp_transport"));
    EXPECT_EQ(std::vector<std::string>({"h264 640x360 High, aac 44100 Hz 1 ch", "h264 480x270 Main, aac 44100 Hz 2 ch",
                                        "h264 640x360 High, aac 44100 Hz 1 ch", "h264 640x360 Main, aac 44100 Hz 1 ch"}),
              e2e::ProbeAll({Url("copy"), Url("enc"), Url("web"), Url("cam")}));
    for (int row = 0; row < 4; ++row)
        EXPECT_TRUE(WaitBitrate(row)) << "row " << row << ": " << dlg.CellText(row, 1).toStdString();
}

// The camera freezes (SIGSTOP): with "stallTimeout" 10 the row says so within 20 s and a new
// ffmpeg starts; after SIGCONT it relays again with its count back to 0. With 0 the frozen
// channel is left alone. Ticks every second.
TEST_F(RelayEndToEnd, FrozenCameraIsNoticedByTheWatchdogOnly)
{
    CRelayDlg& dlg = Open(CopyCamera("stallTimeout=10\n", "stall"));
    SecondWindow off(CopyCamera("stallTimeout=0\n", "nostall"));
    StartBoth(dlg, *off.dlg);
    ASSERT_FALSE(HasFatalFailure());
    ASSERT_TRUE(QTest::qWaitFor([&] { return off.dlg->CellText(0, 1).endsWith("kbps"); }, 20000));
    const pid_t frozen = dlg.m_engine.m_workers.at(0).m_hProcess, left = off.dlg->m_engine.m_workers.at(0).m_hProcess;

    struct Thaw {
        pid_t pid;
        ~Thaw() { ::kill(pid, SIGCONT); }
    } thaw{e2e::TheCamera().Pid()};
    ASSERT_EQ(0, ::kill(thaw.pid, SIGSTOP));
    const QString stalled = QStringLiteral("无数据10秒，重新连接。。。");
    EXPECT_TRUE(TickUntil({&dlg, off.dlg.get()}, 1000, 20000, [&] { return dlg.CellText(0, 1) == stalled; }))
        << dlg.CellText(0, 1).toStdString();
    EXPECT_FALSE(ProcessProbe::IsAlive(frozen));
    EXPECT_TRUE(TickUntil({&dlg, off.dlg.get()}, 1000, 10000, [&] {
        return dlg.m_engine.m_workers.count(0) && dlg.m_engine.m_workers.at(0).m_hProcess != frozen;
    })) << "no new ffmpeg";
    EXPECT_TRUE(ProcessProbe::IsAlive(left)) << "the watchdog is off in the second window";
    EXPECT_EQ(left, off.dlg->m_engine.m_workers.at(0).m_hProcess);
    EXPECT_TRUE(off.dlg->CellText(0, 1).endsWith("kbps")) << off.dlg->CellText(0, 1).toStdString();
    EXPECT_EQ(0, off.dlg->m_engine.m_failCounts[0]);

    ::kill(thaw.pid, SIGCONT);
    EXPECT_TRUE(TickUntil({&dlg}, 1000, 60000, [&] {
        return dlg.m_engine.m_failCounts[0] == 0 && dlg.CellText(0, 1).endsWith("kbps");
    })) << dlg.CellText(0, 1).toStdString();
    EXPECT_EQ("h264 640x360 Main", ProbeUntilVideo(Url("stall")));
}

// nginx stays down until both windows have counted the tenth failure. With "m_bKeepRetrying" on,
// the channel is relaunched a minute after its last attempt and relays again, the server being
// back, without a click; with it off (the second window) the channel gives up and stays given up.
TEST_F(RelayEndToEnd, KeepRetryingRecoversFromALongOutage)
{
    CRelayDlg& dlg = Open(CopyCamera("m_bKeepRetrying=1\n", "keep"));
    SecondWindow off(CopyCamera("", "giveup"));
    StartBoth(dlg, *off.dlg);
    ASSERT_FALSE(HasFatalFailure());

    e2e::Nginx().Stop();
    // Ticks every second: the ten quick failures take about half a minute.
    QElapsedTimer sinceLimit;
    ASSERT_TRUE(TickUntil({&dlg, off.dlg.get()}, 1000, 90000, [&] {
        if (!sinceLimit.isValid() && dlg.m_engine.m_failCounts[0] == kFailureLimit)
            sinceLimit.start();
        return sinceLimit.isValid() && off.dlg->m_engine.m_failCounts[0] == kFailureLimit;
    })) << dlg.CellText(0, 1).toStdString() << " / " << off.dlg->CellText(0, 1).toStdString();
    EXPECT_EQ(QStringLiteral("直播多次失败，请检查！"), off.dlg->CellText(0, 1));
    EXPECT_EQ(QStringLiteral("连续10次直播失败，每分钟重试。。。！"), dlg.CellText(0, 1));
    ASSERT_TRUE(e2e::Nginx().Start()) << e2e::Nginx().Log();

    // The tenth attempt began a few seconds before its failure was counted.
    EXPECT_TRUE(TickUntil({&dlg, off.dlg.get()}, 1000, 70000, [&] { return dlg.m_engine.m_workers.count(0) == 1; }))
        << "no attempt after the tenth failure";
    EXPECT_GE(sinceLimit.elapsed(), 50000) << "relaunched before the minute was up";
    EXPECT_TRUE(TickUntil({&dlg, off.dlg.get()}, 1000, 20000, [&] { return dlg.CellText(0, 1).endsWith("kbps"); }))
        << dlg.CellText(0, 1).toStdString();
    EXPECT_EQ(0, dlg.m_engine.m_failCounts[0]);
    EXPECT_EQ("h264 640x360 Main", ProbeUntilVideo(Url("keep")));
    EXPECT_EQ(0u, off.dlg->m_engine.m_workers.count(0)) << "the channel without the option stays given up";
    EXPECT_EQ(QStringLiteral("直播多次失败，请检查！"), off.dlg->CellText(0, 1));
}
