// The main window at start-up: title, restored rows and options, renumbering, auto-run queue,
// the option check boxes writing their flags, and keys that must not end the window.
#include "AppFixture.h"

#include "settings/ConfigStore.h"

#include <QCheckBox>
#include <QKeyEvent>
#include <QLabel>
#include <QTableWidget>

using namespace apptest;

namespace {
class MainWindowTest : public AppTest {};

QString Cell(CRelayDlg& dlg, int row, int column) { return dlg.CellText(row, column); }
}  // namespace

TEST_F(MainWindowTest, EmptyFolderOpensEmptyWithVersionInTitle)
{
    CRelayDlg& dlg = Open();
    EXPECT_EQ(QStringLiteral("Lumora云IP监控摄像头直播客户端(Ver:1.0.0.9)"), dlg.windowTitle());
    EXPECT_EQ(0, dlg.m_list->rowCount());
    EXPECT_FALSE(dlg.findChild<QCheckBox*>("1055")->isChecked());
    EXPECT_FALSE(dlg.findChild<QCheckBox*>("1056")->isChecked());
    EXPECT_TRUE(dlg.IsTimerActive(ID_SUPERVISE_TIMER));
    EXPECT_FALSE(dlg.IsTimerActive(ID_AUTORUN_TIMER));
    EXPECT_EQ(0, dlg.m_nNextId);
    QStringList headers;
    for (int c = 0; c < 5; ++c)
        headers << dlg.m_list->horizontalHeaderItem(c)->text();
    EXPECT_EQ(QStringList({"名称", "输出码率", "状态", "是否重新编码", "输出尺寸"}), headers);
    EXPECT_TRUE(dlg.findChild<QLabel*>("1053")->text().startsWith(QStringLiteral("Lumora科技提供技术支持：")));
}

// Ids 0..4 with 1 and 3 deleted: three rows, and afterwards ids 0, 1, 2 hold the three channels.
TEST_F(MainWindowTest, StartupListsAndRenumbersStoredChannels)
{
    // The first of duplicate keys wins: channel 4's empty width stands before its own keys.
    std::string body = "nextId=5\nm_bAutoRun=0\nm_bRTSPuseTCP=1\n4+VdWidth=\n";
    const char* names[] = {"一号", "二号", "三号", "四号", "五号"};
    for (int id = 0; id < 5; ++id)
        body += StoredChannel(id, names[id], "rtsp://10.0.0." + std::to_string(id) + "/live",
                              "rtmp://127.0.0.1/live/c" + std::to_string(id), id == 4 ? "暂停中" : "运行中");
    body += "1+ISDelete=true\n3+ISDelete=true\n";
    WriteConfig(body);

    CRelayDlg& dlg = Open();
    ASSERT_EQ(3, dlg.m_list->rowCount());
    EXPECT_TRUE(dlg.findChild<QCheckBox*>("1056")->isChecked());
    const QString expected[3][5] = {{"一号", "", "运行中", "否", "640*360"},
                                    {"三号", "", "运行中", "否", "640*360"},
                                    {"五号", "", "暂停中", "否", "*360"}};
    for (int row = 0; row < 3; ++row) {
        for (int column = 0; column < 5; ++column)
            EXPECT_EQ(expected[row][column], Cell(dlg, row, column)) << row << "," << column;
        EXPECT_EQ(row, dlg.m_engine.Tag(row)->m_nId);
        EXPECT_EQ(1, dlg.m_engine.Tag(row)->m_bStopped);
    }
    const ConfigStore store(AppDir());
    EXPECT_EQ("三号", store.GetValue("1+Name"));
    EXPECT_EQ("false", store.GetValue("1+ISDelete"));
    EXPECT_EQ("rtsp://10.0.0.4/live", store.GetValue("2+SignalName"));
    EXPECT_EQ("true", store.GetValue("4+ISDelete"));
    EXPECT_EQ("5", store.GetValue("nextId"));
    EXPECT_FALSE(dlg.IsTimerActive(ID_AUTORUN_TIMER));  // auto-run off: nothing queued

    // A second start finds the renumbered file stable.
    m_dlg.reset();
    CRelayDlg& again = Open();
    ASSERT_EQ(3, again.m_list->rowCount());
    EXPECT_EQ(QStringLiteral("五号"), Cell(again, 2, 0));
}

TEST_F(MainWindowTest, AutoRunQueuesRunningChannelsInRowOrder)
{
    WriteConfig("nextId=4\nm_bAutoRun=1\n" + StoredChannel(0, "a", "rtsp://h/1", "rtmp://h/a") +
                StoredChannel(1, "b", "rtsp://h/2", "rtmp://h/b", "暂停中") +
                StoredChannel(3, "c", "rtsp://h/3", "rtmp://h/c", "前缀运行中后缀"));
    CRelayDlg& dlg = Open();
    ASSERT_EQ(3, dlg.m_list->rowCount());
    EXPECT_TRUE(dlg.IsTimerActive(ID_AUTORUN_TIMER));
    ASSERT_EQ(2u, dlg.m_engine.m_autoRunQueue.size());
    EXPECT_EQ(0, dlg.m_engine.m_autoRunQueue[0].second);
    EXPECT_EQ(2, dlg.m_engine.m_autoRunQueue[1].second);  // moved from id 3 to id 2
    EXPECT_EQ(dlg.m_engine.Tag(2), dlg.m_engine.m_autoRunQueue[1].first);
}

TEST_F(MainWindowTest, GbkConfigFromWindowsListsChineseText)
{
    // tests/data holds a config.ini saved by the Windows installation (GBK).
    const std::string gbk = ReadFile(CAMRELAY_TEST_DATA "/config_gbk.ini");
    ASSERT_FALSE(gbk.empty());
    WriteFile(IniPath(), gbk);
    CRelayDlg& dlg = Open();
    ASSERT_GE(dlg.m_list->rowCount(), 1);
    bool sawChinese = false;
    for (int row = 0; row < dlg.m_list->rowCount(); ++row) {
        const QString state = Cell(dlg, row, 2);
        EXPECT_TRUE(state == "运行中" || state == "暂停中") << state.toStdString();
        const QString mark = Cell(dlg, row, 3);
        EXPECT_TRUE(mark == "是" || mark == "否") << mark.toStdString();
        for (QChar c : Cell(dlg, row, 0))
            sawChinese |= c.unicode() >= 0x4E00 && c.unicode() <= 0x9FFF;
    }
    EXPECT_TRUE(sawChinese);
}

TEST_F(MainWindowTest, OptionBoxesWriteTheirFlagAtEachClick)
{
    CRelayDlg& dlg = Open();
    const struct { const char* id; const char* key; } boxes[] = {{"1055", "m_bAutoRun"}, {"1056", "m_bRTSPuseTCP"}};
    for (const auto& box : boxes) {
        auto* check = dlg.findChild<QCheckBox*>(box.id);
        QTest::mouseClick(check, Qt::LeftButton);
        EXPECT_EQ("1", ConfigStore(AppDir()).GetValue(box.key)) << box.key;
        QTest::mouseClick(check, Qt::LeftButton);
        EXPECT_EQ("0", ConfigStore(AppDir()).GetValue(box.key)) << box.key;
    }
    QTest::mouseClick(dlg.findChild<QCheckBox*>("1056"), Qt::LeftButton);
    EXPECT_TRUE(dlg.m_engine.m_bRTSPuseTCP);
}

TEST_F(MainWindowTest, EnterAndEscapeDoNotEndTheWindow)
{
    CRelayDlg& dlg = Open();
    dlg.show();
    for (int key : {Qt::Key_Escape, Qt::Key_Return, Qt::Key_Enter})
        QTest::keyClick(&dlg, static_cast<Qt::Key>(key));
    EXPECT_TRUE(dlg.isVisible());
    EXPECT_EQ(0, dlg.result());
}

TEST_F(MainWindowTest, SupportLineOpensTheSite)
{
    CRelayDlg& dlg = Open();
    QString opened;
    dlg.m_urlOpener = [&](const QString& url) { opened = url; };
    QTest::mouseClick(dlg.findChild<QLabel*>("1053"), Qt::LeftButton);
    EXPECT_EQ(QString::fromLatin1(kSupportSite), opened);
}

TEST_F(MainWindowTest, UnwritableConfigKeepsTheProgramRunning)
{
    WriteConfig("nextId=1\n" + StoredChannel(0, "a", "rtsp://h/1", "rtmp://h/a"));
    ASSERT_EQ(0, ::chmod(IniPath().c_str(), 0400));
    ASSERT_EQ(0, ::chmod(AppDir().c_str(), 0500));
    CRelayDlg& dlg = Open();
    EXPECT_EQ(1, dlg.m_list->rowCount());
    QTest::mouseClick(dlg.findChild<QCheckBox*>("1055"), Qt::LeftButton);
    EXPECT_TRUE(dlg.m_bAutoRun);  // the member changes even though the file could not be written
    ::chmod(AppDir().c_str(), 0700);
    EXPECT_EQ("", ConfigStore(AppDir()).GetValue("m_bAutoRun"));
}
