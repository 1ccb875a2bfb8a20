#pragma once
#include "relay/FfmpegLocation.h"
#include "relay/OutputMonitor.h"
#include "settings/ChannelSettings.h"

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

// Timer ids and periods of the main window's two timers.
constexpr int ID_SUPERVISE_TIMER = 100;
constexpr int ID_AUTORUN_TIMER = 1024;
constexpr int kTimerPeriodMs = 5000;
// Consecutive failed attempts after which a channel is no longer relaunched.
constexpr int kFailureLimit = 10;

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
};

// What the engine needs of the window that shows the channels (GUI thread only).
class RelayView {
public:
    virtual ~RelayView() = default;
    virtual void SetCellText(int row, int column, const std::string& text) = 0;
    virtual void ShowMessage(const std::string& text) = 0;
};

// The relay engine of the main window: per-row run-time state, the worker registry, the
// launches, the supervision with its retry rule, and the stops. Everything here runs on the
// GUI thread; monitor threads share only their row's run bit (storage that never moves) and
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

    // Rows: appended together with their tag, failure counter, run bit and output tail.
    int AddRow(int id, bool stopped, bool running);
    RowTag* Tag(int row);
    int RowCount() const { return static_cast<int>(m_tags.size()); }
    std::vector<std::string> RowOutput(int row) const;  // last lines the row's children printed

    // Launches.
    void StartChannel(RowTag* tag, int row);
    void RestartChannel(int row, int id);
    // Starts a channel just taken from the wizard (m_settings and the check states) for the row
    // the import is about to append. Returns the text for the row's bitrate cell when the
    // channel could not be started, empty otherwise.
    std::string LaunchFromWizard(int id, const CheckStates& checks, int row);

    // Builders: fill m_szCommand; false with the reason shown in the row when refused.
    bool BuildCommandFromConfig(int id, int row);
    bool BuildCommandFromSettings(const CheckStates& checks);

    // Timers. AutoRunTick returns false once the queue is empty (the timer is then stopped).
    bool AutoRunTick();
    void SuperviseTick();
    void OnRelayBitrate(int row, int kbps);

    // Stops. StopAllChannels is for the end of the program: no launch runs after it.
    void StopChannel(int row, int id);
    void StopAllChannels();

    // Run-time state, indexed by row (list) or channel id (registry).
    std::map<int, RelayWorker> m_workers;
    std::vector<int> m_failCounts;
    std::deque<std::atomic<bool>> m_rowRunning;
    std::deque<std::pair<RowTag*, int>> m_autoRunQueue;
    std::deque<RowTag> m_tags;  // never moves: rows hold pointers to their tag

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
    enum class Spawned { Started, PipeFailed, SpawnFailed, Refused };
    Spawned SpawnRelay(Launch how, int id, int row);
    void Refuse(Launch how, int row, const std::string& message);
    void CountFailure(int row, int id);
    void RetireWorker(RelayWorker& worker);
    void TouchStatusFile() const;
    void Note(int row, const std::string& line);

    RelayView& m_view;
    MonitorSink& m_sink;
    std::deque<std::shared_ptr<OutputTail>> m_tails;
    std::map<int, int> m_failedStarts;  // row -> channel id whose start could not run ffmpeg
    std::string m_lastRefusal;          // why the last wizard launch did not start
    bool m_bShutDown = false;
};
