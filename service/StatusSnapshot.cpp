#include "service/StatusSnapshot.h"

#include <chrono>

std::vector<ChannelStatus> StatusSnapshot(const RelayEngine& engine)
{
    const std::int64_t now = std::chrono::steady_clock::now().time_since_epoch().count();
    const double nsPerSecond = static_cast<double>(
        std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::seconds(1)).count());
    std::vector<ChannelStatus> channels;
    channels.reserve(engine.m_tags.size());
    for (int row = 0; row < engine.RowCount(); ++row) {
        const RowHealth& health = engine.m_health[row];
        if (health.m_bDeleted)
            continue;
        ChannelStatus& c = channels.emplace_back();
        c.id = engine.m_tags[row].m_nId;
        c.name = health.m_strName;
        c.running = engine.m_tags[row].m_bStopped == 0 || engine.IsQueued(row);
        c.up = engine.RowUp(row);
        c.bitrateKbps = c.up ? health.m_nKbps : 0;
        c.consecutiveFailures = engine.m_failCounts[row];
        c.restartsTotal = health.m_nRestarts;
        if (health.m_lastReadingAt != 0)
            c.secondsSinceProgress = static_cast<double>(now - health.m_lastReadingAt) / nsPerSecond;
    }
    return channels;
}
