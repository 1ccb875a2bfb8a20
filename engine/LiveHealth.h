#pragma once
#include "ffmpeg/OutputMonitor.h"

#include <cstdint>
#include <deque>
#include <string>
#include <utility>

// Why a live channel is doing badly, though it relays.
enum class Degradation : std::uint8_t {
    None,
    Slow,        // its output runs slower than real time: the stream falls behind and stutters
    PacketLoss,  // the camera's RTP packets are lost on the way: the picture breaks up
};
// "slow", "packet_loss"; "" for None.
const char* DegradationName(Degradation degradation);

// How well a live channel is doing, from its children's samples: the speed and the frame rate
// over the last window of about ten seconds, the counts of all its children, and whether it is
// degraded. The speed is measured here, output time over the monitor's clock: ffmpeg's own
// "speed=" is an average since the child began, which the seconds it spent opening the camera
// keep below 1 for minutes; it stands in only until the first window is measured. Nothing here
// restarts a channel. Owner thread.
class LiveHealth {
public:
    static constexpr std::int64_t kWindowNs = 10'000'000'000;   // one measurement
    static constexpr std::int64_t kSlowForNs = 30'000'000'000;  // slow that long: degraded
    static constexpr double kSlowSpeed = 0.9;
    static constexpr std::int64_t kLossWindowNs = 60'000'000'000;
    static constexpr std::int64_t kLostPerWindow = 10;          // lost that many in a minute: degraded

    // A new child: its counts start from 0 and add to the earlier children's.
    void NewChild();
    void Observe(const ProgressSample& sample);

    double Speed() const { return m_speed; }  // -1: not known yet
    double Fps() const { return m_fps; }      // -1: not known yet
    std::uint64_t Dropped() const { return m_droppedBefore + m_child.dropped; }
    std::uint64_t Duplicated() const { return m_duplicatedBefore + m_child.duplicated; }
    std::uint64_t LostPackets() const { return m_lostBefore + m_child.lostPackets; }
    std::int64_t LostLastMinute() const;
    std::int64_t ChildTimeMs() const { return m_child.timeMs; }  // the current child's last output time
    // The last window measured a speed below kSlowSpeed.
    bool MeasuredSlow() const { return m_measured && m_speed < kSlowSpeed; }
    Degradation Verdict() const;
    // The operator's sentence for the verdict; empty for None. reencodes: the child encodes the
    // video (so its speed is this machine's); tcp: the camera is already read over TCP.
    std::string Sentence(bool reencodes, bool tcp) const;

private:
    ProgressSample m_child;                 // the current child's last sample
    ProgressSample m_windowStart;           // where the current window began (at 0: none)
    bool m_measured = false;                // a whole window of this child was measured
    double m_speed = -1, m_fps = -1;
    std::int64_t m_slowSince = -1;          // the start of the first of the slow windows in a row
    std::deque<std::pair<std::int64_t, std::int64_t>> m_loss;  // (at, the child's lost count) of the last minute
    std::uint64_t m_droppedBefore = 0, m_duplicatedBefore = 0, m_lostBefore = 0;
};
