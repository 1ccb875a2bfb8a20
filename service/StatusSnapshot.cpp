#include "service/StatusSnapshot.h"

#include <chrono>

std::vector<ChannelStatus> StatusSnapshot(const RelayEngine& engine)
{
    const std::int64_t now = std::chrono::steady_clock::now().time_since_epoch().count();
    const double nsPerSecond = static_cast<double>(
        std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::seconds(1)).count());
    std::vector<ChannelStatus> channels;
    channels.reserve(static_cast<std::size_t>(engine.RowCount()));
    for (int row = 0; row < engine.RowCount(); ++row) {
        const RowView view = engine.View(row);
        if (view.deleted)
            continue;
        ChannelStatus& c = channels.emplace_back();
        c.id = view.id;
        c.name = view.name;
        c.running = view.active;
        c.up = view.up;
        c.bitrateKbps = c.up ? view.kbps : 0;
        c.consecutiveFailures = view.failures;
        c.restartsTotal = view.restarts;
        if (view.lastReadingAt != 0)
            c.secondsSinceProgress = static_cast<double>(now - view.lastReadingAt) / nsPerSecond;
    }
    return channels;
}
