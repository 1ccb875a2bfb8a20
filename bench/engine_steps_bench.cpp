// Owner-thread steps over 5,000 stored channels that are all queued to start (a service that
// has just read them, or a reload that found them): the reload, the status snapshot, "全部暂停"
// and "全部运行". No child is started. Prints the median and max of each in ms; asserts nothing.
#include "engine/RelaySession.h"
#include "settings/ChannelStore.h"
#include "web/ConsoleAccess.h"
#include "web/StatusSnapshot.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

namespace {

const int kChannels = 5000;
const int kRuns = 7;

struct NullFace : RelayView, MonitorSink {
    void OnRowEvent(int, const RowEvent&) override {}
    void ShowMessage(const std::string&) override {}
    void PostProgress(int, const ProgressSample&) override {}
};

// Runs prepare (not timed), then step, kRuns times.
void Report(const char* name, const std::function<void()>& step, const std::function<void()>& prepare = [] {})
{
    std::vector<double> ms;
    for (int run = 0; run < kRuns; ++run) {
        prepare();
        const auto start = std::chrono::steady_clock::now();
        step();
        ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
    }
    std::sort(ms.begin(), ms.end());
    std::printf("%s_ms_median: %.2f\n%s_ms_max: %.2f\n", name, ms[kRuns / 2], name, ms.back());
}

}  // namespace

int main()
{
    char pattern[] = "/tmp/camrelay-steps-XXXXXX";
    const std::string dir = ::mkdtemp(pattern);
    {
        std::ofstream ini(dir + "/config.ini", std::ios::binary);
        ini << "[SET DEFAULT VALUE]\nnextId=" << kChannels << "\n";
        for (int id = 0; id < kChannels; ++id) {
            ChannelRecord channel;
            channel.name = "仓库" + std::to_string(id);
            channel.sourceUrl = "rtsp://127.0.0.1:1/in";
            channel.publishUrl = "rtmp://127.0.0.1:1/live/" + std::to_string(id);
            for (const auto& [key, value] : ChannelWrites(id, channel, {1, 0, 0, 1, 0}))
                ini << key << "=" << value << "\n";
        }
        for (int id = 0; id < kChannels; ++id) {
            const auto [key, value] = ChannelStateWrite(id, kStateRunning);
            ini << key << "=" << value << "\n";
        }
    }
    NullFace face;
    {
        RelayEngine engine(dir, face, face);
        RelaySession session(engine);
        session.LoadFlags();
        session.LoadChannels(true);
        Report("reload_5000_queued", [&] { session.Reload(); });
        Report("snapshot_5000_queued", [&] { StatusSnapshot(engine); });
        // Each pause-all finds every row queued by a run-all, and each run-all every row paused.
        Report("pause_all_5000_queued", [&] { engine.PauseAll(); }, [&] { engine.RunAll(); });
        Report("run_all_5000", [&] { engine.RunAll(); }, [&] { engine.PauseAll(); });
    }
    std::filesystem::remove_all(dir);
    // The console's token comparison takes as long whichever byte differs, so a client guessing
    // tokens learns nothing from the time: a million wrong guesses differing at the first and at
    // the last of 32 bytes.
    const std::string token(32, 'k');
    for (const std::size_t at : {std::size_t{0}, token.size() - 1}) {
        std::string guess = token;
        guess[at] = 'x';
        volatile bool sink = false;
        Report(at == 0 ? "token_wrong_first_byte_1e6" : "token_wrong_last_byte_1e6", [&] {
            for (int i = 0; i < 1000000; ++i)
                sink = sink ^ ConsoleAccess::TokensEqual(guess, token);
        });
    }
    return 0;
}
