#pragma once
#include "engine/LiveHealth.h"
#include "engine/RowCells.h"
#include "ffmpeg/FailureDiagnosis.h"
#include "ffmpeg/OutputMonitor.h"

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// Item data of a list row: whether "运行" may start it, and the channel id of its settings.
struct RowTag {
    std::uint8_t m_bStopped = 1;
    int m_nId = 0;
};

// A running channel: its ffmpeg child and the monitor thread reading the child's output.
struct RelayWorker {
    pid_t m_pid = -1;
    std::unique_ptr<OutputMonitor> m_monitor;  // null when the thread could not be created
    bool m_bEnded = false;                     // the child was reaped: its pid may be reused
    int m_nExitCode = 0;
    int m_nSignal = 0;          // the signal that ended the child, 0 for an exit
    int m_nStalledSeconds = 0;  // the watchdog ended it after this long without progress
    bool m_bRelaying = false;   // a reading arrived since the launch
    std::time_t m_endedAt = 0;  // when the end was seen
};

// A child of a row beside its relay: the stand-in's ffmpeg or a check of the camera. Its monitor
// drains its output into its own tail; what it posts is not a reading of the row. Never moves
// while its monitor runs (held by a unique_ptr).
struct SideChild {
    pid_t m_pid = -1;
    std::atomic<bool> m_running{true};            // the monitor's run bit
    std::atomic<std::int64_t> m_lastProgress{0};  // as a row's: steady-clock ns
    std::atomic<std::int64_t> m_outputBytes{0};   // its last "size="
    std::shared_ptr<OutputTail> m_tail = std::make_shared<OutputTail>(20);
    std::unique_ptr<OutputMonitor> m_monitor;
    bool m_bEnded = false;
    int m_nExitCode = 0, m_nSignal = 0;
    std::int64_t m_startedAt = 0;   // steady-clock ns
    bool m_bNoticed = false;        // a failed check seen at a tick: counted at the next, as an end is
};

// The last failed attempt of a row's channel (or of one of its pushers), kept until a later attempt fails.
inline constexpr std::size_t kFailureLines = 20;  // lines kept of a failed attempt
struct FailureRecord {
    std::time_t m_at = 0;              // when the attempt ended
    std::string m_strHow;              // exit status, signal, no progress, or why it did not run
    std::vector<std::string> m_lines;  // its last lines, without banner and status lines
    Diagnosis m_diagnosis;             // why, as the operator is told
};

// One publish address of a channel that has several: the pusher that copies the puller's stream
// from its loopback port to the address, and how its attempts went. A pusher fails, is diagnosed
// and retried on its own, with a back-off, while the puller and the other pushers go on.
struct OutputSlot {
    std::string m_strPublish;          // as stored
    int m_nPort = 0;                   // the puller's port it reads; 0 before the puller started
    std::unique_ptr<SideChild> m_pusher;  // null while none runs
    bool m_bRelaying = false;          // its current pusher posted a reading
    int m_nKbps = 0;                   // its current pusher's last reading
    int m_nFailures = 0;               // failed attempts in a row; a reading resets it
    std::uint64_t m_nRestarts = 0;     // pushers started again after one ended
    std::uint64_t m_bytesBefore = 0;   // what its earlier pushers wrote
    std::int64_t m_startAt = 0;        // a pusher may start then (steady-clock ns), once the puller delivers
    int m_nLoggedCause = -1;           // the cause whose deciding line the log has shown last
    std::unique_ptr<FailureRecord> m_lastFailure;
};

// What the operator asked of the channel, as config.ini's state word says it ("运行中", "暂停中").
// Deletion is a mark of its own (m_bDeleted): a deleted row can still be run until the next start.
enum class Want : std::uint8_t { Pause, Run };

// Where a row's run stands. Changed only by the engine's operations and the supervision's
// decisions; the state names of the status endpoint are read from it.
enum class Phase : std::uint8_t {
    Idle,      // nothing runs and nothing is due
    Queued,    // waiting in the start queue or for its "全部运行" turn
    Starting,  // a child runs and has not reported yet
    Live,      // its child reported a bitrate
    Failing,   // an attempt failed: relaunched, or about to be
    Retrying,  // over the failure limit, relaunched once a minute
    GivenUp,   // over the failure limit and no longer relaunched
    StandIn,   // the camera is down: a stand-in is published and the camera checked instead of relaunched
};
const char* PhaseName(Phase phase);

// Everything the engine knows about one row of the channel list at run time. Rows live in
// storage that never moves: a monitor thread keeps pointers to its row's run bit, progress
// clock and output tail for its whole life. All else belongs to the owner thread.
struct ChannelRow {
    RowTag m_tag;
    std::string m_strName;
    Want m_want = Want::Pause;
    Phase m_phase = Phase::Idle;
    RowCells m_cells;                 // its texts as the operator sees them
    bool m_bCellShowsReading = false; // the bitrate cell holds a reading of the current child
    // Shared with the row's monitor thread.
    std::atomic<bool> m_running{false};            // the run bit: cleared to end the monitor
    std::atomic<std::int64_t> m_lastProgress{0};   // steady-clock ns: the launch, then each status line whose time or size advanced
    std::atomic<std::int64_t> m_outputBytes{0};    // what the current child has written ("size=")
    std::shared_ptr<OutputTail> m_tail = std::make_shared<OutputTail>();
    // The child and how its attempts went.
    std::unique_ptr<RelayWorker> m_worker;         // null while no child runs
    // Extra publish addresses: the worker's child is then a puller, and each address (the
    // channel's own first) has a pusher. Empty for a channel with one address.
    std::vector<std::string> m_extraPublish;       // as stored or launched last
    std::vector<std::unique_ptr<OutputSlot>> m_outputs;
    bool m_bFailedStart = false;   // the last start could not run ffmpeg: counted at the second tick
    bool m_bFailedStartNoticed = false;  // the first tick after it has passed
    int m_nFailures = 0;           // failed attempts in a row; a reading resets it
    std::unique_ptr<FailureRecord> m_lastFailure;
    std::int64_t m_launchedAt = 0;   // steady-clock ns of the last attempt
    std::int64_t m_retryAt = 0;      // a once-a-minute relaunch is due then; 0: none
    std::int64_t m_relaunchAt = 0;   // a relaunch spread after a common failure is due then; 0: none
    bool m_bDeleted = false;
    // Queues: a stopped row keeps its place in them with its flag cleared and is passed over.
    bool m_bAutoQueued = false;      // waiting in the start queue
    bool m_bRunAllQueued = false;    // waiting for its "全部运行" turn
    // For the status endpoint and the reload.
    std::uint64_t m_nRestarts = 0;     // relaunches by the supervision, the retries and reloads
    int m_nKbps = 0;                   // last reading of the current child; 0 without one
    std::int64_t m_lastReadingAt = 0;  // steady-clock ns of the last reading; 0: never
    std::string m_strLaunchedLine;     // the argument line the current child was started with
    std::string m_strSource, m_strPublish;  // the addresses of the last launch, for the diagnosis
    std::string m_strShownSource, m_strShownPublish;  // as stored or launched last, secrets masked
    int m_nLoggedCause = -1;           // the cause whose deciding line the log has shown last
    std::time_t m_liveSince = 0;       // when the current child's first reading came; 0: not live
    std::uint64_t m_bytesBefore = 0;   // what the row's earlier children wrote
    bool m_bMissingLogged = false;     // a reload found no key of the channel and said so
    // How well it does while live.
    LiveHealth m_health;
    Degradation m_degraded = Degradation::None;  // as the faces and the log were told
    bool m_bReencodes = false;         // the current child encodes the video
    bool m_bRtspTcp = false;           // the current child reads its RTSP camera over TCP
    std::uint64_t m_nLiveEnds = 0;     // children that ended after having been live
    std::int64_t m_endCheckAt = 0;     // 快速重启: look again whether the child was reaped then; 0: no
    // 备用画面: while the camera is down, a stand-in is published to the channel's address.
    std::string m_strStandIn, m_strStandInPicture;  // the channel's option and picture, as last read
    int m_nOutWidth = 0, m_nOutHeight = 0, m_nOutFps = 0;  // the picture the output had, when known
    std::time_t m_standInSince = 0;    // when the stand-in began; 0: none
    std::string m_strStandInCause;     // why: the diagnosis' name and its words
    std::string m_strStandInLabel;
    std::int64_t m_standInFromNs = 0;  // steady-clock ns when it began
    std::uint64_t m_standInNsBefore = 0;  // time on earlier stand-ins
    std::unique_ptr<SideChild> m_standIn;  // its child while one runs
    std::unique_ptr<SideChild> m_cameraCheck;  // a check of the camera while one runs
    std::int64_t m_checkPollAt = 0;    // look whether the check ended then; 0: no
    int m_nStandInEnds = 0;            // stand-in children in a row that ended without publishing
    std::int64_t m_standInRetryAt = 0; // the next stand-in child may start then (steady-clock ns)
};

// One publish address of a channel that has several (one pusher child each): what a face may read.
struct OutputView {
    int number = 1;                  // 1 the channel's address (Adress), 2 to 5 its extra ones (Adress2..Adress5)
    std::string publish;             // password and stream name masked, as RowView::publish
    const char* state = "stopped";   // "starting", "live", "failing" or "stopped"
    bool up = false;                 // its pusher reported progress within the last stall period
    int kbps = 0;                    // its pusher's last reading while up, else 0
    std::uint64_t bytes = 0;         // written to this address by all its pushers so far
    std::uint64_t restarts = 0;      // its pusher started again after it ended
    int failures = 0;                // its pusher's failed attempts in a row
    std::time_t failedAt = 0;        // when its last failed attempt ended; 0: none yet
    std::string cause, causeText;    // why: a failure cause's name and the operator's sentence; empty: none
    std::string causeLine;           // the line of ffmpeg's that says it, masked
};

// What a face may read of a row: a copy, taken on the owner thread.
struct RowView {
    int id = 0;
    std::string name;
    bool stopped = true;      // "运行" may start it
    bool deleted = false;     // marked deleted and not run again since: the console leaves it out
    bool active = false;      // started (running, retrying or given up) or queued
    pid_t pid = -1;           // its current child, -1 for none
    bool up = false;          // the child reported progress within the last stall period
    int kbps = 0;             // last reading of the current child while up, else 0
    int failures = 0;         // failed attempts in a row
    std::uint64_t restarts = 0;
    std::optional<double> secondsSinceReading;  // none while no child of the row has reported
    const char* state = "stopped";   // PhaseName, or deleted
    RowCells cells;                  // the texts of its cells: a reading of a child that is down reads 0kbps
    std::time_t liveSince = 0;       // 0: not live
    std::uint64_t outputBytes = 0;   // written by all the row's children so far
    const FailureRecord* lastFailure = nullptr;  // valid until the row's next failure; null: none
    // While up: speed (1 = real time) and frames per second of the last window; -1: not known.
    double speed = -1, fps = -1;
    std::uint64_t droppedFrames = 0, lostPackets = 0;  // all the row's children so far
    std::uint64_t liveEnds = 0;                        // children that ended after having been live
    const char* degradation = "";  // while up: DegradationName of a live but degraded row
    std::string source, publish;   // its addresses as stored or launched last: password and stream name masked
    std::time_t standInSince = 0;  // a stand-in is published since then; 0: none
    std::string standInCause;      // why (a failure cause's name)
    std::string standInText;       // why, as the operator is told
    double standInSeconds = 0;     // on stand-ins so far
    // A channel with extra publish addresses: one per address, the channel's own first. Empty for
    // a channel with one address. The row's kbps stays the channel's: the best of its outputs.
    std::vector<OutputView> outputs;
};
