// Real relays end to end: the main window starts real ffmpeg children that pull real sources
// (an RTMP stream, the RTSP camera simulator, an HTTP-FLV stream) and publish into a private
// nginx-rtmp on 127.0.0.1; ffprobe checks what arrives. Supervision ticks are driven by hand.
#include "E2eFixture.h"

#include <QElapsedTimer>

#include <csignal>
#include <functional>
#include <iostream>

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
    static void TearDownTestSuite() { s_camera.reset(), E2eTest::TearDownTestSuite(); }
    void SetUp() override
    {
        E2eTest::SetUp();
        if (!s_camera)
            s_camera = std::make_unique<RtspSimulator>(), s_camera->Start();
        ASSERT_TRUE(s_camera->Running()) << s_camera->Log();
    }
    // The settings of one channel copying the camera's video to `stream`, after the switches.
    static std::string CopyCamera(const std::string& switches, const std::string& stream)
    {
        return "nextId=1\nm_bRTSPuseTCP=1\n" + switches +
               Channel(0, s_camera->Url(), Url(stream), "checkstate=1\ncheckstate1=0\ncheckstate2=0\ncheckstate3=0");
    }
    // Starts the channel in both windows and waits until the fixture's relays.
    void StartBoth(CRelayDlg& dlg, CRelayDlg& other)
    {
        dlg.OnChannelCommand(ID_CHANNEL_RUN, 0);
        other.OnChannelCommand(ID_CHANNEL_RUN, 0);
        ASSERT_TRUE(WaitBitrate(0)) << dlg.CellText(0, 1).toStdString();
    }
    static inline std::unique_ptr<RtspSimulator> s_camera;
};

}  // namespace

// Every kind of source in one window: an RTMP stream copied and re-encoded, an HTTP-FLV stream,
// and the RTSP camera pulled without TCP, then with it after a click on the option.
TEST_F(RelayEndToEnd, EverySourceKindRelays)
{
    HttpFlvSource http;
    ASSERT_TRUE(http.Start());
    CRelayDlg& dlg = Open("nextId=4\nm_bRTSPuseTCP=0\n" + Channel(0, Url("src"), Url("copy"), kCopyAll) +
                          Channel(1, Url("src"), Url("enc"), kReencode) + Channel(2, http.Url(), Url("web"), kCopyAll) +
                          Channel(3, s_camera->Url(), Url("cam"), kCamera));
    for (int row = 0; row < 4; ++row)
        dlg.OnChannelCommand(ID_CHANNEL_RUN, row);
    EXPECT_EQ(std::string::npos, std::string(dlg.m_engine.m_szCommand).find("-rtsp_transport"));
    const std::pair<const char*, const char*> expected[] = {{"copy", "h264 640x360 High, aac 44100 Hz 1 ch"},
        {"enc", "h264 480x270 Main, aac 44100 Hz 2 ch"}, {"web", "h264 640x360 High, aac 44100 Hz 1 ch"},
        {"cam", "h264 640x360 Main, aac 44100 Hz 1 ch"}};
    for (const auto& [stream, summary] : expected)
        EXPECT_EQ(summary, ProbeUntilVideo(Url(stream)).Summary()) << stream;
    for (int row = 0; row < 4; ++row)
        EXPECT_TRUE(WaitBitrate(row)) << "row " << row << ": " << dlg.CellText(row, 1).toStdString();

    QTest::mouseClick(dlg.findChild<QWidget*>("1056"), Qt::LeftButton);  // RTSP over TCP
    dlg.OnChannelCommand(ID_CHANNEL_PAUSE, 3);
    dlg.OnChannelCommand(ID_CHANNEL_RUN, 3);
    EXPECT_NE(std::string::npos, std::string(dlg.m_engine.m_szCommand).find("-rtsp_transport tcp"));
    EXPECT_TRUE(WaitBitrate(3)) << "over TCP: " << dlg.CellText(3, 1).toStdString();
    EXPECT_EQ("h264 640x360 Main, aac 44100 Hz 1 ch", ProbeUntilVideo(Url("cam")).Summary()) << "over TCP";
}


// The camera freezes (SIGSTOP): with "stallTimeout" 10 the row says so within 20 s and a new
// ffmpeg starts; after SIGCONT it relays again with its count back to 0. With 0 the frozen
// channel is left alone. Ticks every 5 s, as the real timer.
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
    } thaw{s_camera->Pid()};
    ASSERT_EQ(0, ::kill(thaw.pid, SIGSTOP));
    const QString stalled = QStringLiteral("无数据10秒，重新连接。。。");
    EXPECT_TRUE(TickUntil({&dlg, off.dlg.get()}, 5000, 20000, [&] { return dlg.CellText(0, 1) == stalled; }))
        << dlg.CellText(0, 1).toStdString();
    EXPECT_FALSE(ProcessProbe::IsAlive(frozen));
    EXPECT_TRUE(TickUntil({&dlg, off.dlg.get()}, 5000, 10000, [&] {
        return dlg.m_engine.m_workers.count(0) && dlg.m_engine.m_workers.at(0).m_hProcess != frozen;
    })) << "no new ffmpeg";
    EXPECT_TRUE(ProcessProbe::IsAlive(left)) << "the watchdog is off in the second window";
    EXPECT_EQ(left, off.dlg->m_engine.m_workers.at(0).m_hProcess);
    EXPECT_TRUE(off.dlg->CellText(0, 1).endsWith("kbps")) << off.dlg->CellText(0, 1).toStdString();
    EXPECT_EQ(0, off.dlg->m_engine.m_failCounts[0]);

    ::kill(thaw.pid, SIGCONT);
    EXPECT_TRUE(TickUntil({&dlg}, 5000, 60000, [&] {
        return dlg.m_engine.m_failCounts[0] == 0 && dlg.CellText(0, 1).endsWith("kbps");
    })) << dlg.CellText(0, 1).toStdString();
    EXPECT_EQ("h264", ProbeUntilVideo(Url("stall")).videoCodec);
}

// nginx is down for three minutes. With "m_bKeepRetrying" on, the channel is relaunched once a
// minute after its tenth failure and relays within 70 s of the server's return without a
// click; with it off (the second window) the channel gives up and stays given up.
TEST_F(RelayEndToEnd, KeepRetryingRecoversFromALongOutage)
{
    CRelayDlg& dlg = Open(CopyCamera("m_bKeepRetrying=1\n", "keep"));
    SecondWindow off(CopyCamera("", "giveup"));
    StartBoth(dlg, *off.dlg);
    ASSERT_FALSE(HasFatalFailure());

    s_nginx->Stop();
    QElapsedTimer outage;
    outage.start();
    std::vector<qint64> relaunchesOverLimit;  // ms into the outage
    int lastCount = 0;
    // Ticks every second: the first ten failures come quickly, the minute is the engine's.
    TickUntil({&dlg, off.dlg.get()}, 1000, 180000, [&] {
        const int count = dlg.m_engine.m_failCounts[0];
        if (count > lastCount && count > kFailureLimit)
            relaunchesOverLimit.push_back(outage.elapsed());
        lastCount = count;
        return false;
    });
    EXPECT_EQ(QStringLiteral("直播多次失败，请检查！"), off.dlg->CellText(0, 1));
    EXPECT_EQ(kFailureLimit, off.dlg->m_engine.m_failCounts[0]);
    EXPECT_TRUE(dlg.CellText(0, 1).endsWith(QStringLiteral("次直播失败，每分钟重试。。。！"))) << dlg.CellText(0, 1).toStdString();
    ASSERT_GE(relaunchesOverLimit.size(), 1u) << "no attempt after the tenth failure";
    for (std::size_t i = 1; i < relaunchesOverLimit.size(); ++i) {
        const qint64 gap = relaunchesOverLimit[i] - relaunchesOverLimit[i - 1];
        EXPECT_GE(gap, 58000) << i;
        EXPECT_LE(gap, 63000) << i;
    }

    ASSERT_TRUE(s_nginx->Start()) << s_nginx->ErrorLog();
    QElapsedTimer back;
    back.start();
    EXPECT_TRUE(TickUntil({&dlg, off.dlg.get()}, 1000, 70000, [&] { return dlg.CellText(0, 1).endsWith("kbps"); }))
        << dlg.CellText(0, 1).toStdString();
    std::cout << "relaying again " << back.elapsed() / 1000.0 << " s after the server's return\n";
    EXPECT_EQ(0, dlg.m_engine.m_failCounts[0]);
    EXPECT_EQ("h264", ProbeUntilVideo(Url("keep")).videoCodec);
    EXPECT_EQ(0u, off.dlg->m_engine.m_workers.count(0)) << "the channel without the option stays given up";
}
