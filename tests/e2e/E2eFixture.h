#pragma once
// Shared set-up of the end-to-end tests: the local servers of scripts/lib-servers.sh, started at
// first use (from the main thread) and kept for the run, and the main-window fixture with the
// real ffmpeg beside the program.
#include "app/AppFixture.h"
#include "support/LocalServers.h"

#include <future>

namespace e2e {

// nginx-rtmp with the live test source publishing to its stream "src" (H.264 High 640x360 + AAC
// 44.1 kHz mono). One port for the whole run: Stop() then Start() is a server outage.
class RtmpServer {
public:
    bool Start()
    {
        const std::string src = Url("src");
        return m_shell.Start("start_nginx_rtmp nginx " + std::to_string(m_port) + " && start_test_source source.log " +
                             src + " && probe_until_video " + src + " >/dev/null");
    }
    void Stop() { m_shell.Stop(); }
    std::string Url(const std::string& stream) const
    {
        return "rtmp://127.0.0.1:" + std::to_string(m_port) + "/live/" + stream;
    }
    std::string Log() const { return m_shell.Log(); }

private:
    ShellServer m_shell;
    int m_port = FreeTcpPort();
};

// The RTSP camera simulator: H.264 Main 640x360 25 fps with A-law 8 kHz mono audio.
class Camera {
public:
    bool Start()
    {
        return m_shell.Start("start_rtsp_sim rtsp.log $(free_port)", "$RTSP_URL $RTSP_PID") &&
               (std::istringstream(m_shell.Ready()) >> m_url >> m_pid);
    }
    const std::string& Url() const { return m_url; }
    pid_t Pid() const { return m_pid; }   // to freeze it with SIGSTOP
    std::string Log() const { return m_shell.Log(); }

private:
    ShellServer m_shell;
    std::string m_url;
    pid_t m_pid = 0;
};

inline RtmpServer& Nginx()
{
    static RtmpServer server;
    return server;
}

inline Camera& TheCamera()
{
    static Camera camera;
    return camera;
}

// ProbeUntilVideo of each stream at once: a viewer waits for the next keyframe of each.
inline std::vector<std::string> ProbeAll(const std::vector<std::string>& urls)
{
    std::vector<std::future<std::string>> probes;
    for (const std::string& url : urls)
        probes.push_back(std::async(std::launch::async, [url] { return ProbeUntilVideo(url); }));
    std::vector<std::string> infos;
    for (auto& probe : probes)
        infos.push_back(probe.get());
    return infos;
}

// The main window on its folder with the real ffmpeg, and nginx with its source running.
class E2eTest : public apptest::AppTest {
protected:
    void SetUp() override
    {
        AppTest::SetUp();
        std::filesystem::remove(m_dir.File("ffmpeg"));
        std::filesystem::create_symlink("/usr/bin/ffmpeg", m_dir.File("ffmpeg"));
        ASSERT_TRUE(Nginx().Start()) << Nginx().Log();
    }

    static std::string Url(const std::string& stream) { return Nginx().Url(stream); }
    // Waits until row shows a bitrate above zero.
    bool WaitBitrate(int row, int timeoutMs = 20000)
    {
        return QTest::qWaitFor([&] {
            const QString text = m_dlg->CellText(row, 1);
            return text.endsWith("kbps") && text.chopped(4).toInt() > 0;
        }, timeoutMs);
    }
};

}  // namespace e2e
