// Importing and editing channels through the real button, the real wizard pages and the real
// main window: ids, rows, stored keys and their order, the child started by the import, and
// what an edit may and may not change. The fake transcoder stands in for ffmpeg.
#include "AppFixture.h"
#include "WizardDriver.h"

#include "settings/ConfigStore.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QTableWidget>

#include <algorithm>

using namespace apptest;
using wizardtest::Choose;
using wizardtest::Get;

namespace {

const char kSource[] = "rtsp://127.0.0.1:1/cam/1";

class ImportFlowTest : public AppTest {
protected:
    CRelayDlg& OpenShown(const std::string& config = "")
    {
        UseFakeFfmpeg();
        if (!config.empty())
            WriteConfig(config);
        CRelayDlg& dlg = Open();
        dlg.show();
        return dlg;
    }

    // One import through button 1000 with the given source-page texts and encoding steps.
    void Import(const QString& name, const QString& publish, std::function<void(CMyChildDlg&)> encoding = {},
                WizardScript::End end = WizardScript::End::Finish)
    {
        WizardDriver driver({[=](CMyNewDlg& page) {
                                 TypeInto(&page, "1001", name);
                                 TypeInto(&page, "1002", kSource);
                                 TypeInto(&page, "1003", publish);
                             },
                             std::move(encoding), end});
        Click(m_dlg.get(), "1000");
    }

    // Runs "编辑" on row through the list's context menu (the menu's choice is the test seam).
    void Edit(int row, WizardScript script)
    {
        m_dlg->m_list->clearSelection();
        m_dlg->m_list->selectRow(row);
        m_dlg->m_menuChooser = [](int) { return ID_CHANNEL_EDIT; };
        WizardDriver driver(std::move(script));
        m_dlg->OnListRightClick();
    }

    std::string Stored(const std::string& key) const { return ConfigStore(AppDir()).GetValue(key); }
    bool HasKey(const std::string& key) const
    {
        const auto keys = ConfigStore(AppDir()).Keys();
        return std::find(keys.begin(), keys.end(), key) != keys.end();
    }
    QStringList Row(int row) const
    {
        QStringList cells;
        for (int c = 0; c < 5; ++c)
            cells << m_dlg->CellText(row, c);
        return cells;
    }
    pid_t WorkerPid(int id) const
    {
        auto found = m_dlg->m_engine.m_workers.find(id);
        return found == m_dlg->m_engine.m_workers.end() ? -1 : found->second.m_hProcess;
    }
};

// Re-encode video at 640x360, 800 kbit/s, profile main; the rest as the page opens.
void ReencodeMain640(CMyChildDlg& page)
{
    Click(&page, "1026");
    Choose(Get<QComboBox>(&page, "1033"), 2);
    TypeInto(&page, "1031", "800");
    Choose(Get<QComboBox>(&page, "1037"), 1);
}

}  // namespace

TEST_F(ImportFlowTest, FirstImportStoresStartsAndAppendsTheRow)
{
    CRelayDlg& dlg = OpenShown();
    const std::string publish = "rtmp://127.0.0.1:1/live/a#delay=1500,interval=100,kbps=512.0";
    Import("大门", QString::fromStdString(publish), ReencodeMain640);

    ASSERT_EQ(1, dlg.m_list->rowCount());
    EXPECT_EQ(QStringList({"大门", " ", "运行中", "是", "640*360"}), Row(0));
    EXPECT_EQ(0, dlg.m_engine.Tag(0)->m_nId);
    EXPECT_EQ(0, dlg.m_engine.Tag(0)->m_bStopped);
    EXPECT_EQ(1, dlg.m_nNextId);
    EXPECT_EQ("1", Stored("nextId"));
    EXPECT_EQ("运行中", Stored("0+strAVState"));
    EXPECT_EQ("是", Stored("0+VdTransCode"));
    EXPECT_EQ(publish, Stored("0+Adress"));
    EXPECT_EQ("800", Stored("0+VdBitRate"));
    EXPECT_EQ("main", Stored("0+VdProFile"));
    EXPECT_EQ("1", Stored("0+checkstate1"));
    EXPECT_EQ("0", Stored("0+checkstate2"));
    EXPECT_TRUE(HasKey("0+strFilePath")) << "stored even when empty";
    EXPECT_FALSE(HasKey("0+StreamName")) << "an empty stream name is not written";

    // The channel's keys stand in the order they were stored, the list state after them.
    const std::vector<std::string> keys = ConfigStore(AppDir()).Keys();
    auto at = [&](const std::string& key) { return std::find(keys.begin(), keys.end(), key) - keys.begin(); };
    const char* const order[] = {"0+Name",        "0+SignalName", "0+Adress",      "0+VdBitRate",
                                 "0+VdHeight",    "0+VdProFile",  "0+AdBitRate",   "0+strFilePath",
                                 "0+strPucSeat",  "0+checkstate", "0+checkstate4", "0+strAVState",
                                 "0+VdTransCode", "nextId"};
    for (std::size_t i = 1; i < std::size(order); ++i)
        EXPECT_LT(at(order[i - 1]), at(order[i])) << order[i - 1] << " before " << order[i];
    EXPECT_LT(at("nextId"), static_cast<long>(keys.size()));

    // The child runs with the wizard's values (libfaac adapted to the built-in encoder).
    ASSERT_TRUE(WaitFor([&] { return FakeRuns().size() == 1; }));
    EXPECT_NE(std::string::npos,
              FakeRuns()[0].find(std::string("\n-i\n") + kSource +
                                 "\n-vcodec\nlibx264\n-acodec\naac\n-ac\n2\n-ar\n44100\n-b:a\n32k\n"
                                 "-s\n640*360\n-b:v\n800k\n-r\n25\n-vprofile\nmain\n-f\nflv\n" + publish + "\n"))
        << FakeRuns()[0];
    ASSERT_TRUE(WaitFor([&] { return dlg.CellText(0, 1) == "512kbps"; })) << dlg.CellText(0, 1).toStdString();

    // "运行" on the running import starts nothing; "暂停" stops it.
    const pid_t pid = WorkerPid(0);
    dlg.OnChannelCommand(ID_CHANNEL_RUN, 0);
    QTest::qWait(200);
    EXPECT_EQ(1u, FakeRuns().size());
    EXPECT_EQ(pid, WorkerPid(0));
    dlg.OnChannelCommand(ID_CHANNEL_PAUSE, 0);
    EXPECT_EQ(-1, WorkerPid(0));
    EXPECT_EQ(0, ChildCount());
    EXPECT_EQ(QStringList({"大门", "", "暂停中", "是", "640*360"}), Row(0));
    EXPECT_EQ("暂停中", Stored("0+strAVState"));
}

// Channel 1 was deleted before start-up: two rows, nextId 3. New ids follow nextId, rows the
// list; a copying import after a re-encoding one is marked "否".
TEST_F(ImportFlowTest, ImportsAfterDeletedChannelTakeNextIdAndTheLastRow)
{
    CRelayDlg& dlg = OpenShown("nextId=3\n" + StoredChannel(0, "a", kSource, "rtmp://127.0.0.1:1/live/a#hang=1") +
                               StoredChannel(1, "b", kSource, "rtmp://127.0.0.1:1/live/b#hang=1") +
                               StoredChannel(2, "c", kSource, "rtmp://127.0.0.1:1/live/c#hang=1") +
                               "1+ISDelete=true\n");
    ASSERT_EQ(2, dlg.m_list->rowCount());

    const struct {
        QString name;
        std::string publish;
        std::function<void(CMyChildDlg&)> encoding;
        QStringList cells;  // right after the import
        std::string mark, kbps;
    } imports[] = {
        {"转码", "rtmp://127.0.0.1:1/live/x#delay=1500,interval=100,kbps=700.0", ReencodeMain640,
         {"转码", " ", "运行中", "是", "640*360"}, "是", "700kbps"},
        {"直通", "rtmp://127.0.0.1:1/live/y#delay=1500,interval=100,kbps=250.0", {},
         {"直通", " ", "运行中", "否", "320*240"}, "否", "250kbps"},
    };
    for (int i = 0; i < 2; ++i) {
        const auto& im = imports[i];
        const int id = 3 + i, row = 2 + i;
        const std::string p = std::to_string(id) + "+";
        Import(im.name, QString::fromStdString(im.publish), im.encoding);
        ASSERT_EQ(row + 1, dlg.m_list->rowCount());
        EXPECT_EQ(im.cells, Row(row));
        EXPECT_EQ(id, dlg.m_engine.Tag(row)->m_nId);
        EXPECT_EQ(std::to_string(id + 1), Stored("nextId"));
        EXPECT_EQ(im.name.toStdString(), Stored(p + "Name"));
        EXPECT_EQ(im.publish, Stored(p + "Adress"));
        EXPECT_EQ("运行中", Stored(p + "strAVState"));
        EXPECT_EQ(im.mark, Stored(p + "VdTransCode"));
        EXPECT_NE(-1, WorkerPid(id));
        // The monitor of the new child reports into the new row, not into row id.
        ASSERT_TRUE(WaitFor([&] { return dlg.CellText(row, 1) == QString::fromStdString(im.kbps); }))
            << dlg.CellText(row, 1).toStdString();
    }
    EXPECT_EQ(QStringList({"a", "", "运行中", "否", "640*360"}), Row(0));
    EXPECT_EQ(QStringList({"c", "", "运行中", "否", "640*360"}), Row(1));
    EXPECT_EQ(2u, dlg.m_engine.m_workers.size());
}

// Cancelling either page of an import or an edit leaves file, list and ids as they were.
TEST_F(ImportFlowTest, CancelledWizardChangesNothing)
{
    CRelayDlg& dlg = OpenShown("nextId=1\n" + StoredChannel(0, "cam", kSource, "rtmp://127.0.0.1:1/live/a"));
    const std::string before = ReadFile(IniPath());
    const QStringList row0 = Row(0);
    auto typeAll = [](CMyNewDlg& page) {
        TypeInto(&page, "1001", "改过的");
        TypeInto(&page, "1003", "rtmp://127.0.0.1:1/live/changed");
    };
    auto tickAll = [](CMyChildDlg& page) {
        Click(&page, "1026");
        TypeInto(&page, "1031", "999");
    };
    const struct {
        const char* what;
        bool edit;
        WizardScript::End end;
    } cases[] = {
        {"import, source page", false, WizardScript::End::CancelSource},
        {"import, encoding page", false, WizardScript::End::CancelEncoding},
        {"edit, source page", true, WizardScript::End::CancelSource},
        {"edit, encoding page", true, WizardScript::End::CancelEncoding},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.edit) {
            Edit(0, {typeAll, tickAll, c.end});
        } else {
            WizardDriver driver({[&](CMyNewDlg& page) {
                                     TypeInto(&page, "1001", "新的");
                                     TypeInto(&page, "1002", kSource);
                                     typeAll(page);
                                 },
                                 tickAll, c.end});
            Click(&dlg, "1000");
        }
        EXPECT_EQ(before, ReadFile(IniPath()));
        EXPECT_EQ(1, dlg.m_list->rowCount());
        EXPECT_EQ(1, dlg.m_engine.RowCount());
        EXPECT_EQ(row0, Row(0));
        EXPECT_EQ(1, dlg.m_nNextId);
        EXPECT_TRUE(FakeRuns().empty());
    }
    // No id was used up: the next confirmed import gets id 1.
    Import("一号", "rtmp://127.0.0.1:1/live/n#hang=1");
    EXPECT_EQ(1, dlg.m_engine.Tag(1)->m_nId);
    EXPECT_EQ("2", Stored("nextId"));
}

TEST_F(ImportFlowTest, EditStoresByTheWriteRulesAndLeavesTheChildRunning)
{
    const std::string p = "0+";
    CRelayDlg& dlg = OpenShown(
        "nextId=1\n0+Name=旧名\n0+SignalName=" + std::string(kSource) +
        "\n0+Adress=rtmp://127.0.0.1:1/live/a#interval=100\n0+StreamName=s1\n0+checkstate=1\n0+checkstate1=1\n"
        "0+checkstate2=1\n0+checkstate3=1\n0+checkstate4=1\n0+VdBitRate=800\n0+VdRameRate=25\n0+VdWidth=640\n"
        "0+VdHeight=360\n0+VdProFile=main\n0+AdChannel=2\n0+AdSmpLinGrate=44100\n0+AdBitRate=64\n"
        "0+strFilePath=/tmp/wm.png\n0+strPucSeat=右下\n0+strValue=-10\n0+strValue1=-10\n"
        "0+StrPucSeatPos=main_w-overlay_w+-10:main_h-overlay_h+-10\n0+strAVState=运行中\n0+VdTransCode=是\n");
    dlg.OnChannelCommand(ID_CHANNEL_RUN, 0);
    const pid_t pid = WorkerPid(0);
    ASSERT_NE(-1, pid);
    ASSERT_TRUE(WaitFor([&] { return dlg.CellText(0, 1) == "318kbps"; }));

    Edit(0, {[](CMyNewDlg& page) {
                 EXPECT_EQ("旧名", Get<QLineEdit>(&page, "1001")->text());
                 EXPECT_EQ(kSource, Get<QLineEdit>(&page, "1002")->text());
                 TypeInto(&page, "1001", "新名字");
             },
             [](CMyChildDlg& page) {
                 EXPECT_EQ("800", Get<QLineEdit>(&page, "1031")->text());
                 EXPECT_EQ("/tmp/wm.png", Get<QLineEdit>(&page, "1007")->text());
                 EXPECT_TRUE(Get<QCheckBox>(&page, "1027")->isChecked());
                 TypeInto(&page, "1031", "");                                // bitrate cleared
                 wizardtest::Type(Get<QComboBox>(&page, "1037")->lineEdit(), "");  // profile cleared
                 TypeInto(&page, "1007", "");                                // watermark removed
                 TypeInto(&page, "1035", "480");
                 Click(&page, "1027");                                       // copy timestamps off
             }});

    // The name shows at once; size and mark wait for the next start-up.
    EXPECT_EQ(QStringList({"新名字", "318kbps", "运行中", "是", "640*360"}), Row(0));
    const std::pair<const char*, const char*> stored[] = {
        {"Name", "新名字"}, {"VdBitRate", "800"}, {"VdProFile", "main"}, {"strFilePath", ""},
        {"VdWidth", "480"}, {"checkstate2", "0"}, {"checkstate1", "1"}, {"StreamName", "s1"},
        {"strAVState", "运行中"}, {"VdTransCode", "是"}, {"strPucSeat", "右下"},
        {"StrPucSeatPos", "main_w-overlay_w+-10:main_h-overlay_h+-10"},
    };
    for (const auto& [key, value] : stored)
        EXPECT_EQ(value, Stored(p + key)) << key;
    EXPECT_TRUE(HasKey(p + "strFilePath"));

    // The running child is neither stopped nor restarted.
    EXPECT_EQ(pid, WorkerPid(0));
    EXPECT_NE('Z', ProcessState(pid));
    EXPECT_NE(0, ProcessState(pid));
    EXPECT_EQ(1u, FakeRuns().size());
    EXPECT_EQ(0, dlg.m_engine.Tag(0)->m_bStopped);
    EXPECT_EQ(1, dlg.m_engine.RowCount()) << "an edit adds no row";
}

// Video and audio both off: the import still lists the channel, says why nothing runs, and the
// channel starts once an edit turns the video back on.
TEST_F(ImportFlowTest, ImportWithNothingToRelayCanBeFixedByEditing)
{
    CRelayDlg& dlg = OpenShown();
    Import("空", "rtmp://127.0.0.1:1/live/e#interval=100,kbps=128.0", [](CMyChildDlg& page) {
        Click(&page, "1025");
        Click(&page, "1028");
    });
    ASSERT_EQ(1, dlg.m_list->rowCount());
    EXPECT_EQ(QStringLiteral("空"), dlg.CellText(0, 0));
    EXPECT_EQ(QStringLiteral("视频和音频均未启用，未开启直播！"), dlg.CellText(0, 1));
    EXPECT_TRUE(dlg.m_engine.m_workers.empty());
    EXPECT_EQ(1, dlg.m_engine.Tag(0)->m_bStopped);
    EXPECT_EQ("0", Stored("0+checkstate"));
    EXPECT_EQ("0", Stored("0+checkstate3"));
    EXPECT_EQ("1", Stored("nextId"));
    QTest::qWait(100);
    EXPECT_TRUE(FakeRuns().empty());
    dlg.OnTimer(ID_SUPERVISE_TIMER);  // nothing ran, so nothing is counted as a failure
    EXPECT_EQ(0, dlg.m_engine.m_failCounts[0]);

    Edit(0, {{}, [](CMyChildDlg& page) {
                 EXPECT_FALSE(Get<QCheckBox>(&page, "1025")->isChecked());
                 Click(&page, "1025");
             }});
    EXPECT_EQ("1", Stored("0+checkstate"));
    dlg.OnChannelCommand(ID_CHANNEL_RUN, 0);
    ASSERT_NE(-1, WorkerPid(0));
    ASSERT_TRUE(WaitFor([&] { return dlg.CellText(0, 1) == "128kbps"; })) << dlg.CellText(0, 1).toStdString();
    ASSERT_EQ(1u, FakeRuns().size());
    EXPECT_NE(std::string::npos, FakeRuns()[0].find("\n-vcodec\ncopy\n-an\n-f\nflv\n")) << FakeRuns()[0];
}
