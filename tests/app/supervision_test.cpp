// Start-up, launch, supervision, retry and stop, driven deterministically: the fake transcoder
// stands in for ffmpeg (its behaviour is set in the publish address after '#') and the tests call
// the engine's steps themselves instead of waiting for the window's timer.
#include "AppFixture.h"

#include <QCheckBox>
#include <QRegularExpression>

#include <fcntl.h>
#include <signal.h>
#include <sys/inotify.h>
#include <unistd.h>

using namespace apptest;

namespace {
// A child that fails at once, after the banner ffmpeg prints first, as an H.265 camera copied
// into FLV does.
const std::string kFailing =
    "rtmp://127.0.0.1:1/live/out#lines=0,exit=1,error=%5Bflv%20@%200x1%5D%20Video%20codec%20hevc%20not%20compatible%20with%20flv";

using SupervisionTest = AppTest;
}  // namespace

// Ids 0..6 with 1 and 3 deleted: five rows, renumbered to ids 0..4. The option boxes show their
// stored flags and write them (keep-retrying also to the engine) at each click, so the second
// start (which finds the renumbered file stable) has auto-run and keep-retrying on: it starts one
// stored running channel per tick, but no second child for one started by hand before its turn,
// and none for one paused or deleted before it.
// Closing the window ends every child.
TEST_F(SupervisionTest, StartupListsRenumbersAndAutoRuns)
{
    // The first of duplicate keys wins: these go before the channels' own keys.
    const std::string body = "m_bAutoRun=0\nm_bRTSPuseTCP=1\n4+VdWidth=\n4+strAVState=暂停中\n1+ISDelete=true\n"
                             "3+ISDelete=true\n" + StoredChannels(7, "#hang=1", "运行中");
    for (int start = 1; start <= 2; ++start) {
        SCOPED_TRACE("start " + std::to_string(start));
        MainWindow& dlg = Open(start == 1 ? body : "");
        auto *autoRun = dlg.findChild<QCheckBox*>("1055"), *tcp = dlg.findChild<QCheckBox*>("1056"),
             *keep = dlg.findChild<QCheckBox*>("1057");
        EXPECT_EQ(start == 2, autoRun->isChecked());
        EXPECT_EQ(start == 1, tcp->isChecked());
        EXPECT_EQ(std::pair(start == 2, start == 2), std::pair(keep->isChecked(), dlg.m_engine.Options().m_bKeepRetrying));
        EXPECT_EQ(start == 2, dlg.m_engine.HasQueued());  // auto-run off: nothing queued
        ASSERT_EQ(5, dlg.m_list->rowCount());
        EXPECT_EQ(QStringList({"c0", "", "运行中", "否", "640*360"}), Row(0));
        EXPECT_EQ(QStringList({"c4", "", "暂停中", "否", "*360"}), Row(2));
        EXPECT_EQ("c2|c5", (dlg.CellText(1, 0) + "|" + dlg.CellText(3, 0)).toStdString());
        for (int row = 0; row < 5; ++row)
            EXPECT_EQ(row, dlg.m_engine.View(row).id);
        QTest::mouseClick(autoRun, Qt::LeftButton);
        QTest::mouseClick(tcp, Qt::LeftButton);
        QTest::mouseClick(keep, Qt::LeftButton);
    }
    // The boxes were clicked back: auto-run stays on for this run; the queued rows are 0, 1, 3 and 4.
    // Row 1 is started, row 3 paused and row 4 deleted by hand before their turns.
    MainWindow& dlg = *m_dlg;
    EXPECT_EQ("0|0", Stored("m_bKeepRetrying") + "|" + std::to_string(dlg.m_engine.Options().m_bKeepRetrying));
    dlg.OnChannelCommand(ID_CHANNEL_RUN, 1);
    dlg.OnChannelCommand(ID_CHANNEL_PAUSE, 3);
    dlg.OnChannelCommand(ID_CHANNEL_DELETE, 4);
    const pid_t handStarted = Pid(1);
    for (const size_t workers : {2u, 2u}) {  // rows 0 and 1: the second already runs
        EXPECT_TRUE(dlg.m_engine.HasQueued());
        dlg.m_engine.StartNextQueued();
        EXPECT_EQ(workers, Children()) << "one row per tick";
    }
    EXPECT_FALSE(dlg.m_engine.HasQueued());
    EXPECT_EQ(handStarted, Pid(1));
    EXPECT_EQ("暂停中|暂停中", Stored("3+strAVState") + "|" + dlg.CellText(3, 2).toStdString());
    EXPECT_EQ("true", Stored("4+ISDelete"));
    for (const std::string& run : FakeRuns())  // the TCP box, ticked again, reaches every launch
        EXPECT_NE(std::string::npos, run.find("\n-rtsp_transport\ntcp\n-i\n")) << run;
    dlg.OnClose();
    EXPECT_TRUE(ProcessProbe::ChildPids(false).empty());
}

// Failures are counted and retried; the tooltip starts with why the last attempt failed (its
// sentence and ffmpeg's line), banners left out everywhere; a child that made progress resets the count (and its last
// words, printed during the monitor's pause after a reading, reach the details). (Giving up at
// the tenth: the engine scenarios and the window's "全部运行" test.)
TEST_F(SupervisionTest, FailuresCountedAndResetByProgress)
{
    MainWindow& dlg = OpenWith(kFailing);
    dlg.OnChannelCommand(ID_CHANNEL_RUN, 0);
    NoticeEnd();
    // Each relaunch reads the stored settings: the next child prints its banner and, later, progress.
    // The publish address's token also turns up bare in a line, where only the channel's known
    // secrets can mask it.
    ConfigStore(AppDir()).SetValue("rtmp://127.0.0.1:1/live/out?token=Tok3nXYZ#delay=500,lines=10,interval=500,kbps=1011.2,"
                                   "exit=1,error=Server%20returned%20404%20for%20Tok3nXYZ", "0+Adress");
    NoticeEnd();
    ASSERT_TRUE(QTest::qWaitFor([&] { return dlg.m_engine.RowOutput(0).size() > 2; })) << "no banner of the relaunch";
    const QRegularExpression tip(QStringLiteral("^摄像头发送的是 H.265 视频[^\n]*\n[^\n]*Video codec hevc not compatible with flv\n"
                                                "连续2次直播失败，重试中。。。！\n上次失败 [^\n]*: ffmpeg 退出码 1\n"),
                                 QRegularExpression::DotMatchesEverythingOption);
    EXPECT_TRUE(tip.match(dlg.RowToolTip(0)).hasMatch()) << dlg.RowToolTip(0).toStdString();
    EXPECT_TRUE(dlg.RowDetails(0).startsWith(tip.match(dlg.RowToolTip(0)).captured(0).section('\n', 0, 1)));
    EXPECT_FALSE(dlg.RowToolTip(0).contains("ffmpeg version") || dlg.RowDetails(0).contains("libavutil"))
        << "the relaunch's banner shows";
    EXPECT_FALSE(dlg.RowToolTip(0).contains(":pw@") || dlg.RowDetails(0).contains(":pw@")) << "the camera's password shows";
    ASSERT_TRUE(QTest::qWaitFor([&] { return dlg.CellText(0, 1) == "1011kbps"; })) << dlg.CellText(0, 1).toStdString();
    EXPECT_EQ(0, dlg.m_engine.View(0).failures);
    ConfigStore(AppDir()).SetValue(kFailing, "0+Adress");
    NoticeEnd();
    EXPECT_TRUE(dlg.RowDetails(0).contains("Server returned 404 for ***")) << dlg.RowDetails(0).toStdString();
}

// The tooltip's line for each publish address of a channel with several: the bitrate only of a
// live one, the failures and why only of a failing one.
TEST(RowToolTip, OutputLines)
{
    const auto line = [](const char* state, bool up, const std::string& cause) {
        return MainWindow::OutputLine({2, "rtmp://h/app/***", state, up, 812, 0, 0, 3, 0, "", cause, ""}).toStdString();
    };
    EXPECT_EQ("推流地址2 rtmp://h/app/***：直播中 812kbps", line("live", true, ""));
    EXPECT_EQ("推流地址2 rtmp://h/app/***：失败（3次）：推流服务器拒绝连接", line("failing", false, "推流服务器拒绝连接"));
    EXPECT_EQ("推流地址2 rtmp://h/app/***：启动中|推流地址2 rtmp://h/app/***：已停止",
              line("starting", false, "") + "|" + line("stopped", false, ""));
}

// NetStatus.txt is touched at each start by hand: created when absent; a FIFO (or any other
// non-regular file) is never opened. The FIFO has a reader, so that an open for writing would
// neither block nor fail, and inotify sees any open.
TEST_F(SupervisionTest, StatusFileTouchedOnlyWhenRegular)
{
    const std::string status = m_dir.File("NetStatus.txt");
    MainWindow& dlg = OpenWith("rtmp://127.0.0.1:1/live/out#hang=1");
    dlg.OnChannelCommand(ID_CHANNEL_RUN, 0);
    EXPECT_TRUE(std::filesystem::is_regular_file(status));
    dlg.OnChannelCommand(ID_CHANNEL_PAUSE, 0);
    std::filesystem::remove(status);
    ASSERT_EQ(0, ::mkfifo(status.c_str(), 0644));
    const int reader = ::open(status.c_str(), O_RDONLY | O_NONBLOCK), watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_LE(0, ::inotify_add_watch(watch, status.c_str(), IN_OPEN));
    dlg.OnChannelCommand(ID_CHANNEL_RUN, 0);
    char events[256];
    EXPECT_EQ(-1, ::read(watch, events, sizeof events)) << "the FIFO was opened";
    ::close(watch);
    ::close(reader);
}

// A line the transcoder would misread (here: re-encoded without a stored profile) starts
// nothing, says why and leaves the row stopped for the operator to fix; the re-encode mark
// follows the stored choice. Without ffmpeg beside the program a start fails, said in its row
// and in no box (the pipe failure's); it is counted and retried as any start that could not run
// (the engine scenarios).
TEST_F(SupervisionTest, StartsThatCannotRunSayWhy)
{
    MainWindow& dlg = OpenWith("rtmp://127.0.0.1:1/live/o", "0+checkstate1=1\n");
    dlg.OnChannelCommand(ID_CHANNEL_RUN, 0);
    EXPECT_TRUE(dlg.CellText(0, 1).contains("Profile")) << dlg.CellText(0, 1).toStdString();
    EXPECT_EQ(QStringLiteral("是"), dlg.CellText(0, 3));
    EXPECT_TRUE(dlg.m_engine.View(0).stopped);
    EXPECT_TRUE(FakeRuns().empty());
    std::filesystem::remove(m_dir.File("ffmpeg"));
    QStringList boxes;
    Prompt::SetMessageHook([&boxes](const QString& text) { boxes << text; });
    OpenWith("rtmp://127.0.0.1:1/live/o").OnChannelCommand(ID_CHANNEL_RUN, 0);
    const QString refusal = m_dlg->CellText(0, 1);
    EXPECT_TRUE(refusal.startsWith(QStringLiteral("无法启动 ffmpeg")) && refusal.endsWith(QStringLiteral("：文件或目录不存在")))
        << refusal.toStdString();
    QCoreApplication::processEvents();
    EXPECT_EQ(boxes.join(" | ").toStdString(), "");
    Prompt::SetMessageHook([](const QString&) {});
}

// Settings edited into a refused line while the channel runs: its relaunch says why and leaves
// the row as a refused start does, so "运行" starts it once the settings are mended.
TEST_F(SupervisionTest, RefusedRelaunchLeavesTheRowStartable)
{
    MainWindow& dlg = OpenWith("rtmp://127.0.0.1:1/live/out#hang=1");
    dlg.OnChannelCommand(ID_CHANNEL_RUN, 0);
    const ConfigStore store(AppDir());
    store.SetValue("0", "0+checkstate"), store.SetValue("0", "0+checkstate3");
    const pid_t child = Pid(0);
    ASSERT_GT(child, 0) << "no child: -1 would signal every process";
    ::kill(child, SIGKILL);
    NoticeEnd();
    EXPECT_EQ(QStringLiteral("视频和音频均未启用，未开启直播！"), dlg.CellText(0, 1));
    EXPECT_STREQ("stopped", dlg.m_engine.View(0).state);
    store.SetValue("1", "0+checkstate"), store.SetValue("1", "0+checkstate3");
    dlg.OnChannelCommand(ID_CHANNEL_RUN, 0);
    EXPECT_TRUE(Running(0)) << "a row whose relaunch was refused cannot be run again";
}

// A first cycle and turns of the event loop set up lazily created resources (the encoder query,
// Qt's own helper threads) before the baseline is taken.
TEST_F(SupervisionTest, HundredStartStopCyclesLeaveNothingBehind)
{
    MainWindow& dlg = OpenWith("rtmp://127.0.0.1:1/live/out#interval=20");
    int fds = 0, threads = 0;
    for (int cycle = 0; cycle <= 100; ++cycle) {
        dlg.OnChannelCommand(ID_CHANNEL_RUN, 0);
        QTest::qWait(cycle == 0 ? 200 : cycle % 10 == 0 ? 30 : 0);
        dlg.OnChannelCommand(ID_CHANNEL_PAUSE, 0);
        if (cycle == 0) {
            QTest::qWait(200);
            fds = ProcessProbe::OpenFdCount();
            threads = ProcessProbe::ThreadCount();
        }
    }
    QCoreApplication::processEvents();
    EXPECT_EQ(fds, ProcessProbe::OpenFdCount());
    EXPECT_EQ(threads, ProcessProbe::ThreadCount());
    EXPECT_TRUE(ProcessProbe::ChildPids().empty()) << "no child and no zombie";
}
