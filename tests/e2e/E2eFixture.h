#pragma once
// Shared set-up of the end-to-end tests: the local servers of scripts/lib-servers.sh, started at
// first use (from the main thread) and kept for the run, and the main-window fixture with the
// real ffmpeg beside the program.
#include "app/AppFixture.h"
#include "support/LocalServers.h"

#include <future>

namespace e2e {

// nginx-rtmp on one port for the whole run (so that Stop() then StartNginx() is an outage), and
// the RTSP camera simulator (H.264 Main 640x360 25 fps, A-law 8 kHz mono) with its pid, to freeze
// it with SIGSTOP.
struct Servers {
    ShellServer nginx, camera;
    int port = FreeTcpPort();
    std::string cameraUrl;
    pid_t cameraPid = 0;
};

inline Servers& Local()
{
    static Servers servers;
    return servers;
}

inline std::string Url(const std::string& stream)
{
    return "rtmp://127.0.0.1:" + std::to_string(Local().port) + "/live/" + stream;
}

// nginx with the live test source publishing to its stream "src" (H.264 High 640x360 + AAC
// 44.1 kHz mono), once the source shows video; then the camera.
inline void StartServers()
{
    Servers& s = Local();
    ASSERT_TRUE(s.nginx.Start("start_nginx_rtmp nginx " + std::to_string(s.port) + " && start_test_source source.log " +
                              Url("src") + " && probe_until_video " + Url("src") + " >/dev/null")) << s.nginx.Log();
    ASSERT_TRUE(s.camera.Start("start_rtsp_sim rtsp.log $(free_port)", "$RTSP_URL $RTSP_PID") &&
                std::istringstream(s.camera.Ready()) >> s.cameraUrl >> s.cameraPid) << s.camera.Log();
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

// The main window on its folder with the real ffmpeg and the servers running.
class E2eTest : public apptest::AppTest {
protected:
    void SetUp() override
    {
        AppTest::SetUp();
        std::filesystem::remove(m_dir.File("ffmpeg"));
        std::filesystem::create_symlink("/usr/bin/ffmpeg", m_dir.File("ffmpeg"));
        StartServers();
    }

    // Waits until row shows a bitrate above zero.
    bool WaitBitrate(int row, int timeoutMs = 90000)
    {
        return QTest::qWaitFor([&] {
            const QString text = m_dlg->CellText(row, 1);
            return text.endsWith("kbps") && text.chopped(4).toInt() > 0;
        }, timeoutMs);
    }
};

}  // namespace e2e
