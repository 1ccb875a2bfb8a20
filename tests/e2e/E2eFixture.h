#pragma once
// Shared set-up of the in-process end-to-end tests: the main-window fixture with the real ffmpeg
// beside the program, and a private nginx-rtmp with a live test source on 127.0.0.1, started once
// for all tests (a test that stops nginx leaves it to the next one to start it again).
#include "app/AppFixture.h"
#include "support/LocalServers.h"

namespace e2e {

class E2eTest : public apptest::AppTest {
protected:
    static void TearDownTestSuite() { s_publisher.reset(), s_nginx.reset(); }
    void SetUp() override
    {
        AppTest::SetUp();
        std::filesystem::remove(m_dir.File("ffmpeg"));
        std::filesystem::create_symlink("/usr/bin/ffmpeg", m_dir.File("ffmpeg"));
        if (!s_nginx)
            s_nginx = std::make_unique<NginxRtmp>(), s_publisher = std::make_unique<TestPublisher>();
        ASSERT_TRUE(s_nginx->Start()) << s_nginx->ErrorLog();
        if (!s_publisher->Running()) {
            ASSERT_TRUE(s_publisher->Start(Url("src")) && ProbeUntilVideo(Url("src")).ok) << "no test source";
        }
    }

    static std::string Url(const std::string& stream) { return s_nginx->Url(stream); }
    // Waits until row shows a bitrate above zero.
    bool WaitBitrate(int row, int timeoutMs = 20000)
    {
        return QTest::qWaitFor([&] {
            const QString text = m_dlg->CellText(row, 1);
            return text.endsWith("kbps") && text.chopped(4).toInt() > 0;
        }, timeoutMs);
    }

    static inline std::unique_ptr<NginxRtmp> s_nginx;
    static inline std::unique_ptr<TestPublisher> s_publisher;
};

}  // namespace e2e
