// Real relays end to end: the main window starts real ffmpeg children that pull real sources
// (an RTMP stream, the RTSP camera simulator, an HTTP-FLV stream) and publish into a private
// nginx-rtmp on 127.0.0.1; ffprobe checks what arrives. Supervision ticks are driven by hand.
#include "E2eFixture.h"

#include <QElapsedTimer>

#include <csignal>
#include <functional>

using namespace apptest;
using e2e::Url;

namespace {

// A paused channel copying the source's video and re-encoding its audio (the camera's A-law
// cannot be copied into FLV).
std::string Channel(int id, const std::string& source, const std::string& publish)
{
    return StoredChannel(id, "通道" + std::to_string(id), source, publish, "暂停中");
}

// Ticks the windows' supervision every second until done() holds or timeoutMs passed.
bool TickUntil(std::initializer_list<MainWindow*> windows, int timeoutMs, const std::function<bool()>& done)
{
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > timeoutMs)
            return false;
        QTest::qWait(1000);
        for (MainWindow* dlg : windows)
            dlg->m_engine.SuperviseTick();
    }
    return true;
}

using RelayEndToEnd = e2e::E2eTest;

}  // namespace

// Every kind of source in one window: an RTMP stream, an HTTP-FLV stream, and the RTSP camera
// pulled without TCP (over TCP: the system test).
TEST_F(RelayEndToEnd, EverySourceKindRelays)
{
    ShellServer http;
    ASSERT_TRUE(http.Start("start_http_flv . $(free_port)", "$HTTP_URL")) << http.Log();
    MainWindow& dlg = Open("nextId=3\nm_bRTSPuseTCP=0\n" + Channel(0, Url("src"), Url("copy")) +
                          Channel(1, http.Ready(), Url("web")) + Channel(2, e2e::Local().cameraUrl, Url("cam")));
    for (int row = 0; row < 3; ++row)
        dlg.OnChannelCommand(ID_CHANNEL_RUN, row);
    EXPECT_EQ(std::vector<std::string>({"h264 640x360 High, aac 44100 Hz 2 ch", "h264 640x360 High, aac 44100 Hz 2 ch",
                                        "h264 640x360 Main, aac 44100 Hz 2 ch"}),
              e2e::ProbeAll({Url("copy"), Url("web"), Url("cam")}));
    for (int row = 0; row < 3; ++row)
        EXPECT_TRUE(WaitBitrate(row)) << "row " << row << ": " << dlg.CellText(row, 1).toStdString();
}

// The camera freezes (SIGSTOP): the real ffmpeg neither exits nor prints, so with "stallTimeout"
// 10 the row says so within a few ticks of 10 s and a new ffmpeg starts (that 0 turns the watchdog off is a row
// of the supervision table); after SIGCONT it relays again with its count back to 0.
TEST_F(RelayEndToEnd, FrozenCameraIsNoticedByTheWatchdog)
{
    MainWindow& dlg = Open("nextId=1\nm_bRTSPuseTCP=1\nstallTimeout=10\n" + Keys(0, "checkstate3=0") +
                           Channel(0, e2e::Local().cameraUrl, Url("stall")));
    dlg.OnChannelCommand(ID_CHANNEL_RUN, 0);
    ASSERT_TRUE(WaitBitrate(0)) << dlg.CellText(0, 1).toStdString();
    const pid_t frozen = dlg.m_engine.View(0).pid;
    struct Thaw {
        pid_t pid;
        ~Thaw() { ::kill(pid, SIGCONT); }
    } thaw{e2e::Local().cameraPid};
    ASSERT_GT(thaw.pid, 0) << "no camera simulator: 0 or -1 would stop this test's group or every process";
    ASSERT_EQ(0, ::kill(thaw.pid, SIGSTOP));
    EXPECT_TRUE(TickUntil({&dlg}, 40000, [&] { return dlg.CellText(0, 1) == QStringLiteral("无数据10秒，重新连接。。。"); }))
        << dlg.CellText(0, 1).toStdString();
    EXPECT_FALSE(ProcessProbe::IsAlive(frozen));
    EXPECT_TRUE(TickUntil({&dlg}, 30000, [&] { return dlg.m_engine.View(0).pid > 0 && dlg.m_engine.View(0).pid != frozen; }))
        << "no new ffmpeg";
    ::kill(thaw.pid, SIGCONT);
    EXPECT_TRUE(TickUntil({&dlg}, 120000, [&] {
        return dlg.m_engine.View(0).failures == 0 && dlg.CellText(0, 1).endsWith("kbps");
    })) << dlg.CellText(0, 1).toStdString();
    EXPECT_EQ("h264 640x360 Main", ProbeUntilVideo(Url("stall")));
}

// Audio that platforms play, and keyframes every 2 s: the camera's A-law becomes AAC while its
// video is copied as it comes (codec, profile and size); the camera without audio (MJPEG,
// re-encoded) gets a silent AAC track and, with 2 s asked, a keyframe every 2 s.
TEST_F(RelayEndToEnd, AudioToAacSilenceAndKeyframes)
{
    const std::string camera = e2e::Local().cameraUrl, mjpeg = camera.substr(0, camera.rfind('/') + 1) + "mjpeg";
    MainWindow& dlg = Open("nextId=2\nm_bRTSPuseTCP=1\n" + Keys(0, "checkstate4=0\nAdToAAC=1") + Channel(0, camera, Url("aac")) +
                           Keys(1, "checkstate1=1\ncheckstate3=0\nVdRameRate=25\nVdBitRate=300\nVdProFile=high422\n"
                                   "VdWidth=320\nVdHeight=240\nAdSilence=1\nVdKeyFrameSec=2") + Channel(1, mjpeg, Url("silent")));
    for (int row = 0; row < 2; ++row)
        dlg.OnChannelCommand(ID_CHANNEL_RUN, row);
    EXPECT_EQ(std::vector<std::string>({"h264 640x360 Main, aac 44100 Hz 2 ch", "h264 320x240 High 4:2:2, aac 44100 Hz 2 ch"}),
              e2e::ProbeAll({Url("aac"), Url("silent")}));
    std::string packets;
    ASSERT_EQ(0, RunCommand({"ffprobe", "-v", "error", "-select_streams", "v", "-read_intervals", "%+11", "-show_entries",
                             "packet=pts_time,flags", "-of", "csv=p=0", Url("silent")}, 60, &packets)) << packets;
    std::vector<double> keys;
    std::istringstream lines(packets);
    for (std::string line; std::getline(lines, line);)
        if (line.find(",K") != std::string::npos)
            keys.push_back(std::atof(line.c_str()));
    ASSERT_GE(keys.size(), 5u) << packets;
    for (std::size_t i = 1; i < keys.size(); ++i)
        EXPECT_NEAR(keys[i] - keys[i - 1], 2.0, 0.05) << packets;
}

// 备用画面: the camera (a simulator of this test's own) goes away for 60 s during a live relay.
// A viewer sampling the published stream every 2 s finds it throughout, but for switches of a
// few seconds: the stand-in (H.264 Constrained Baseline at the camera's size, whose middle
// differs from the camera's picture) while the camera is away, the camera again soon after it
// is back. With the option off, nothing is published while the camera is away, as before.
TEST_F(RelayEndToEnd, StandInWhileTheCameraIsDown)
{
    ShellServer camera;
    const std::string port = std::to_string(FreeTcpPort());
    const std::string start = "start_rtsp_sim rtsp.log " + port;
    ASSERT_TRUE(camera.Start(start, "$RTSP_URL")) << camera.Log();
    MainWindow& dlg = Open("nextId=2\nm_bRTSPuseTCP=1\nstallTimeout=10\n" + Keys(0, "StandIn=1") +
                           Channel(0, camera.Ready(), Url("standin")) + Keys(1, "StandIn=0") +
                           Channel(1, camera.Ready(), Url("plain")));
    dlg.OnChannelCommand(ID_CHANNEL_RUN, 0);
    dlg.OnChannelCommand(ID_CHANNEL_RUN, 1);
    ASSERT_TRUE(WaitBitrate(0) && WaitBitrate(1)) << dlg.CellText(0, 1).toStdString();
    const auto frame = [this](const std::string& url, const std::string& name) {
        const std::string path = m_dir.File(name);
        RunCommand({"ffmpeg", "-v", "error", "-rw_timeout", "10000000", "-i", url, "-frames:v", "1", "-y", path}, 30);
        return QImage(QString::fromStdString(path));
    };
    const QImage cameraPicture = frame(Url("standin"), "camera.png");
    ASSERT_FALSE(cameraPicture.isNull());

    // The viewer: one probe every 2 s, each given 7 s to see a picture. The engine runs on its own
    // schedule meanwhile (ticks every 5 s, checks of the camera polled in between).
    struct Sample { double at; std::string seen; };
    std::vector<std::future<Sample>> samples;
    QElapsedTimer clock;
    clock.start();
    const auto sampleUntil = [&](double seconds, const std::function<void()>& tick) {
        while (clock.elapsed() < seconds * 1000) {
            const double at = static_cast<double>(clock.elapsed()) / 1000;
            samples.push_back(std::async(std::launch::async, [at] {
                std::string out;
                RunCommand({"ffprobe", "-v", "fatal", "-rw_timeout", "7000000", "-select_streams", "v:0", "-show_entries",
                            "stream=width,height,profile", "-of", "csv=p=0", Url("standin")}, 8, &out);
                return Sample{at, out.substr(0, out.find('\n'))};
            }));
            for (int i = 0; i < 4; ++i) {
                QTest::qWait(500);
                dlg.m_engine.Advance();
            }
            tick();
        }
    };
    const auto supervise = [] {};
    sampleUntil(4, supervise);
    camera.Stop();
    bool saw = false, plainFailing = false;
    std::string cause;
    sampleUntil(64, [&] {
        supervise();
        const RowView v = dlg.m_engine.View(0);
        if (!saw && v.standInSince != 0) {  // its ffmpeg has published
            saw = true, cause = v.standInCause;
            EXPECT_STREQ("standin", v.state);
            EXPECT_TRUE(dlg.CellText(0, 1).startsWith(QStringLiteral("备用画面（"))) << dlg.CellText(0, 1).toStdString();
            const QImage standIn = frame(Url("standin"), "standin.png");
            ASSERT_EQ(cameraPicture.size(), standIn.size());
            long long differ = 0;  // the middle, where the stand-in has its text
            for (int y = standIn.height() / 4; y < standIn.height() * 3 / 4; ++y)
                for (int x = standIn.width() / 4; x < standIn.width() * 3 / 4; ++x)
                    differ += std::abs(qGray(standIn.pixel(x, y)) - qGray(cameraPicture.pixel(x, y))) > 40;
            EXPECT_GT(differ, standIn.width() * standIn.height() / 16) << "the stand-in looks like the camera";
        }
        plainFailing = plainFailing || (std::string(dlg.m_engine.View(1).state) == "failing" &&
                                        dlg.m_engine.View(1).standInSince == 0);
    });
    EXPECT_TRUE(saw) << "no stand-in: " << dlg.CellText(0, 1).toStdString();
    EXPECT_FALSE(cause.empty());
    EXPECT_TRUE(plainFailing) << "the channel without the option: " << dlg.CellText(1, 1).toStdString();
    ASSERT_TRUE(camera.Start(start, "$RTSP_URL")) << camera.Log();
    const double back = static_cast<double>(clock.elapsed()) / 1000;
    sampleUntil(back + 20, supervise);
    EXPECT_TRUE(TickUntil({&dlg}, 60000, [&] { return dlg.CellText(0, 1).endsWith("kbps") && dlg.CellText(1, 1).endsWith("kbps"); }))
        << dlg.CellText(0, 1).toStdString() << " / " << dlg.CellText(1, 1).toStdString();

    // A picture throughout but for switches (no two samples in a row without one); the camera's
    // (Main) again within 15 s of its return.
    double cameraAgain = 1e9;
    std::string seen;
    int without = 0, longest = 0;
    for (auto& f : samples) {
        const Sample s = f.get();
        seen += std::to_string(s.at).substr(0, 5) + " " + s.seen + "\n";
        const bool picture = s.seen.starts_with("Main,640,360") || s.seen.starts_with("Constrained Baseline,640,360");
        without = picture ? 0 : without + 1;
        longest = std::max(longest, without);
        if (s.at > back && s.seen.starts_with("Main") && s.at < cameraAgain)
            cameraAgain = s.at;
    }
    EXPECT_LE(longest, 1) << seen;
    EXPECT_LT(cameraAgain - back, 15.0) << seen;
    std::cout << seen;
}

// One camera, three addresses: the channel's own and one more on this run's nginx, one on a
// second nginx of the test's own; the third address names an application nginx does not have.
// The camera serves one RTSP session; its A-law, copied, arrives as AAC; the puller's and the
// pushers' UDP sockets are bound on the loopback only. The good addresses publish steadily while the bad one is
// failing with its cause; mending it by an edit brings it up while the others play on. The
// second nginx killed and started again: the others play on, its address is back within the
// back-off its failures have reached.
TEST_F(RelayEndToEnd, OneCameraSeveralAddresses)
{
    ShellServer camera, second;
    const std::string secondPort = std::to_string(FreeTcpPort());
    ASSERT_TRUE(camera.Start("start_rtsp_sim rtsp.log $(free_port)", "$RTSP_URL")) << camera.Log();
    ASSERT_TRUE(second.Start("start_nginx_rtmp nginx " + secondPort)) << second.Log();
    const std::string rtspPort = camera.Ready().substr(17, camera.Ready().rfind('/') - 17);
    const std::string good2 = "rtmp://127.0.0.1:" + secondPort + "/live/multi2";
    const std::string bad = Url("multi3").replace(Url("multi3").find("/live/"), 6, "/nosuchapp/");
    MainWindow& dlg = Open("nextId=1\nm_bRTSPuseTCP=1\n" + Keys(0, "checkstate4=0\nAdress2=" + good2 + "\nAdress3=" + bad) +
                           Channel(0, camera.Ready(), Url("multi1")));
    dlg.OnChannelCommand(ID_CHANNEL_RUN, 0);
    // The engine on its own schedule (ticks every 5 s), looked at every half second.
    QElapsedTimer clock;
    clock.start();
    const auto runUntil = [&](double seconds, const std::function<bool(const RowView&)>& done) {
        for (const qint64 end = clock.elapsed() + static_cast<qint64>(seconds * 1000); clock.elapsed() < end;) {
            QTest::qWait(500);
            dlg.m_engine.Advance();
            if (done(dlg.m_engine.View(0)))
                return true;
        }
        return false;
    };
    const auto outputs = [&] {
        std::string text;
        for (const OutputView& o : dlg.m_engine.View(0).outputs)
            text += std::to_string(o.number) + " " + o.state + " " + o.cause + " " + std::to_string(o.bytes) + "; ";
        return text;
    };
    ASSERT_TRUE(runUntil(90, [](const RowView& v) {
        return v.outputs.size() == 3 && v.outputs[0].up && v.outputs[1].up && std::string(v.outputs[2].state) == "failing";
    })) << outputs();
    EXPECT_EQ(std::string(dlg.m_engine.View(0).outputs[2].cause), "publish_refused") << outputs();
    EXPECT_STREQ("live", dlg.m_engine.View(0).state);
    std::string sessions;
    RunCommand({"ss", "-Htn", "state", "established", "( dport = :" + rtspPort + " )"}, 10, &sessions);
    EXPECT_EQ(std::count(sessions.begin(), sessions.end(), '\n'), 1) << sessions;
    std::string bound, line;
    RunCommand({"ss", "-Hunlp"}, 10, &bound);
    int sockets = 0;
    for (std::istringstream in(bound); std::getline(in, line);)
        if (line.find("\"ffmpeg\"") != std::string::npos && ++sockets)
            EXPECT_NE(std::string::npos, line.find(" 127.0.0.1:")) << line;
    EXPECT_GE(sockets, 5) << bound;  // the puller's three, the good addresses' pushers

    // 60 s: the good addresses' counters rise in every 10 s, the bad one stays failing.
    std::vector<std::pair<std::uint64_t, std::uint64_t>> counted;
    runUntil(60, [&](const RowView& v) {
        if (clock.elapsed() / 500 % 20 == 0)
            counted.emplace_back(v.outputs[0].bytes, v.outputs[1].bytes);
        EXPECT_STREQ("failing", v.outputs[2].state);
        return false;
    });
    ASSERT_GE(counted.size(), 5u);
    for (std::size_t i = 1; i < counted.size(); ++i)
        EXPECT_TRUE(counted[i].first > counted[i - 1].first && counted[i].second > counted[i - 1].second) << outputs();

    // Viewers of the good addresses from here on: how long each went without a packet.
    ServerProcess viewers[2];
    ASSERT_TRUE(StartViewer(viewers[0], Url("multi1"), m_dir.File("viewer1")) &&
                StartViewer(viewers[1], good2, m_dir.File("viewer2")));
    ASSERT_TRUE(runUntil(30, [&](const RowView&) {
        const std::vector<double> a = PacketArrivals(m_dir.File("viewer1")), b = PacketArrivals(m_dir.File("viewer2"));
        return !a.empty() && !b.empty() && a.back() - a.front() > 2 && b.back() - b.front() > 2;
    }));
    const auto largestGaps = [&](double from, double to) {
        return std::max(LargestGap(PacketArrivals(m_dir.File("viewer1")), from, to),
                        LargestGap(PacketArrivals(m_dir.File("viewer2")), from, to));
    };
    const double edited = EpochSeconds();
    ConfigStore(m_dir.Path()).SetValues({{"0+Adress3", Url("multi3")}});
    dlg.m_engine.ApplyPublishEdits(0);
    ASSERT_TRUE(runUntil(60, [](const RowView& v) { return v.outputs[2].up; })) << outputs();
    EXPECT_EQ("h264 640x360 Main, aac 44100 Hz 1 ch", ProbeUntilVideo(Url("multi3")));
    const double mended = EpochSeconds();
    const double editGap = largestGaps(edited - 1, mended);
    EXPECT_LE(editGap, 5.0);

    // The second nginx away for 15 s.
    second.Stop();
    const double killed = EpochSeconds();
    ASSERT_TRUE(runUntil(30, [](const RowView& v) { return std::string(v.outputs[1].state) == "failing"; })) << outputs();
    runUntil(15 - (EpochSeconds() - killed), [](const RowView&) { return false; });
    ASSERT_TRUE(second.Start("start_nginx_rtmp nginx " + secondPort)) << second.Log();
    const double returned = EpochSeconds();
    const int failures = dlg.m_engine.View(0).outputs[1].failures;
    // A pusher started before the return may still fail: the back-off after one more failure
    // (5 s doubling from the second, at most a minute), a tick to see it and seconds to publish.
    const double backOff = std::min(60, 5 << std::min(failures - 1, 4));
    ASSERT_TRUE(runUntil(backOff + 30, [](const RowView& v) { return v.outputs[1].up; })) << outputs();
    const double back = EpochSeconds() - returned;
    EXPECT_LE(back, backOff + 15) << failures << " failures";
    const double outageGap = LargestGap(PacketArrivals(m_dir.File("viewer1")), killed - 1, EpochSeconds());
    EXPECT_LE(outageGap, 5.0);
    EXPECT_GE(dlg.m_engine.View(0).outputs[1].restarts, 1u);
    std::cout << "edit: largest gap of the good addresses " << editGap << " s, mended address up after "
              << mended - edited << " s; second nginx back: its address up after " << back << " s (" << failures
              << " failures, back-off " << backOff << " s), largest gap of the first " << outageGap << " s\n";
}
