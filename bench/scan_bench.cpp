// Start-up scan over a large config.ini: 10,000 stored channels with all their keys, every
// other one deleted, so that 5,000 are listed and 4,999 are moved. Prints figures; asserts nothing.
#include "SampleChannel.h"
#include "settings/ChannelStore.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <string>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

namespace {

const int kChannels = 10000;

std::string BuildConfig()
{
    std::string s = "[SET DEFAULT VALUE]\r\nnextId=" + std::to_string(kChannels) + "\r\nm_bAutoRun=1\r\nm_bRTSPuseTCP=0\r\n";
    auto put = [&s](const ConfigStore::KeyValues& writes) {
        for (const auto& [key, value] : writes)
            s += key + "=" + value + "\r\n";
    };
    for (int id = 0; id < kChannels; ++id) {
        ChannelRecord r = SampleChannel(id);
        r.watermarkPath = id % 4 ? "" : "/opt/camrelay/水印/logo.png";
        put(ChannelWrites(id, r, {1, id % 3 ? 0 : 1, 0, 1, 1}));
        put({ChannelStateWrite(id, id % 5 ? kStateRunning : kStatePaused),
             ChannelTransCodeWrite(id, id % 3 ? "否" : "是"), ChannelDeletedWrite(id, id % 2 != 0)});
    }
    return s;
}

long MinorFaults()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_minflt;
}

double CpuMs()
{
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

}  // namespace

int main()
{
    char tmpl[] = "/tmp/camrelay-scan-bench-XXXXXX";
    if (!mkdtemp(tmpl)) {
        std::perror("mkdtemp");
        return 1;
    }
    const std::string dir = tmpl;
    const std::string ini = dir + "/config.ini";
    const std::string config = BuildConfig();

    std::vector<double> ms, cpu;
    std::vector<long> faults;
    long rewrites = 0;
    std::size_t rows = 0;
    for (int run = 0; run < 7; ++run) {
        {
            std::ofstream out(ini, std::ios::binary | std::ios::trunc);
            out << config;
        }
        const ConfigStore store(dir);
        const long before = ConfigStore::ReplaceCount();
        // Timed from the first read of the fresh file, as at start-up.
        const auto t0 = std::chrono::steady_clock::now();
        const double c0 = CpuMs();
        const long f0 = MinorFaults();
        rows = ScanAndRenumber(store).size();
        cpu.push_back(CpuMs() - c0);
        faults.push_back(MinorFaults() - f0);
        const auto t1 = std::chrono::steady_clock::now();
        rewrites = ConfigStore::ReplaceCount() - before;
        ms.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
    }
    unlink(ini.c_str());
    rmdir(dir.c_str());

    std::sort(ms.begin(), ms.end());
    std::sort(cpu.begin(), cpu.end());
    std::sort(faults.begin(), faults.end());
    std::printf("scan_10000_channels_ms_median: %.2f\n", ms[ms.size() / 2]);
    std::printf("scan_10000_channels_ms_max: %.2f\n", ms.back());
    // CPU time of the scan alone: on a busy machine the wall-clock figures measure the neighbours.
    std::printf("scan_10000_channels_cpu_ms_median: %.2f\n", cpu[cpu.size() / 2]);
    // First touches of fresh pages: on a virtual machine each one is dear.
    std::printf("scan_10000_channels_page_faults_median: %ld\n", faults[faults.size() / 2]);
    std::printf("scan_file_rewrites: %ld\n", rewrites);
    std::printf("scan_rows: %zu\n", rows);
    return 0;
}
