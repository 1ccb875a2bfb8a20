// The engine's rows, options, read views, start queue, schedule and stops.
#include "engine/RelayEngine.h"

#include "ffmpeg/PublishAddress.h"
#include "ffmpeg/TranscoderCompat.h"
#include "platform/ChildProcess.h"
#include "platform/SecretMask.h"
#include "settings/ChannelStore.h"

#include <algorithm>
#include <utility>

const char* PhaseName(Phase phase)
{
    static const char* const names[] = {"stopped", "queued", "starting", "live", "failing", "retrying", "given_up", "standin"};
    return names[static_cast<int>(phase)];
}

RelayEngine::RelayEngine(std::string appDir, RelayView& view, MonitorSink& sink, EngineEffects effects)
    : m_strAppDir(std::move(appDir)), m_view(view), m_launcher(*effects.launcher), m_clock(*effects.clock),
      m_encoders(effects.encoders), m_sink(sink),
      m_strFfmpegPath(m_strAppDir + "/ffmpeg"), m_ffmpeg{m_strFfmpegPath, {m_strFfmpegPath}},
      m_log(std::make_unique<StatusLog>(m_strAppDir + "/CamRelay.log"))
{
    m_nextSuperviseAt = m_clock.SteadyNs() + MsToNs(kTimerPeriodMs);
    m_log->Write("CamRelay 已启动 (配置目录 " + m_strAppDir + ")");
}

RelayEngine::~RelayEngine()
{
    if (m_encoderQuery.valid())
        m_encoderQuery.wait();
    StopAllChannels();
}

void RelayEngine::UseFfmpeg(const FfmpegLocation& ffmpeg)
{
    m_ffmpeg = ffmpeg;
    m_strFfmpegPath = ffmpeg.Found() || ffmpeg.m_tried.empty() ? ffmpeg.m_strPath : ffmpeg.m_tried.front();
    // Which encoders it has is asked once, now and off this thread: a first launch that had to
    // ask would hold the owner thread for half a second. A launch before the answer waits for it.
    if (ffmpeg.Found()) {
        if (m_encoderQuery.valid())
            m_encoderQuery.wait();
        m_encoderQuery = std::async(std::launch::async, [path = m_strFfmpegPath] { QueryEncoders(path); });
    }
}

// ---- rows ----

int RelayEngine::AddRow(int id, const RowCells& cells, bool stopped)
{
    ChannelRow& row = m_rows.emplace_back();
    row.m_tag.m_nId = id;
    row.m_tag.m_bStopped = stopped ? 1 : 0;
    row.m_strName = cells.name;
    row.m_cells = cells;  // the bitrate cell too: the event carries the others
    row.m_want = IsStoredRunning(cells.state) ? Want::Run : Want::Pause;
    m_rowById.emplace(id, RowCount() - 1);
    Tell(RowCount() - 1, RowEvent{RowEvent::Kind::Appended, 0, cells.name, cells.state, cells.transCode, cells.size});
    return RowCount() - 1;
}

int RelayEngine::RowOfId(int id) const
{
    const auto found = m_rowById.find(id);
    return found == m_rowById.end() ? -1 : found->second;
}

RowView RelayEngine::View(int row) const
{
    RowView view;
    const ChannelRow* r = Row(row);
    if (!r)
        return view;
    view.id = r->m_tag.m_nId;
    view.name = r->m_strName;
    view.stopped = r->m_tag.m_bStopped != 0;
    // A deleted row that was run again (the window allows it until the next start) is reported
    // as the running row it is while anything of it is supervised.
    view.deleted = r->m_bDeleted && (r->m_phase == Phase::Idle || r->m_phase == Phase::Queued);
    view.active = !view.stopped || r->m_phase == Phase::Queued;
    view.pid = r->m_worker ? r->m_worker->m_pid : -1;
    view.up = RowUp(*r);
    view.kbps = view.up ? r->m_nKbps : 0;  // a channel that is down relays nothing, whatever it read last
    view.failures = r->m_nFailures;
    view.liveSince = view.up ? r->m_liveSince : 0;
    view.outputBytes = r->m_bytesBefore + static_cast<std::uint64_t>(r->m_outputBytes.load(std::memory_order_relaxed));
    view.outputs = OutputViews(*r);
    for (const OutputView& output : view.outputs)
        view.outputBytes += output.bytes;  // the puller counts none
    view.lastFailure = r->m_lastFailure.get();
    // A live child that has gone quiet reads as starting again, as before its first reading.
    // A live puller with no address up after one failed publishes nothing: failing.
    const bool outputsFail = std::any_of(view.outputs.begin(), view.outputs.end(), [](const OutputView& o) { return o.failures > 0; });
    view.state = view.deleted ? "deleted"
                 : PhaseName(r->m_phase == Phase::Live && !view.up ? (outputsFail ? Phase::Failing : Phase::Starting) : r->m_phase);
    view.restarts = r->m_nRestarts;
    if (r->m_lastReadingAt != 0)
        view.secondsSinceReading = static_cast<double>(m_clock.SteadyNs() - r->m_lastReadingAt) / 1e9;
    view.cells = Cells(row);
    view.droppedFrames = r->m_health.Dropped();
    view.lostPackets = r->m_health.LostPackets();
    view.liveEnds = r->m_nLiveEnds;
    view.source = r->m_strShownSource, view.publish = r->m_strShownPublish;
    std::int64_t standInNs = static_cast<std::int64_t>(r->m_standInNsBefore);
    // Said while its child runs and has published (a child without a readable output counts
    // while it runs); the phase says meanwhile that the camera is checked instead of relaunched.
    const SideChild* standIn = r->m_standIn.get();
    if (r->m_standInSince != 0 && standIn && !standIn->m_bEnded && (!standIn->m_monitor || standIn->m_outputBytes.load() > 0)) {
        view.standInSince = r->m_standInSince;
        view.standInCause = r->m_strStandInCause;
        view.standInText = r->m_strStandInLabel;
    }
    if (r->m_standInSince != 0)
        standInNs += m_clock.SteadyNs() - r->m_standInFromNs;
    view.standInSeconds = static_cast<double>(standInNs) / 1e9;
    if (view.up) {
        view.speed = r->m_health.Speed(), view.fps = r->m_health.Fps();
        view.degradation = DegradationName(r->m_degraded);
    }
    return view;
}

RowCells RelayEngine::Cells(int row) const
{
    const ChannelRow* r = Row(row);
    if (!r)
        return {};
    RowCells cells = r->m_cells;
    // The cell and the endpoint's number agree: a reading of a child that is down is no rate.
    if (r->m_bCellShowsReading && !RowUp(*r))
        cells.bitrate = "0kbps", cells.health.clear();
    return cells;
}

std::int64_t RelayEngine::UpWindowNs() const
{
    // ffmpeg prints a status line about twice a second: a child silent for longer than the
    // watchdog's shortest period is not relaying, whether or not the watchdog is on.
    const int stallMs = m_options.m_nStallMs;
    return MsToNs(stallMs > 0 ? std::min(stallMs, kMinStallSeconds * 1000) : kMinStallSeconds * 1000);
}

bool RelayEngine::RowUp(const ChannelRow& row, bool pullerOnly) const
{
    if (!row.m_worker || row.m_worker->m_bEnded || !row.m_worker->m_bRelaying)
        return false;
    if (m_clock.SteadyNs() - row.m_lastProgress.load(std::memory_order_relaxed) > UpWindowNs())
        return false;
    // A puller whose every pusher is down publishes nothing.
    return pullerOnly || row.m_outputs.empty() ||
           std::any_of(row.m_outputs.begin(), row.m_outputs.end(), [this](const auto& slot) { return PusherUp(*slot); });
}

void RelayEngine::ShowAddresses(int row, const std::string& source, const std::string& publish)
{
    if (ChannelRow* r = Row(row))
        r->m_strShownSource = MaskPasswords(source), r->m_strShownPublish = ParsePublishAddress(publish).shown;
}

void RelayEngine::Rename(int row, const std::string& name)
{
    if (ChannelRow* r = Row(row); r && r->m_strName != name) {
        r->m_strName = name;
        Tell(row, RowEvent::Kind::Renamed, 0, name);
    }
}

std::vector<std::string> RelayEngine::RowOutput(int row) const
{
    const ChannelRow* r = Row(row);
    std::vector<std::string> lines = r ? r->m_tail->Lines() : std::vector<std::string>();
    for (std::string& line : lines)
        line = MaskPasswords(line);  // a camera's address often carries its password
    return lines;
}

std::vector<std::string> RelayEngine::RowFailure(int row) const
{
    const ChannelRow* r = Row(row);
    if (!r || !r->m_lastFailure)
        return {};
    // Why first, in the operator's words, with the line of ffmpeg's that says it.
    const FailureRecord& record = *r->m_lastFailure;
    std::vector<std::string> lines{record.m_diagnosis.sentence};
    if (!record.m_diagnosis.line.empty())
        lines.push_back(record.m_diagnosis.line);
    lines.push_back("上次失败 " + StatusLog::Stamp(record.m_at, "%Y-%m-%d %H:%M:%S") + ": " + record.m_strHow);
    for (const std::string& line : record.m_lines)
        lines.push_back(MaskPasswords(line));
    return lines;
}

void RelayEngine::LogRow(int row, const std::string& event, int priority)
{
    if (const ChannelRow* r = Row(row))
        m_log->Write("信号 " + r->m_strName + " (id " + std::to_string(r->m_tag.m_nId) + "): " + event, priority);
}

const std::string& RelayEngine::LaunchedLine(int row) const
{
    static const std::string none;
    const ChannelRow* r = Row(row);
    return r && r->m_worker ? r->m_strLaunchedLine : none;
}

void RelayEngine::SetMissingFromFile(int row, bool missing)
{
    ChannelRow* r = Row(row);
    if (r && missing && !r->m_bMissingLogged)
        LogRow(row, "配置中找不到该信号: 保持不变");
    if (r)
        r->m_bMissingLogged = missing;
}

void RelayEngine::Revive(int row)
{
    if (ChannelRow* r = Row(row); r && r->m_bDeleted) {
        r->m_bDeleted = false;
        Tell(row, RowEvent::Kind::Starting);
    }
}

void RelayEngine::Tell(int row, RowEvent::Kind kind, int value, const std::string& text)
{
    Tell(row, RowEvent{kind, value, text, {}, {}, {}});
}

void RelayEngine::Tell(int row, const RowEvent& event)
{
    ChannelRow& r = *Row(row);
    const std::string bitrate = r.m_cells.bitrate;
    r.m_cells.Apply(event);
    if (event.m_kind == RowEvent::Kind::Live)
        r.m_bCellShowsReading = true;
    else if (r.m_cells.bitrate != bitrate)
        r.m_bCellShowsReading = false;
    m_view.OnRowEvent(row, event);
}

// ---- the start queue ----

void RelayEngine::Enqueue(int row)
{
    ChannelRow* r = Row(row);
    if (!r || r->m_bAutoQueued)
        return;
    r->m_bAutoQueued = true;
    r->m_want = Want::Run;  // queued from its stored "运行中"
    if (r->m_phase == Phase::Idle)
        r->m_phase = Phase::Queued;
    m_autoRunQueue.push_back(row);
}

bool RelayEngine::HasQueued() const
{
    return std::any_of(m_autoRunQueue.begin(), m_autoRunQueue.end(), [this](int row) { return Row(row)->m_bAutoQueued; });
}

int RelayEngine::TakeFlagged(std::deque<int>& queue, bool ChannelRow::*flag)
{
    while (!queue.empty()) {
        const int row = queue.front();
        queue.pop_front();
        if (ChannelRow& r = *Row(row); std::exchange(r.*flag, false)) {
            if (r.m_phase == Phase::Queued && !r.m_bAutoQueued && !r.m_bRunAllQueued)
                r.m_phase = Phase::Idle;  // its launch, if it still has one, says what follows
            return row;
        }
    }
    return -1;
}

bool RelayEngine::StartNextQueued()
{
    const int row = TakeFlagged(m_autoRunQueue, &ChannelRow::m_bAutoQueued);
    if (row < 0)
        return false;
    LaunchStored(row);
    return true;
}

// ---- the schedule ----

void RelayEngine::PaceStarts(int firstMs, int periodMs)
{
    m_faceStartPeriodNs = MsToNs(periodMs);
    const int interval = m_options.m_nStartIntervalMs;
    m_nextStartAt = m_clock.SteadyNs() + MsToNs(interval > 0 ? std::min(firstMs, interval) : firstMs);
    m_startPeriodNs = interval > 0 ? MsToNs(interval) : m_faceStartPeriodNs;
}

void RelayEngine::SetStartIntervalMs(int ms)
{
    m_options.m_nStartIntervalMs = std::max(0, ms);
    m_startPeriodNs = ms > 0 ? MsToNs(ms) : m_faceStartPeriodNs;
}

std::int64_t RelayEngine::RunAllPeriodNs() const
{
    return MsToNs(m_options.m_nStartIntervalMs > 0 ? m_options.m_nStartIntervalMs : kRunAllPeriodMs);
}

std::int64_t RelayEngine::NextDeadline() const
{
    std::int64_t next = m_nextSuperviseAt;
    if (HasQueued())
        next = std::min(next, m_nextStartAt);
    if (!m_runAllQueue.empty())
        next = std::min(next, m_nextRunAllAt);
    if (const std::int64_t relaunch = NextRelaunchAt(); relaunch != 0)
        next = std::min(next, relaunch);
    for (const ChannelRow& r : m_rows)
        for (const std::int64_t at : {r.m_endCheckAt, r.m_checkPollAt})
            if (at != 0)
                next = std::min(next, at);
    return next;
}

void RelayEngine::Advance()
{
    if (m_bShutDown)
        return;
    const std::int64_t now = m_clock.SteadyNs();
    if (now >= m_nextStartAt && StartNextQueued())
        m_nextStartAt = now + m_startPeriodNs;
    if (now >= m_nextRunAllAt && !m_runAllQueue.empty()) {
        RunAllTick();
        m_nextRunAllAt = now + RunAllPeriodNs();
    }
    RelaunchDue();
    EndCheckDue();
    CameraChecksDue();
    if (now >= m_nextSuperviseAt) {
        SuperviseTick();
        // As a timer: a late tick does not make the next ones come faster.
        m_nextSuperviseAt = std::max(m_nextSuperviseAt + MsToNs(kTimerPeriodMs), now + MsToNs(kTimerPeriodMs) / 2);
    }
}

// ---- stops ----

void RelayEngine::RetireWorker(RelayWorker& worker)
{
    if (!worker.m_bEnded) {
        m_launcher.Kill(worker.m_pid);
        worker.m_bEnded = true;
    }
    if (worker.m_monitor) {
        worker.m_monitor->Stop();
        worker.m_monitor->Join();
    }
}

void RelayEngine::StopChannel(int row)
{
    ChannelRow* r = Row(row);
    if (!r)
        return;
    // A start that could not run ffmpeg is not retried after a stop, and a row still waiting
    // for its turn stays stopped: the operator paused or deleted it.
    r->m_bFailedStart = false;
    r->m_bAutoQueued = r->m_bRunAllQueued = false;
    r->m_retryAt = 0, r->m_relaunchAt = 0, r->m_nKbps = 0;
    r->m_phase = Phase::Idle;
    EndStandIn(row, "信号已停止");
    RetireOutputs(row);
    if (!r->m_worker)
        return;
    r->m_running = false;
    RetireWorker(*r->m_worker);
    r->m_worker.reset();
}

void RelayEngine::StopAllChannels()
{
    const bool first = !m_bShutDown;
    m_bShutDown = true;
    m_autoRunQueue.clear();
    m_runAllQueue.clear();
    for (ChannelRow& row : m_rows) {
        row.m_bFailedStart = row.m_bAutoQueued = row.m_bRunAllQueued = false;
        RetireSide(row.m_standIn), RetireSide(row.m_cameraCheck);
        for (auto& output : row.m_outputs)
            RetireSide(output->m_pusher);
        if (row.m_worker)
            RetireWorker(*row.m_worker);  // joins the monitor while its row exists
    }
    if (first)
        m_log->Write("CamRelay 已退出");
}
