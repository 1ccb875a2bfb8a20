// The channel list's context menu and the window's own menu: which row the list's menu acts on,
// the real popups' items, and what run, pause, delete, run all and pause all do to the cells,
// the stored settings and the children.
#include "AppFixture.h"
#include "web/StatusSnapshot.h"

#include <QApplication>
#include <QMenu>
#include <QTimer>

#include <csignal>
#include <thread>

using namespace apptest;

namespace {
// Three stored channels, paused, each with a fake child that reports 300 kbit/s.
const std::string kThree = StoredChannels(3, "#interval=100,kbps=300.0");

class ContextMenuTest : public AppTest {
protected:
    // Answers the real popup that open() shows with command (0: dismissed with Escape) and
    // returns its items' texts (with their ids when dismissed).
    QStringList Popup(int command, const std::function<void()>& open)
    {
        QStringList items;
        QTimer::singleShot(50, [&items, command] {
            auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
            ASSERT_TRUE(menu);
            for (QAction* action : menu->actions())
                if (!action->isSeparator())
                    items << action->text() + (command ? "" : "=" + action->objectName());
            if (command)
                menu->setActiveAction(menu->findChild<QAction*>(QString::number(command)));
            QTest::keyClick(menu, command ? Qt::Key_Return : Qt::Key_Escape);
        });
        open();
        return items;
    }
};
}  // namespace

// With rows 2 and 1 selected a right-click on row 2 opens the menu for row 1; one on the blank
// space below the rows clears the selection and opens none; one on an unselected row selects it.
// The real popup offers four commands and Escape dismisses it. A left click on a row opens no
// site; one on the support line does.
TEST_F(ContextMenuTest, MenuActsOnTheTopmostSelectedRowOnly)
{
    Open(kThree);
    for (int row : {2, 1})
        m_dlg->m_list->selectionModel()->select(m_dlg->m_list->model()->index(row, 0),
                                                 QItemSelectionModel::Select | QItemSelectionModel::Rows);
    EXPECT_EQ(1, Choose(ID_CHANNEL_RUN, 2));
    EXPECT_EQ((std::vector<bool>{false, true, false}), (std::vector<bool>{Running(0), Running(1), Running(2)}));
    EXPECT_EQ(-1, Choose(ID_CHANNEL_PAUSE, -1)) << "no row menu over blank space";
    EXPECT_FALSE(m_dlg->m_list->selectionModel()->hasSelection());
    EXPECT_EQ(0, Choose(0, 0));
    EXPECT_EQ(QStringList({"运行=10001", "暂停=10002", "编辑=10003", "删除=10004", "预览=10007", "复制信号=10008"}), Popup(0, [&] { Choose(-1, 2); }));
    EXPECT_EQ(1u, Children()) << "a dismissed menu does nothing";
    QStringList opened;
    m_dlg->m_urlOpener = [&opened](const QString& site) { opened << site; };
    QTest::mouseClick(m_dlg->m_list->viewport(), Qt::LeftButton, {},
                      m_dlg->m_list->visualRect(m_dlg->m_list->model()->index(0, 0)).center());
    EXPECT_EQ(opened.join(" "), "");
    QTest::mouseClick(m_dlg->findChild<QWidget*>("1053"), Qt::LeftButton);
    EXPECT_EQ(opened.join(" "), "https://lumora.example.com");
}

// One channel through run, pause, delete and back, each step through the menu.
TEST_F(ContextMenuTest, RunPauseDeleteCellsStoredValuesAndChild)
{
    Open(kThree);
    // Each command and then: the cell of column 2 (the child runs when it says 运行中), 1+strAVState
    // and 1+ISDelete.
    const struct { int command; std::string after; } steps[] = {
        {ID_CHANNEL_RUN, "运行中|运行中|"},
        {ID_CHANNEL_RUN, "运行中|运行中|"},  // already running: no second child
        {ID_CHANNEL_PAUSE, "暂停中|暂停中|"},
        {ID_CHANNEL_RUN, "运行中|运行中|"},
        {ID_CHANNEL_DELETE, "已删除，重启生效|运行中|true"},
        {ID_CHANNEL_RUN, "已删除，重启生效|运行中|true"},  // stays stopped until paused
        {ID_CHANNEL_PAUSE, "暂停中|暂停中|true"},
        {ID_CHANNEL_RUN, "运行中|运行中|true"},  // a deleted row may still run this time
    };
    for (const auto& s : steps) {
        SCOPED_TRACE("step " + std::to_string(&s - steps));
        ASSERT_EQ(1, Choose(s.command, 1));
        const bool running = s.after.starts_with("运行中|");
        EXPECT_EQ(s.after, m_dlg->CellText(1, 2).toStdString() + "|" + Stored("1+strAVState") + "|" + Stored("1+ISDelete"));
        EXPECT_EQ(running ? 1u : 0u, ProcessProbe::ChildPids(false).size());
        const std::vector<ChannelStatus> shown = StatusSnapshot(m_dlg->m_engine);
        EXPECT_EQ(running || Stored("1+ISDelete").empty(),
                  std::any_of(shown.begin(), shown.end(), [](const ChannelStatus& c) { return c.id == 1; }))
            << "the console lists a deleted row or leaves out one with a child";
        QTest::qWait(s.command == ID_CHANNEL_PAUSE ? 250 : 0);  // a queued reading must not bring the figure back
        if (running || s.command == ID_CHANNEL_PAUSE) {  // the live child reports into its own row
            EXPECT_TRUE(QTest::qWaitFor([&] { return m_dlg->CellText(1, 1) == (running ? "300kbps" : ""); }))
                << m_dlg->CellText(1, 1).toStdString();
        }
    }
    // The deleted row run again is the console's to pause too.
    EXPECT_EQ(200u, CarryOut({ConsoleRequest::Kind::Pause, 1}, {m_dlg->m_engine, nullptr}).status);
    EXPECT_TRUE(ProcessProbe::ChildPids(false).empty());
}

// "运行" does nothing to a row that gave up; "全部运行" from the window's own menu starts the
// paused rows and one that gave up, but not the
// deleted one nor a second child for the running one, one per timer period, and replaces
// config.ini once; "全部暂停" stops every child and leaves the deleted row's cell.
TEST_F(ContextMenuTest, RunAllAndPauseAllFromTheWindowMenu)
{
    // Row 4's child fails at once (the first of duplicate keys wins): it gives up at the tenth.
    MainWindow& dlg = Open("4+Adress=rtmp://127.0.0.1:1/live/4#lines=0,exit=1\n" + StoredChannels(6, "#hang=1"));
    for (int row : {2, 4})
        dlg.OnChannelCommand(ID_CHANNEL_RUN, row);
    dlg.OnChannelCommand(ID_CHANNEL_DELETE, 3);
    for (int failure = 1; failure <= 10; ++failure)
        NoticeEnd(4);
    ASSERT_STREQ("given_up", dlg.m_engine.View(4).state);
    dlg.OnChannelCommand(ID_CHANNEL_RUN, 4);
    EXPECT_FALSE(Running(4)) << "运行 revived a row that gave up: only 暂停 or 全部运行 do";
    const pid_t running = Pid(2);
    const long replaces = ConfigStore::ReplaceCount();
    EXPECT_EQ(QStringList({"全部运行", "全部暂停", "导入CSV…", "导出CSV…", "关于 CamRelay(&A)..."}), Popup(ID_RUN_ALL, [&] {
        QContextMenuEvent event(QContextMenuEvent::Mouse, {5, 5}, dlg.mapToGlobal(QPoint(5, 5)));  // not on the list
        QCoreApplication::sendEvent(&dlg, &event);
    }));
    for (const size_t workers : {2u, 3u, 4u, 5u}) {  // rows 0, 1, 4, 5
        EXPECT_EQ(workers, Children()) << "the first row at once, the others one per period";
        dlg.m_engine.RunAllTick();
    }
    EXPECT_EQ(running, Pid(2));
    EXPECT_EQ(0, dlg.m_engine.View(4).failures) << "revived with its old count";
    EXPECT_EQ(1, ConfigStore::ReplaceCount() - replaces);
    dlg.OnWindowCommand(ID_PAUSE_ALL);
    EXPECT_TRUE(ProcessProbe::ChildPids().empty());
    EXPECT_EQ("暂停中|暂停中|已删除，重启生效", Stored("0+strAVState") + "|" + dlg.CellText(0, 2).toStdString() + "|" +
                                                dlg.CellText(3, 2).toStdString());
}

// The web console's commands, submitted from another thread as the status server does, are
// carried out on the GUI thread through the menus' operations: the cells, config.ini and the
// children change at once, the log names the source, "全部运行" is paced by the window's timer,
// and reload is refused (the service's command).
TEST_F(ContextMenuTest, WebConsoleCommandsActInTheWindow)
{
    MainWindow& dlg = Open(kThree);
    const auto submit = [&](ConsoleRequest::Kind kind, int id = -1) {
        ConsoleReply reply{0, ""};
        std::thread([&] { dlg.Submit({kind, id}, [&reply](ConsoleReply r) { reply = r; }); }).join();
        EXPECT_TRUE(QTest::qWaitFor([&] { return reply.status != 0; }, 5000));
        return std::to_string(reply.status) + " " + reply.json;
    };
    EXPECT_EQ(submit(ConsoleRequest::Kind::Run, 1), "200 {\"ok\":true,\"message\":\"信号 c1 已开始运行\"}");
    EXPECT_EQ("运行中|运行中|1", dlg.CellText(1, 2).toStdString() + "|" + Stored("1+strAVState") + "|" +
                                   std::to_string(Children()));
    EXPECT_EQ(submit(ConsoleRequest::Kind::Pause, 1).substr(0, 3), "200");
    EXPECT_EQ("暂停中|暂停中|0", dlg.CellText(1, 2).toStdString() + "|" + Stored("1+strAVState") + "|" +
                                   std::to_string(Children()));
    EXPECT_EQ(submit(ConsoleRequest::Kind::RunAll), "200 {\"ok\":true,\"message\":\"全部运行：3 个信号依次启动\",\"count\":3}");
    EXPECT_EQ(Children(), 1u);
    dlg.m_engine.RunAllTick(), dlg.m_engine.RunAllTick();
    EXPECT_EQ(Children(), 3u);
    EXPECT_EQ(submit(ConsoleRequest::Kind::Reload).substr(0, 3), "409");
    EXPECT_EQ(submit(ConsoleRequest::Kind::Pause, 7).substr(0, 3), "404");
    dlg.m_engine.Log().Flush();
    const std::string log = ReadFile(m_dir.File("CamRelay.log"));
    for (const char* line : {"信号 c1 (id 1): 网页命令：运行\n", "信号 c1 (id 1): 网页命令：暂停\n", " 网页命令：全部运行\n"})
        EXPECT_NE(log.find(line), std::string::npos) << line;
}
