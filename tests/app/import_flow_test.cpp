// Importing and editing channels through the real button, the real wizard pages and the real
// main window: ids, rows, stored keys and their order, the child started by the import, what an
// edit may and may not change, and a close while the wizard is open. The fake transcoder stands
// in for ffmpeg.
#include "AppFixture.h"
#include "wizard/WizardTestKit.h"

#include <QCheckBox>
#include <QPlainTextEdit>

using namespace apptest;
using namespace wizardtest;

namespace {

const char kSource[] = "rtsp://127.0.0.1:1/cam/1";

class ImportFlowTest : public AppTest {
protected:
    // One import through button 1000 with the given source-page texts and encoding steps.
    void Import(const QString& name, const QString& publish, std::function<void(EncodingPage&)> encoding = {},
                bool cancel = false)
    {
        WizardDriver driver({[=](SourcePage& page) {
                                 TypeInto(&page, "1001", name);
                                 TypeInto(&page, "1002", kSource);
                                 TypeInto(&page, "1003", publish);
                             },
                             std::move(encoding), cancel});
        Click(m_dlg.get(), "1000");
    }
    // "编辑" on row through the list's context menu.
    void Edit(int row, WizardScript script)
    {
        m_dlg->m_list->selectRow(row);
        WizardDriver driver(std::move(script));
        ASSERT_EQ(row, Choose(ID_CHANNEL_EDIT, row));
    }
};

}  // namespace

TEST_F(ImportFlowTest, FirstImportStoresStartsAndAppendsTheRow)
{
    MainWindow& dlg = Open("m_bRTSPuseTCP=1\n");
    const std::string publish = "rtmp://127.0.0.1:1/live/a#delay=1500,interval=100,kbps=512.0";
    Import("大门", QString::fromStdString(publish), [](EncodingPage& page) {
        Click(&page, "1026");                                  // re-encode video,
        wizardtest::Choose(Get<QComboBox>(&page, "1033"), 2);  // 640x360,
        TypeInto(&page, "1031", "800");                        // 800 kbit/s,
        wizardtest::Choose(Get<QComboBox>(&page, "1037"), 1);  // profile main
    });
    ASSERT_EQ(1, dlg.m_list->rowCount());
    EXPECT_EQ(QStringList({"大门", " ", "运行中", "是", "640*360"}), Row(0));
    EXPECT_STRNE("stopped", dlg.m_engine.View(0).state) << "the imported channel is not supervised";
    // The channel's keys in the order they are stored, the list state and nextId after them;
    // an empty watermark path is stored, an empty stream name is not.
    const std::pair<const char*, std::string> stored[] = {{"0+Name", "大门"}, {"0+SignalName", kSource},
        {"0+Adress", publish}, {"0+VdBitRate", "800"}, {"0+VdHeight", "360"}, {"0+VdProFile", "main"},
        {"0+strFilePath", ""}, {"0+checkstate2", "0"}, {"0+strAVState", "运行中"}, {"0+VdTransCode", "是"},
        {"nextId", "1"}};
    const std::vector<std::string> keys = ConfigStore(AppDir()).Keys();
    auto last = keys.begin();
    for (const auto& [key, value] : stored) {
        EXPECT_EQ(value, Stored(key)) << key;
        EXPECT_NE(keys.end(), last = std::find(last, keys.end(), key)) << key << " missing or out of order";
    }
    EXPECT_EQ(keys.end(), std::find(keys.begin(), keys.end(), "0+StreamName"));
    // The child runs with the wizard's values, one argument per line: the RTSP address kept whole
    // over TCP, libfaac adapted to the built-in encoder, a keyframe every 2 s; stdin /dev/null, no descriptor of ours.
    ASSERT_TRUE(QTest::qWaitFor([&] { return FakeRuns().size() == 1; }));
    EXPECT_NE(std::string::npos, FakeRuns()[0].find(std::string("\n-rtsp_transport\ntcp\n-i\n") + kSource +
                                                    "\n-vcodec\nlibx264\n-acodec\naac\n-ac\n2\n-ar\n44100\n-b:a\n32k\n"
                                                    "-s\n640*360\n-b:v\n800k\n-r\n25\n-vprofile\nmain\n-g\n50\n-sc_threshold\n0\n-f\nflv\n" +
                                                    publish + "\nstdin: /dev/null\nfds: 0 1 2\n"))
        << FakeRuns()[0];
    // The imported row pauses and runs like any other.
    dlg.OnChannelCommand(ID_CHANNEL_PAUSE, 0);
    EXPECT_EQ("暂停中|-1", Stored("0+strAVState") + "|" + std::to_string(Pid(0)));
    dlg.OnChannelCommand(ID_CHANNEL_RUN, 0);
    EXPECT_TRUE(Running(0));
}

// Cancelling an import or an edit (on the encoding page, then on the source page, which covers
// a cancel on the source page alone) leaves file, list and ids as they were. The
// next confirmed import, with video and audio both off, gets id 3 (ids are never handed out
// twice: 1 and 2 went to channels since removed) and is listed, but says why nothing runs and
// counts no failure.
TEST_F(ImportFlowTest, CancelledWizardChangesNothing)
{
    MainWindow& dlg = Open("nextId=3\n" + StoredChannel(0, "cam", kSource, "rtmp://127.0.0.1:1/live/a"));
    const std::string before = ReadFile(m_dir.File("config.ini"));
    const QStringList row0 = Row(0);
    const auto encoding = [](EncodingPage& page) { Click(&page, "1026"), TypeInto(&page, "1031", "999"); };
    for (const bool edit : {false, true}) {
        SCOPED_TRACE(edit ? "edit" : "import");
        if (edit)
            Edit(0, {[](SourcePage& page) { TypeInto(&page, "1001", "改过的"); }, encoding, true});
        else
            Import("改过的", "rtmp://127.0.0.1:1/live/changed", encoding, true);
        EXPECT_EQ(before, ReadFile(m_dir.File("config.ini")));
        EXPECT_EQ(1, dlg.m_engine.RowCount());
        EXPECT_EQ(row0, Row(0));
        EXPECT_EQ(3, dlg.m_nNextId);
    }
    // It publishes where "cam" does: "完成" asks, naming it (answered yes).
    QStringList asked;
    Prompt::SetMessageHook([&asked](const QString& text) { asked << text; });
    Import("空", "rtmp://127.0.0.1:1/live/a", [](EncodingPage& page) { Click(&page, "1025"), Click(&page, "1028"); });
    EXPECT_EQ(1, asked.size());
    EXPECT_TRUE(asked.value(0).startsWith(QStringLiteral("发布地址与信号“cam”相同"))) << asked.join('|').toStdString();
    EXPECT_EQ("4|空", Stored("nextId") + "|" + Stored("3+Name"));
    EXPECT_EQ(QStringList({"空", "视频和音频均未启用，未开启直播！", "运行中", "否"}), Row(1).mid(0, 4));
    dlg.m_engine.SuperviseTick();
    EXPECT_EQ(0, dlg.m_engine.View(1).failures);
    EXPECT_TRUE(FakeRuns().empty());
}

// An emptied field keeps its stored value, an emptied watermark is removed, and so are extra
// publish addresses all deleted from the list that showed them; the running child is neither
// stopped nor restarted.
TEST_F(ImportFlowTest, EditStoresByTheWriteRulesAndLeavesTheChildRunning)
{
    // The first of duplicate keys wins: these go before the channel's own.
    MainWindow& dlg = Open("nextId=1\n" + Keys(0, "checkstate1=1\ncheckstate2=1\nVdBitRate=800\nVdRameRate=25\nVdProFile=main\n"
                                                      "strFilePath=/tmp/wm.png\nVdTransCode=否\n"
                                                      "Adress2=rtmp://127.0.0.1:1/live/x\nAdress3=rtmp://127.0.0.1:1/live/y") +
                               StoredChannel(0, "旧名", kSource, "rtmp://127.0.0.1:1/live/a#interval=100"));
    dlg.OnChannelCommand(ID_CHANNEL_RUN, 0);
    const pid_t pid = Pid(0);
    ASSERT_TRUE(QTest::qWaitFor([&] { return dlg.CellText(0, 1) == "318kbps"; }));
    QStringList asked;  // its own publish address is no other channel's
    Prompt::SetMessageHook([&asked](const QString& text) { asked << text; });
    int extrasShown = 0;
    Edit(0, {[&extrasShown](SourcePage& page) {
                 TypeInto(&page, "1001", "新名字");
                 extrasShown = Get<QListWidget>(&page, "extraPublish")->count();
                 TypeExtras(page, {});
             },
             [](EncodingPage& page) {
                 TypeInto(&page, "1031", "");                                      // bitrate cleared
                 wizardtest::Type(Get<QComboBox>(&page, "1037")->lineEdit(), "");  // profile cleared
                 TypeInto(&page, "1007", "");                                      // watermark removed
                 TypeInto(&page, "1035", "480");
                 Click(&page, "1027");                                             // copy timestamps off
             }});
    EXPECT_TRUE(asked.isEmpty()) << asked.join('|').toStdString();
    // The name shows at once; size and mark wait for the next start-up.
    EXPECT_EQ(QStringList({"新名字", "318kbps", "运行中", "是", "640*360"}), Row(0));
    const std::pair<const char*, const char*> stored[] = {{"Name", "新名字"}, {"VdBitRate", "800"},
        {"VdProFile", "main"}, {"strFilePath", ""}, {"VdWidth", "480"}, {"checkstate2", "0"}, {"strAVState", "运行中"},
        {"Adress2", ""}, {"Adress3", ""}};
    for (const auto& [key, value] : stored)
        EXPECT_EQ(value, Stored(std::string("0+") + key)) << key;
    EXPECT_EQ(2, extrasShown);
    EXPECT_EQ(pid, Pid(0));
    dlg.OnChannelCommand(ID_CHANNEL_PAUSE, 0);  // the log and the endpoint name it anew
    EXPECT_TRUE(QTest::qWaitFor([&] { return ReadFile(m_dir.File("CamRelay.log")).find("信号 新名字 (id 0): 已暂停") != std::string::npos; }));
    EXPECT_EQ("新名字", dlg.m_engine.View(0).name);

    // "复制信号" opens the wizard with every stored value and the name marked as a copy, and
    // stores a new channel under the next id; the original stays as it is.
    QString copiedName;
    bool copiedReencode = false;
    WizardDriver copy({[&](SourcePage& page) {
                           copiedName = Get<QLineEdit>(&page, "1001")->text();
                           TypeInto(&page, "1003", "rtmp://127.0.0.1:1/live/b");
                       },
                       [&](EncodingPage& page) { copiedReencode = Get<QCheckBox>(&page, "1026")->isChecked(); }});
    dlg.OnChannelCommand(ID_CHANNEL_COPY, 0);
    EXPECT_EQ("新名字-副本", copiedName.toStdString());
    EXPECT_TRUE(copiedReencode);
    ASSERT_EQ(2, dlg.m_engine.RowCount());
    for (const char* key : {"SignalName", "VdBitRate", "VdProFile", "VdWidth", "checkstate1", "checkstate2"})
        EXPECT_EQ(Stored(std::string("0+") + key), Stored(std::string("1+") + key)) << key;
    EXPECT_EQ("新名字-副本|rtmp://127.0.0.1:1/live/b|新名字", Stored("1+Name") + "|" + Stored("1+Adress") + "|" + Stored("0+Name"));
}

// A signal can close the program while the wizard is open: the wizard goes too, and nothing is
// imported or started afterwards.
TEST_F(ImportFlowTest, ClosingWithTheWizardOpenImportsNothing)
{
    MainWindow& dlg = Open();
    WhenModalPage<SourcePage>([&](SourcePage&) {
        dlg.OnClose();
        QTimer::singleShot(3000, &dlg, [] {  // ends with the window at the end of the test
            ADD_FAILURE() << "the wizard outlived the window";
            CloseAllDialogs();
        });
    });
    dlg.OnImportSignal();  // returns once the wizard is gone
    EXPECT_EQ(0, dlg.m_list->rowCount());
    EXPECT_EQ("", Stored("nextId"));
}

// 导入CSV… shows every row's verdict before anything is stored: 取消 stores nothing; 导入
// stores the good rows in one replace after the stored ones, lists them, and queues the one
// stored running, whose child starts with the queue.
TEST_F(ImportFlowTest, CsvImportStoresOnlyAfterTheReport)
{
    MainWindow& dlg = Open(StoredChannels(1, "#hang=1"));
    const std::string before = ReadFile(m_dir.File("config.ini"));
    WriteFile(m_dir.File("list.csv"), "名称,信号源地址,发布地址,状态\n"
                                      "甲,rtsp://127.0.0.1:1/a,rtmp://127.0.0.1:1/live/a#hang=1,运行中\n"
                                      "乙,rtsp://127.0.0.1:1/b,rtmp://127.0.0.1:1/live/b,\n"
                                      ",rtsp://127.0.0.1:1/c,rtmp://127.0.0.1:1/live/c,\n");
    std::string report;
    for (const bool confirm : {false, true}) {
        Prompt::QueueOpenFileAnswer(QString::fromStdString(m_dir.File("list.csv")));
        WhenModalPage<QDialog>([&](QDialog& box) {
            report = Get<QPlainTextEdit>(&box, "csvReport")->toPlainText().toStdString();
            Click(&box, confirm ? "csvConfirm" : "csvCancel");
        });
        const long replaces = ConfigStore::ReplaceCount();
        dlg.OnWindowCommand(ID_IMPORT_CSV);
        EXPECT_EQ(ConfigStore::ReplaceCount() - replaces, confirm ? 1 : 0);
        if (!confirm) {
            EXPECT_EQ(ReadFile(m_dir.File("config.ini")), before);
            EXPECT_EQ(dlg.m_list->rowCount(), 1);
        }
    }
    EXPECT_NE(report.find("第 4 行（）：未导入：请输入名称!"), std::string::npos) << report;
    ASSERT_EQ(dlg.m_list->rowCount(), 3);
    EXPECT_EQ(QStringList({"甲", "", "运行中", "否", "320*240"}), Row(1));
    EXPECT_EQ("乙|暂停中|3", Stored("2+Name") + "|" + Stored("2+strAVState") + "|" + Stored("nextId"));
    dlg.m_engine.StartNextQueued();
    EXPECT_TRUE(Running(1));
    EXPECT_FALSE(Running(2));
}
