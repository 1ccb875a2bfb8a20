// The wizard's two pages. The source page: the order of its checks and the hand-over to the
// encoding page and back. The encoding page and its watermark group: defaults and stored
// values, the enable rule of 1026, the size box, placement expressions, the offset arrows and the
// checks of "完成".
#include "WizardTestKit.h"
#include "ffmpeg/ChannelRules.h"
#include "support/LocalServers.h"
#include "support/ProcessProbe.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QToolButton>

using namespace wizardtest;

using SourcePageTest = WizardTest;

// Each check in its turn with its message, the fields kept as typed; the extra addresses last,
// with the rules' sentences. Where all pass, the encoding page opens afresh (nothing of its last,
// cancelled, opening left) and Escape on it returns here; a name of 259 characters (all
// config.ini gives back) is kept whole.
TEST_F(SourcePageTest, ChecksRunInOrderAndACancelledEncodingPageReturnsHere)
{
    // name, source, publish, message (none: the encoding page opens), extra addresses
    const QString cases[][5] = {
        {"", "rtsp://a/1", "rtmp://b/1", "请输入名称!"},
        {"cam", "", "", "请输入正确的信号源地址!  很关键!!!"},
        {"cam", "RTSP://a/1", "", "请输入正确的信号源地址以rtmp:// 或 rtsp:// 或 http:// 开头的!!!"},
        {"cam", "rtsp://a/b c", "", "请输入正确的发布地址!  很关键!!!"},
        {"cam", "http://a/1", "rtmps://b/1", "请输入正确的发布地址地址以rtmp:// 开头!!!"},
        {"cam", "rtsp://a/b c", "rtmp://b/1", "信号源地址不能包含空格、引号或控制字符!"},
        {"cam", "rtsp://a/1", "rtmp://b/x y", "发布地址不能包含空格、引号或控制字符!"},
        {"cam", "rtsp://a/1", "rtmp://b:1935/live/?k=v", "发布地址缺少流名称：应为 rtmp://服务器/应用名/流名称"},
        {"ca\nm", "rtsp://a/1", "rtmp://b/1", "名称不能包含控制字符!"},
        {"一号 机", "http://a:80/x.flv", "rtmp://b/live/1?k=a/b", ""},
        {QString(259, QChar(0x6444)), "rtsp://a/1", "rtmp://b/live/1", ""},
        {"", "rtsp://a/1", "rtmp://b/live/1", "请输入名称!", "http://c/x"},
        {"cam", "rtsp://a/1", "rtmp://b/live/1", "第2个其他推流地址须以rtmp:// 开头!", "rtmp://c/live/2 http://c/x"},
        {"cam", "rtsp://a/1", "rtmp://b/live/1", "第1个其他推流地址与发布地址相同!", "rtmp://b/live/1"},
        {"cam", "rtsp://a/1", "rtmp://b/live/1", "第2个其他推流地址：发布地址缺少流名称：应为 rtmp://服务器/应用名/流名称",
         "rtmp://c/live/2 rtmp://d:1935/live/"},
        {"cam", "rtsp://a/1", "rtmp://b/live/1", "", "rtmp://c/live/2 rtmp://d/app/3?k=v"},
    };
    SourcePage page(true);
    page.SetChannel(0, m_dir.Path());
    page.show();
    for (const auto& c : cases) {
        SCOPED_TRACE((c[0] + " | " + c[1] + " | " + c[2]).toStdString());
        for (int i = 0; i < 3; ++i)
            Get<QLineEdit>(&page, i == 0 ? "1001" : i == 1 ? "1002" : "1003")->setText(c[i]);
        TypeExtras(page, c[4].split(' ', Qt::SkipEmptyParts));
        // An encoding page that opens is noted and cancelled, expected or not; owner ends the wait.
        bool encodingOpened = false;
        QObject owner;
        WhenModalPage<EncodingPage>([&](EncodingPage& child) {
            encodingOpened = true;
            EXPECT_EQ(Get<QLineEdit>(&child, "1031")->text(), "300") << "not opened afresh";
            EXPECT_FALSE(Get<QCheckBox>(&child, "1026")->isChecked()) << "the last opening's tick is left";
            Click(&child, "1026");
            TypeInto(&child, "1031", "999");
            QTest::keyClick(&child, Qt::Key_Escape);
        }, &page.m_child, &owner);
        m_messages.clear();
        Click(&page, "1006");
        EXPECT_EQ(m_messages.join(" | ").toStdString(), c[3].toStdString());
        EXPECT_EQ(encodingOpened, c[3].isEmpty());
        EXPECT_EQ(Get<QLineEdit>(&page, "1001")->text(), c[0]);
    }
}

// A copy opens with the copied channel's extra addresses; with four, 添加 is off until one is
// deleted. The wizard hands over the list as left, marked as shown.
TEST_F(SourcePageTest, ExtraAddressesOpenAsStoredAndAreHandedOver)
{
    WriteFile(m_dir.File("config.ini"), "[SET DEFAULT VALUE]\n0+Name=甲\n0+SignalName=rtsp://a/1\n0+Adress=rtmp://b/live/0\n"
                                        "0+Adress2=rtmp://c/live/1\n0+Adress3=rtmp://c/live/2\n0+Adress4=rtmp://c/live/3\n"
                                        "0+Adress5=rtmp://c/live/4\n");
    SourcePage page(true);
    page.SetChannel(1, m_dir.Path(), 0);
    QStringList shown;
    std::vector<bool> addEnabled;
    WizardDriver driver({[&](SourcePage& p) {
        auto* list = Get<QListWidget>(&p, "extraPublish");
        for (int i = 0; i < list->count(); ++i)
            shown << list->item(i)->text();
        addEnabled.push_back(Get<QPushButton>(&p, "extraPublishAdd")->isEnabled());
        list->setCurrentRow(1);
        Click(&p, "extraPublishRemove");
        addEnabled.push_back(Get<QPushButton>(&p, "extraPublishAdd")->isEnabled());
        TypeInto(&p, "1003", "rtmp://b/live/9");  // not the copied channel's: no question
    }, {}});
    ASSERT_EQ(page.exec(), QDialog::Accepted);
    EXPECT_EQ(shown.join(' '), "rtmp://c/live/1 rtmp://c/live/2 rtmp://c/live/3 rtmp://c/live/4");
    EXPECT_EQ(addEnabled, (std::vector<bool>{false, true}));
    const ChannelRecord v = page.Values();
    EXPECT_EQ(v.extraPublish, (std::vector<std::string>{"rtmp://c/live/1", "rtmp://c/live/3", "rtmp://c/live/4"}));
    EXPECT_TRUE(v.extraPublishShown);
}

// 检测信号源 on the camera simulator shows codec and size and a frame of the camera's size in the
// page; a refused port shows the relay's sentence; with the TCP option on, a check of a server
// that never answers pulls over TCP, and closing the page during it leaves no ffprobe behind.
TEST_F(SourcePageTest, CheckShowsTheSourceOrWhyNotAndEndsWithThePage)
{
    const std::string mute = std::to_string(FreeTcpPort()), silent = "rtsp://127.0.0.1:" + mute + "/cam";
    ShellServer servers;
    ASSERT_TRUE(servers.Start("start_rtsp_sim rtsp.log $(free_port) && spawn_server mute.log /usr/bin/python3 -c "
                              "'import socket,time;s=socket.create_server((\"127.0.0.1\"," + mute + "));time.sleep(90)'",
                              "$RTSP_URL")) << servers.Log();
    SourcePage page(true);
    page.SetChannel(0, m_dir.Path());
    page.show();
    auto* button = Get<QPushButton>(&page, "1005");
    const auto check = [&](const std::string& url) {
        TypeInto(&page, "1002", QString::fromStdString(url));
        Click(&page, "1005");
        EXPECT_FALSE(button->isEnabled()) << "enabled while checking";
        return QTest::qWaitFor([&] { return button->isEnabled(); }, 30000);
    };
    const auto report = [&] { return Get<QPlainTextEdit>(&page, "probeReport")->toPlainText().toStdString(); };
    ASSERT_TRUE(check(servers.Ready()));
    EXPECT_NE(report().find("视频：H.264 Main 640x360"), std::string::npos) << report();
    const std::string& jpeg = page.LastCheck()->frameJpeg;
    EXPECT_EQ(QImage::fromData(reinterpret_cast<const uchar*>(jpeg.data()), int(jpeg.size())).size(), QSize(640, 360));
    EXPECT_FALSE(Get<QLabel>(&page, "probeFrame")->pixmap().isNull());
    ASSERT_TRUE(check("rtsp://127.0.0.1:" + std::to_string(FreeTcpPort()) + "/x"));
    EXPECT_NE(report().find("摄像头拒绝连接"), std::string::npos) << report();
    WriteFile(m_dir.File("config.ini"), "[SET DEFAULT VALUE]\nm_bRTSPuseTCP=1\n");  // as the relay pulls it
    TypeInto(&page, "1002", QString::fromStdString(silent));
    Click(&page, "1005");
    std::vector<pid_t> probes;
    ASSERT_TRUE(ProcessProbe::WaitUntil([&] { return !(probes = ProcessProbe::ProcessesWithArg(silent)).empty(); }, std::chrono::seconds(5)));
    EXPECT_NE(ReadFile("/proc/" + std::to_string(probes[0]) + "/cmdline").find(std::string("-rtsp_transport\0tcp", 19)), std::string::npos);
    page.reject();
    EXPECT_TRUE(ProcessProbe::ProcessesWithArg(silent).empty()) << "ffprobe outlived the page";
    EXPECT_TRUE(button->isEnabled());
    EXPECT_TRUE(m_messages.isEmpty()) << m_messages.join(" | ").toStdString();
}

const QStringList kVideoEncoding = {"1031", "1032", "1033", "1035", "1036", "1037", "1040", "1041", "1007"};
constexpr int kStillOpen = 2;  // what Run returns when "完成" left the page open

class EncodingPageTest : public WizardTest {
protected:
    // Opens the page for channel id and runs steps inside it, then presses "完成".
    int Run(EncodingPage& page, int id, const std::function<void()>& steps)
    {
        page.SetChannel(id, m_dir.Path());
        WhenModalPage<EncodingPage>([&](EncodingPage&) {
            steps();
            Click(&page, "1024");
            if (page.isVisible())
                page.done(kStillOpen);
        }, &page);
        return page.exec();
    }
};

// A new channel collects the defaults (an old record under its id must not leak in), a stored one
// opens with its values ("true" is not "1"), whatever 1026 went through. On the new one, choosing
// a size writes the two fields; typing in the box does not; and a watermark name typed without
// an extension in the file dialog, Qt's own with its texts in Chinese (the test main loads them
// as the program does), opens the ".png" file.
TEST_F(EncodingPageTest, OpensWithTheDefaultsOrTheStoredValues)
{
    WriteFile(m_dir.File("logo.png"), "png");
    WriteFile(m_dir.File("config.ini"), "[SET DEFAULT VALUE]\n0+checkstate1=1\n0+VdBitRate=999\n0+strPucSeat=右下\n5+checkstate=1\n5+checkstate1=1\n"
                "5+checkstate3=true\n5+checkstate4=1\n5+VdBitRate=800\n5+VdRameRate=15\n5+VdWidth=1280\n5+VdHeight=720\n"
                "5+VdProFile=main\n5+AdChannel=1\n5+AdBitRate=64\n5+AdSmpLinGrate=48000\n5+strFilePath=/srv/标志 1.png\n"
                "5+strValue=-10\n5+strValue1=20\n5+strPucSeat=右下\n5+StrPucSeatPos=stale\n5+AdToAAC=1\n"
                "5+StandIn=2\n5+StandInPng=/srv/备用.png\n");
    // Then the keyframe seconds (a stored channel without them keeps the encoder's own) and AAC for copied audio.
    const struct { int id; std::tuple<int, int, int, int, int, int, int, int, int> numbers; std::string texts; CheckStates checks; }
        cases[] = {{0, {300, 25, 320, 240, 2, 44100, 32, 2, 0}, "high|" + m_dir.File("logo.png") + "|左上|:||", {1, 1, 0, 1, 1}},
                   {5, {800, 15, 1280, 720, 1, 48000, 64, 0, 1},
                    "main|/srv/标志 1.png|右下|main_w-overlay_w+-10:main_h-overlay_h+20|2|/srv/备用.png", {1, 0, 0, 0, 1}}};
    for (const auto& c : cases) {
        EncodingPage page(c.id == 0);
        ASSERT_EQ(Run(page, c.id, [&] {
                      for (const char* id : {"1023", "1038", "1048"})  // the controls without function
                          EXPECT_FALSE(Get<QWidget>(&page, id)->isVisible()) << id;
                      // Box and video encoding controls toggle together from the opening on; every
                      // other control with an id stays enabled.
                      for (int click = 0; click < 3; ++click) {
                          const bool on = Get<QCheckBox>(&page, "1026")->isChecked();
                          for (QWidget* w : page.findChildren<QWidget*>(QRegularExpression("^10\\d\\d$")))
                              EXPECT_EQ(w->isEnabled(), on || !kVideoEncoding.contains(w->objectName()))
                                  << click << " " << qPrintable(w->objectName());
                          Click(&page, "1026");
                      }
                      EXPECT_EQ(Get<QComboBox>(&page, "1008")->currentIndex(), c.id == 0 ? 0 : 4);  // 左上 or 右下
                      for (const auto& [index, size] : {std::pair{2, "640x360"}, {1, "480x360"}, {0, "320x240"}}) {
                          if (c.id == 0)
                              Choose(Get<QComboBox>(&page, "1033"), index);
                          EXPECT_EQ((Get<QLineEdit>(&page, "1035")->text() + "x" +
                                     Get<QLineEdit>(&page, "1036")->text()).toStdString(), c.id == 0 ? size : "1280x720");
                      }
                      Type(Get<QComboBox>(&page, "1033")->lineEdit(), "800x600");
                      if (c.id != 0)
                          return;
                      WhenModalPage<QFileDialog>([&](QFileDialog& dialog) {
                          EXPECT_EQ(dialog.findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Cancel)->text(), "取消");
                          dialog.setDirectory(QString::fromStdString(m_dir.Path()));
                          QTest::keyClicks(dialog.findChild<QLineEdit*>("fileNameEdit"), "logo\r");
                      });
                      Click(&page, "1022");
                  }),
                  QDialog::Accepted);
        const ChannelRecord v = page.Values();
        EXPECT_EQ(
            std::tie(v.videoBitrate, v.frameRate, v.width, v.height, v.audioChannels, v.sampleRate, v.audioBitrate,
                     v.keyframeSeconds, v.audioToAac),
            c.numbers);
        EXPECT_EQ(v.profile + "|" + v.watermarkPath + "|" + v.watermarkCorner + "|" + v.watermarkPlacement + "|" +
                      v.standIn + "|" + v.standInPicture, c.texts);
        EXPECT_EQ(page.Checks(), c.checks);
    }
    // The CSV import and the web console fill what they are not given as a new page opens.
    const ChannelRecord d = ChannelRules::NewChannelValues();
    EXPECT_EQ(std::tie(d.videoBitrate, d.frameRate, d.width, d.height, d.audioChannels, d.sampleRate, d.audioBitrate,
                       d.keyframeSeconds, d.audioToAac),
              cases[0].numbers);
    // A new channel re-encodes at the size and rounded frame rate the last source check found.
    EncodingPage checked(true);
    checked.SetChannel(0, m_dir.Path());
    checked.SourceFound = [] { SourceStreams s; s.width = 1280, s.height = 720, s.frameRate = 29.97; return s; };
    ChannelRecord v;
    CheckStates checks;
    checked.OpeningValues(&v, &checks);
    EXPECT_EQ("1280x720@30", std::to_string(v.width) + "x" + std::to_string(v.height) + "@" + std::to_string(v.frameRate));
}

// "完成" builds the placement from the chosen position and the offsets as they are then, and
// refuses a watermark path over 127 characters and texts that would break the transcoder's line.
// The offset arrows (the Up and Down keys in the field and the buttons beside it, in turn) step
// the number typed last and stop at -200 and 200, the documented range.
TEST_F(EncodingPageTest, FinishBuildsThePlacementOrRefuses)
{
    struct Case { QString file, profile; int position; QString x; int xSteps; QString y; int ySteps; std::string message, placement = ""; };
    const QString path127 = "/" + QString(122, QChar(0x56FE)) + ".png";  // 127 characters, 371 bytes
    const Case cases[] = {
        {"", "high", 0, "", -2, "%2", 0, "", "左上|-2:%2"},  // offsets are inserted verbatim
        {"", "high", 1, "199", 3, "-199", -3, "", "居中|main_w/2-overlay_w/2+200:main_h/2-overlay_h/2+-200"},
        {"", "high", 2, "-199", -3, "199", 3, "", "右上|main_w-overlay_w+-200:200"},
        {"", "high", 3, "250", -1, "abc", 1, "", "左下|200:main_h-overlay_h+1"},
        {path127, "main", 4, "abc", 1, "250", -1, "", "右下|main_w-overlay_w+1:main_h-overlay_h+200"},
        {path127 + "x", "high", 0, "", 0, "", 0, "水印文件路径过长，最多127个字符!"},
        {"/a\nb.png", "high", 0, "", 0, "", 0, "水印文件路径不能包含控制字符!"},
        {"", "high", 0, "1 0", 0, "", 0, "水印微调值不能包含空格、引号或控制字符!"},
        {"", "high", 0, "", 0, "2\u30000", 0, "水印微调值不能包含空格、引号或控制字符!"},  // a full-width blank
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.placement + c.message);
        EncodingPage page(true);
        m_messages.clear();
        const int result = Run(page, 0, [&] {
            Prompt::QueueOpenFileAnswer(c.file);
            Click(&page, "1022");  // fills the disabled field
            Get<QComboBox>(&page, "1037")->setEditText(c.profile);
            Type(Get<QLineEdit>(&page, "1011"), "99");
            Choose(Get<QComboBox>(&page, "1008"), c.position);
            // Offsets changed after the choice still count.
            for (const auto& [edit, arrows, typed, steps] : {std::tuple{"1011", "1013", c.x, c.xSteps}, {"1020", "1021", c.y, c.ySteps}}) {
                Type(Get<QLineEdit>(&page, edit), typed);
                const auto buttons = Get<QWidget>(&page, arrows)->findChildren<QToolButton*>();  // up, down
                ASSERT_EQ(buttons.size(), 2);
                for (int i = 0; i < std::abs(steps); ++i)
                    i % 2 ? QTest::mouseClick(buttons[steps > 0 ? 0 : 1], Qt::LeftButton)
                          : QTest::keyClick(Get<QLineEdit>(&page, edit), steps > 0 ? Qt::Key_Up : Qt::Key_Down);
            }
        });
        EXPECT_EQ(result, c.message.empty() ? QDialog::Accepted : kStillOpen);
        EXPECT_EQ(m_messages.join(" | ").toStdString(), c.message);
        const ChannelRecord v = page.Values();
        EXPECT_TRUE(!c.message.empty() || v.watermarkPath + "|" + v.watermarkCorner + "|" + v.watermarkPlacement ==
                                              c.file.toStdString() + "|" + c.placement)
            << v.watermarkCorner + "|" + v.watermarkPlacement;
    }
}

// "完成" on a copy channel whose source was last found sending H.265 asks "仍然直通？" (saying that the
// server must take H.265 where the ffmpeg in use copies it into FLV); a publish
// address of another channel that is not deleted asks too, naming it. "否" stays on the page.
TEST_F(EncodingPageTest, FinishAsksBeforeCopyingH265OrSharingAPublishAddress)
{
    WriteFile(m_dir.File("config.ini"), "[SET DEFAULT VALUE]\n0+Name=前门\n0+Adress=rtmp://b/1\n"
                                        "1+Name=旧\n1+Adress=rtmp://b/1\n1+ISDelete=true\n");
    const struct { std::vector<bool> answers; bool reencode; int result; const char* asked; bool enhanced = false; } cases[] = {
        {{false}, false, kStillOpen, "H.265 "},
        {{false}, false, kStillOpen, "H.265(server) ", true},
        {{true, false}, false, kStillOpen, "H.265 前门 "},
        {{true, true}, false, QDialog::Accepted, "H.265 前门 "},
        {{true}, true, QDialog::Accepted, "前门 "},
    };
    for (const auto& c : cases) {
        EncodingPage page(true);
        std::string codec;   // the check ends while the page is open
        page.publishUrl = "rtmp://b/1", page.SourceVideoCodec = [&codec] { return codec; };
        page.SourceFlvHevc = [&c] { return c.enhanced; };
        for (bool answer : c.answers)
            Prompt::QueueQuestionAnswer(answer);
        m_messages.clear();
        EXPECT_EQ(Run(page, 2, [&] {
            codec = "hevc";
            if (c.reencode)
                Click(&page, "1026");
        }), c.result);
        std::string asked;
        for (const QString& m : m_messages)
            asked += m.contains("增强型RTMP") && m.contains("仍然直通？") ? "H.265(server) "
                   : m.contains("仍然直通？")                              ? "H.265 "
                   : m.contains("“前门”") && !m.contains("旧")             ? "前门 "
                                                                           : "? ";
        EXPECT_EQ(asked, c.asked);
    }
}
