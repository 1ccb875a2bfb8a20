// Supervision cost with 50 running channels on the fake transcoder: GUI-thread time per
// supervision tick with the stall watchdog on (every child checked, none stalled), CamRelay's own CPU and resident memory per channel (children excluded),
// and the delay from a status line being written to OnProgress running. Then the same ticks
// with the status endpoint and web console on, under 500 connections at once: 400 clients
// fetching the page and /status again and again, 100 slow ones holding half a request.
// Prints "name: value" lines; no assertion.
#include "app/MainWindow.h"
#include "settings/ChannelStore.h"
#include "web/StatusServer.h"
#include "web/StatusSnapshot.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {
const int kChannels = 50;

long ResidentKb()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::atol(line.c_str() + 6);
    return 0;
}

double CpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

long long NowMsMod()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count() % 1000000;
}

// Clients of the status server from 127.0.0.2 to 127.0.0.61 (the server takes 16 per address):
// fast ones fetch the page or /status and connect again, slow ones send half a request and wait
// until the server closes it. Runs on a thread of its own until destroyed.
class WebLoad {
public:
    WebLoad(int port, int fast, int slow) : m_port(port), m_clients(static_cast<std::size_t>(fast + slow))
    {
        for (int i = 0; i < fast + slow; ++i)
            m_clients[static_cast<std::size_t>(i)].slow = i >= fast;
        m_thread = std::thread([this] { Run(); });
    }
    ~WebLoad()
    {
        m_stop = true;
        m_thread.join();
        for (const Client& c : m_clients)
            if (c.fd >= 0)
                ::close(c.fd);
    }
    std::atomic<long> answered{0}, refused{0};   // answers with 200; connections closed unanswered

private:
    struct Client {
        int fd = -1;
        bool slow = false, sent = false, heard = false;
        std::string head;
    };
    void Open(std::size_t i, Client& c)
    {
        c = Client{::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0), c.slow, false, false, {}};
        sockaddr_in from{AF_INET, 0, {htonl(INADDR_LOOPBACK + 1 + static_cast<uint32_t>(i % 60))}, {}};
        sockaddr_in to{AF_INET, htons(static_cast<uint16_t>(m_port)), {htonl(INADDR_LOOPBACK)}, {}};
        ::bind(c.fd, reinterpret_cast<sockaddr*>(&from), sizeof from);
        ::connect(c.fd, reinterpret_cast<sockaddr*>(&to), sizeof to);
    }
    void Run()
    {
        const std::string host = "Host: 127.0.0.1:" + std::to_string(m_port) + "\r\n";
        std::vector<pollfd> fds(m_clients.size());
        char buffer[16384];
        while (!m_stop) {
            for (std::size_t i = 0; i < m_clients.size(); ++i) {
                Client& c = m_clients[i];
                if (c.fd < 0)
                    Open(i, c);
                fds[i] = {c.fd, static_cast<short>(c.sent ? POLLIN : POLLOUT), 0};
            }
            if (::poll(fds.data(), fds.size(), 100) <= 0)
                continue;
            for (std::size_t i = 0; i < m_clients.size(); ++i) {
                Client& c = m_clients[i];
                if ((fds[i].revents & POLLOUT) && !c.sent) {
                    const std::string request = c.slow ? "GET /status HTTP/1.1\r\n"
                                                       : std::string(i % 2 ? "GET / " : "GET /status ") + "HTTP/1.1\r\n" + host + "\r\n";
                    c.sent = ::send(c.fd, request.data(), request.size(), MSG_NOSIGNAL) > 0;
                    if (!c.sent) {   // refused at connect
                        ::close(c.fd), c.fd = -1, ++refused;
                    }
                } else if (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) {
                    const ssize_t n = ::recv(c.fd, buffer, sizeof buffer, 0);
                    if (n > 0) {
                        if (c.head.size() < 12)
                            c.head.append(buffer, static_cast<std::size_t>(std::min<ssize_t>(n, 12)));
                        continue;
                    }
                    answered += c.head.rfind("HTTP/1.1 200", 0) == 0;
                    refused += c.head.empty() && !c.slow;
                    ::close(c.fd), c.fd = -1;
                }
            }
        }
    }

    int m_port;
    std::vector<Client> m_clients;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

// Measures how late each reading arrives: the fake prints its clock (ms mod 10^6) as the frame count.
class TimedDlg : public MainWindow {
public:
    using MainWindow::MainWindow;
    std::vector<double> firstDelays;  // the first posted reading of a child: its second line, read after the first pause
    std::vector<double> steadyAges;   // later readings: the oldest line waiting after the 2 s pause
    std::vector<bool> seen = std::vector<bool>(kChannels, false);
    bool measure = false;
    void Reading(int row, const ProgressSample& sample)
    {
        long long d = NowMsMod() - sample.frames;
        if (d < 0)
            d += 1000000;
        if (!seen[row]) {
            seen[row] = true;
            firstDelays.push_back(static_cast<double>(d));
        } else if (measure) {
            steadyAges.push_back(static_cast<double>(d));
        }
        OnProgress(row, sample);
    }

protected:
    bool event(QEvent* e) override
    {
        if (e->type() == RelayProgressEvent::EventType()) {
            const auto* r = static_cast<RelayProgressEvent*>(e);
            Reading(r->m_row, r->m_sample);
            return true;
        }
        return MainWindow::event(e);
    }
};
}  // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const std::string dir = std::filesystem::temp_directory_path() / ("camrelay-bench-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    std::filesystem::create_symlink(CAMRELAY_BIN_DIR "/fake_ffmpeg", dir + "/ffmpeg");
    {
        std::ofstream ini(dir + "/config.ini");
        ini << "[SET DEFAULT VALUE]\nnextId=" << kChannels << "\nstallTimeout=30\n";
        for (int id = 0; id < kChannels; ++id) {
            ChannelRecord r;
            r.name = "ch" + std::to_string(id);
            r.sourceUrl = "rtsp://127.0.0.1:1/cam" + std::to_string(id);
            r.publishUrl = "rtmp://127.0.0.1:1/live/o" + std::to_string(id) + "#interval=500,kbps=clock,banner=0";
            ConfigStore::KeyValues writes = ChannelWrites(id, r, {1, 0, 0, 1, 0});
            writes.push_back(ChannelStateWrite(id, kStatePaused));
            for (const auto& [key, value] : writes)
                ini << key << "=" << value << "\n";
        }
    }

    // Runs the event loop for ms, idle between events as the real program is.
    const auto spin = [&](int ms) {
        QEventLoop loop;
        QTimer::singleShot(ms, &loop, &QEventLoop::quit);
        loop.exec();
    };
    auto* dlg = new TimedDlg(dir, true);
    dlg->show();
    dlg->m_engine.SuperviseTick();
    spin(500);
    const long rssBefore = ResidentKb();  // the window with its 50 rows, nothing running
    for (int row = 0; row < kChannels; ++row)
        dlg->OnChannelCommand(ID_CHANNEL_RUN, row);
    spin(3000);
    // Twenty supervision ticks half a second apart: their GUI-thread times in µs.
    const auto ticks = [&] {
        std::vector<double> us;
        for (int i = 0; i < 20; ++i) {
            QElapsedTimer t;
            t.start();
            dlg->m_engine.SuperviseTick();
            dlg->OnTimer();  // what follows a tick on the GUI thread: the schedule and the endpoint
            us.push_back(t.nsecsElapsed() / 1000.0);
            spin(500);
        }
        return us;
    };
    dlg->measure = true;
    const double cpu0 = CpuSeconds();
    const auto wall0 = std::chrono::steady_clock::now();
    const std::vector<double> ticksUs = ticks();
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
    const double cpu = CpuSeconds() - cpu0;
    const long rss = ResidentKb();
    int running = 0;
    for (int row = 0; row < kChannels; ++row)
        running += dlg->CellText(row, 1).endsWith("kbps");

    // The same ticks with the endpoint on (each tick also publishes a snapshot) and under load.
    StatusServer status;
    status.UseConsole({dlg, "", dir, "window", &dlg->m_engine.Log()});
    if (!status.Start("127.0.0.1", 0))
        std::fprintf(stderr, "%s\n", status.ErrorText().c_str());
    dlg->m_onStatusChange = [&] { status.Publish(StatusSnapshot(dlg->m_engine)); };
    std::vector<double> loadedUs;
    long answered = 0, refused = 0;
    const auto load0 = std::chrono::steady_clock::now();
    {
        WebLoad load(status.Port(), 400, 100);
        spin(1000);
        loadedUs = ticks();
        answered = load.answered, refused = load.refused;
    }
    const double loadSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - load0).count();
    dlg->m_onStatusChange = nullptr;
    status.Stop();

    std::printf("supervise_channels: %d\n", kChannels);
    std::printf("supervise_watchdog_ms: %d\n", dlg->m_engine.Options().m_nStallMs);
    std::printf("supervise_rows_with_bitrate: %d\n", running);
    std::printf("supervise_tick_us_median: %.1f\n", Median(ticksUs));
    std::printf("supervise_tick_us_max: %.1f\n", *std::max_element(ticksUs.begin(), ticksUs.end()));
    std::printf("camrelay_cpu_percent_of_one_core: %.2f\n", 100.0 * cpu / wall);
    std::printf("camrelay_rss_kb_per_channel: %.1f\n", double(rss - rssBefore) / kChannels);
    std::printf("bitrate_delay_ms_first_reading_median: %.1f\n", Median(dlg->firstDelays));
    std::printf("bitrate_age_ms_steady_median: %.1f\n", Median(dlg->steadyAges));
    std::printf("bitrate_samples: %zu\n", dlg->firstDelays.size() + dlg->steadyAges.size());
    std::printf("web_load_tick_us_median: %.1f\n", Median(loadedUs));
    std::printf("web_load_tick_us_max: %.1f\n", *std::max_element(loadedUs.begin(), loadedUs.end()));
    std::printf("web_load_answers_per_second: %.0f\n", answered / loadSeconds);
    std::printf("web_load_closed_unanswered: %ld\n", refused);
    delete dlg;
    std::filesystem::remove_all(dir);
    return 0;
}
