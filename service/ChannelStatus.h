#pragma once
#include <cstdint>
#include <optional>
#include <string>

// What the status endpoint tells about one channel at one moment. Filled by the owner of the
// channel list (GUI or supervision thread) and handed over by value; holds no references.
struct ChannelStatus {
    int id = 0;                        // the channel's number in config.ini
    std::string name;                  // UTF-8; invalid bytes are replaced when formatted
    bool running = false;              // started by the operator (stored as running)
    bool up = false;                   // its child has reported progress recently
    int bitrateKbps = 0;               // last output bitrate, whole kbit/s
    int consecutiveFailures = 0;       // failed runs in a row (the give-up counter)
    std::uint64_t restartsTotal = 0;   // relaunches since this program started
    // Seconds since the child last reported progress; empty when no child of this channel
    // ever has. "Never" is left out of the metrics (no sample) and is null in JSON, so that
    // no made-up number reaches a dashboard.
    std::optional<double> secondsSinceProgress;
};
