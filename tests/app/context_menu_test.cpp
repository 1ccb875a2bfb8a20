// The channel list's context menu: which row it acts on, the real popup's items, and what run,
// pause and delete do to the row's cells, the stored settings and the child.
#include "AppFixture.h"

#include "settings/ConfigStore.h"

#include <QApplication>
#include <QContextMenuEvent>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTableWidget>
#include <QTimer>

using namespace apptest;

namespace {

class ContextMenuTest : public AppTest {
protected:
    // Three stored channels, paused, each with a fake child that reports 300 kbit/s.
    CRelayDlg& OpenThree()
    {
        UseFakeFfmpeg();
        std::string body = "nextId=3\n";
        for (int id = 0; id < 3; ++id)
            body += StoredChannel(id, "c" + std::to_string(id), "rtsp://127.0.0.1:1/in",
                                  "rtmp://127.0.0.1:1/live/o" + std::to_string(id) + "#interval=100,kbps=300.0",
                                  "暂停中");
        WriteConfig(body);
        CRelayDlg& dlg = Open();
        dlg.show();
        return dlg;
    }

    // A right-click as the list delivers it: a context-menu event at row's position.
    void RightClickAt(int row)
    {
        QWidget* viewport = m_dlg->m_list->viewport();
        const QPoint pos(10, m_dlg->m_list->rowViewportPosition(row) + 2);
        QContextMenuEvent event(QContextMenuEvent::Mouse, pos, viewport->mapToGlobal(pos));
        QCoreApplication::sendEvent(viewport, &event);
    }

    void Select(std::initializer_list<int> rows)
    {
        m_dlg->m_list->clearSelection();
        for (int row : rows)
            m_dlg->m_list->selectionModel()->select(m_dlg->m_list->model()->index(row, 0),
                                                     QItemSelectionModel::Select | QItemSelectionModel::Rows);
    }

    // Chooses command from the menu on the first selected row; returns the row the menu was for.
    int Choose(int command, int clickedRow = 0)
    {
        int menuRow = -1;
        m_dlg->m_menuChooser = [&](int row) {
            menuRow = row;
            return command;
        };
        RightClickAt(clickedRow);
        m_dlg->m_menuChooser = nullptr;
        return menuRow;
    }

    bool Running(int id) const { return m_dlg->m_engine.m_workers.count(id) == 1; }
    std::string Stored(const std::string& key) const { return ConfigStore(AppDir()).GetValue(key); }
};

}  // namespace

TEST_F(ContextMenuTest, MenuActsOnTheTopmostSelectedRowOnly)
{
    CRelayDlg& dlg = OpenThree();
    EXPECT_EQ(-1, Choose(ID_CHANNEL_RUN)) << "no menu without a selection";
    EXPECT_TRUE(dlg.m_engine.m_workers.empty());

    // Rows 1 and 2 selected, the click lands on row 0: the menu is for row 1.
    Select({2, 1});
    EXPECT_EQ(1, Choose(ID_CHANNEL_RUN, 0));
    EXPECT_FALSE(Running(0));
    EXPECT_TRUE(Running(1));
    EXPECT_FALSE(Running(2));
    EXPECT_EQ(QStringLiteral("运行中"), dlg.CellText(1, 2));
    EXPECT_EQ(QStringLiteral("暂停中"), dlg.CellText(2, 2));

    // A dismissed menu does nothing.
    EXPECT_EQ(1, Choose(0, 2));
    EXPECT_TRUE(Running(1));
    EXPECT_EQ(QStringLiteral("运行中"), dlg.CellText(1, 2));
}

// The real popup: four items in order; the arrow keys and Enter choose, Escape dismisses.
TEST_F(ContextMenuTest, RealPopupOffersFourCommands)
{
    CRelayDlg& dlg = OpenThree();
    Select({0});
    const struct {
        int downs;  // 0: dismissed with Escape
        const char* state;
        bool running;
    } picks[] = {{1, "运行中", true}, {0, "运行中", true}, {2, "暂停中", false}};
    for (const auto& pick : picks) {
        QStringList texts, ids;
        QTimer::singleShot(0, [&] {
            QMenu* menu = nullptr;
            if (!WaitFor([&] { return (menu = qobject_cast<QMenu*>(QApplication::activePopupWidget())); })) {
                ADD_FAILURE() << "no popup menu";
                return;
            }
            for (QAction* action : menu->actions()) {
                texts << action->text();
                ids << action->objectName();
            }
            for (int i = 0; i < pick.downs; ++i)
                QTest::keyClick(menu, Qt::Key_Down);
            QTest::keyClick(menu, pick.downs ? Qt::Key_Return : Qt::Key_Escape);
        });
        RightClickAt(0);
        EXPECT_EQ(QStringList({"运行", "暂停", "编辑", "删除"}), texts);
        EXPECT_EQ(QStringList({"10001", "10002", "10003", "10004"}), ids);
        EXPECT_EQ(QString::fromUtf8(pick.state), dlg.CellText(0, 2)) << pick.downs;
        EXPECT_EQ(pick.running, Running(0)) << pick.downs;
    }
}

// One channel through run, pause, delete and back, each step through the menu.
TEST_F(ContextMenuTest, RunPauseDeleteCellsStoredValuesAndChild)
{
    CRelayDlg& dlg = OpenThree();
    Select({1});
    const struct {
        int command;
        const char* state;     // cell of column 2
        bool bitrateEmpty;     // column 1 empty right after the command
        bool running;
        int stopped;           // the row's m_bStopped afterwards
        const char* stored;    // 1+strAVState
        const char* deleted;   // 1+ISDelete
    } steps[] = {
        {ID_CHANNEL_RUN, "运行中", false, true, 0, "运行中", ""},
        {ID_CHANNEL_RUN, "运行中", false, true, 0, "运行中", ""},  // already running: no second child
        {ID_CHANNEL_PAUSE, "暂停中", true, false, 1, "暂停中", ""},
        {ID_CHANNEL_PAUSE, "暂停中", true, false, 1, "暂停中", ""},  // pausing a paused row is harmless
        {ID_CHANNEL_RUN, "运行中", false, true, 0, "运行中", ""},
        {ID_CHANNEL_DELETE, "已删除，重启生效", false, false, 0, "运行中", "true"},
        {ID_CHANNEL_RUN, "已删除，重启生效", false, false, 0, "运行中", "true"},  // stays stopped until paused
        {ID_CHANNEL_PAUSE, "暂停中", true, false, 1, "暂停中", "true"},
        {ID_CHANNEL_RUN, "运行中", false, true, 0, "运行中", "true"},  // a deleted row may still run this time
    };
    int runs = 0;
    pid_t lastPid = -1;
    for (std::size_t i = 0; i < std::size(steps); ++i) {
        const auto& s = steps[i];
        SCOPED_TRACE("step " + std::to_string(i));
        ASSERT_EQ(1, Choose(s.command));
        EXPECT_EQ(QString::fromUtf8(s.state), dlg.CellText(1, 2));
        if (s.bitrateEmpty) {
            EXPECT_EQ(QString(), dlg.CellText(1, 1));
        }
        EXPECT_EQ(s.running, Running(1));
        EXPECT_EQ(s.stopped, dlg.m_engine.Tag(1)->m_bStopped);
        EXPECT_EQ(s.stored, Stored("1+strAVState"));
        EXPECT_EQ(s.deleted, Stored("1+ISDelete"));
        EXPECT_EQ(s.running ? 1 : 0, ChildCount());
        if (s.running) {
            const pid_t pid = dlg.m_engine.m_workers.at(1).m_hProcess;
            runs += pid != lastPid;
            lastPid = pid;
            // The live child reports into its own row.
            EXPECT_TRUE(WaitFor([&] { return dlg.CellText(1, 1) == "300kbps"; })) << dlg.CellText(1, 1).toStdString();
        } else {
            lastPid = -1;
            QTest::qWait(250);  // a reading still queued must not bring the bitrate back
            if (s.bitrateEmpty) {
                EXPECT_EQ(QString(), dlg.CellText(1, 1));
            }
        }
    }
    EXPECT_EQ(3, runs);
    ASSERT_TRUE(WaitFor([&] { return FakeRuns().size() == 3; }));
    // The other rows were never touched.
    for (int row : {0, 2}) {
        EXPECT_EQ(QStringLiteral("暂停中"), dlg.CellText(row, 2));
        EXPECT_EQ("", Stored(std::to_string(row) + "+ISDelete"));
    }
    // After a restart the deleted channel is gone and the one below it moved up.
    m_dlg.reset();
    CRelayDlg& again = Open();
    ASSERT_EQ(2, again.m_list->rowCount());
    EXPECT_EQ(QStringLiteral("c2"), again.CellText(1, 0));
}

// A double-click opens what the row's ffmpeg printed, scrolled to its last words: the reason.
TEST_F(ContextMenuTest, DoubleClickShowsTheChildsLastWords)
{
    UseFakeFfmpeg();
    WriteConfig("nextId=1\n" + StoredChannel(0, "cam", "rtsp://127.0.0.1:1/in",
                                             "rtmp://127.0.0.1:1/live/o#lines=5,interval=1,exit=1,"
                                             "error=Connection%20refused",
                                             "暂停中"));
    CRelayDlg& dlg = Open();
    dlg.show();
    dlg.OnChannelCommand(ID_CHANNEL_RUN, 0);
    // Two failed runs: more output than the dialog shows at once.
    for (int run = 1; run <= 2; ++run) {
        ASSERT_TRUE(WaitChildEnded(0));
        // The monitor pauses after each progress reading; let it read the child's last words
        // before the supervision's first notice ends it.
        ASSERT_TRUE(WaitFor([&] { return dlg.RowDetails(0).count("Connection refused") == run; }));
        dlg.OnTimer(ID_SUPERVISE_TIMER);
        dlg.OnTimer(ID_SUPERVISE_TIMER);  // counted and relaunched
    }
    dlg.OnChannelCommand(ID_CHANNEL_PAUSE, 0);

    QString shown, button;
    int scroll = -1, scrollMax = -1;
    QTimer::singleShot(0, [&] {
        QDialog* box = nullptr;
        if (!WaitFor([&] { return (box = qobject_cast<QDialog*>(QApplication::activeModalWidget())) != nullptr; })) {
            ADD_FAILURE() << "no details dialog";
            return;
        }
        if (auto* text = box->findChild<QPlainTextEdit*>("details")) {
            shown = text->toPlainText();
            scroll = text->verticalScrollBar()->value();
            scrollMax = text->verticalScrollBar()->maximum();
        }
        if (auto* close = box->findChild<QPushButton*>())
            button = close->text();
        box->reject();
    });
    const QPoint at = dlg.m_list->visualItemRect(dlg.m_list->item(0, 0)).center();
    QTest::mouseClick(dlg.m_list->viewport(), Qt::LeftButton, {}, at);
    QTest::mouseDClick(dlg.m_list->viewport(), Qt::LeftButton, {}, at);
    EXPECT_TRUE(shown.contains("Connection refused")) << shown.toStdString();
    EXPECT_GT(scrollMax, 0) << "too little output to scroll:\n" << shown.toStdString();
    EXPECT_EQ(scrollMax, scroll);
    EXPECT_EQ(QStringLiteral("关闭"), button);
}
