// The encoding page and its watermark group: opening values, enable rule, size box,
// placement expressions, offset spinners, file choice and the checks of "完成".
#include "WizardTestKit.h"
#include "wizard/CMyChildDlg.h"
#include "wizard/UpDownButton.h"

#include <QCheckBox>
#include <QLabel>
#include <QPushButton>
#include <QToolButton>

using namespace wizardtest;

namespace {
const char* const kVideoEncoding[] = {"1031", "1032", "1033", "1035", "1036", "1037", "1040", "1041", "1007"};
const char* const kNeverDisabled[] = {"1025", "1026", "1027", "1028", "1029", "1030", "1043", "1044",
                                      "1045", "1046", "1008", "1011", "1013", "1020", "1021", "1022", "1024"};

class EncodingPageTest : public WizardTest {
protected:
    // Runs the page for a channel, calls steps inside it; the steps end the page.
    int Run(CMyChildDlg& page, int id, std::function<void()> steps)
    {
        page.SetChannel(id, AppDir());
        WhenModal(&page, std::move(steps));
        return page.exec();
    }
    void Finish(CMyChildDlg& page) { QTest::mouseClick(Get<QPushButton>(&page, "1024"), Qt::LeftButton); }
    static QString Text(QWidget* page, const char* id)
    {
        if (auto* box = page->findChild<QComboBox*>(id))
            return box->currentText();
        return Get<QLineEdit>(page, id)->text();
    }
};
}  // namespace

TEST_F(EncodingPageTest, NewChannelOpensWithEveryDefault)
{
    // An old record under the id must not leak into a new channel's page.
    WriteConfig({"0+checkstate1=1", "0+VdBitRate=999", "0+strPucSeat=右下"});
    struct Combo {
        const char* id;
        QStringList items;
        QString text;
    };
    const Combo combos[] = {
        {"1030", {"0"}, "0"},
        {"1032", {"20", "25", "30"}, "25"},
        {"1033", {"320x240", "480x360", "640x360"}, "320x240"},
        {"1037", {"high", "main", "baseline"}, "high"},
        {"1043", {"0"}, "0"},
        {"1044", {"1", "2"}, "2"},
        {"1045", {"22050", "44100", "48000"}, "44100"},
        {"1046", {"16", "32", "64", "96", "128"}, "32"},
        {"1008", {"左上", "居中", "右上", "左下", "右下"}, "左上"},
    };
    const std::pair<const char*, QString> edits[] = {{"1031", "300"}, {"1035", "320"}, {"1036", "240"},
                                                     {"1040", "0"},   {"1041", "100"}, {"1007", ""},
                                                     {"1011", ""},    {"1020", ""}};
    CMyChildDlg page(true);
    const int result = Run(page, 0, [&] {
        EXPECT_EQ(page.windowTitle(), "导入信号");
        EXPECT_EQ(page.palette().color(QPalette::Window), QColor("#EDEDF5"));
        for (const Combo& c : combos) {
            auto* box = Get<QComboBox>(&page, c.id);
            QStringList items;
            for (int i = 0; i < box->count(); ++i)
                items << box->itemText(i);
            EXPECT_EQ(items, c.items) << c.id;
            EXPECT_EQ(box->currentIndex(), 0) << c.id;
            EXPECT_EQ(box->currentText(), c.text) << c.id;
            EXPECT_TRUE(box->isEditable()) << c.id;
        }
        for (const auto& [id, text] : edits)
            EXPECT_EQ(Get<QLineEdit>(&page, id)->text(), text) << id;
        const std::pair<const char*, bool> checks[] = {{"1025", true}, {"1026", false}, {"1027", false},
                                                       {"1028", true}, {"1029", true}};
        for (const auto& [id, on] : checks)
            EXPECT_EQ(Get<QCheckBox>(&page, id)->isChecked(), on) << id;
        for (const char* id : kVideoEncoding)
            EXPECT_FALSE(page.findChild<QWidget*>(id)->isEnabled()) << id;
        for (const char* id : kNeverDisabled)
            EXPECT_TRUE(page.findChild<QWidget*>(id)->isEnabled()) << id;
        for (const char* id : {"1023", "1038", "1048"})
            EXPECT_FALSE(page.findChild<QWidget*>(id)->isVisible()) << id;
        QStringList labels;
        for (QLabel* label : page.findChildren<QLabel*>())
            labels << label->text();
        for (const char* text : {"设置编码参数", "Profle：", "G0P：", "视频尺寸：", "Kbps (0为不限制)", "采样率：",
                                 "Hz", "水印文件：", "水印位置和微调："})
            EXPECT_TRUE(labels.contains(QString::fromUtf8(text))) << text;
        Finish(page);
    });
    ASSERT_EQ(result, QDialog::Accepted);
    const ChannelSettings v = page.Values();
    EXPECT_EQ(std::tie(v.VdBitRate, v.VdRameRate, v.VdWidth, v.VdHeight, v.AdChannel, v.AdSmpLinGrate, v.AdBitRate),
              std::make_tuple(300, 25, 320, 240, 2, 44100, 32));
    EXPECT_EQ(v.VdProFile, "high");
    EXPECT_EQ(v.strFilePath, "");
    EXPECT_EQ(v.strPucSeat, "左上");
    EXPECT_EQ(v.StrPucSeatPos, ":");
    EXPECT_EQ(page.Checks(), (CheckStates{1, 0, 0, 1, 1}));
}

TEST_F(EncodingPageTest, ExistingChannelOpensWithStoredValues)
{
    WriteConfig({"5+checkstate=1", "5+checkstate1=1", "5+checkstate2=0", "5+checkstate3=true", "5+checkstate4=1",
                 "5+VdBitRate=800", "5+VdRameRate=15", "5+VdWidth=1280", "5+VdHeight=720", "5+VdProFile=main",
                 "5+AdChannel=1", "5+AdSmpLinGrate=48000", "5+AdBitRate=64", "5+strFilePath=/srv/标志 1.png",
                 "5+strValue=-10", "5+strValue1=20", "5+strPucSeat=右下", "5+StrPucSeatPos=stale",
                 "6+Name=bare", "6+strPucSeat=中间"});
    CMyChildDlg page(false);
    ASSERT_EQ(Run(page, 5, [&] {
                  EXPECT_TRUE(Get<QLineEdit>(&page, "1031")->isEnabled());  // 1026 stored "1"
                  EXPECT_EQ(Get<QComboBox>(&page, "1033")->currentIndex(), 0);
                  EXPECT_EQ(Text(&page, "1033"), "320x240");
                  EXPECT_EQ(Get<QComboBox>(&page, "1032")->currentIndex(), 0);
                  EXPECT_EQ(Get<QComboBox>(&page, "1008")->currentIndex(), 4);
                  EXPECT_EQ(Text(&page, "1007"), "/srv/标志 1.png");
                  Finish(page);
              }),
              QDialog::Accepted);
    ChannelSettings v = page.Values();
    EXPECT_EQ(std::tie(v.VdBitRate, v.VdRameRate, v.VdWidth, v.VdHeight, v.AdChannel, v.AdSmpLinGrate, v.AdBitRate),
              std::make_tuple(800, 15, 1280, 720, 1, 48000, 64));
    EXPECT_EQ(v.VdProFile, "main");
    EXPECT_EQ(v.strFilePath, "/srv/标志 1.png");
    EXPECT_EQ(v.strPucSeat, "右下");
    EXPECT_EQ(v.StrPucSeatPos, "main_w-overlay_w+-10:main_h-overlay_h+20");
    EXPECT_EQ(std::tie(v.strValue, v.strValue1), std::make_tuple(std::string("-10"), std::string("20")));
    EXPECT_EQ(page.Checks(), (CheckStates{1, 1, 0, 0, 1}));  // "true" is not "1"

    // Missing keys leave fields empty; an unknown position word shows as typed, first item selected.
    CMyChildDlg bare(false);
    ASSERT_EQ(Run(bare, 6, [&] {
                  EXPECT_EQ(Text(&bare, "1031"), "");
                  EXPECT_EQ(Text(&bare, "1008"), "中间");
                  EXPECT_FALSE(Get<QLineEdit>(&bare, "1031")->isEnabled());
                  Finish(bare);
              }),
              QDialog::Accepted);
    v = bare.Values();
    EXPECT_EQ(std::tie(v.VdBitRate, v.VdWidth, v.AdChannel), std::make_tuple(0, 0, 0));
    EXPECT_EQ(v.strPucSeat, "中间");
    EXPECT_EQ(v.StrPucSeatPos, ":");
    EXPECT_EQ(bare.Checks(), (CheckStates{0, 0, 0, 0, 0}));
}

TEST_F(EncodingPageTest, VideoReencodeTogglesExactlyTheVideoEncodingControls)
{
    WriteConfig({"2+checkstate1=1"});
    for (const bool isNew : {true, false}) {
        SCOPED_TRACE(isNew ? "new channel" : "stored re-encode");
        CMyChildDlg page(isNew);
        Run(page, 2, [&] {
            auto* reencode = Get<QCheckBox>(&page, "1026");
            for (int click = 0; click < 3; ++click) {
                // Checked and enabled go together from the opening on.
                for (const char* id : kVideoEncoding)
                    EXPECT_EQ(page.findChild<QWidget*>(id)->isEnabled(), reencode->isChecked()) << id << click;
                for (const char* id : kNeverDisabled)
                    EXPECT_TRUE(page.findChild<QWidget*>(id)->isEnabled()) << id << click;
                QTest::mouseClick(reencode, Qt::LeftButton);
            }
            page.reject();
        });
    }
}

TEST_F(EncodingPageTest, SizeBoxWritesOnlyWhenAnItemIsChosen)
{
    CMyChildDlg page(false);
    Run(page, 1, [&] {
        QTest::mouseClick(Get<QCheckBox>(&page, "1026"), Qt::LeftButton);
        auto* size = Get<QComboBox>(&page, "1033");
        const std::tuple<int, QString, QString> choices[] = {{2, "640", "360"}, {1, "480", "360"}, {0, "320", "240"}};
        for (const auto& [index, width, height] : choices) {
            Choose(size, index);
            EXPECT_EQ(Text(&page, "1035"), width);
            EXPECT_EQ(Text(&page, "1036"), height);
        }
        Type(Get<QLineEdit>(&page, "1035"), "1024");
        Type(size->lineEdit(), "800x600");
        EXPECT_EQ(Text(&page, "1035"), "1024");
        EXPECT_EQ(Text(&page, "1036"), "240");
        Type(Get<QComboBox>(&page, "1032")->lineEdit(), "1x5");
        Finish(page);
    });
    EXPECT_EQ(page.Values().VdWidth, 1024);
    EXPECT_EQ(page.Values().VdRameRate, 1);  // leading digits only
}

TEST_F(EncodingPageTest, PlacementExpressionUsesOffsetsAtFinish)
{
    struct Case {
        int index;
        QString x, y;
        std::string seat, expression;
    };
    const Case cases[] = {
        {0, "", "", "左上", ":"},
        {1, "0", "0", "居中", "main_w/2-overlay_w/2+0:main_h/2-overlay_h/2+0"},
        {2, "-10", "5", "右上", "main_w-overlay_w+-10:5"},
        {3, "7", "-3", "左下", "7:main_h-overlay_h+-3"},
        {4, "10", "20", "右下", "main_w-overlay_w+10:main_h-overlay_h+20"},
        {0, "%2", "1", "左上", "%2:1"},  // offsets are inserted verbatim
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.expression);
        CMyChildDlg page(true);
        Run(page, 0, [&] {
            Type(Get<QLineEdit>(&page, "1011"), "99");
            Choose(Get<QComboBox>(&page, "1008"), c.index);
            // Offsets changed after the position was chosen still count.
            Type(Get<QLineEdit>(&page, "1011"), c.x);
            Type(Get<QLineEdit>(&page, "1020"), c.y);
            Finish(page);
        });
        const ChannelSettings v = page.Values();
        EXPECT_EQ(v.StrPucSeatPos, c.expression);
        EXPECT_EQ(v.strPucSeat, c.seat);
        EXPECT_EQ(v.strValue, c.x.toStdString());
        EXPECT_EQ(v.strValue1, c.y.toStdString());
    }
}

TEST_F(EncodingPageTest, OffsetSpinnersStepWithinRange)
{
    struct Case {
        const char* edit;
        const char* spin;
        QString start;
        int steps;  // positive: up, negative: down, one step at a time
        QString expected;
    };
    const Case cases[] = {
        {"1011", "1013", "", 1, "1"},        {"1011", "1013", "", -1, "-1"},
        {"1011", "1013", "198", 5, "200"},   {"1020", "1021", "-199", -3, "-200"},
        {"1020", "1021", "abc", 2, "2"},     {"1020", "1021", "12px", -2, "10"},
        {"1011", "1013", "500", -1, "200"},  {"1020", "1021", "-5", 10, "5"},
    };
    CMyChildDlg page(true);
    Run(page, 0, [&] {
        for (const Case& c : cases) {
            auto* edit = Get<QLineEdit>(&page, c.edit);
            auto* spin = Get<UpDownButton>(&page, c.spin);
            Type(edit, c.start);
            for (int i = 0; i < std::abs(c.steps); ++i)
                spin->StepBy(c.steps > 0 ? 1 : -1);
            EXPECT_EQ(edit->text(), c.expected) << c.edit << " from '" << c.start.toStdString() << "'";
        }
        // The arrow buttons and the arrow keys in the field step the same way.
        Type(Get<QLineEdit>(&page, "1011"), "5");
        QTest::mouseClick(Get<UpDownButton>(&page, "1013")->findChildren<QToolButton*>().at(0), Qt::LeftButton);
        QTest::keyClick(Get<QLineEdit>(&page, "1020"), Qt::Key_Down);
        Choose(Get<QComboBox>(&page, "1008"), 4);
        Finish(page);
    });
    EXPECT_EQ(page.Values().StrPucSeatPos, "main_w-overlay_w+6:main_h-overlay_h+4");
}

TEST_F(EncodingPageTest, ChosenFileFillsTheDisabledField)
{
    const QString path = "/srv/水印 dir/logo.png";
    CMyChildDlg page(true);
    Run(page, 0, [&] {
        auto* field = Get<QLineEdit>(&page, "1007");
        EXPECT_FALSE(field->isEnabled());
        Prompt::QueueOpenFileAnswer(path);
        QTest::mouseClick(Get<QPushButton>(&page, "1022"), Qt::LeftButton);
        EXPECT_EQ(field->text(), path);
        Prompt::QueueOpenFileAnswer("");  // cancelled: nothing changes
        QTest::mouseClick(Get<QPushButton>(&page, "1022"), Qt::LeftButton);
        EXPECT_EQ(field->text(), path);
        Finish(page);
    });
    EXPECT_EQ(page.Values().strFilePath, path.toStdString());
}

TEST_F(EncodingPageTest, FinishRefusesValuesThatWouldBreakTheLineOrTheFile)
{
    struct Case {
        QString path, profile, x, y;
        QString message;  // empty: accepted
    };
    const QString ok127 = "/" + QString(122, 'p') + ".png";
    const QString wide127 = "/" + QString(122, QChar(0x56FE)) + ".png";  // 127 characters, 371 bytes
    const Case cases[] = {
        {ok127, "high", "1", "2", ""},
        {wide127, "main", "", "", ""},
        {ok127 + "x", "high", "", "", "水印文件路径过长，最多127个字符!"},
        {"/a\nb.png", "high", "", "", "水印文件路径不能包含控制字符!"},
        {"", "high main", "", "", "Profle不能包含空格、引号或控制字符!"},
        {"", "ma\"in", "", "", "Profle不能包含空格、引号或控制字符!"},
        {"", "high", "1 0", "", "水印微调值不能包含空格、引号或控制字符!"},
        {"", "high", "", "\"5", "水印微调值不能包含空格、引号或控制字符!"},
        {"", "high", "\t", "", "水印微调值不能包含空格、引号或控制字符!"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message.toStdString() + " / " + c.profile.toStdString());
        CMyChildDlg page(true);
        m_messages.clear();
        const int result = Run(page, 0, [&] {
            Prompt::QueueOpenFileAnswer(c.path);
            QTest::mouseClick(Get<QPushButton>(&page, "1022"), Qt::LeftButton);
            Get<QComboBox>(&page, "1037")->setEditText(c.profile);
            Get<QLineEdit>(&page, "1011")->setText(c.x);
            Get<QLineEdit>(&page, "1020")->setText(c.y);
            Finish(page);
            if (!c.message.isEmpty()) {
                EXPECT_TRUE(page.isVisible());  // refused: the page stays open
                page.reject();
            }
        });
        if (c.message.isEmpty()) {
            EXPECT_EQ(result, QDialog::Accepted);
            EXPECT_TRUE(m_messages.empty());
            EXPECT_EQ(page.Values().strFilePath, c.path.toStdString());
        } else {
            EXPECT_EQ(result, QDialog::Rejected);
            ASSERT_EQ(m_messages.size(), 1u);
            EXPECT_EQ(m_messages[0], c.message);
        }
    }
}
