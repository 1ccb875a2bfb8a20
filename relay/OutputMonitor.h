#pragma once
#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

// Where a monitor thread reports. Called on the monitor thread: implementations must only
// queue the value to the GUI thread (WM_RELAY_BITRATE).
class MonitorSink {
public:
    virtual ~MonitorSink() = default;
    virtual void PostRelayBitrate(int row, int kbps) = 0;
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
    std::deque<std::string> m_lines;
    std::size_t m_capacity;
};

// What one chunk of child output says: whether it holds "size=", and the bitrate to post.
struct ProgressReading {
    bool hasSize = false;   // a status line: pause after it
    bool post = false;      // a bitrate was read
    int kbps = 0;
};
// The first "size=" of the chunk counts. Takes the "bitrate=" field of that status line
// when it has one, else the field of at most 13 characters 41 characters after "size=".
ProgressReading ParseProgressChunk(std::string_view chunk);

// What a new monitor thread is given.
struct MonitorContext {
    MonitorSink* m_pOwner = nullptr;
    int m_hReadPipe = -1;                       // the monitor owns and closes it
    pid_t m_hProcess = -1;
    int m_nRow = 0;
    std::atomic<bool>* m_pRunning = nullptr;    // the row's run bit; never moves
    std::shared_ptr<OutputTail> m_tail;         // may be null
    // Where the monitor stores the steady-clock time (ns) of each status line it reads, for the
    // stall watchdog; storage that outlives the monitor, or null.
    std::atomic<std::int64_t>* m_pLastProgress = nullptr;
};

// The monitor thread of one child: reads 4096-byte chunks, posts the bitrate, pauses two
// seconds after a status line (interruptible), ends at end-of-file, a failed read, a clear
// run bit or Stop(). Joined by its owner, never killed.
class OutputMonitor {
public:
    explicit OutputMonitor(MonitorContext ctx);   // starts the thread
    ~OutputMonitor();                             // Stop() and join
    OutputMonitor(const OutputMonitor&) = delete;
    OutputMonitor& operator=(const OutputMonitor&) = delete;

    bool Started() const;      // the thread could be created
    void Stop();               // interrupts the read and the pause
    bool Finished() const;     // the thread has returned
    void Join();

private:
    struct Shared;
    std::shared_ptr<Shared> m_shared;
    std::thread m_thread;
};
