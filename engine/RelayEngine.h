#pragma once
#include "engine/ChannelRow.h"
#include "engine/RelayView.h"
#include "engine/Supervision.h"
#include "ffmpeg/CommandBuilder.h"
#include "ffmpeg/FfmpegLocation.h"
#include "ffmpeg/TranscoderCompat.h"
#include "platform/ChildProcess.h"
#include "platform/Clock.h"
#include "platform/StatusLog.h"
#include "settings/ChannelRecord.h"
#include "settings/ConfigStore.h"

#include <deque>
#include <future>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

// The switches of config.ini that steer the engine.
struct EngineOptions {
    bool m_bRTSPuseTCP = false;
    bool m_bKeepRetrying = false;
    int m_nStallMs = kDefaultStallSeconds * 1000;  // 0: no watchdog
    int m_nKeepRetryMs = kKeepRetryPeriodMs;
    // 快速重启: a child that ends after having been live is relaunched as soon as its output
    // ends, not at the ticks; from the second failure in a row the ticks' rhythm applies.
    bool m_bFastRestart = false;
    int m_nStartIntervalMs = 0;  // 启动间隔 of the start queue and "全部运行"; 0: each face's own
    std::string m_strStandIn;    // 备用画面 of the channels that leave it to the site (ChooseStandIn)
};

// What the engine does to the world besides config.ini and its log: the children, and the time.
// Tests give a scripted launcher and a hand-moved clock.
struct EngineEffects {
    const ChildLauncher* launcher = &ChildLauncher::System();
    const TimeSource* clock = &TimeSource::System();
    EncoderSupport (*encoders)(const std::string& ffmpegPath) = &QueryEncoders;  // asks ffmpeg once
};

// What a launch of the wizard's values did.
struct WizardLaunch {
    std::string m_strRefusal;  // why it did not start; empty when its child runs
};

// The relay engine of the window and of the headless service: the channel rows with their
// children, the launches, the supervision with its retry rule, the bulk commands, the stops and
// the one schedule both faces follow (NextDeadline / Advance).
// Everything here runs on the owner's thread (the GUI thread or the service loop); a monitor
// thread shares only its row's run bit, progress clock and output tail, and reports through the
// MonitorSink. Faces call the operations and read RowView copies; they tell nothing to rows.
class RelayEngine {
public:
    RelayEngine(std::string appDir, RelayView& view, MonitorSink& sink, EngineEffects effects = {});
    ~RelayEngine();  // stops every child and joins every monitor
    RelayEngine(const RelayEngine&) = delete;
    RelayEngine& operator=(const RelayEngine&) = delete;

    // The ffmpeg the children run (by default the one in the data folder). When none was found,
    // a launch reports the places that were looked at.
    void UseFfmpeg(const FfmpegLocation& ffmpeg);
    // The ffmpeg the children run, for others that run it too (the source check).
    const FfmpegLocation& Ffmpeg() const { return m_ffmpeg; }
    const std::string& AppDir() const { return m_strAppDir; }
    StatusLog& Log() { return *m_log; }

    // ---- options ----
    const EngineOptions& Options() const { return m_options; }
    void SetRtspTcp(bool on) { m_options.m_bRTSPuseTCP = on; }
    // Turning it on revives, at the next tick, the rows that gave up and are still stored "运行中".
    void SetKeepRetrying(bool on);
    void SetStallTimeoutMs(int ms) { m_options.m_nStallMs = ms; }
    void SetKeepRetryPeriodMs(int ms) { m_options.m_nKeepRetryMs = ms; }
    void SetFastRestart(bool on) { m_options.m_bFastRestart = on; }
    void SetStandIn(const std::string& mode) { m_options.m_strStandIn = mode; }
    // 0 gives the start queue back the face's pacing (PaceStarts) and "全部运行" its own.
    void SetStartIntervalMs(int ms);

    // ---- rows ----
    // Appends a row for channel id with the texts of its cells (cells.name its name; cells.state
    // the stored state word, which sets what the operator wants) and tells the face. Returns its index.
    int AddRow(int id, const RowCells& cells, bool stopped);
    int RowCount() const { return static_cast<int>(m_rows.size()); }
    int RowOfId(int id) const;  // -1 when no row has that channel id
    RowView View(int row) const;
    RowCells Cells(int row) const;  // the texts of View(row).cells
    void Rename(int row, const std::string& name);
    // The addresses the row shows (the web console's filter reads them), masked here.
    void ShowAddresses(int row, const std::string& source, const std::string& publish);
    std::vector<std::string> RowOutput(int row) const;  // what the row's current child printed
    // The row's last failed attempt: a heading (when and how it ended), then its last lines.
    // Empty while no attempt has failed.
    std::vector<std::string> RowFailure(int row) const;
    // One status-log line about the row: "信号 <name> (id <id>): <event>"; priority as syslog's
    // (3 a give-up, 4 a failure, 6 the rest), for the journal.
    void LogRow(int row, const std::string& event, int priority = StatusLog::kInfo);
    // For the reload: the line the row's current child was started with; whether config.ini
    // still holds the channel (its absence is logged once); a row deleted in this run that the
    // file stores as running again becomes startable.
    const std::string& LaunchedLine(int row) const;
    void SetMissingFromFile(int row, bool missing);
    void Revive(int row);

    // ---- launches ----
    // "运行": stores "运行中" and starts the row from its stored settings, if it is stopped.
    void StartChannel(int row);
    // Starts a row from its stored settings without writing its state word (it is already
    // stored as running); restart counts it as a relaunch. False when the row is not startable.
    bool LaunchStored(int row, bool restart = false);
    // Starts the wizard's values for channel id as row (appended just before by the import).
    WizardLaunch LaunchFromWizard(int row, const ChannelRecord& settings, const CheckStates& checks);
    // The argument line a launch of channel id would run now (transport option applied);
    // empty when the stored settings are refused.
    std::string StoredLine(int id) const;

    // ---- the start queue ----
    void Enqueue(int row);       // at the end, once
    bool HasQueued() const;
    // Takes the next queued row off and starts it from its stored settings (LaunchStored);
    // false when none was queued.
    bool StartNextQueued();

    // ---- supervision ----
    void SuperviseTick();
    // Relaunches spread after a common failure, due at NextRelaunchAt (steady-clock ns; 0: none).
    std::int64_t NextRelaunchAt() const;
    void RelaunchDue();

    // ---- the schedule ----
    // The start queue starts its first row firstMs from now, then one every periodMs (the window
    // 5 s and 5 s, the service at once and 1 s).
    void PaceStarts(int firstMs, int periodMs);
    // When Advance next has something to do (steady-clock ns): the supervision tick every
    // kTimerPeriodMs, the next queued start, the next "全部运行" turn, a spread relaunch.
    std::int64_t NextDeadline() const;
    // Does what is due by now. A face calls it at NextDeadline and may call it at any time.
    void Advance();
    // A sample of a row's current child (posted by its monitor): the row is live.
    void OnProgress(int row, const ProgressSample& sample);
    // The output of a row's current child ended (posted by its monitor): with 快速重启, a child
    // that had been live is counted and relaunched now (or once it is reaped, EndCheckDue).
    void OnOutputEnded(int row);

    // A channel with extra publish addresses whose stored addresses were edited while it runs:
    // the pusher of each changed address starts again with it, the puller and the other pushers
    // go on. A changed number of addresses, like any other setting, waits for the next start.
    // Returns how many addresses were changed.
    int ApplyPublishEdits(int row);

    // ---- stops and bulk commands ----
    // "暂停" and "删除" of one row: the stored word or mark, the stop, the event.
    void PauseChannel(int row);
    void DeleteChannel(int row);
    // Stops a row without writing config.ini (the file already says so); kind is Paused,
    // Deleted or Restarting.
    void HaltChannel(int row, RowEvent::Kind kind, const std::string& event);
    // "全部运行": stores "运行中" for every row that "运行" would start and every row that gave
    // up (revived with its count back to 0), in one replace of config.ini, queues them and starts
    // the first; Advance starts the others, one every kRunAllPeriodMs (RunAllTick: the next one,
    // false once the queue is empty). Deleted rows stay stopped. Returns how many rows were queued.
    int RunAll();
    bool RunAllTick();
    // "全部暂停": pauses every row whose child is running, retrying or queued, storing all the
    // state words in one replace. Returns how many rows were paused.
    int PauseAll();
    // For the end of the program: no launch runs after it.
    void StopAllChannels();

    // ---- saving ----
    // While a change made in this run is in force but not yet in config.ini (the file is
    // half-written, the disk full): the sentence that says so and why. Empty when all is saved.
    // The face is shown it once when it arises; every supervision tick tries the write again.
    std::string Unsaved() const;

private:
    enum class Launch { FromList, Restart, FromWizard };
    enum class Spawned { Started, SpawnFailed, Refused };

    ChannelRow* Row(int row) { return row >= 0 && row < RowCount() ? &m_rows[static_cast<std::size_t>(row)] : nullptr; }
    const ChannelRow* Row(int row) const { return const_cast<RelayEngine*>(this)->Row(row); }
    // Takes rows off queue up to the first whose flag is still set, clearing it; -1 when none.
    int TakeFlagged(std::deque<int>& queue, bool ChannelRow::*flag);
    void Tell(int row, RowEvent::Kind kind, int value = 0, const std::string& text = {});
    void Tell(int row, const RowEvent& event);  // applied to the row's cells, then told the face
    // Its child reported progress within the last stall period; a channel with extra addresses
    // also needs one address up, unless only its puller is asked about.
    bool RowUp(const ChannelRow& row, bool pullerOnly = false) const;
    std::int64_t UpWindowNs() const;  // how long a child may be silent and still count as up
    // Launching (EngineLaunch.cpp).
    CommandBuild BuildStored(int row);  // the refusal told when not Ok
    void LaunchRow(int row);
    void RestartChannel(int row);
    Spawned SpawnRelay(Launch how, int row, CommandBuild build, std::string* refusal = nullptr);
    void Refuse(int row, const std::string& message, std::string* refusal = nullptr);
    void TouchStatusFile() const;
    // Supervision (EngineSupervision.cpp).
    void SuperviseRow(int row, std::int64_t now);
    void JudgeHealth(int row, const ProgressSample& sample);
    void CountEnded(int row);      // the end of the row's child, seen: recorded, counted, relaunched
    void EndCheckDue();            // 快速重启: ends seen in the output whose child was not yet reaped
    void CountFailure(int row);
    void RecordFailure(int row, const RelayWorker* worker, const std::string& how);
    void LogFailure(int row, const std::string& what);  // what ended, with its cause
    // The stand-in (EngineStandIn.cpp). A relay that failed at the camera, of a channel with
    // 备用画面 on, is followed by a stand-in, and its relaunches by checks of the camera; the
    // first check that passes ends the stand-in and relaunches the relay.
    bool TakesStandIn(const ChannelRow& r) const;
    void BeginStandIn(int row);
    void SpawnStandIn(int row);
    void EndStandIn(int row, const char* why);
    void CheckCamera(int row);
    void SuperviseStandIn(int row, std::int64_t now);
    // Whether a check of the camera ended (polled every kCheckPollMs, and at the ticks): one that
    // passed relaunches the relay at once, one that failed is counted at the tick after its end.
    void PollCameraCheck(int row, std::int64_t now, bool tick);
    void CameraChecksDue();
    // The end of a live child is counted as soon as its output ends: 快速重启, or a stand-in to start.
    bool EndsAtOnce(const ChannelRow& r) const;
    // output: a pusher's slot, whose monitor posts its readings to the faces; -1 for a child
    // whose output is only drained.
    bool SpawnSide(int row, std::unique_ptr<SideChild>& slot, const std::vector<std::string>& args, int output = -1);
    void RetireSide(std::unique_ptr<SideChild>& slot);
    void RelaunchRelay(int row);
    std::string StandInCell(const ChannelRow& r, int failures) const;
    void NotePicture(int row, const CommandBuild& build);  // a re-encode's size and rate
    void NoteLivePicture(int row);  // a copy's, read from what its child printed as it began
    // Several publish addresses (EngineOutputs.cpp): the puller is the row's child, each address
    // has a pusher, started at the puller's first reading and supervised at the ticks.
    void PrepareOutputs(int row, const std::vector<int>& ports);
    void StartOutputs(int row);
    void SpawnPusher(int row, int index);
    void RetirePusher(OutputSlot& slot);  // its bytes kept
    void RetireOutputs(int row);
    void SuperviseOutputs(int row, std::int64_t now);
    void CountPusherEnd(int row, std::size_t index, int stalledSeconds, bool delivering);
    void OnOutputProgress(int row, const ProgressSample& sample);
    bool PusherUp(const OutputSlot& slot) const;
    int ChannelKbps(const ChannelRow& r) const;
    std::vector<OutputView> OutputViews(const ChannelRow& r) const;
    // Saving (EngineCommands.cpp): stores the words of a command, then NoteSaving tells the
    // face and the log once when changes start or stop waiting to be saved.
    void Store(const ConfigStore::KeyValues& writes);
    void NoteSaving();
    // Stops.
    void StopChannel(int row);
    void RetireWorker(RelayWorker& worker);

    std::string m_strAppDir;
    RelayView& m_view;
    const ChildLauncher& m_launcher;
    const TimeSource& m_clock;
    EncoderSupport (*m_encoders)(const std::string& ffmpegPath);
    MonitorSink& m_sink;
    EngineOptions m_options;
    std::string m_strFfmpegPath;
    FfmpegLocation m_ffmpeg;
    std::deque<ChannelRow> m_rows;  // never moves: monitors point into their row
    std::unordered_map<int, int> m_rowById;
    std::deque<int> m_autoRunQueue;
    std::deque<int> m_runAllQueue;
    bool m_bShutDown = false;
    bool m_bUnsavedTold = false;  // the operator was told that changes wait to be saved
    int m_nFailedThisTick = 0;  // failures counted in the current tick: the next relaunch waits
    // The schedule (steady-clock ns).
    std::int64_t m_nextSuperviseAt = 0;
    std::int64_t m_nextStartAt = 0;
    std::int64_t m_startPeriodNs = MsToNs(kTimerPeriodMs);
    std::int64_t m_faceStartPeriodNs = MsToNs(kTimerPeriodMs);  // as the face paced it
    std::int64_t RunAllPeriodNs() const;
    std::int64_t m_nextRunAllAt = 0;
    std::unique_ptr<StatusLog> m_log;
    std::future<void> m_encoderQuery;  // the background query of the ffmpeg in use
};
