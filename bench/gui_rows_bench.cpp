// The main window at start-up with a large config.ini: 15,000 stored channels with all their
// keys, of which 5,000 are deleted, so that 10,000 rows are listed and 5,000 channels move.
// Prints the time from construction to the first painted window and the whole resident size of
// the process with the 10,000 idle rows, then after the first read of a setting; no assertion.
#include "SampleChannel.h"
#include "app/MainWindow.h"
#include "settings/ChannelStore.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>

namespace {

const int kStored = 15000;

// A field of /proc/self/status in KB: VmRSS (all), RssAnon (heap and stacks), RssFile (libraries).
long StatusKb(const char* field)
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind(field, 0) == 0)
            return std::atol(line.c_str() + std::strlen(field));
    return 0;
}

// Ids 0 to 4,999 listed in place; above them every other id deleted, so the rest move down.
void WriteConfig(const std::string& path)
{
    std::ofstream ini(path, std::ios::binary);
    ini << "[SET DEFAULT VALUE]\r\nnextId=" << kStored << "\r\nm_bAutoRun=0\r\nm_bRTSPuseTCP=0\r\n";
    for (int id = 0; id < kStored; ++id) {
        ChannelRecord r = SampleChannel(id);
        ConfigStore::KeyValues writes = ChannelWrites(id, r, {1, 1, 0, 1, 1});
        writes.push_back(ChannelStateWrite(id, kStatePaused));
        writes.push_back(ChannelTransCodeWrite(id, "是"));
        writes.push_back(ChannelDeletedWrite(id, id >= 5000 && id % 2));
        for (const auto& [key, value] : writes)
            ini << key << "=" << value << "\r\n";
    }
}

} // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const std::string dir
        = std::filesystem::temp_directory_path() / ("camrelay-rows-bench-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    WriteConfig(dir + "/config.ini");

    const auto spin = [](int ms) {
        QEventLoop loop;
        QTimer::singleShot(ms, &loop, &QEventLoop::quit);
        loop.exec();
    };
    const long rssQt = StatusKb("VmRSS:");
    QElapsedTimer t;
    t.start();
    auto* dlg = new MainWindow(dir, true);
    dlg->show();
    QCoreApplication::processEvents();
    const double startMs = t.nsecsElapsed() / 1e6;
    spin(1000); // idle, as the window stands between events
    const long rss = StatusKb("VmRSS:");

    std::printf("window_rows: %d\n", dlg->m_engine.RowCount());
    std::printf("window_start_ms: %.1f\n", startMs);
    std::printf("window_rss_kb_total: %ld\n", rss);
    std::printf("window_rss_kb_without_qt: %ld\n", rss - rssQt);
    std::printf("window_rss_anon_kb: %ld\n", StatusKb("RssAnon:"));
    std::printf("window_rss_file_kb: %ld\n", StatusKb("RssFile:"));
    // The first read after start-up (a channel's start does one) parses the file again and keeps it.
    const std::string name = LoadListState(ConfigStore(dir), 0).name;
    spin(200);
    std::printf("window_rss_kb_after_first_read: %ld\n", name.empty() ? 0 : StatusKb("VmRSS:"));
    delete dlg;
    std::filesystem::remove_all(dir);
    return 0;
}
