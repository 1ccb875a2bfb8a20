#pragma once
#include "platform/Clock.h"
#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

// Where a monitor thread reports. Called on the monitor thread: implementations must only
// queue the value to the GUI thread (a posted event).
struct ProgressSample;
class MonitorSink {
public:
    virtual ~MonitorSink() = default;
    virtual void PostProgress(int row, const ProgressSample& sample) = 0;
    // The child's output ended (end of file): the child has ended or is ending.
    virtual void PostOutputEnded(int /*row*/) {}
};

// The last lines a channel's children printed (status lines excluded), bounded, shared
// between the monitor threads that write it and the GUI thread that shows it.
class OutputTail {
public:
    explicit OutputTail(std::size_t capacity = 50) : m_capacity(capacity) {}
    void Append(std::string line);
    std::vector<std::string> Lines() const;
    void Clear();

private:
    mutable std::mutex m_mutex;
    // A ring: an empty vector costs nothing, where an empty deque allocates over 500 bytes,
    // and every row of the list has a tail.
    std::vector<std::string> m_lines;
    std::size_t m_oldest = 0;  // once full, the slot of the oldest line
    std::size_t m_capacity;
};

// What one status line of the child says: whether it is one, and the bitrate to post.
struct ProgressReading {
    bool hasSize = false;   // a status line: pause after it
    bool post = false;      // a bitrate was read
    int kbps = 0;
    std::int64_t bytes = -1;  // the "size=" field: what the child has written so far; -1: none
    std::int64_t timeMs = -1; // the "time=" field: how far the output has got; -1: none (N/A, negative)
    std::int64_t frames = -1; // "frame=": frames output so far; -1: none
    double fps = -1;          // "fps=": frames per second since the child began; -1: none
    double speed = -1;        // "speed=": output time over wall time since the child began; -1: none
    std::int64_t dropped = 0, duplicated = 0;  // "drop=", "dup=" (printed once not zero)
};

// What the monitor posts of one child: its rate since the previous posted status line and what
// the line says. Counts are the child's since it began.
struct ProgressSample {
    int kbps = 0;               // output bitrate between the two status lines
    std::int64_t at = 0;        // when the line was read, on the monitor's TimeSource (ns)
    std::int64_t timeMs = -1;   // as in ProgressReading
    std::int64_t frames = -1;
    double fps = -1, speed = -1;
    std::int64_t dropped = 0, duplicated = 0;
    std::int64_t lostPackets = 0;  // RTP packets the child said it missed
    int output = -1;               // a pusher's output slot (MonitorContext::m_nOutput); -1: the row's own child
};

// The bitrate of a child from what two of its status lines say: the bytes written between them
// over the output time between them. ffmpeg's own "bitrate=" is the average since the start,
// which the header and the first key frame make absurd at first. The first line with output is
// only the starting point: nothing to post yet. A line without a size or a time gives its
// "bitrate=" field. One per child.
class RateMeter {
public:
    // The rate to post for this status line; none for the starting point.
    std::optional<int> Rate(const ProgressReading& reading);

private:
    std::int64_t m_bytes = -1;
    std::int64_t m_timeMs = -1;
};
// Reads one complete line (terminator excluded). A status line holds "size=" and "time=" or
// "bitrate="; the bitrate is the value after "bitrate=", else the field of at most 13
// characters 41 characters after "size=" (the classic fixed layout).
ProgressReading ParseStatusLine(std::string_view line);

// Whether a child's output moves on: a status line counts only when its time or its size is
// beyond every earlier line's. A frozen input stops ffmpeg 5 printing, while ffmpeg 7 keeps
// printing the same time and size twice a second: what counts is what advances. One per child.
class ProgressClock {
public:
    bool Advances(const ProgressReading& reading);

private:
    std::int64_t m_bytes = 0;
    std::int64_t m_timeMs = 0;
};

// Splits a child's output into lines ended by '\r' or '\n', carrying a partial line into the
// next read, so that a status line cut by a read is only read once it is whole. A line longer
// than the carry bound is cut into pieces; a piece is never read as a status line. Lines that
// are not status lines go to the tail, when there is one. Used by one thread at a time.
class OutputLineReader {
public:
    explicit OutputLineReader(std::shared_ptr<OutputTail> tail = nullptr) : m_tail(std::move(tail)) {}
    // The reading of the first status line completed by this chunk (none: hasSize false).
    ProgressReading Feed(std::string_view chunk);
    // At the end of the output: a partial last line goes to the tail.
    void Flush();
    // The last whole status line of the last Feed after the one it returned (none: hasSize false).
    const ProgressReading& Later() const { return m_last; }
    // The RTP packets the child said it missed ("RTP: missed N packets"), added up.
    std::int64_t LostPackets() const { return m_lostPackets; }

private:
    void EndLine(bool terminated, ProgressReading& reading);

    std::shared_ptr<OutputTail> m_tail;
    std::string m_carry;
    bool m_bContinues = false;   // m_carry continues a line that was cut at the bound
    std::int64_t m_lostPackets = 0;
    ProgressReading m_last;
};

// The N of a line "… RTP: missed N packets"; 0 for any other line.
std::int64_t MissedPackets(std::string_view line);

// What a new monitor thread is given.
struct MonitorContext {
    MonitorSink* m_pOwner = nullptr;
    int m_readFd = -1;                          // the monitor owns and closes it
    pid_t m_pid = -1;
    int m_nRow = 0;
    std::atomic<bool>* m_pRunning = nullptr;    // the row's run bit; never moves
    std::shared_ptr<OutputTail> m_tail;         // may be null
    // Where the monitor stores the steady-clock time (ns) of each status line whose time or size
    // advanced (ProgressClock), for the stall watchdog; storage that outlives the monitor, or null.
    std::atomic<std::int64_t>* m_pLastProgress = nullptr;
    std::atomic<std::int64_t>* m_pOutputBytes = nullptr;  // the child's last "size=", or null
    const TimeSource* m_clock = &TimeSource::System();  // the engine's: the stamps are compared with it
    int m_nOutput = -1;  // a pusher's output slot, set in its samples; a pusher's end is not the row's
};

// The monitor thread of one child: reads 4096-byte chunks, posts a sample of the first
// status line each read completes (from the second line with output on, see RateMeter), pauses two seconds after it (interruptible), ends at end-of-file, a failed read, a clear
// run bit or Stop(). Joined by its owner, never killed.
class OutputMonitor {
public:
    explicit OutputMonitor(MonitorContext ctx);   // starts the thread
    ~OutputMonitor();                             // Stop() and join
    OutputMonitor(const OutputMonitor&) = delete;
    OutputMonitor& operator=(const OutputMonitor&) = delete;

    bool Started() const { return m_bStarted; }  // the thread could be created
    void Stop();               // interrupts the read and the pause
    void Join();

private:
    struct Shared;
    std::shared_ptr<Shared> m_shared;
    std::thread m_thread;
    bool m_bStarted = false;
};

// Lines of ffmpeg's start-up banner (version, build, configuration, library versions).
bool IsBannerLine(std::string_view line);
// The last keep lines that are not banner lines.
std::vector<std::string> WithoutBanner(std::vector<std::string> lines, std::size_t keep);
