#pragma once
#include "relay/CommandBuilder.h"
#include "relay/FfmpegLocation.h"
#include "relay/OutputMonitor.h"
#include "relay/StatusLog.h"
#include "settings/ChannelSettings.h"

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <ctime>
#include <deque>
#include <future>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// Timer ids and periods of the main window's two timers.
constexpr int ID_SUPERVISE_TIMER = 100;
constexpr int ID_AUTORUN_TIMER = 1024;
constexpr int kTimerPeriodMs = 5000;
// Consecutive failed attempts after which a channel is no longer relaunched (unless the
// keep-retrying option relaunches it once a minute from then on).
constexpr int kFailureLimit = 10;
constexpr int kKeepRetryPeriodMs = 60000;
// "全部运行" starts at most one row per period: four a second.
constexpr int ID_RUNALL_TIMER = 1025;
constexpr int kRunAllPeriodMs = 250;
// The stall watchdog: "stallTimeout" in config.ini, in seconds.
constexpr int kDefaultStallSeconds = 30;
constexpr int kMinStallSeconds = 10;

// Columns of the channel list.
enum ListColumn { kColName = 0, kColBitrate = 1, kColState = 2, kColTransCode = 3, kColSize = 4 };

// Item data of a list row: whether "运行" may start it, and the channel id of its settings.
struct RowTag {
    std::uint8_t m_bStopped = 1;
    int m_nId = 0;
};

// A running channel: its ffmpeg child and the monitor thread reading the child's output.
struct RelayWorker {
    pid_t m_hProcess = -1;
    std::unique_ptr<OutputMonitor> m_hThread;  // null when the thread could not be created
    bool m_bEnded = false;                     // the child was reaped: its pid may be reused
    int m_nExitCode = 0;
    int m_nSignal = 0;          // the signal that ended the child, 0 for an exit
    int m_nStalledSeconds = 0;  // the watchdog ended it after this long without progress
    bool m_bRelaying = false;   // a reading arrived since the launch
    std::time_t m_endedAt = 0;  // when the end was seen
};

// The last failed attempt of a row's channel, kept until a later attempt fails.
struct FailureRecord {
    std::string m_strWhen;             // local time the attempt ended
    std::string m_strHow;              // exit status, signal, no progress, or why it did not run
    std::vector<std::string> m_lines;  // its last lines, without banner and status lines
};

// Per-row state of the watchdog, the retries, the run/pause-all commands and the log. Kept in
// storage that never moves: a monitor writes its row's m_lastProgress for its whole life.
struct RowHealth {
    std::atomic<std::int64_t> m_lastProgress{0};  // steady-clock ns: the launch, then each status line
    std::int64_t m_launchedAt = 0;                // steady-clock ns of the last attempt
    std::int64_t m_retryAt = 0;                   // a once-a-minute relaunch is due then; 0: none
    bool m_bGaveUp = false;                       // reached the failure limit and was not relaunched
    bool m_bDeleted = false;
    std::string m_strName;
    std::unique_ptr<FailureRecord> m_lastFailure;
    // For the status endpoint and the reload (owner thread only).
    std::uint64_t m_nRestarts = 0;   // relaunches by the supervision, the retries and reloads
    int m_nKbps = 0;                 // last reading of the current child; 0 without one
    std::int64_t m_lastReadingAt = 0;  // steady-clock ns of the last reading; 0: never
    std::string m_strLaunchedLine;   // the argument line the current child was started with
    bool m_bMissingLogged = false;   // a reload found no key of the channel and said so
    bool m_bAutoQueued = false;      // waiting in the start queue
    bool m_bRunAllQueued = false;    // waiting for its "全部运行" turn
};

// What the engine needs of the face that shows the channels: the window's cells or the
// service's log (owner thread only).
class RelayView {
public:
    virtual ~RelayView() = default;
    virtual void SetCellText(int row, int column, const std::string& text) = 0;
    virtual void ShowMessage(const std::string& text) = 0;
    // A row was appended to the engine by the shared start-up scan or a reload; a view with
    // cells makes room for it (the name and the other cells follow through SetCellText).
    virtual void InsertRow(int row, const std::string& name) { (void)row, (void)name; }
};

// The relay engine of the window and of the headless service: per-row run-time state, the
// worker registry, the launches, the supervision with its retry rule, and the stops.
// Everything here runs on the owner's thread (the GUI thread or the service loop); monitor threads share only their row's run bit (storage that never moves) and
// the row's output tail, and report through the MonitorSink.
class RelayEngine {
public:
    RelayEngine(std::string appDir, RelayView& view, MonitorSink& sink);
    ~RelayEngine();  // stops every child and joins every monitor
    RelayEngine(const RelayEngine&) = delete;
    RelayEngine& operator=(const RelayEngine&) = delete;
    // The ffmpeg the children run (by default the one in appDir). When none was found, a launch
    // reports the places that were looked at.
    void UseFfmpeg(const FfmpegLocation& ffmpeg);

    // Rows: appended together with their tag, failure counter, run bit and output tail. The
    // name is the channel's, for the status log.
    int AddRow(int id, bool stopped, bool running, const std::string& name = std::string());
    RowTag* Tag(int row);
    int RowCount() const { return static_cast<int>(m_tags.size()); }
    void SetRowName(int row, const std::string& name);
    std::vector<std::string> RowOutput(int row) const;  // what the row's current child printed
    // The row's last failed attempt: a heading (when and how it ended), then its last lines.
    // Empty while no attempt has failed.
    std::vector<std::string> RowFailure(int row) const;
    // Lines of ffmpeg's start-up banner (version, build, configuration, library versions).
    static bool IsBannerLine(std::string_view line);

    // Launches.
    void StartChannel(RowTag* tag, int row);
    void RestartChannel(int row, int id);
    // Starts a channel just taken from the wizard (m_settings and the check states) for the row
    // the import is about to append. Returns the text for the row's bitrate cell when the
    // channel could not be started, empty otherwise.
    std::string LaunchFromWizard(int id, const CheckStates& checks, int row);

    // Builders: fill m_szCommand; false with the reason shown in the row when refused.
    bool BuildCommandFromConfig(int id, int row);
    // The stored settings of channel id, read and built as a launch would build them.
    CommandBuild StoredCommand(int id) const;
    bool BuildCommandFromSettings(const CheckStates& checks);

    // Timers. AutoRunTick returns false once the queue is empty (the timer is then stopped).
    bool AutoRunTick();
    void SuperviseTick();
    void OnRelayBitrate(int row, int kbps);

    // Starts a row from its stored settings without writing its state word (it is already
    // stored as running). False when the row is not startable.
    bool LaunchStored(int row);
    // Stops a row without writing config.ini (the file already says so): cells, stop, log.
    void HaltChannel(int row, const std::string& stateText, const std::string& event);
    // The argument line a launch of channel id would run now (transport option applied);
    // empty when the stored settings are refused.
    std::string StoredLine(int id);
    // Whether the row's child is alive and reported progress within the last stall period.
    bool RowUp(int row) const;
    bool IsQueued(int row) const;
    // Puts the row at the end of the start queue (once); AutoRunTick or the session's
    // StartNext takes it from there. HasQueued: whether a queued row is waiting.
    void Enqueue(int row);
    bool HasQueued() const;
    // The next row still queued for a start, taken off the queue; -1 when none.
    int TakeQueued();
    // One status-log line about the row: "信号 <name> (id <id>): <event>".
    void LogRow(int row, const std::string& event);

    // Stops. StopAllChannels is for the end of the program: no launch runs after it.
    void StopChannel(int row, int id);
    void StopAllChannels();
    // "暂停" and "删除" of one row: the stored word or mark, the cells and the stop.
    void PauseChannel(int row);
    void DeleteChannel(int row);

    // "全部运行": stores "运行中" for every row that "运行" would start and every row that gave
    // up (revived with its count back to 0), in one replace of config.ini, and queues them;
    // RunAllTick starts the next one (false once the queue is empty). Deleted rows stay stopped.
    // Returns how many rows were queued.
    int RunAll();
    bool RunAllTick();
    // "全部暂停": pauses every row whose child is running, retrying or queued, storing all the
    // state words in one replace. Returns how many rows were paused.
    int PauseAll();

    // Keep retrying after the failure limit: once a minute. Turning it on revives, at the next
    // tick, the rows that gave up and are still stored "运行中".
    void SetKeepRetrying(bool on);
    bool KeepRetrying() const { return m_bKeepRetrying; }

    // "stallTimeout" of config.ini as milliseconds: empty or not a number 30 s, 0 off, 1 to 9
    // count as 10.
    static int StallTimeoutMs(const std::string& text);

    StatusLog& Log() { return *m_log; }

    // Run-time state, indexed by row (list) or channel id (registry).
    std::map<int, RelayWorker> m_workers;
    std::vector<int> m_failCounts;
    std::deque<std::atomic<bool>> m_rowRunning;
    // Queues of rows; a row stopped meanwhile stays in them with its flag cleared and is
    // passed over, so that a stop never scans a queue.
    std::deque<int> m_autoRunQueue;
    std::deque<RowTag> m_tags;  // never moves: rows hold pointers to their tag
    std::deque<RowHealth> m_health;
    std::deque<int> m_runAllQueue;  // rows "全部运行" has still to start

    int m_nStallMs = kDefaultStallSeconds * 1000;  // set from config.ini by the session; 0: no watchdog
    int m_nKeepRetryMs = kKeepRetryPeriodMs;

    bool m_bRTSPuseTCP = false;
    ChannelSettings m_settings;     // working copy of the last wizard result
    std::string m_strVdTransCode;   // "是" when the last wizard build re-encodes video
    std::string m_strState;         // last state word written by a run, pause or import
    std::string m_strAppDir;
    std::string m_strFfmpegPath;
    std::string m_strFfmpegTried;   // set when no ffmpeg was found: where it was looked for
    char m_szCommand[1024] = {};

private:
    enum class Launch { FromList, Restart, FromWizard };
    enum class Spawned { Started, SpawnFailed, Refused };
    Spawned SpawnRelay(Launch how, int id, int row);
    void Refuse(Launch how, int row, const std::string& message);
    void CountFailure(int row, int id);
    void RecordFailure(int row, const RelayWorker* worker, const std::string& how);
    void RetireWorker(RelayWorker& worker);
    void LaunchRow(RowTag* tag, int row);
    void TouchStatusFile() const;
    void Note(int row, const std::string& line);

    RelayView& m_view;
    MonitorSink& m_sink;
    std::deque<std::shared_ptr<OutputTail>> m_tails;
    std::map<int, int> m_failedStarts;  // row -> channel id whose start could not run ffmpeg
    std::string m_lastRefusal;          // why the last wizard launch did not start
    bool m_bShutDown = false;
    bool m_bKeepRetrying = false;
    std::unique_ptr<StatusLog> m_log;
    std::future<void> m_encoderQuery;   // the background query of the ffmpeg in use
};
