// The source page: the order of its checks, the hand-over to the encoding page and back.
#include "WizardTestKit.h"
#include "wizard/CMyNewDlg.h"

#include <QCheckBox>
#include <QPushButton>

using namespace wizardtest;

class SourcePageTest : public WizardTest {};

static void Press(QWidget* page, const char* id) { QTest::mouseClick(Get<QPushButton>(page, id), Qt::LeftButton); }

TEST_F(SourcePageTest, ChecksRunInOrderWithTheirMessages)
{
    const QString cases[][4] = {  // name, source, publish, message (none: the encoding page opens)
        {"", "rtsp://a/1", "rtmp://b/1", "请输入名称!"},
        {"cam", "", "", "请输入正确的信号源地址!  很关键!!!"},
        {"cam", "RTSP://a/1", "", "请输入正确的信号源地址以rtmp:// 或 rtsp:// 或 http:// 开头的!!!"},
        {"cam", "rtsp://a/b c", "", "请输入正确的发布地址!  很关键!!!"},
        {"cam", "http://a/1", "rtmps://b/1", "请输入正确的发布地址地址以rtmp:// 开头!!!"},
        {"cam", "rtsp://a/b c", "rtmp://b/1", "信号源地址不能包含空格、引号或控制字符!"},
        {"cam", "rtsp://a/1", "rtmp://b/x y", "发布地址不能包含空格、引号或控制字符!"},
        {"ca\nm", "rtsp://a/1", "rtmp://b/1", "名称不能包含控制字符!"},
        {"一号 机", "http://a:80/x.flv", "rtmp://b/1", ""},
    };
    CMyNewDlg page(true);
    page.SetChannel(0, m_dir.Path());
    page.show();
    for (const auto& c : cases) {
        SCOPED_TRACE((c[0] + " | " + c[1] + " | " + c[2]).toStdString());
        for (int i = 0; i < 3; ++i)
            Get<QLineEdit>(&page, i == 0 ? "1001" : i == 1 ? "1002" : "1003")->setText(c[i]);
        // An encoding page that opens is noted and closed, expected or not; owner ends the wait.
        bool encodingOpened = false;
        QObject owner;
        WhenModalPage<CMyChildDlg>([&](CMyChildDlg& child) { encodingOpened = true, child.reject(); }, &page.m_child, &owner);
        m_messages.clear();
        Press(&page, "1006");
        EXPECT_EQ(m_messages.join(" | ").toStdString(), c[3].toStdString());
        EXPECT_EQ(encodingOpened, c[3].isEmpty());
        EXPECT_TRUE(page.isVisible());  // nothing typed is lost
    }
}

// Escape on the encoding page returns here with nothing lost; the next "下一步" opens it afresh.
// Fields of 259 characters (all config.ini gives back) are kept whole.
TEST_F(SourcePageTest, CancelledEncodingPageReturnsHereAndReopensFresh)
{
    const QString name(259, QChar(0x6444)), source = "rtsp://" + QString(252, 'a');
    CMyNewDlg page(true);
    page.SetChannel(7, m_dir.Path());
    CMyChildDlg& child = page.m_child;
    auto secondRun = [&] {
        EXPECT_EQ(Get<QLineEdit>(&child, "1031")->text().toStdString(), "300");
        EXPECT_FALSE(Get<QLineEdit>(&child, "1031")->isEnabled());
        Press(&child, "1024");
    };
    auto firstRun = [&] {
        QTest::mouseClick(Get<QCheckBox>(&child, "1026"), Qt::LeftButton);
        Type(Get<QLineEdit>(&child, "1031"), "999");
        QTest::keyClick(Get<QLineEdit>(&child, "1031"), Qt::Key_Return);  // Enter does not finish
        EXPECT_TRUE(child.isVisible());
        QTest::keyClick(&child, Qt::Key_Escape);
        WhenModal(&page, [&] {
            EXPECT_EQ(Get<QLineEdit>(&page, "1001")->text().toStdString(), name.toStdString());
            WhenModal(&child, secondRun);
            Press(&page, "1006");
        });
    };
    WhenModal(&page, [&] {
        Type(Get<QLineEdit>(&page, "1001"), name);
        Type(Get<QLineEdit>(&page, "1002"), source);
        Type(Get<QLineEdit>(&page, "1003"), "rtmp://127.0.0.1/live/n");
        WhenModal(&child, firstRun);
        Press(&page, "1006");
    });
    ASSERT_EQ(page.exec(), QDialog::Accepted);
    EXPECT_EQ(page.Values().Name, name.toStdString());
    EXPECT_EQ(page.Values().SignalName + " " + std::to_string(page.Values().VdBitRate), source.toStdString() + " 300");
    EXPECT_EQ(page.Checks(), (CheckStates{1, 0, 0, 1, 1}));
}
