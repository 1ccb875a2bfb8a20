// Launch, supervision, retry and stop, driven deterministically: the fake transcoder stands in
// for ffmpeg (its behaviour is set in the publish address after '#') and the tests call
// OnTimer themselves instead of waiting for the five-second timers.
#include "AppFixture.h"

#include "settings/ConfigStore.h"

#include <signal.h>

using namespace apptest;

namespace {
class SupervisionTest : public AppTest {
protected:
    // One stored channel, id 0, copying video and re-encoding audio.
    CRelayDlg& OpenWith(const std::string& publish, const std::string& source = "rtmp://127.0.0.1:1/live/src",
                        const std::string& extra = "")
    {
        UseFakeFfmpeg();
        WriteConfig("nextId=1\n" + extra + StoredChannel(0, "cam", source, publish, "暂停中"));
        return Open();
    }

    // Two ticks after the child ended: the first clears the run bit, the second counts.
    void NoticeEnd(CRelayDlg& dlg, int id = 0)
    {
        ASSERT_TRUE(WaitChildEnded(id)) << "the child did not end";
        dlg.OnTimer(ID_SUPERVISE_TIMER);
        ASSERT_EQ(1u, dlg.m_engine.m_workers.count(id)) << "cleaned up at the first notice";
        dlg.OnTimer(ID_SUPERVISE_TIMER);
    }
};

const std::string kFailing = "rtmp://127.0.0.1:1/live/out#lines=0,exit=1,banner=0,error=Connection%20refused";
}  // namespace

TEST_F(SupervisionTest, TenConsecutiveFailuresThenGiveUp)
{
    CRelayDlg& dlg = OpenWith(kFailing);
    dlg.OnChannelCommand(ID_CHANNEL_RUN, 0);
    EXPECT_EQ(QStringLiteral("运行中"), dlg.CellText(0, 2));
    EXPECT_EQ("运行中", ConfigStore(AppDir()).GetValue("0+strAVState"));
    for (int count = 1; count <= 9; ++count) {
        NoticeEnd(dlg);
        EXPECT_EQ(QString("连续%1次直播失败，重试中。。。！").arg(count), dlg.CellText(0, 1));
        EXPECT_EQ(1u, dlg.m_engine.m_workers.count(0)) << "relaunched after failure " << count;
    }
    NoticeEnd(dlg);
    EXPECT_EQ(QStringLiteral("直播多次失败，请检查！"), dlg.CellText(0, 1));
    EXPECT_EQ(0u, dlg.m_engine.m_workers.count(0));
    EXPECT_EQ(10u, FakeRuns().size());
    EXPECT_NE(std::string::npos, dlg.RowDetails(0).toStdString().find("Connection refused"));

    // Given up: "运行" does nothing until "暂停"; then a failure before any progress is the 11th.
    dlg.OnChannelCommand(ID_CHANNEL_RUN, 0);
    EXPECT_EQ(0u, dlg.m_engine.m_workers.count(0));
    dlg.OnChannelCommand(ID_CHANNEL_PAUSE, 0);
    EXPECT_EQ(QString(), dlg.CellText(0, 1));
    dlg.OnChannelCommand(ID_CHANNEL_RUN, 0);
    NoticeEnd(dlg);
    EXPECT_EQ(QStringLiteral("直播多次失败，请检查！"), dlg.CellText(0, 1));
    EXPECT_EQ(11, dlg.m_engine.m_failCounts[0]);
    EXPECT_EQ(0, ChildCount());
}

TEST_F(SupervisionTest, ProgressResetsTheFailureCount)
{
    CRelayDlg& dlg = OpenWith(kFailing);
    dlg.OnChannelCommand(ID_CHANNEL_RUN, 0);
    for (int count = 1; count <= 3; ++count)
        NoticeEnd(dlg);
    EXPECT_EQ(3, dlg.m_engine.m_failCounts[0]);

    // The relaunch reads the stored settings: the next child reports progress, then ends.
    ConfigStore(AppDir()).SetValue("rtmp://127.0.0.1:1/live/out#lines=2,interval=50,kbps=1011.2,exit=1", "0+Adress");
    NoticeEnd(dlg);  // the fourth failure relaunches with the new address
    ASSERT_TRUE(WaitFor([&] { return dlg.CellText(0, 1) == "1011kbps"; })) << dlg.CellText(0, 1).toStdString();
    EXPECT_EQ(0, dlg.m_engine.m_failCounts[0]);
    NoticeEnd(dlg);
    EXPECT_EQ(QStringLiteral("连续1次直播失败，重试中。。。！"), dlg.CellText(0, 1));
}

TEST_F(SupervisionTest, ChildReceivesExactArgumentsOverTcp)
{
    CRelayDlg& dlg = OpenWith("rtmp://127.0.0.1:1/live/out#hang=1", "rtsp://127.0.0.1:1/live-in/1",
                              "m_bRTSPuseTCP=1\n");
    dlg.OnChannelCommand(ID_CHANNEL_RUN, 0);
    ASSERT_TRUE(WaitFor([&] { return FakeRuns().size() == 1; }));
    const std::string run = FakeRuns()[0];
    // argv one per line: the RTSP address kept whole, libfaac adapted to the built-in encoder.
    EXPECT_NE(std::string::npos, run.find("-rtsp_transport\ntcp\n-i\nrtsp://127.0.0.1:1/live-in/1\n-vcodec\ncopy\n"
                                          "-acodec\naac\n-ac\n2\n-ar\n44100\n-b:a\n64k\n-f\nflv\n"
                                          "rtmp://127.0.0.1:1/live/out#hang=1\n"))
        << run;
    EXPECT_NE(std::string::npos, run.find("stdin: /dev/null")) << run;
    EXPECT_NE(std::string::npos, run.find("fds: 0 1 2\n")) << run;
    EXPECT_STREQ("   -rtsp_transport tcp -i \"rtsp://127.0.0.1:1/live-in/1\" -vcodec copy -acodec libfaac -ac 2 "
                 "-ar 44100 -b:a 64k -f flv rtmp://127.0.0.1:1/live/out#hang=1  ",
                 dlg.m_engine.m_szCommand);
    // Starting it again by hand does not start a second child.
    dlg.OnChannelCommand(ID_CHANNEL_RUN, 0);
    QTest::qWait(200);
    EXPECT_EQ(1u, FakeRuns().size());
    EXPECT_EQ(0, ::access(m_dir.File("NetStatus.txt").c_str(), F_OK));
}

TEST_F(SupervisionTest, AutoRunStartsOnePerTickAndSkipsHandStarted)
{
    UseFakeFfmpeg();
    std::string body = "nextId=3\nm_bAutoRun=1\n";
    for (int id = 0; id < 3; ++id)
        body += StoredChannel(id, "c" + std::to_string(id), "rtmp://127.0.0.1:1/src",
                              "rtmp://127.0.0.1:1/live/c" + std::to_string(id) + "#hang=1");
    WriteConfig(body);
    CRelayDlg& dlg = Open();
    ASSERT_TRUE(dlg.IsTimerActive(ID_AUTORUN_TIMER));
    dlg.OnChannelCommand(ID_CHANNEL_RUN, 1);  // started by hand before its turn
    const pid_t handStarted = dlg.m_engine.m_workers.at(1).m_hProcess;
    for (int tick = 0; tick < 3; ++tick) {
        dlg.OnTimer(ID_AUTORUN_TIMER);
        EXPECT_TRUE(dlg.IsTimerActive(ID_AUTORUN_TIMER));
    }
    EXPECT_EQ(3u, dlg.m_engine.m_workers.size());
    EXPECT_EQ(handStarted, dlg.m_engine.m_workers.at(1).m_hProcess);
    dlg.OnTimer(ID_AUTORUN_TIMER);
    EXPECT_FALSE(dlg.IsTimerActive(ID_AUTORUN_TIMER));
    ASSERT_TRUE(WaitFor([&] { return FakeRuns().size() == 3; }));

    // Closing stops every child; the stored state words stay for the next start.
    dlg.OnClose();
    EXPECT_EQ(0, ChildCount());
    EXPECT_FALSE(dlg.IsTimerActive(ID_SUPERVISE_TIMER));
    for (int id = 0; id < 3; ++id)
        EXPECT_EQ("运行中", ConfigStore(AppDir()).GetValue(std::to_string(id) + "+strAVState"));
}

TEST_F(SupervisionTest, MissingFfmpegIsAFailedStartWithAReason)
{
    WriteConfig("nextId=1\n" + StoredChannel(0, "cam", "rtmp://127.0.0.1:1/src", "rtmp://127.0.0.1:1/live/o"));
    CRelayDlg& dlg = Open();  // no ffmpeg beside the program
    dlg.OnChannelCommand(ID_CHANNEL_RUN, 0);
    EXPECT_TRUE(dlg.CellText(0, 1).startsWith(QStringLiteral("无法启动ffmpeg"))) << dlg.CellText(0, 1).toStdString();
    EXPECT_EQ(0u, dlg.m_engine.m_workers.count(0));  // no worker without a process
    dlg.OnTimer(ID_SUPERVISE_TIMER);
    EXPECT_EQ(QStringLiteral("连续1次直播失败，重试中。。。！"), dlg.CellText(0, 1));
    EXPECT_NE(std::string::npos, dlg.RowDetails(0).toStdString().find("No such file"));
    // Pausing ends the retries.
    dlg.OnChannelCommand(ID_CHANNEL_PAUSE, 0);
    dlg.OnTimer(ID_SUPERVISE_TIMER);
    EXPECT_EQ(QString(), dlg.CellText(0, 1));
    EXPECT_EQ(1, dlg.m_engine.m_failCounts[0]);
}

TEST_F(SupervisionTest, RefusedLinesStartNothingAndSayWhy)
{
    UseFakeFfmpeg();
    const struct { const char* extra; const char* expect; } cases[] = {
        {"0+checkstate=0\n0+checkstate3=0\n", "视频"},              // video and audio off
        {"0+Adress=rtmp://h/live/a -y /tmp/x\n", "发布地址"},        // would add arguments
        {"0+SignalName=rtsp://h/a\" -y \"b\n", "信号源地址"},
    };
    for (const auto& c : cases) {
        m_dlg.reset();
        // The first of duplicate keys wins: the faulty value goes before the channel's own.
        WriteConfig("nextId=1\n" + std::string(c.extra) +
                    StoredChannel(0, "cam", "rtsp://h/1", "rtmp://127.0.0.1:1/live/o"));
        CRelayDlg& dlg = Open();
        dlg.OnChannelCommand(ID_CHANNEL_RUN, 0);
        EXPECT_EQ(0u, dlg.m_engine.m_workers.size()) << c.extra;
        EXPECT_TRUE(dlg.CellText(0, 1).contains(QString::fromUtf8(c.expect))) << dlg.CellText(0, 1).toStdString();
        EXPECT_EQ(1, dlg.m_engine.Tag(0)->m_bStopped) << "the operator can fix it and run again";
    }
    EXPECT_TRUE(FakeRuns().empty());
}

TEST_F(SupervisionTest, PauseAndDeleteStopTheChild)
{
    CRelayDlg& dlg = OpenWith("rtmp://127.0.0.1:1/live/out#interval=100");
    dlg.OnChannelCommand(ID_CHANNEL_RUN, 0);
    ASSERT_TRUE(WaitFor([&] { return dlg.CellText(0, 1).endsWith("kbps"); }));
    dlg.OnChannelCommand(ID_CHANNEL_PAUSE, 0);
    EXPECT_EQ(0, ChildCount());
    EXPECT_EQ(QStringLiteral("暂停中"), dlg.CellText(0, 2));
    EXPECT_EQ(QString(), dlg.CellText(0, 1));
    EXPECT_EQ("暂停中", ConfigStore(AppDir()).GetValue("0+strAVState"));
    QTest::qWait(300);  // a reading still queued must not bring the bitrate back
    EXPECT_EQ(QString(), dlg.CellText(0, 1));

    dlg.OnChannelCommand(ID_CHANNEL_RUN, 0);
    ASSERT_EQ(1u, dlg.m_engine.m_workers.count(0));
    dlg.OnChannelCommand(ID_CHANNEL_DELETE, 0);
    EXPECT_EQ(0, ChildCount());
    EXPECT_EQ(QStringLiteral("已删除，重启生效"), dlg.CellText(0, 2));
    EXPECT_EQ("true", ConfigStore(AppDir()).GetValue("0+ISDelete"));
    dlg.OnChannelCommand(ID_CHANNEL_RUN, 0);  // still marked started: nothing happens
    EXPECT_EQ(0u, dlg.m_engine.m_workers.count(0));
}

TEST_F(SupervisionTest, HundredStartStopCyclesLeaveNothingBehind)
{
    CRelayDlg& dlg = OpenWith("rtmp://127.0.0.1:1/live/out#interval=20");
    auto count = [](const char* dir) {
        int n = 0;
        for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir))
            ++n;
        return n;
    };
    // One cycle first, so that lazily created resources (the encoder query) are in place.
    dlg.OnChannelCommand(ID_CHANNEL_RUN, 0);
    dlg.OnChannelCommand(ID_CHANNEL_PAUSE, 0);
    const int fds = count("/proc/self/fd");
    const int threads = count("/proc/self/task");
    for (int i = 0; i < 100; ++i) {
        dlg.OnChannelCommand(ID_CHANNEL_RUN, 0);
        if (i % 10 == 0)
            QTest::qWait(30);
        dlg.OnChannelCommand(ID_CHANNEL_PAUSE, 0);
    }
    QCoreApplication::processEvents();
    EXPECT_EQ(fds, count("/proc/self/fd"));
    EXPECT_EQ(threads, count("/proc/self/task"));
    EXPECT_EQ(0, ChildCount());
    EXPECT_EQ(0, ChildCount(true)) << "no zombie either";
}

// A child that reported progress and then died: its last words arrive while the monitor is in
// its two-second pause, and must still reach the row's details when the end is cleaned up.
TEST_F(SupervisionTest, LastWordsAfterProgressReachTheDetails)
{
    CRelayDlg& dlg = OpenWith("rtmp://127.0.0.1:1/live/out#lines=2,interval=300,banner=0,exit=1,error=Server%20returned%20404");
    dlg.OnChannelCommand(ID_CHANNEL_RUN, 0);
    NoticeEnd(dlg);
    EXPECT_TRUE(dlg.RowDetails(0).contains("Server returned 404")) << dlg.RowDetails(0).toStdString();
}
