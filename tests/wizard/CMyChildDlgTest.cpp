// The encoding page and its watermark group: defaults and stored values, the enable rule of
// 1026, the size box, placement expressions and the checks of "完成".
#include "WizardTestKit.h"
#include "wizard/CMyChildDlg.h"

#include <QCheckBox>
#include <QFileDialog>
#include <QPushButton>
#include <QRegularExpression>

using namespace wizardtest;

const QStringList kVideoEncoding = {"1031", "1032", "1033", "1035", "1036", "1037", "1040", "1041", "1007"};
constexpr int kStillOpen = 2;  // what Run returns when "完成" left the page open

class EncodingPageTest : public WizardTest {
protected:
    // Opens the page for channel id and runs steps inside it, then presses "完成".
    int Run(CMyChildDlg& page, int id, const std::function<void()>& steps)
    {
        page.SetChannel(id, m_dir.Path());
        WhenModal(&page, [&] {
            steps();
            QTest::mouseClick(Get<QPushButton>(&page, "1024"), Qt::LeftButton);
            if (page.isVisible())
                page.done(kStillOpen);
        });
        return page.exec();
    }
    // Clicks 1026 three times. Box and video encoding controls must toggle together from the
    // opening on; every other control with an id stays enabled.
    static void ToggleReencode(CMyChildDlg& page)
    {
        for (int click = 0; click < 3; ++click) {
            SCOPED_TRACE(click);
            const bool on = Get<QCheckBox>(&page, "1026")->isChecked();
            for (QWidget* w : page.findChildren<QWidget*>(QRegularExpression("^10\\d\\d$")))
                EXPECT_EQ(w->isEnabled(), on || !kVideoEncoding.contains(w->objectName())) << qPrintable(w->objectName());
            QTest::mouseClick(Get<QCheckBox>(&page, "1026"), Qt::LeftButton);
        }
    }
};

// A new channel collects the defaults (an old record under its id must not leak in), whatever
// 1026 and the size box went through.
TEST_F(EncodingPageTest, NewChannelDefaultsToggleAndSizeBox)
{
    WriteConfig("0+checkstate1=1\n0+VdBitRate=999\n0+strPucSeat=右下\n");
    CMyChildDlg page(true);
    ASSERT_EQ(Run(page, 0, [&] {
                  ToggleReencode(page);
                  // Choosing a size writes the two fields; typing in the box or the fields does not.
                  for (const auto& [index, size] : {std::pair{2, "640x360"}, {1, "480x360"}, {0, "320x240"}}) {
                      Choose(Get<QComboBox>(&page, "1033"), index);
                      EXPECT_EQ((Get<QLineEdit>(&page, "1035")->text() + "x" + Get<QLineEdit>(&page, "1036")->text())
                                    .toStdString(), size);
                  }
                  Type(Get<QLineEdit>(&page, "1035"), "1024");
                  QComboBox* size = Get<QComboBox>(&page, "1033");
                  size->lineEdit()->clear();
                  QTest::keyClicks(size, "640x360");  // an item's text and Enter are not a choice
                  QTest::keyClick(size, Qt::Key_Return);
                  EXPECT_EQ(Get<QLineEdit>(&page, "1036")->text(), "240");
                  Type(Get<QComboBox>(&page, "1033")->lineEdit(), "800x600");
              }),
              QDialog::Accepted);
    const ChannelSettings v = page.Values();
    EXPECT_EQ(std::tie(v.VdBitRate, v.VdRameRate, v.VdWidth, v.VdHeight, v.AdChannel, v.AdSmpLinGrate, v.AdBitRate),
              std::make_tuple(300, 25, 1024, 240, 2, 44100, 32));
    EXPECT_EQ(v.VdProFile + "|" + v.strFilePath + "|" + v.strPucSeat + "|" + v.StrPucSeatPos, "high||左上|:");
    EXPECT_EQ(page.Checks(), (CheckStates{1, 1, 0, 1, 1}));
}

TEST_F(EncodingPageTest, StoredChannelOpensWithItsValues)
{
    WriteConfig("5+checkstate=1\n5+checkstate1=1\n5+checkstate3=true\n5+checkstate4=1\n5+VdBitRate=800\n"
                "5+VdRameRate=15\n5+VdWidth=1280\n5+VdHeight=720\n5+VdProFile=main\n5+AdChannel=1\n5+AdBitRate=64\n"
                "5+AdSmpLinGrate=48000\n5+strFilePath=/srv/标志 1.png\n5+strValue=-10\n5+strValue1=20\n"
                "5+strPucSeat=右下\n5+StrPucSeatPos=stale\n");
    CMyChildDlg page(false);
    ASSERT_EQ(Run(page, 5, [&] {
                  EXPECT_EQ(Get<QComboBox>(&page, "1008")->currentIndex(), 4);  // the stored position is selected
                  ToggleReencode(page);
              }),
              QDialog::Accepted);
    const ChannelSettings v = page.Values();
    EXPECT_EQ(std::tie(v.VdBitRate, v.VdRameRate, v.VdWidth, v.VdHeight, v.AdChannel, v.AdSmpLinGrate, v.AdBitRate),
              std::make_tuple(800, 15, 1280, 720, 1, 48000, 64));
    EXPECT_EQ(v.VdProFile + "|" + v.strFilePath + "|" + v.strPucSeat + "|" + v.StrPucSeatPos,
              "main|/srv/标志 1.png|右下|main_w-overlay_w+-10:main_h-overlay_h+20");
    EXPECT_EQ(page.Checks(), (CheckStates{1, 0, 0, 0, 1}));  // "true" is not "1"
}

// "完成" builds the placement from the chosen position and the offsets as they are then, and
// refuses a watermark path over 127 characters and texts that would break the transcoder's line.
TEST_F(EncodingPageTest, FinishBuildsThePlacementOrRefuses)
{
    struct Case { QString file, profile; int position; QString x, y; std::string message, placement = ""; };
    const QString path127 = "/" + QString(122, QChar(0x56FE)) + ".png";  // 127 characters, 371 bytes
    const std::string unsafeProfile = "Profle不能包含空格、引号或控制字符!";
    const Case cases[] = {
        {"", "high", 0, "%2", "1", "", "左上|%2:1"},  // offsets are inserted verbatim
        {"", "high", 1, "0", "0", "", "居中|main_w/2-overlay_w/2+0:main_h/2-overlay_h/2+0"},
        {"", "high", 2, "-10", "5", "", "右上|main_w-overlay_w+-10:5"},
        {"", "high", 3, "7", "-3", "", "左下|7:main_h-overlay_h+-3"},
        {path127, "main", 4, "10", "20", "", "右下|main_w-overlay_w+10:main_h-overlay_h+20"},
        {path127 + "x", "high", 0, "", "", "水印文件路径过长，最多127个字符!"},
        {"/a\nb.png", "high", 0, "", "", "水印文件路径不能包含控制字符!"},
        {"", "high main", 0, "", "", unsafeProfile},
        {"", "high", 0, "1 0", "", "水印微调值不能包含空格、引号或控制字符!"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.placement + c.message);
        CMyChildDlg page(true);
        m_messages.clear();
        const int result = Run(page, 0, [&] {
            Prompt::QueueOpenFileAnswer(c.file);
            QTest::mouseClick(Get<QPushButton>(&page, "1022"), Qt::LeftButton);  // fills the disabled field
            Get<QComboBox>(&page, "1037")->setEditText(c.profile);
            Type(Get<QLineEdit>(&page, "1011"), "99");
            Choose(Get<QComboBox>(&page, "1008"), c.position);
            Type(Get<QLineEdit>(&page, "1011"), c.x);  // changed after the choice: still counts
            Type(Get<QLineEdit>(&page, "1020"), c.y);
        });
        EXPECT_EQ(result, c.message.empty() ? QDialog::Accepted : kStillOpen);
        EXPECT_EQ(m_messages.join(" | ").toStdString(), c.message);
        if (c.message.empty()) {
            EXPECT_EQ(page.Values().strFilePath, c.file.toStdString());
            EXPECT_EQ(page.Values().strPucSeat + "|" + page.Values().StrPucSeatPos, c.placement);
        }
    }
}

// Qt's own texts are Chinese (the test main loads them as the program does), and in the
// watermark file dialog a name typed without an extension opens the ".png" file.
TEST_F(EncodingPageTest, QtTextsChineseAndFileDialogAddsPng)
{
    std::ofstream(m_dir.File("logo.png")) << "png";
    CMyChildDlg page(true);
    QStringList texts;
    QTimer::singleShot(8000, &page, [] { CloseAllDialogs(); });  // fail instead of hanging
    Run(page, 0, [&] {
        QTimer::singleShot(0, [&] {
            QFileDialog* dialog = nullptr;
            if (!QTest::qWaitFor([&] { return (dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget())); }))
                return;
            for (auto* button : dialog->findChildren<QPushButton*>())
                if (button->isVisible())
                    texts << button->text();
            dialog->setDirectory(QString::fromStdString(m_dir.Path()));
            QTest::keyClicks(dialog->findChild<QLineEdit*>("fileNameEdit"), "logo");
            QTest::keyClick(dialog->findChild<QLineEdit*>("fileNameEdit"), Qt::Key_Return);
        });
        QTest::mouseClick(Get<QPushButton>(&page, "1022"), Qt::LeftButton);
    });
    EXPECT_EQ(texts.join('|').toStdString(), "打开(&O)|取消");
    EXPECT_EQ(page.Values().strFilePath, m_dir.File("logo.png"));
}
