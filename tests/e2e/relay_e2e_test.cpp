// Real relays end to end: the main window starts real ffmpeg children that pull real sources
// (an RTMP stream, the RTSP camera simulator, an HTTP-FLV stream) and publish into a private
// nginx-rtmp on 127.0.0.1; ffprobe checks what arrives. Supervision ticks are driven by hand.
#include "app/CRelayDlg.h"
#include "app/MessageBox.h"
#include "settings/ConfigStore.h"
#include "support/LocalServers.h"
#include "support/TempDir.h"

#include <QCoreApplication>
#include <QTest>
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <memory>
#include <thread>
#include <unistd.h>

namespace {

bool WaitFor(const std::function<bool()>& cond, int timeoutMs)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!cond()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

// A published stream is probed until it shows video (a live stream starts at a keyframe).
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

std::string Channel(int id, const std::string& name, const std::string& source, const std::string& publish,
                    const std::string& encoding)
{
    const std::string p = std::to_string(id) + "+";
    std::string text = p + "Name=" + name + "\n" + p + "SignalName=" + source + "\n" + p + "Adress=" + publish +
                       "\n" + p + "strAVState=暂停中\n";
    std::string line;
    for (char c : encoding) {
        if (c == ';') {
            text += p + line + "\n";
            line.clear();
        } else {
            line += c;
        }
    }
    return text;
}

const char kCopyAll[] = "checkstate=1;checkstate1=0;checkstate2=0;checkstate3=1;checkstate4=0;";
const char kReencode[] =
    "checkstate=1;checkstate1=1;checkstate2=0;checkstate3=1;checkstate4=1;VdBitRate=600;VdRameRate=25;"
    "VdWidth=480;VdHeight=270;VdProFile=main;AdChannel=2;AdSmpLinGrate=44100;AdBitRate=64;";

class RelayEndToEnd : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_app.Valid());
        ASSERT_EQ(0, ::symlink("/usr/bin/ffmpeg", m_app.File("ffmpeg").c_str()));
        ASSERT_TRUE(m_nginx.Start()) << m_nginx.ErrorLog();
        Prompt::SetMessageHook([this](const QString& text) { m_messages.push_back(text.toStdString()); });
    }
    void TearDown() override
    {
        m_dlg.reset();  // stops every child before the servers go
        Prompt::ResetHooks();
    }

    CRelayDlg& Open(const std::string& body)
    {
        std::ofstream(m_app.File("config.ini")) << "[SET DEFAULT VALUE]\n" << body;
        m_dlg = std::make_unique<CRelayDlg>(m_app.Path(), true);
        return *m_dlg;
    }

    bool WaitBitrate(int row, int timeoutMs = 20000)
    {
        return WaitFor([&] {
            const QString text = m_dlg->CellText(row, 1);
            return text.endsWith("kbps") && text.chopped(4).toInt() > 0;
        }, timeoutMs);
    }

    TempDir m_app{"camrelay-e2e"};
    NginxRtmp m_nginx;
    std::unique_ptr<CRelayDlg> m_dlg;
    std::vector<std::string> m_messages;
};

}  // namespace

TEST_F(RelayEndToEnd, RtmpSourceCopiedAndReencoded)
{
    TestPublisher publisher;
    ASSERT_TRUE(publisher.Start(m_nginx.Url("src")));
    ASSERT_TRUE(ProbeUntilVideo(m_nginx.Url("src")).ok);

    CRelayDlg& dlg = Open("nextId=2\n" + Channel(0, "直通", m_nginx.Url("src"), m_nginx.Url("copy"), kCopyAll) +
                          Channel(1, "转码", m_nginx.Url("src"), m_nginx.Url("enc"), kReencode));
    dlg.OnChannelCommand(ID_CHANNEL_RUN, 0);
    dlg.OnChannelCommand(ID_CHANNEL_RUN, 1);

    const StreamInfo copy = ProbeUntilVideo(m_nginx.Url("copy"));
    EXPECT_EQ("h264", copy.videoCodec) << copy.output;
    EXPECT_EQ(640, copy.width);
    EXPECT_EQ("aac", copy.audioCodec);
    const StreamInfo enc = ProbeUntilVideo(m_nginx.Url("enc"));
    EXPECT_EQ("h264", enc.videoCodec) << enc.output;
    EXPECT_EQ(480, enc.width);
    EXPECT_EQ(270, enc.height);
    EXPECT_EQ("Main", enc.profile);
    EXPECT_EQ("aac", enc.audioCodec);
    EXPECT_EQ(44100, enc.sampleRate);
    EXPECT_EQ(2, enc.channels);
    EXPECT_TRUE(WaitBitrate(0)) << dlg.CellText(0, 1).toStdString();
    EXPECT_TRUE(WaitBitrate(1)) << dlg.CellText(1, 1).toStdString();
    EXPECT_EQ(QStringLiteral("是"), dlg.CellText(1, 3));
}

TEST_F(RelayEndToEnd, RtspCameraWithAndWithoutTcp)
{
    RtspSimulator camera;
    ASSERT_TRUE(camera.Start()) << camera.Log();
    for (int tcp = 0; tcp <= 1; ++tcp) {
        m_dlg.reset();
        const std::string out = m_nginx.Url("cam" + std::to_string(tcp));
        // A-law audio cannot be copied into FLV: the audio is re-encoded, the video copied.
        CRelayDlg& dlg = Open("nextId=1\nm_bRTSPuseTCP=" + std::to_string(tcp) + "\n" +
                              Channel(0, "摄像头", camera.Url(), out,
                                      "checkstate=1;checkstate1=0;checkstate2=0;checkstate3=1;checkstate4=1;"
                                      "AdChannel=1;AdSmpLinGrate=44100;AdBitRate=64;"));
        dlg.OnChannelCommand(ID_CHANNEL_RUN, 0);
        EXPECT_EQ(tcp == 1, std::string(dlg.m_engine.m_szCommand).find("-rtsp_transport tcp") != std::string::npos);
        const StreamInfo info = ProbeUntilVideo(out);
        EXPECT_EQ("h264", info.videoCodec) << "tcp=" << tcp << " " << info.output;
        EXPECT_EQ(640, info.width);
        EXPECT_EQ(360, info.height);
        EXPECT_EQ("aac", info.audioCodec);
        EXPECT_TRUE(WaitBitrate(0)) << dlg.CellText(0, 1).toStdString();
    }
}

TEST_F(RelayEndToEnd, HttpFlvSource)
{
    HttpFlvSource source;
    ASSERT_TRUE(source.Start());
    CRelayDlg& dlg = Open("nextId=1\n" + Channel(0, "http", source.Url(), m_nginx.Url("web"), kCopyAll));
    dlg.OnChannelCommand(ID_CHANNEL_RUN, 0);
    const StreamInfo info = ProbeUntilVideo(m_nginx.Url("web"));
    EXPECT_EQ("h264", info.videoCodec) << info.output;
    EXPECT_TRUE(WaitBitrate(0));
}

// The server goes away: the child dies and failures are counted; it comes back: the channel
// relays again and its count is reset.
TEST_F(RelayEndToEnd, ServerOutageCountsFailuresAndRecovers)
{
    TestPublisher publisher;
    RtspSimulator camera;
    ASSERT_TRUE(camera.Start()) << camera.Log();
    CRelayDlg& dlg = Open("nextId=1\nm_bRTSPuseTCP=1\n" +
                          Channel(0, "cam", camera.Url(), m_nginx.Url("out"),
                                  "checkstate=1;checkstate1=0;checkstate2=0;checkstate3=0;"));
    dlg.OnChannelCommand(ID_CHANNEL_RUN, 0);
    ASSERT_TRUE(WaitBitrate(0)) << dlg.CellText(0, 1).toStdString();
    const pid_t first = dlg.m_engine.m_workers.at(0).m_hProcess;

    m_nginx.Stop();
    auto ended = [&] {
        std::ifstream stat("/proc/" + std::to_string(first) + "/stat");
        std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
        const auto close = text.rfind(')');
        return close != std::string::npos && text[close + 2] == 'Z';
    };
    ASSERT_TRUE(WaitFor(ended, 15000)) << "ffmpeg did not end when the server went away";
    for (int failure = 1; failure <= 2; ++failure) {
        dlg.OnTimer(ID_SUPERVISE_TIMER);
        dlg.OnTimer(ID_SUPERVISE_TIMER);
        EXPECT_EQ(QString("连续%1次直播失败，重试中。。。！").arg(failure), dlg.CellText(0, 1));
        // The relaunch meets a closed port and ends within a couple of seconds.
        ASSERT_TRUE(WaitFor([&] {
            auto w = dlg.m_engine.m_workers.find(0);
            if (w == dlg.m_engine.m_workers.end())
                return false;
            std::ifstream stat("/proc/" + std::to_string(w->second.m_hProcess) + "/stat");
            std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
            const auto close = text.rfind(')');
            return close != std::string::npos && text[close + 2] == 'Z';
        }, 15000));
    }
    EXPECT_FALSE(dlg.RowDetails(0).isEmpty());

    ASSERT_TRUE(m_nginx.Start()) << m_nginx.ErrorLog();
    dlg.OnTimer(ID_SUPERVISE_TIMER);
    dlg.OnTimer(ID_SUPERVISE_TIMER);  // third failure counted, relaunched against a live server
    EXPECT_EQ(QStringLiteral("连续3次直播失败，重试中。。。！"), dlg.CellText(0, 1));
    ASSERT_TRUE(WaitBitrate(0, 25000)) << dlg.CellText(0, 1).toStdString();
    EXPECT_EQ(0, dlg.m_engine.m_failCounts[0]);
    EXPECT_EQ("h264", ProbeUntilVideo(m_nginx.Url("out")).videoCodec);
}
