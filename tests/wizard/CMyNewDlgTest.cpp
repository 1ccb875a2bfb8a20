// The source page: opening values, the order of its checks, the hand-over to the encoding page.
#include "WizardTestKit.h"
#include "wizard/CMyNewDlg.h"

#include <QCheckBox>
#include <QLabel>
#include <QPushButton>

using namespace wizardtest;

namespace {
class SourcePageTest : public WizardTest {
protected:
    void Fill(CMyNewDlg& page, const QString& name, const QString& source, const QString& publish)
    {
        Type(Get<QLineEdit>(&page, "1001"), name);
        Type(Get<QLineEdit>(&page, "1002"), source);
        Type(Get<QLineEdit>(&page, "1003"), publish);
    }
    void Next(CMyNewDlg& page) { QTest::mouseClick(Get<QPushButton>(&page, "1006"), Qt::LeftButton); }
};
}  // namespace

TEST_F(SourcePageTest, NewChannelOpensEmptyAndStoredChannelOpensWithItsValues)
{
    WriteConfig({"3+Name=大门", "3+SignalName=rtsp://127.0.0.1:8554/test", "3+Adress=rtmp://127.0.0.1/live/a",
                 "3+StreamName=hidden-stream", "3+checkstate=1"});
    {
        CMyNewDlg page(true);
        page.SetChannel(4, AppDir());
        WhenModal(&page, [&] {
            EXPECT_EQ(page.windowTitle(), "导入信号");
            EXPECT_EQ(page.palette().color(QPalette::Window), QColor("#EDEDF5"));
            for (const char* id : {"1001", "1002", "1003", "1004"})
                EXPECT_TRUE(Get<QLineEdit>(&page, id)->text().isEmpty()) << id;
            EXPECT_FALSE(Get<QLineEdit>(&page, "1004")->isVisible());
            QStringList labels;
            for (QLabel* label : page.findChildren<QLabel*>())
                if (label->isVisible())
                    labels << label->text();
            for (const char* text : {"设置信号名字和地址", "名称：", "如：1", "信号源地址：",
                                     "如：rtsp://192.168.1.66/onvif/live/1", "发布地址："})
                EXPECT_TRUE(labels.contains(QString::fromUtf8(text))) << text;
            EXPECT_FALSE(labels.contains("发布流名称："));
            page.reject();
        });
        EXPECT_EQ(page.exec(), QDialog::Rejected);
    }
    CMyNewDlg page(false);
    page.SetChannel(3, AppDir());
    WhenModal(&page, [&] {
        EXPECT_EQ(Get<QLineEdit>(&page, "1001")->text(), "大门");
        EXPECT_EQ(Get<QLineEdit>(&page, "1002")->text(), "rtsp://127.0.0.1:8554/test");
        EXPECT_EQ(Get<QLineEdit>(&page, "1003")->text(), "rtmp://127.0.0.1/live/a");
        WhenModal(&page.m_child, [&] { QTest::mouseClick(Get<QPushButton>(&page.m_child, "1024"), Qt::LeftButton); });
        Next(page);
    });
    ASSERT_EQ(page.exec(), QDialog::Accepted);
    const ChannelSettings v = page.Values();
    EXPECT_EQ(v.Name, "大门");
    EXPECT_EQ(v.SignalName, "rtsp://127.0.0.1:8554/test");
    EXPECT_EQ(v.Adress, "rtmp://127.0.0.1/live/a");
    EXPECT_EQ(v.StreamName, "hidden-stream");  // invisible, handed on unchanged
    EXPECT_TRUE(m_messages.empty());
}

TEST_F(SourcePageTest, ChecksRunInOrderWithTheirMessages)
{
    struct Case {
        QString name, source, publish;
        QString message;  // empty: every check passes and the encoding page opens
    };
    const Case cases[] = {
        {"", "rtsp://a/1", "rtmp://b/live/1", "请输入名称!"},
        {"cam", "", "", "请输入正确的信号源地址!  很关键!!!"},
        {"cam", "RTSP://10.0.0.1/1", "rtmp://b/live/1", "请输入正确的信号源地址以rtmp:// 或 rtsp:// 或 http:// 开头的!!!"},
        {"cam", "rtsp:/", "rtmp://b/live/1", "请输入正确的信号源地址以rtmp:// 或 rtsp:// 或 http:// 开头的!!!"},
        {"cam", "ftp://a/1", "", "请输入正确的信号源地址以rtmp:// 或 rtsp:// 或 http:// 开头的!!!"},
        {"cam", "rtsp://a/1", "", "请输入正确的发布地址!  很关键!!!"},
        {"cam", "rtsp://a/b c", "", "请输入正确的发布地址!  很关键!!!"},  // the five checks come first
        {"cam", "http://a/1", "rtmps://b/live/1", "请输入正确的发布地址地址以rtmp:// 开头!!!"},
        {"cam", "rtmp://a/1", "RTMP://b/live/1", "请输入正确的发布地址地址以rtmp:// 开头!!!"},
        {"cam", "rtsp://a/b c", "rtmp://b/live/1", "信号源地址不能包含空格、引号或控制字符!"},
        {"cam", "rtsp://a/\"x", "rtmp://b/live/1", "信号源地址不能包含空格、引号或控制字符!"},
        {"cam", "rtsp://a/\tx", "rtmp://b/live/1", "信号源地址不能包含空格、引号或控制字符!"},
        {"cam", "rtsp://a/1", "rtmp://b/live/x y", "发布地址不能包含空格、引号或控制字符!"},
        {"cam", "rtsp://a/1", "rtmp://b/live/x\"", "发布地址不能包含空格、引号或控制字符!"},
        {"ca\nm", "rtsp://a/1", "rtmp://b/live/1", "名称不能包含控制字符!"},
        {" ", "rtsp://a/1", "rtmp://b/live/1", ""},
        {"一号 机", "http://a:80/x.flv", "rtmp://b/live/1", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name.toStdString() + " | " + c.source.toStdString() + " | " + c.publish.toStdString());
        CMyNewDlg page(true);
        page.SetChannel(0, AppDir());
        page.show();
        // Typed where the keyboard can produce it; tab and line break arrive by paste.
        for (auto [id, text] : {std::pair{"1001", c.name}, {"1002", c.source}, {"1003", c.publish}})
            text.contains('\t') || text.contains('\n') ? Get<QLineEdit>(&page, id)->setText(text)
                                                       : Type(Get<QLineEdit>(&page, id), text);
        bool encodingOpened = false;
        if (c.message.isEmpty())
            WhenModal(&page.m_child, [&] { encodingOpened = true; page.m_child.reject(); });
        m_messages.clear();
        Next(page);
        if (c.message.isEmpty()) {
            QTRY_VERIFY_WITH_TIMEOUT(encodingOpened, 20000);
            EXPECT_TRUE(m_messages.empty());
        } else {
            ASSERT_EQ(m_messages.size(), 1u);
            EXPECT_EQ(m_messages[0], c.message);
        }
        EXPECT_TRUE(page.isVisible());
        EXPECT_EQ(Get<QLineEdit>(&page, "1002")->text(), c.source);
        // The encoding page received the addresses before the checks ran.
        EXPECT_EQ(page.m_child.SignalName, c.source.toStdString());
        EXPECT_EQ(page.m_child.Adress, c.publish.toStdString());
    }
}

TEST_F(SourcePageTest, CancelledEncodingPageReturnsHereAndReopensFresh)
{
    CMyNewDlg page(true);
    page.SetChannel(7, AppDir());
    CMyChildDlg& child = page.m_child;
    auto finishSecondRun = [&] {
        EXPECT_EQ(Get<QLineEdit>(&child, "1031")->text(), "300");
        EXPECT_FALSE(Get<QCheckBox>(&child, "1027")->isChecked());
        EXPECT_TRUE(Get<QLineEdit>(&child, "1011")->text().isEmpty());
        EXPECT_FALSE(Get<QLineEdit>(&child, "1031")->isEnabled());
        QTest::mouseClick(Get<QPushButton>(&child, "1024"), Qt::LeftButton);
    };
    auto cancelFirstRun = [&] {
        QTest::mouseClick(Get<QCheckBox>(&child, "1026"), Qt::LeftButton);
        Type(Get<QLineEdit>(&child, "1031"), "999");
        QTest::mouseClick(Get<QCheckBox>(&child, "1027"), Qt::LeftButton);
        Type(Get<QLineEdit>(&child, "1011"), "12");
        QTest::keyClick(Get<QLineEdit>(&child, "1031"), Qt::Key_Return);  // Enter does not finish
        EXPECT_TRUE(child.isVisible());
        QTest::keyClick(&child, Qt::Key_Escape);
        EXPECT_FALSE(child.isVisible());
        // Back on the source page, nothing lost; the second press opens the page anew.
        WhenModal(&page, [&] {
            EXPECT_EQ(Get<QLineEdit>(&page, "1001")->text(), "北门");
            EXPECT_EQ(Get<QLineEdit>(&page, "1003")->text(), "rtmp://127.0.0.1/live/n");
            WhenModal(&child, finishSecondRun);
            Next(page);
        });
    };
    WhenModal(&page, [&] {
        Fill(page, "北门", "rtsp://127.0.0.1/n", "rtmp://127.0.0.1/live/n");
        WhenModal(&child, cancelFirstRun);
        Next(page);
    });
    ASSERT_EQ(page.exec(), QDialog::Accepted);
    EXPECT_EQ(page.Values().VdBitRate, 300);
    EXPECT_EQ(page.Checks(), (CheckStates{1, 0, 0, 1, 1}));
}

TEST_F(SourcePageTest, LongTextIsKeptWhole)
{
    const QString source = "rtsp://" + QString(252, 'a');  // 259 characters
    const QString name = QString(259, QChar(0x6444));      // 259 Chinese characters
    CMyNewDlg page(true);
    page.SetChannel(0, AppDir());
    WhenModal(&page, [&] {
        Fill(page, name, source, "rtmp://127.0.0.1/live/long");
        WhenModal(&page.m_child, [&] { QTest::mouseClick(Get<QPushButton>(&page.m_child, "1024"), Qt::LeftButton); });
        Next(page);
    });
    ASSERT_EQ(page.exec(), QDialog::Accepted);
    EXPECT_EQ(page.Values().SignalName, source.toStdString());
    EXPECT_EQ(page.Values().Name, name.toStdString());
}
