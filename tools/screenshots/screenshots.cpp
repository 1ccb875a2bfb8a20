// Regenerates the documentation screenshots into the folder named by CAMRELAY_SCREENSHOT_DIR
// (run by scripts/screenshots.sh): the real main window and wizard, relaying real ffmpeg
// streams through the private nginx-rtmp of the end-to-end tests, grabbed on an X server (Xvfb,
// so that a tooltip can be taken from the screen). Not a test: it reuses the end-to-end set-up and reports what could not be saved.
#include "E2eFixture.h"
#include "app/PreviewDialog.h"
#include "settings/ChannelStore.h"
#include "wizard/WizardTestKit.h"

#include <QFileDialog>
#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QScreen>
#include <QToolTip>

using namespace apptest;
using namespace wizardtest;
using e2e::Url;

namespace {

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

class Screenshots : public e2e::E2eTest {};

}  // namespace

// Three stored channels, one of them publishing to a port nobody listens on, and one imported;
// the preview of a running one and a finished source check of an H.265 camera.
TEST_F(Screenshots, All)
{
    const char* out = std::getenv("CAMRELAY_SCREENSHOT_DIR");
    ASSERT_TRUE(out && *out) << "set CAMRELAY_SCREENSHOT_DIR to the folder for the screenshots";
    const QString dir = QString::fromLocal8Bit(out) + "/";
    auto save = [&](QWidget& widget, const char* name) { EXPECT_TRUE(widget.grab().save(dir + name)) << name; };
    const std::string refused = "rtmp://127.0.0.1:" + std::to_string(FreeTcpPort()) + "/live/back";
    // The third re-encodes its video at 500 kbit/s, 25 frames/s, Main.
    ChannelRecord back{.name = "后门", .sourceUrl = Url("src"), .publishUrl = refused, .streamName = {},
        .videoBitrate = 500, .frameRate = 25, .width = 640, .height = 360, .profile = "main", .audioChannels = 2,
        .sampleRate = 44100, .audioBitrate = 64, .watermarkPath = {}, .watermarkPlacement = {}, .watermarkCorner = {},
        .watermarkOffsetX = {}, .watermarkOffsetY = {}, .audioToAac = 0, .silentAudio = 0, .keyframeSeconds = 0,
        .standIn = {}, .standInPicture = {}};
    ConfigStore::KeyValues backWrites = ChannelWrites(2, back, {1, 1, 0, 1, 1});
    backWrites.push_back(ChannelStateWrite(2, kStateRunning));
    backWrites.push_back(ChannelTransCodeWrite(2, "是"));
    std::string backKeys;
    for (const auto& [key, value] : backWrites)
        backKeys += key + "=" + value + "\n";
    MainWindow& dlg = Open("nextId=3\n" + StoredChannel(0, "大门", Url("src"), Url("gate")) +
                          StoredChannel(1, "仓库", Url("src"), Url("store"), "暂停中") + backKeys);
    dlg.resize(780, 420);
    dlg.OnChannelCommand(ID_CHANNEL_RUN, 0);
    dlg.OnChannelCommand(ID_CHANNEL_RUN, 2);
    // The watermark lies in a plain folder, as an operator's would, not in the tool's own; the
    // folder goes when nothing else lies there.
    const std::string plainDir = "/tmp/CamRelay";
    std::filesystem::create_directories(plainDir);
    const std::string png = plainDir + "/logo.png";
    RunShell("make_test_png \"$1\"", {png}, 60);
    std::shared_ptr<void> cleanup(nullptr, [&](void*) {
        std::error_code ignored;
        std::filesystem::remove(png, ignored);
        std::filesystem::remove(plainDir, ignored);
    });
    // An imported channel re-encoding to 640x360 Main with the watermark at the bottom right. On
    // the encoding page Qt's own file dialog is opened too (and cancelled: the chosen file stays).
    Prompt::QueueOpenFileAnswer(QString::fromStdString(png));
    WizardDriver driver({[&](SourcePage& page) {
                             TypeInto(&page, "1001", "停车场");
                             TypeInto(&page, "1002", QString::fromStdString(Url("src")));
                             TypeInto(&page, "1003", QString::fromStdString(Url("park")));
                             TypeExtras(page, {QString::fromStdString(Url("park-backup"))});
                             save(page, "wizard-source.png");
                         },
                         [&](EncodingPage& page) {
                             Click(&page, "1026");
                             wizardtest::Choose(Get<QComboBox>(&page, "1033"), 2);  // 640x360
                             wizardtest::Choose(Get<QComboBox>(&page, "1037"), 1);  // main
                             Click(&page, "1022");                      // the file chooser answers png
                             wizardtest::Choose(Get<QComboBox>(&page, "1008"), 4);  // 右下
                             TypeInto(&page, "1011", "-10");
                             TypeInto(&page, "1020", "-10");
                             SaveModal<QFileDialog>(dir, "file-dialog.png", [&] { Click(&page, "1022"); },
                                                    [&](QFileDialog& files) {
                                 files.setDirectory(QString::fromStdString(plainDir));
                                 files.resize(760, 420);
                                 QTest::qWait(500);  // the folder's listing fills in
                             });
                             save(page, "wizard-encoding.png");
                         }});
    Click(m_dlg.get(), "1000");
    ASSERT_EQ(4, dlg.m_list->rowCount());
    for (int failure = 0; failure < 2; ++failure)  // two noticed failures of the refused relay
        NoticeEnd(2);
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

    // The failing row's tooltip over the window, as the screen shows it (under Xvfb).
    dlg.activateWindow();
    QTest::mouseMove(dlg.m_list->viewport(), cell);
    QCursor::setPos(dlg.m_list->viewport()->mapToGlobal(cell));
    QToolTip::showText(dlg.m_list->viewport()->mapToGlobal(cell), dlg.RowToolTip(2), nullptr, {}, 60000);
    QTest::qWait(800);
    EXPECT_TRUE(QToolTip::isVisible());
    const QRect area = dlg.frameGeometry().united(QRect(dlg.m_list->viewport()->mapToGlobal(cell), QSize(900, 420)));
    EXPECT_TRUE(QGuiApplication::primaryScreen()->grabWindow(0, area.x(), area.y(), area.width(), area.height())
                    .save(dir + "failure-tooltip.png"));
    QToolTip::hideText();

    // 预览 of the running first channel: the frame and the report of its source.
    SaveModal<PreviewDialog>(dir, "preview.png", [&] { dlg.OnChannelCommand(ID_CHANNEL_PREVIEW, 0); }, [](PreviewDialog& box) {
        EXPECT_TRUE(QTest::qWaitFor([&] { return !box.findChild<QLabel*>("previewFrame")->pixmap().isNull(); }, 30000));
    });

    // 检测信号源 on the source page, finished for an H.265 camera: its frame and the advice.
    const std::string camera = e2e::Local().cameraUrl;
    SourcePage checked(true);
    checked.SetChannel(9, AppDir());
    WhenModalPage<SourcePage>([&](SourcePage&) {
        TypeInto(&checked, "1001", "新摄像头");
        TypeInto(&checked, "1002", QString::fromStdString(camera.substr(0, camera.size() - 4) + "h265"));
        TypeInto(&checked, "1003", QString::fromStdString(Url("new")));
        Click(&checked, "1005");
        EXPECT_TRUE(QTest::qWaitFor([&] { return Get<QWidget>(&checked, "1005")->isEnabled(); }, 30000));
        save(checked, "wizard-probe.png");
        checked.reject();
    }, &checked);
    checked.exec();

    // A message box with Qt's own button: the source page's check of an empty name.
    Prompt::SetMessageHook(nullptr);
    SourcePage page(true);
    page.SetChannel(9, AppDir());
    WhenModalPage<SourcePage>([&](SourcePage&) {
        SaveModal<QMessageBox>(dir, "message-box.png", [&] { Click(&page, "1006"); });
        page.reject();
    }, &page);
    page.exec();
}
