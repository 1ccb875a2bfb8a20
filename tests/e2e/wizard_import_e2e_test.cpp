// A channel imported the way an operator does it, through the shown main window and the real
// wizard pages, relayed by real ffmpeg from a live RTMP source into a private nginx-rtmp: what
// arrives is probed, and the watermark is looked for in a decoded frame. With
// CAMRELAY_SCREENSHOT_DIR set, the same set-up also saves the documentation screenshots.
#include "E2eFixture.h"
#include "app/WizardDriver.h"

#include <QFileDialog>
#include <QMessageBox>
#include <QPlainTextEdit>

using namespace apptest;
using wizardtest::Get;

namespace {

class WizardImportEndToEnd : public e2e::E2eTest {
protected:
    void SetUp() override
    {
        const char* shots = std::getenv("CAMRELAY_SCREENSHOT_DIR");
        if (::testing::UnitTest::GetInstance()->current_test_info()->name() == std::string("Screenshots") &&
            !(shots && *shots))
            GTEST_SKIP() << "set CAMRELAY_SCREENSHOT_DIR to save the screenshots";
        E2eTest::SetUp();
    }

    // Imports a channel re-encoding to 640x360 Main with the watermark png at the bottom right,
    // 10 pixels in, through the pages; shot sees each page filled in, just before it is left.
    void ImportWatermarked(const QString& name, const std::string& publish, const std::string& png,
                           const std::function<void(QWidget&, const char*)>& shot = [](QWidget&, const char*) {})
    {
        Prompt::QueueOpenFileAnswer(QString::fromStdString(png));
        WizardDriver driver({[&](CMyNewDlg& page) {
                                 TypeInto(&page, "1001", name);
                                 TypeInto(&page, "1002", QString::fromStdString(Url("src")));
                                 TypeInto(&page, "1003", QString::fromStdString(publish));
                                 shot(page, "wizard-source.png");
                             },
                             [&](CMyChildDlg& page) {
                                 Click(&page, "1026");
                                 wizardtest::Choose(Get<QComboBox>(&page, "1033"), 2);  // 640x360
                                 wizardtest::Choose(Get<QComboBox>(&page, "1037"), 1);  // main
                                 Click(&page, "1022");                      // the file chooser answers png
                                 wizardtest::Choose(Get<QComboBox>(&page, "1008"), 4);  // 右下
                                 TypeInto(&page, "1011", "-10");
                                 TypeInto(&page, "1020", "-10");
                                 shot(page, "wizard-encoding.png");
                             }});
        Click(m_dlg.get(), "1000");
    }
};

}  // namespace

TEST_F(WizardImportEndToEnd, ImportedWatermarkedChannelRelays)
{
    const std::string png = MakeTestPng(AppDir(), "水印 logo.png");
    ASSERT_FALSE(png.empty());
    CRelayDlg& dlg = Open();
    ImportWatermarked("停车场", Url("park"), png);
    ASSERT_EQ(1u, dlg.m_engine.m_workers.count(0)) << dlg.CellText(0, 1).toStdString();
    EXPECT_EQ(QStringList({"是", "640*360"}), Row(0).mid(3));
    EXPECT_EQ("main_w-overlay_w+-10:main_h-overlay_h+-10", Stored("0+StrPucSeatPos"));
    EXPECT_EQ(png, Stored("0+strFilePath"));
    EXPECT_TRUE(m_messages.empty()) << m_messages.front();
    // Probed while a frame is decoded: both wait for the relay's next keyframe (libx264 makes one
    // every ten seconds).
    auto probe = std::async(std::launch::async, [&] { return ProbeUntilVideo(Url("park")); });

    // The 64x32 red image sits 10 pixels in from the bottom right corner: x 566..629, y 318..349.
    // One decoded frame, cropped inside it and scaled to one pixel.
    std::string log, pixel;
    for (int attempt = 0; attempt < 3 && pixel.size() != 3; ++attempt)
        pixel = RunCommand({"ffmpeg", "-nostdin", "-y", "-v", "error", "-rw_timeout", "10000000", "-analyzeduration",
                            "12000000", "-i", Url("park"), "-frames:v", "1", "-vf",
                            "crop=44:20:576:324,scale=1:1:flags=area", "-f", "rawvideo", "-pix_fmt", "rgb24",
                            m_dir.File("mean.rgb")}, 30, &log) == 0 ? ReadFile(m_dir.File("mean.rgb")) : "";
    EXPECT_EQ("h264 640x360 Main, aac 44100 Hz 2 ch", probe.get()) << dlg.RowDetails(0).toStdString();
    EXPECT_TRUE(WaitBitrate(0)) << dlg.CellText(0, 1).toStdString();
    ASSERT_EQ(3u, pixel.size()) << log;
    const int r = static_cast<unsigned char>(pixel[0]), g = static_cast<unsigned char>(pixel[1]),
              b = static_cast<unsigned char>(pixel[2]);
    EXPECT_TRUE(r > 140 && g < 120 && b < 120) << "mean colour " << r << "," << g << "," << b;

    // The same child has been relaying all along: a bad watermark would have ended it.
    EXPECT_TRUE(ProcessProbe::IsAlive(dlg.m_engine.m_workers.at(0).m_hProcess));
    EXPECT_EQ(0, dlg.m_engine.m_failCounts[0]);
}

// Saves the next modal T that open() shows (as name, after prepare) and closes it.
template <class T>
void SaveModal(const QString& dir, const char* name, const std::function<void()>& open,
               const std::function<void(T&)>& prepare = [](T&) {})
{
    QTimer::singleShot(0, [=] {
        T* box = nullptr;
        if (!QTest::qWaitFor([&] { return (box = qobject_cast<T*>(QApplication::activeModalWidget())); })) {
            ADD_FAILURE() << name << " did not open";
            return;
        }
        prepare(*box);
        EXPECT_TRUE(box->grab().save(dir + name)) << name;
        box->close();
    });
    open();
}

// Regenerates docs/screenshots when CAMRELAY_SCREENSHOT_DIR names a folder (scripts/screenshots.sh):
// three stored channels, one of them publishing to a port nobody listens on, and one imported.
TEST_F(WizardImportEndToEnd, Screenshots)
{
    const QString dir = QString::fromLocal8Bit(std::getenv("CAMRELAY_SCREENSHOT_DIR")) + "/";
    auto save = [&](QWidget& widget, const char* name) { EXPECT_TRUE(widget.grab().save(dir + name)) << name; };
    const std::string refused = "rtmp://127.0.0.1:" + std::to_string(FreeTcpPort()) + "/live/back";
    CRelayDlg& dlg = Open("nextId=3\n" + StoredChannel(0, "大门", Url("src"), Url("gate")) +
                          StoredChannel(1, "仓库", Url("src"), Url("store"), "暂停中") +
                          Keys(2, "checkstate1=1\nVdBitRate=500\nVdRameRate=25\nVdProFile=main\nVdTransCode=是") +
                          StoredChannel(2, "后门", Url("src"), refused));
    dlg.resize(740, 420);
    dlg.OnChannelCommand(ID_CHANNEL_RUN, 0);
    dlg.OnChannelCommand(ID_CHANNEL_RUN, 2);
    // The watermark lies in a plain folder, as an operator's would, not in the test's own; the
    // folder goes when nothing else lies there.
    const std::string plainDir = "/tmp/CamRelay";
    std::filesystem::create_directories(plainDir);
    const std::string png = MakeTestPng(plainDir, "logo.png");
    std::shared_ptr<void> cleanup(nullptr, [&](void*) {
        std::error_code ignored;
        std::filesystem::remove(png, ignored);
        std::filesystem::remove(plainDir, ignored);
    });
    // On the encoding page Qt's own file dialog is opened too (and cancelled: the chosen file stays).
    ImportWatermarked("停车场", Url("park"), png, [&](QWidget& page, const char* name) {
        if (name == std::string("wizard-encoding.png"))
            SaveModal<QFileDialog>(dir, "file-dialog.png", [&] { Click(&page, "1022"); }, [&](QFileDialog& files) {
                files.setDirectory(QString::fromStdString(plainDir));
                files.resize(760, 420);
                QTest::qWait(500);  // the folder's listing fills in
            });
        save(page, name);
    });
    ASSERT_EQ(4, dlg.m_list->rowCount());
    for (int failure = 0; failure < 2; ++failure) {  // two noticed failures of the refused relay
        ASSERT_TRUE(WaitChildEnded(2, 15000));
        dlg.OnTimer(ID_SUPERVISE_TIMER);
        dlg.OnTimer(ID_SUPERVISE_TIMER);
    }
    ASSERT_TRUE(WaitBitrate(0) && WaitBitrate(3));
    QTest::qWait(3000);  // a few readings later, the figures have settled
    save(dlg, "main.png");

    // The details of the failing row, opened by a double-click between two retries, so that its
    // last lines are the reason of the failure.
    EXPECT_TRUE(QTest::qWaitFor([&] { return dlg.RowDetails(2).trimmed().endsWith("Connection refused"); }, 15000));
    const QPoint cell = dlg.m_list->visualItemRect(dlg.m_list->item(2, 0)).center();
    SaveModal<QDialog>(dir, "failure-details.png", [&] {
        QTest::mouseClick(dlg.m_list->viewport(), Qt::LeftButton, {}, cell);
        QTest::mouseDClick(dlg.m_list->viewport(), Qt::LeftButton, {}, cell);
    }, [](QDialog& box) {
        EXPECT_TRUE(box.findChild<QPlainTextEdit*>("details")->toPlainText().contains("Connection refused"));
    });

    // A message box with Qt's own button: the source page's check of an empty name.
    Prompt::SetMessageHook(nullptr);
    CMyNewDlg page(true);
    page.SetChannel(9, AppDir());
    wizardtest::WhenModal(&page, [&] {
        SaveModal<QMessageBox>(dir, "message-box.png", [&] { Click(&page, "1006"); });
        page.reject();
    });
    page.exec();
}
