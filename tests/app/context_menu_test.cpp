// The channel list's context menu: which row it acts on, the real popup's items, and what run,
// pause and delete do to the row's cells, the stored settings and the child.
#include "AppFixture.h"

#include <QApplication>
#include <QMenu>
#include <QTimer>

#include <set>

using namespace apptest;

namespace {
// Three stored channels, paused, each with a fake child that reports 300 kbit/s.
class ContextMenuTest : public AppTest {
protected:
    void SetUp() override
    {
        AppTest::SetUp();
        std::string body = "nextId=3\n";
        for (int id = 0; id < 3; ++id)
            body += StoredChannel(id, "c" + std::to_string(id), "rtsp://127.0.0.1:1/in",
                                  "rtmp://127.0.0.1:1/live/o" + std::to_string(id) + "#interval=100,kbps=300.0",
                                  "暂停中");
        Open(body);
    }
    // Arms an answer for the next real popup: its items' texts are collected, then command is
    // chosen (0: the popup is dismissed with Escape).
    void AnswerPopup(QStringList& items, int command)
    {
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
    }
};
}  // namespace

// With rows 2 and 1 selected a right-click on row 2 opens the menu for row 1; one on the blank
// space below the rows clears the selection and opens none; one on an unselected row selects it.
// The real popup offers four commands and Escape dismisses it.
TEST_F(ContextMenuTest, MenuActsOnTheTopmostSelectedRowOnly)
{
    for (int row : {2, 1})
        m_dlg->m_list->selectionModel()->select(m_dlg->m_list->model()->index(row, 0),
                                                 QItemSelectionModel::Select | QItemSelectionModel::Rows);
    EXPECT_EQ(1, Choose(ID_CHANNEL_RUN, 2));
    EXPECT_EQ((std::vector<bool>{false, true, false}), (std::vector<bool>{Running(0), Running(1), Running(2)}));
    EXPECT_EQ(-1, Choose(ID_CHANNEL_PAUSE, -1)) << "no row menu over blank space";
    EXPECT_FALSE(m_dlg->m_list->selectionModel()->hasSelection());
    EXPECT_EQ(0, Choose(0, 0));
    QStringList items;
    AnswerPopup(items, 0);
    RightClickAt(2);
    EXPECT_EQ(QStringList({"运行=10001", "暂停=10002", "编辑=10003", "删除=10004"}), items);
    EXPECT_EQ(1u, m_dlg->m_engine.m_workers.size()) << "a dismissed menu does nothing";
}

// One channel through run, pause, delete and back, each step through the menu.
TEST_F(ContextMenuTest, RunPauseDeleteCellsStoredValuesAndChild)
{
    m_dlg->m_list->selectRow(1);
    const struct {
        int command;
        const char* state;    // cell of column 2; the child runs when it says 运行中
        const char* stored;   // 1+strAVState
        const char* deleted;  // 1+ISDelete
    } steps[] = {
        {ID_CHANNEL_RUN, "运行中", "运行中", ""},
        {ID_CHANNEL_RUN, "运行中", "运行中", ""},  // already running: no second child
        {ID_CHANNEL_PAUSE, "暂停中", "暂停中", ""},
        {ID_CHANNEL_RUN, "运行中", "运行中", ""},
        {ID_CHANNEL_DELETE, "已删除，重启生效", "运行中", "true"},
        {ID_CHANNEL_RUN, "已删除，重启生效", "运行中", "true"},  // stays stopped until paused
        {ID_CHANNEL_PAUSE, "暂停中", "暂停中", "true"},
        {ID_CHANNEL_RUN, "运行中", "运行中", "true"},  // a deleted row may still run this time
    };
    std::set<pid_t> pids;
    for (const auto& s : steps) {
        SCOPED_TRACE("step " + std::to_string(&s - steps));
        ASSERT_EQ(1, Choose(s.command, 1));
        const bool running = s.state == std::string("运行中");
        EXPECT_EQ(QString::fromUtf8(s.state), m_dlg->CellText(1, 2));
        EXPECT_EQ(s.stored, Stored("1+strAVState"));
        EXPECT_EQ(s.deleted, Stored("1+ISDelete"));
        EXPECT_EQ(running ? 1 : 0, ChildCount());
        if (running) {  // the live child reports into its own row
            pids.insert(m_dlg->m_engine.m_workers.at(1).m_hProcess);
            EXPECT_TRUE(QTest::qWaitFor([&] { return m_dlg->CellText(1, 1) == "300kbps"; }))
                << m_dlg->CellText(1, 1).toStdString();
        } else if (s.command == ID_CHANNEL_PAUSE) {  // a reading still queued must not bring it back
            QTest::qWait(250);
            EXPECT_EQ(QString(), m_dlg->CellText(1, 1));
        }
    }
    EXPECT_EQ(3u, pids.size());
}

// "全部运行" and "全部暂停" from the window's own menu on 20 rows: which rows start (paused ones
// and one that gave up; not the deleted one, not a second child for the running ones), at most
// one per timer period, and one replace of config.ini per command.
TEST_F(ContextMenuTest, RunAllAndPauseAllFromTheWindowMenu)
{
    std::string body = "nextId=20\n";
    for (int id = 0; id < 20; ++id)
        body += StoredChannel(id, "c" + std::to_string(id), "rtsp://127.0.0.1:1/in",
                              "rtmp://127.0.0.1:1/live/" + std::to_string(id) + (id == 17 ? "#lines=0,exit=1" : "#hang=1"),
                              "暂停中");
    CRelayDlg& dlg = Open(body);
    for (int row : {14, 15, 16, 17})
        dlg.OnChannelCommand(ID_CHANNEL_RUN, row);
    dlg.OnChannelCommand(ID_CHANNEL_DELETE, 16);
    dlg.m_engine.m_failCounts[17] = 9;  // its next failure is the tenth: it gives up
    NoticeEnd(17);
    ConfigStore(AppDir()).SetValue("rtmp://127.0.0.1:1/live/17#hang=1", "17+Adress");
    const pid_t running = dlg.m_engine.m_workers.at(14).m_hProcess;

    const auto choose = [&](int command) {
        QStringList items;
        AnswerPopup(items, command);
        const QPoint outside(5, 5);  // the window's margin, not the list
        QContextMenuEvent event(QContextMenuEvent::Mouse, outside, dlg.mapToGlobal(outside));
        QCoreApplication::sendEvent(&dlg, &event);
        EXPECT_EQ(QStringList({"全部运行", "全部暂停", "关于 CamRelay(&A)..."}), items);
    };
    long replaces = ConfigStore::ReplaceCount();
    choose(ID_RUN_ALL);
    EXPECT_EQ(3u, dlg.m_engine.m_workers.size()) << "the first row starts at once, the others one per period";
    for (int tick = 0; tick < 16; ++tick) {
        dlg.OnTimer(ID_RUNALL_TIMER);
        EXPECT_EQ(4u + tick, dlg.m_engine.m_workers.size());
    }
    EXPECT_FALSE(dlg.IsTimerActive(ID_RUNALL_TIMER));
    EXPECT_EQ(1, ConfigStore::ReplaceCount() - replaces) << "state words stored once";
    for (int row = 0; row < 20; ++row) {
        EXPECT_EQ(row != 16, Running(row)) << row;
        EXPECT_EQ("运行中", Stored(std::to_string(row) + "+strAVState")) << row;  // 16 was run, then deleted
    }
    EXPECT_EQ(running, dlg.m_engine.m_workers.at(14).m_hProcess);
    EXPECT_EQ(0, dlg.m_engine.m_failCounts[17]);

    replaces = ConfigStore::ReplaceCount();
    choose(ID_PAUSE_ALL);
    EXPECT_EQ(1, ConfigStore::ReplaceCount() - replaces);
    EXPECT_EQ(0, ChildCount(true));
    for (int row = 0; row < 20; ++row) {
        EXPECT_EQ(row == 16 ? "运行中" : "暂停中", Stored(std::to_string(row) + "+strAVState")) << row;
        EXPECT_EQ(row == 16 ? QStringLiteral("已删除，重启生效") : QStringLiteral("暂停中"), dlg.CellText(row, 2)) << row;
    }
}
