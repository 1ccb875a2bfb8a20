// A channel imported the way an operator does it, through the shown main window and the real
// wizard pages, relayed by real ffmpeg from a live RTMP source into a private nginx-rtmp:
// what arrives is probed, and the watermark is looked for in a decoded frame.
// The same set-up, with CAMRELAY_SCREENSHOT_DIR set, also saves the documentation screenshots.
#include "app/AppFixture.h"
#include "app/WizardDriver.h"
#include "settings/ConfigStore.h"
#include "support/LocalServers.h"

#include <QComboBox>
#include <QDialog>
#include <QPainter>
#include <QPlainTextEdit>
#include <QRegularExpression>
#include <QTableWidget>

#include <array>
#include <cstdio>
#include <cstdlib>

using namespace apptest;
using wizardtest::Choose;
using wizardtest::Get;

namespace {

StreamInfo ProbeUntilVideo(const std::string& url, int attempts = 6)
{
    StreamInfo info;
    for (int i = 0; i < attempts; ++i) {
        info = ProbeStream(url, 10);
        if (info.ok && !info.videoCodec.empty())
            break;
        QTest::qWait(500);
    }
    return info;
}

// The mean colour of a rectangle of one decoded frame of a live stream, or {-1,-1,-1} with
// ffmpeg's complaint in *log.
std::array<int, 3> MeanColour(const std::string& url, const std::string& dir, int x, int y, int w, int h,
                              std::string* log)
{
    const std::string out = dir + "/mean.rgb";
    const std::string crop = "crop=" + std::to_string(w) + ":" + std::to_string(h) + ":" + std::to_string(x) +
                             ":" + std::to_string(y) + ",scale=1:1:flags=area";
    // A viewer joins at the relay's next keyframe (libx264 makes one every ten seconds): probe
    // long enough to see the video, and try again when the picture still did not come.
    std::string pixel;
    for (int attempt = 0; attempt < 3 && pixel.size() != 3; ++attempt) {
        std::remove(out.c_str());
        const int code = RunCommand({"ffmpeg", "-nostdin", "-y", "-v", "error", "-rw_timeout", "10000000",
                                     "-analyzeduration", "12000000", "-i", url, "-frames:v", "1", "-vf", crop, "-f",
                                     "rawvideo", "-pix_fmt", "rgb24", out},
                                    30, log);
        pixel = code == 0 ? ReadFile(out) : std::string();
        *log += "\nexit code " + std::to_string(code) + "\n";
    }
    if (pixel.size() != 3)
        return {-1, -1, -1};
    return {static_cast<unsigned char>(pixel[0]), static_cast<unsigned char>(pixel[1]),
            static_cast<unsigned char>(pixel[2])};
}

class WizardImportEndToEnd : public ::testing::Test {
protected:
    void SetUp() override
    {
        const char* shots = std::getenv("CAMRELAY_SCREENSHOT_DIR");
        if (std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) == "Screenshots" &&
            (!shots || !*shots))
            GTEST_SKIP() << "set CAMRELAY_SCREENSHOT_DIR to save the screenshots";
        ASSERT_TRUE(m_app.Valid());
        ASSERT_EQ(0, ::symlink("/usr/bin/ffmpeg", m_app.File("ffmpeg").c_str()));
        ASSERT_TRUE(m_nginx.Start()) << m_nginx.ErrorLog();
        ASSERT_TRUE(m_publisher.Start(m_nginx.Url("src")));
        ASSERT_TRUE(ProbeUntilVideo(m_nginx.Url("src")).ok) << "the test source never arrived";
        Prompt::SetMessageHook([this](const QString& text) { m_messages.push_back(text.toStdString()); });
    }
    void TearDown() override
    {
        wizardtest::CloseAllDialogs();
        m_dlg.reset();  // stops every child before the servers go
        Prompt::ResetHooks();
    }

    CRelayDlg& Open(const std::string& body = "")
    {
        if (!body.empty())
            WriteFile(m_app.File("config.ini"), "[SET DEFAULT VALUE]\n" + body);
        m_dlg = std::make_unique<CRelayDlg>(m_app.Path(), true);
        m_dlg->show();
        return *m_dlg;
    }

    bool WaitBitrate(int row, int timeoutMs = 20000)
    {
        return WaitFor([&] {
            const QString text = m_dlg->CellText(row, 1);
            return text.endsWith("kbps") && text.chopped(4).toInt() > 0;
        }, timeoutMs);
    }

    // Imports a re-encoding channel with a watermark at the bottom right, 10 pixels in, through
    // the pages. The hooks see each page filled in, just before it is left.
    void ImportWatermarked(const QString& name, const std::string& publish, const std::string& png,
                           std::function<void(QWidget&)> sourceFilled = {},
                           std::function<void(QWidget&)> encodingFilled = {})
    {
        Prompt::QueueOpenFileAnswer(QString::fromStdString(png));
        WizardDriver driver({[&](CMyNewDlg& page) {
                                 TypeInto(&page, "1001", name);
                                 TypeInto(&page, "1002", QString::fromStdString(m_nginx.Url("src")));
                                 TypeInto(&page, "1003", QString::fromStdString(publish));
                                 if (sourceFilled)
                                     sourceFilled(page);
                             },
                             [&](CMyChildDlg& page) {
                                 Click(&page, "1026");
                                 Choose(Get<QComboBox>(&page, "1033"), 2);  // 640x360
                                 Choose(Get<QComboBox>(&page, "1037"), 1);  // main
                                 Click(&page, "1022");
                                 Choose(Get<QComboBox>(&page, "1008"), 4);  // 右下
                                 TypeInto(&page, "1011", "-10");
                                 TypeInto(&page, "1020", "-10");
                                 if (encodingFilled)
                                     encodingFilled(page);
                             }});
        Click(m_dlg.get(), "1000");
    }

    TempDir m_app{"camrelay-wizard-e2e"};
    NginxRtmp m_nginx;
    TestPublisher m_publisher;
    std::unique_ptr<CRelayDlg> m_dlg;
    std::vector<std::string> m_messages;
};

}  // namespace

TEST_F(WizardImportEndToEnd, ImportedWatermarkedChannelRelays)
{
    const std::string png = MakeTestPng(m_app.Path(), "水印 logo.png");
    ASSERT_FALSE(png.empty());
    CRelayDlg& dlg = Open();
    const std::string out = m_nginx.Url("park");
    ImportWatermarked("停车场", out, png);

    ASSERT_EQ(1, dlg.m_list->rowCount());
    EXPECT_EQ(QStringLiteral("是"), dlg.CellText(0, 3));
    EXPECT_EQ(QStringLiteral("640*360"), dlg.CellText(0, 4));
    EXPECT_EQ("main_w-overlay_w+-10:main_h-overlay_h+-10", ConfigStore(m_app.Path()).GetValue("0+StrPucSeatPos"));
    EXPECT_EQ(png, ConfigStore(m_app.Path()).GetValue("0+strFilePath"));
    EXPECT_TRUE(m_messages.empty()) << m_messages.front();
    ASSERT_EQ(1u, dlg.m_engine.m_workers.count(0)) << dlg.CellText(0, 1).toStdString();

    const StreamInfo info = ProbeUntilVideo(out);
    EXPECT_EQ("h264", info.videoCodec) << info.output << "\n" << dlg.RowDetails(0).toStdString();
    EXPECT_EQ(640, info.width);
    EXPECT_EQ(360, info.height);
    EXPECT_EQ("Main", info.profile);
    EXPECT_EQ("aac", info.audioCodec);
    EXPECT_TRUE(WaitBitrate(0)) << dlg.CellText(0, 1).toStdString();
    EXPECT_TRUE(QRegularExpression("^[0-9]+kbps$").match(dlg.CellText(0, 1)).hasMatch());

    // The 64x32 red image sits 10 pixels in from the bottom right corner: x 566..629, y 318..349.
    std::string log;
    const auto inside = MeanColour(out, m_app.Path(), 576, 324, 44, 20, &log);
    EXPECT_GT(inside[0], 140) << inside[0] << "," << inside[1] << "," << inside[2] << " " << log;
    EXPECT_LT(inside[1], 120);
    EXPECT_LT(inside[2], 120);

    // The same child has been relaying all along: a bad watermark would have ended it.
    EXPECT_EQ(1u, dlg.m_engine.m_workers.count(0));
    EXPECT_NE('Z', ProcessState(dlg.m_engine.m_workers.at(0).m_hProcess));
    EXPECT_EQ(0, dlg.m_engine.m_failCounts[0]);
}

// Regenerates docs/screenshots when CAMRELAY_SCREENSHOT_DIR names a folder (scripts/screenshots.sh).
TEST_F(WizardImportEndToEnd, Screenshots)
{
    const QString dir = QString::fromLocal8Bit(std::getenv("CAMRELAY_SCREENSHOT_DIR"));
    auto save = [&](const QPixmap& shot, const char* name) {
        EXPECT_TRUE(shot.save(dir + "/" + name)) << name;
    };

    // A port nobody listens on: the "后门" relay fails with "Connection refused".
    const int closed = FreeTcpPort();
    const std::string src = m_nginx.Url("src");
    auto channel = [&](int id, const std::string& name, const std::string& publish, const std::string& extra) {
        const std::string p = std::to_string(id) + "+";
        return p + "Name=" + name + "\n" + p + "SignalName=" + src + "\n" + p + "Adress=" + publish + "\n" + p +
               "checkstate=1\n" + p + "checkstate3=1\n" + p + "checkstate4=1\n" + p + "AdChannel=2\n" + p +
               "AdSmpLinGrate=44100\n" + p + "AdBitRate=64\n" + p + "VdWidth=640\n" + p + "VdHeight=360\n" + extra;
    };
    CRelayDlg& dlg = Open(
        "nextId=3\n" + channel(0, "大门", m_nginx.Url("gate"), "0+strAVState=运行中\n0+VdTransCode=否\n") +
        channel(1, "仓库", m_nginx.Url("store"), "1+strAVState=暂停中\n1+VdTransCode=否\n") +
        channel(2, "后门", "rtmp://127.0.0.1:" + std::to_string(closed) + "/live/back",
                "2+checkstate1=1\n2+VdBitRate=500\n2+VdRameRate=25\n2+VdProFile=main\n2+strAVState=运行中\n"
                "2+VdTransCode=是\n"));
    dlg.resize(740, 420);
    dlg.OnChannelCommand(ID_CHANNEL_RUN, 0);
    dlg.OnChannelCommand(ID_CHANNEL_RUN, 2);

    const std::string png = MakeTestPng(m_app.Path(), "logo.png");
    ImportWatermarked("停车场", m_nginx.Url("park"), png,
                      [&](QWidget& page) { save(page.grab(), "wizard-source.png"); },
                      [&](QWidget& page) { save(page.grab(), "wizard-encoding.png"); });
    ASSERT_EQ(4, dlg.m_list->rowCount());

    // Two noticed failures of the refused relay, then live bitrates on the others.
    for (int failure = 0; failure < 2; ++failure) {
        ASSERT_TRUE(WaitFor([&] {
            auto w = dlg.m_engine.m_workers.find(2);
            return w != dlg.m_engine.m_workers.end() && ProcessState(w->second.m_hProcess) == 'Z';
        }, 15000));
        dlg.OnTimer(ID_SUPERVISE_TIMER);
        dlg.OnTimer(ID_SUPERVISE_TIMER);
    }
    ASSERT_TRUE(WaitBitrate(0));
    ASSERT_TRUE(WaitBitrate(3));
    QTest::qWait(3000);  // a few readings later, the figures have settled
    save(dlg.grab(), "main.png");

    // The details of the failing row, opened by a double-click, below the rows of the window.
    dlg.resize(740, 620);
    QCoreApplication::processEvents();
    const QRect cell = dlg.m_list->visualItemRect(dlg.m_list->item(2, 0));
    const int rowsBottom =
        dlg.m_list->viewport()->mapTo(&dlg, dlg.m_list->visualItemRect(dlg.m_list->item(3, 0)).bottomLeft()).y();
    QPixmap composed;
    QTimer::singleShot(0, [&] {
        QDialog* box = nullptr;
        if (!WaitFor([&] { return (box = qobject_cast<QDialog*>(QApplication::activeModalWidget())) != nullptr; })) {
            ADD_FAILURE() << "the details dialog did not open";
            return;
        }
        auto* text = box->findChild<QPlainTextEdit*>("details");
        EXPECT_TRUE(text && text->toPlainText().contains("Connection refused"));
        composed = dlg.grab();
        const QPixmap inner = box->grab();
        QPainter painter(&composed);
        painter.fillRect(composed.rect(), QColor(0, 0, 0, 60));
        const int titleHeight = 26;
        const QRect frame((composed.width() - inner.width()) / 2, rowsBottom + 20 + titleHeight, inner.width(),
                          inner.height());
        const QRect title(frame.left(), frame.top() - titleHeight, frame.width(), titleHeight);
        painter.fillRect(title, QColor(0xDD, 0xDD, 0xE4));
        painter.setPen(Qt::black);
        painter.drawText(title.adjusted(10, 0, 0, 0), Qt::AlignVCenter | Qt::AlignLeft, box->windowTitle());
        painter.drawPixmap(frame.topLeft(), inner);
        painter.setPen(QColor(0x80, 0x80, 0x88));
        painter.drawRect(frame.united(title).adjusted(0, 0, -1, -1));
        painter.end();
        box->reject();
    });
    QTest::mouseClick(dlg.m_list->viewport(), Qt::LeftButton, {}, cell.center());
    QTest::mouseDClick(dlg.m_list->viewport(), Qt::LeftButton, {}, cell.center());
    ASSERT_FALSE(composed.isNull());
    save(composed, "failure-tooltip.png");
}
