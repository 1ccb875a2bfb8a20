// A channel imported the way an operator does it, through the shown main window and the real
// wizard pages, relayed by real ffmpeg from a live RTMP source into a private nginx-rtmp: what
// arrives is probed, and the watermark is looked for in a decoded frame.
#include "E2eFixture.h"
#include "app/WizardDriver.h"

using namespace apptest;
using e2e::Url;
using wizardtest::Get;

class WizardImportEndToEnd : public e2e::E2eTest {};

// Re-encoding to 640x360 Main with the watermark png at the bottom right, 10 pixels in.
TEST_F(WizardImportEndToEnd, ImportedWatermarkedChannelRelays)
{
    const std::string png = MakeTestPng(AppDir(), "水印 logo.png");
    ASSERT_FALSE(png.empty());
    CRelayDlg& dlg = Open();
    Prompt::QueueOpenFileAnswer(QString::fromStdString(png));
    WizardDriver driver({[&](CMyNewDlg& page) {
                             TypeInto(&page, "1001", "停车场");
                             TypeInto(&page, "1002", QString::fromStdString(Url("src")));
                             TypeInto(&page, "1003", QString::fromStdString(Url("park")));
                         },
                         [&](CMyChildDlg& page) {
                             Click(&page, "1026");
                             wizardtest::Choose(Get<QComboBox>(&page, "1033"), 2);  // 640x360
                             wizardtest::Choose(Get<QComboBox>(&page, "1037"), 1);  // main
                             Click(&page, "1022");                      // the file chooser answers png
                             wizardtest::Choose(Get<QComboBox>(&page, "1008"), 4);  // 右下
                             TypeInto(&page, "1011", "-10");
                             TypeInto(&page, "1020", "-10");
                         }});
    Click(m_dlg.get(), "1000");
    ASSERT_EQ(1u, dlg.m_engine.m_workers.count(0)) << dlg.CellText(0, 1).toStdString();
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
