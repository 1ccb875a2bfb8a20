// Supervision cost with 50 running channels on the fake transcoder: GUI-thread time per
// supervision tick with the stall watchdog on (every child checked, none stalled), CamRelay's own CPU and resident memory per channel (children excluded),
// and the delay from a status line being written to OnRelayBitrate running.
// Prints "name: value" lines; no assertion.
#include "app/CRelayDlg.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
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

// Measures how late each reading arrives: the fake prints its clock (ms mod 10^6) as the bitrate.
class TimedDlg : public CRelayDlg {
public:
    using CRelayDlg::CRelayDlg;
    std::vector<double> firstDelays;  // the first reading of a child: no backlog in its pipe
    std::vector<double> steadyAges;   // later readings: the oldest line waiting after the 2 s pause
    std::vector<bool> seen = std::vector<bool>(kChannels, false);
    bool measure = false;
    void Reading(int row, int kbps)
    {
        long long d = NowMsMod() - kbps;
        if (d < 0)
            d += 1000000;
        if (!seen[row]) {
            seen[row] = true;
            firstDelays.push_back(static_cast<double>(d));
        } else if (measure) {
            steadyAges.push_back(static_cast<double>(d));
        }
        OnRelayBitrate(row, kbps);
    }

protected:
    bool event(QEvent* e) override
    {
        if (e->type() == RelayBitrateEvent::EventType()) {
            const auto* r = static_cast<RelayBitrateEvent*>(e);
            Reading(r->m_row, r->m_kbps);
            return true;
        }
        return CRelayDlg::event(e);
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
        for (int id = 0; id < kChannels; ++id)
            ini << id << "+Name=ch" << id << "\n"
                << id << "+SignalName=rtsp://127.0.0.1:1/cam" << id << "\n"
                << id << "+Adress=rtmp://127.0.0.1:1/live/o" << id << "#interval=500,kbps=clock,banner=0\n"
                << id << "+checkstate=1\n" << id << "+checkstate3=1\n" << id << "+strAVState=暂停中\n";
    }

    // Runs the event loop for ms, idle between events as the real program is.
    const auto spin = [&](int ms) {
        QEventLoop loop;
        QTimer::singleShot(ms, &loop, &QEventLoop::quit);
        loop.exec();
    };
    auto* dlg = new TimedDlg(dir, true);
    dlg->show();
    dlg->OnTimer(ID_SUPERVISE_TIMER);
    spin(500);
    const long rssBefore = ResidentKb();  // the window with its 50 rows, nothing running
    for (int row = 0; row < kChannels; ++row)
        dlg->OnChannelCommand(ID_CHANNEL_RUN, row);
    spin(3000);
    dlg->measure = true;
    const double cpu0 = CpuSeconds();
    const auto wall0 = std::chrono::steady_clock::now();
    std::vector<double> ticksUs;
    for (int i = 0; i < 20; ++i) {
        QElapsedTimer t;
        t.start();
        dlg->OnTimer(ID_SUPERVISE_TIMER);
        ticksUs.push_back(t.nsecsElapsed() / 1000.0);
        spin(500);
    }
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
    const double cpu = CpuSeconds() - cpu0;
    const long rss = ResidentKb();
    int running = 0;
    for (int row = 0; row < kChannels; ++row)
        running += dlg->CellText(row, 1).endsWith("kbps");

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
    delete dlg;
    std::filesystem::remove_all(dir);
    return 0;
}
