#pragma once
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "engine/RowCells.h"

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
    std::optional<double> secondsSinceProgress = std::nullopt;
    // One of stopped, queued, starting, live, failing, retrying, given_up, standin, deleted.
    std::string state = "stopped";
    std::time_t liveSince = 0;         // when the current child began relaying; 0: not live
    std::uint64_t outputBytes = 0;     // bytes its children have published since the start
    struct Failure {
        std::time_t at = 0;
        std::string cause, text, line;  // stable name, the operator's sentence, ffmpeg's line
    };
    std::optional<Failure> lastFailure = std::nullopt;
    RowCells texts = {};               // the row's cells as the window shows them
    // How well it relays while up: speed (1 = real time) and frames per second of the last
    // measurement, none when not known; the counts of all its children since the start.
    std::optional<double> speed = std::nullopt, fps = std::nullopt;
    std::uint64_t droppedFrames = 0, lostPackets = 0;
    std::uint64_t liveEnds = 0;        // children that ended after having been live
    std::string degradation = {};      // "slow", "packet_loss"; empty while it relays well or not at all
    std::string source = {}, publish = {};  // its addresses, password and stream name masked (the page's filter)
    // 备用画面: published since then (0: not now), why (a cause's name and its words), and the
    // seconds on stand-ins since the start.
    std::time_t standInSince = 0;
    std::string standInCause = {}, standInText = {};
    double standInSeconds = 0;
    // A channel with several publish addresses: one pusher's figures per address, the channel's
    // own first. Empty for a channel with one address, whose answers stay as they were.
    struct Output {
        int number = 1;                   // 1 for Adress, 2 to 5 for Adress2..Adress5
        std::string publish;              // password and stream name masked
        std::string state = "stopped";    // starting, live, failing or stopped
        bool up = false;
        int bitrateKbps = 0;
        std::uint64_t bytes = 0, restarts = 0;
        int failures = 0;                 // its pusher's failed attempts in a row
        std::optional<Failure> failure = std::nullopt;  // its last failed attempt
    };
    std::vector<Output> outputs = {};
};
