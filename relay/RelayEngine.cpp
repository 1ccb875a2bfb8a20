#include "relay/RelayEngine.h"

#include "relay/ChildProcess.h"
#include "relay/CommandBuilder.h"
#include "relay/CommandLine.h"
#include "relay/TranscoderCompat.h"
#include "settings/ChannelStore.h"
#include "settings/ConfigStore.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>

namespace {
const std::size_t kFailureLines = 20;  // lines kept of a failed attempt

std::int64_t Now()
{
    return std::chrono::steady_clock::now().time_since_epoch().count();
}

std::int64_t Nanos(int ms)
{
    return std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::milliseconds(ms)).count();
}

std::string LocalTime(std::time_t when)
{
    std::tm local{};
    ::localtime_r(&when, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    return text;
}

std::string Format(const char* pattern, int value)
{
    char text[128];
    std::snprintf(text, sizeof text, pattern, value);
    return text;
}
}  // namespace

RelayEngine::RelayEngine(std::string appDir, RelayView& view, MonitorSink& sink)
    : m_strAppDir(std::move(appDir)), m_view(view), m_sink(sink)
{
    m_strFfmpegPath = m_strAppDir + "/ffmpeg";
    m_log = std::make_unique<StatusLog>(m_strAppDir + "/CamRelay.log");
    m_log->Write("CamRelay 已启动 (配置目录 " + m_strAppDir + ")");
}

int RelayEngine::StallTimeoutMs(const std::string& text)
{
    std::size_t i = text.find_first_not_of(" \t");
    if (i != std::string::npos && text[i] == '+')
        ++i;
    // Only a number counts: a value that is empty or garbled must not turn the watchdog off.
    if (i == std::string::npos || i >= text.size() || text[i] < '0' || text[i] > '9')
        return kDefaultStallSeconds * 1000;
    const int seconds = DecimalValue(text);
    if (seconds <= 0)
        return 0;
    return std::clamp(seconds, kMinStallSeconds, 24 * 3600) * 1000;
}

void RelayEngine::UseFfmpeg(const FfmpegLocation& ffmpeg)
{
    m_strFfmpegPath = ffmpeg.Found() || ffmpeg.m_tried.empty() ? ffmpeg.m_strPath : ffmpeg.m_tried.front();
    m_strFfmpegTried = ffmpeg.Found() ? std::string() : ffmpeg.TriedText();
    // Which encoders it has is asked once, now and off this thread: a first launch that had to
    // ask would hold the owner thread for half a second. A launch before the answer waits for it.
    if (ffmpeg.Found()) {
        if (m_encoderQuery.valid())
            m_encoderQuery.wait();
        m_encoderQuery = std::async(std::launch::async, [path = m_strFfmpegPath] { QueryEncoders(path); });
    }
}

RelayEngine::~RelayEngine()
{
    if (m_encoderQuery.valid())
        m_encoderQuery.wait();
    StopAllChannels();
    m_workers.clear();  // joins the monitors before the rows they read go away
}

int RelayEngine::AddRow(int id, bool stopped, bool running, const std::string& name)
{
    RowTag tag;
    tag.m_bStopped = stopped ? 1 : 0;
    tag.m_nId = id;
    m_tags.push_back(tag);
    m_failCounts.push_back(0);
    m_rowRunning.emplace_back(running);
    m_tails.push_back(std::make_shared<OutputTail>());
    m_health.emplace_back().m_strName = name;
    return RowCount() - 1;
}

void RelayEngine::SetRowName(int row, const std::string& name)
{
    if (row >= 0 && row < RowCount())
        m_health[row].m_strName = name;
}

void RelayEngine::LogRow(int row, const std::string& event)
{
    if (row < 0 || row >= RowCount())
        return;
    m_log->Write("信号 " + m_health[row].m_strName + " (id " + std::to_string(m_tags[row].m_nId) + "): " + event);
}

bool RelayEngine::IsBannerLine(std::string_view line)
{
    const std::size_t start = line.find_first_not_of(" \t");
    if (start == std::string_view::npos)
        return false;
    line.remove_prefix(start);
    for (std::string_view head : {"ffmpeg version", "built with", "configuration:"})
        if (line.substr(0, head.size()) == head)
            return true;
    // "libavutil      57. 28.100 / 57. 28.100"
    if (line.substr(0, 3) != "lib" || line.find(" / ") == std::string_view::npos)
        return false;
    const std::size_t gap = line.find(' ');
    const std::size_t version = line.find_first_not_of(' ', gap);
    return version != std::string_view::npos && line[version] >= '0' && line[version] <= '9';
}

std::vector<std::string> RelayEngine::RowFailure(int row) const
{
    if (row < 0 || row >= RowCount() || !m_health[row].m_lastFailure)
        return {};
    const FailureRecord& record = *m_health[row].m_lastFailure;
    std::vector<std::string> lines{"上次失败 " + record.m_strWhen + ": " + record.m_strHow};
    lines.insert(lines.end(), record.m_lines.begin(), record.m_lines.end());
    return lines;
}

void RelayEngine::RecordFailure(int row, const RelayWorker* worker, const std::string& how)
{
    auto record = std::make_unique<FailureRecord>();
    record->m_strWhen = LocalTime(worker && worker->m_endedAt ? worker->m_endedAt : std::time(nullptr));
    record->m_strHow = how;
    if (worker) {
        // The monitor has been joined: the tail holds everything the attempt printed.
        for (std::string& line : m_tails[row]->Lines())
            if (!IsBannerLine(line))
                record->m_lines.push_back(std::move(line));
        if (record->m_lines.size() > kFailureLines)
            record->m_lines.erase(record->m_lines.begin(), record->m_lines.end() - kFailureLines);
    }
    m_health[row].m_lastFailure = std::move(record);
}

RowTag* RelayEngine::Tag(int row)
{
    return row >= 0 && row < RowCount() ? &m_tags[row] : nullptr;
}

std::vector<std::string> RelayEngine::RowOutput(int row) const
{
    if (row < 0 || row >= static_cast<int>(m_tails.size()))
        return {};
    return m_tails[row]->Lines();
}

void RelayEngine::Note(int row, const std::string& line)
{
    if (row >= 0 && row < static_cast<int>(m_tails.size()))
        m_tails[row]->Append(line);
}

// ---- command lines ----

CommandBuild RelayEngine::StoredCommand(int id) const
{
    ChannelSettings settings;
    CheckStates checks{};
    ReadChannelForCommand(ConfigStore(m_strAppDir), id, settings, checks);
    return BuildCommandLine(checks, settings);
}

bool RelayEngine::BuildCommandFromConfig(int id, int row)
{
    const CommandBuild build = StoredCommand(id);
    // The mark follows the choice of video re-encoding, also for a line that was refused,
    // as the wizard feed's mark does.
    if (build.reencodesVideo)
        m_view.SetCellText(row, kColTransCode, "是");
    if (build.status != CommandBuild::Ok) {
        m_view.SetCellText(row, kColBitrate, build.message);
        Note(row, build.message);
        LogRow(row, "未开启直播: " + build.message);
        return false;
    }
    std::memcpy(m_szCommand, build.line.c_str(), build.line.size() + 1);
    return true;
}

bool RelayEngine::BuildCommandFromSettings(const CheckStates& checks)
{
    const CommandBuild build = BuildCommandLine(checks, m_settings);
    // The mark follows the choice of video re-encoding, also for a line that was refused.
    m_strVdTransCode = (checks[0] && checks[1]) ? "是" : "";
    if (build.status != CommandBuild::Ok) {
        m_lastRefusal = build.message;
        return false;
    }
    std::memcpy(m_szCommand, build.line.c_str(), build.line.size() + 1);
    return true;
}

// ---- launches ----

void RelayEngine::StartChannel(RowTag* tag, int row)
{
    if (!tag || tag->m_bStopped != 1)
        return;
    m_strState = kStateRunning;
    ConfigStore(m_strAppDir).SetValue(m_strState, ChannelKey(tag->m_nId, "strAVState"));
    LaunchRow(tag, row);
}

// A start from the list once the state word is stored: cells, command line, child.
void RelayEngine::LaunchRow(RowTag* tag, int row)
{
    m_strState = kStateRunning;
    m_view.SetCellText(row, kColState, m_strState);
    if (row >= 0 && row < RowCount())
        m_health[row].m_bGaveUp = false, m_health[row].m_retryAt = 0;
    if (!BuildCommandFromConfig(tag->m_nId, row))
        return;
    const Spawned result = SpawnRelay(Launch::FromList, tag->m_nId, row);
    // A start whose ffmpeg could not run is under supervision (it is retried), so the row
    // counts as started; a refused line leaves it startable.
    if (result == Spawned::Started || result == Spawned::SpawnFailed)
        tag->m_bStopped = 0;
}

void RelayEngine::RestartChannel(int row, int id)
{
    if (row >= 0 && row < RowCount())
        ++m_health[row].m_nRestarts;
    if (!BuildCommandFromConfig(id, row))
        return;
    SpawnRelay(Launch::Restart, id, row);
}

std::string RelayEngine::LaunchFromWizard(int id, const CheckStates& checks, int row)
{
    m_lastRefusal.clear();
    if (!BuildCommandFromSettings(checks)) {
        if (RowTag* tag = Tag(row))
            tag->m_bStopped = 1;  // nothing runs: let the operator fix and start it
        Note(row, m_lastRefusal);
        LogRow(row, "未开启直播: " + m_lastRefusal);
        return m_lastRefusal;
    }
    const Spawned result = SpawnRelay(Launch::FromWizard, id, row);
    if (result == Spawned::Refused) {
        if (RowTag* tag = Tag(row))
            tag->m_bStopped = 1;
    }
    return m_lastRefusal;
}

void RelayEngine::Refuse(Launch how, int row, const std::string& message)
{
    Note(row, message);
    LogRow(row, "未开启直播: " + message);
    if (how == Launch::FromWizard)
        m_lastRefusal = message;  // the row does not exist yet: the import shows it
    else
        m_view.SetCellText(row, kColBitrate, message);
}

void RelayEngine::TouchStatusFile() const
{
    // Opened for writing, created when absent, never truncated, nothing written. Only a regular
    // file (also behind a link) is touched: opening a FIFO would block the GUI thread and opening
    // a device may act on it. O_NONBLOCK covers a file swapped for a FIFO after the check.
    const std::string path = m_strAppDir + "/NetStatus.txt";
    struct stat info;
    if (::stat(path.c_str(), &info) == 0 && !S_ISREG(info.st_mode))
        return;
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0644);
    if (fd >= 0)
        ::close(fd);
}

RelayEngine::Spawned RelayEngine::SpawnRelay(Launch how, int id, int row)
{
    if (m_bShutDown)
        return Spawned::Refused;  // the program is closing: nothing starts any more
    std::string line(m_szCommand);
    if (!ApplyRtspTransport(m_bRTSPuseTCP, line)) {
        Refuse(how, row, "命令行过长，未开启直播！");
        return Spawned::Refused;
    }
    std::memcpy(m_szCommand, line.c_str(), line.size() + 1);
    const std::vector<std::string> args =
        AdaptArguments(SplitCommandLine(line), QueryEncoders(m_strFfmpegPath));

    if (how != Launch::Restart)
        TouchStatusFile();
    m_health[row].m_launchedAt = Now();
    const SpawnResult child = SpawnChild(m_strFfmpegPath, args);
    if (child.status != SpawnResult::Ok) {
        // Counted as a failed attempt at the next supervision tick, and retried from there:
        // a lack of descriptors or processes is usually passing.
        const bool pipe = child.status == SpawnResult::PipeFailed;
        if (pipe && how != Launch::Restart)  // a relaunch only logs it: no box every ten seconds
            m_view.ShowMessage("Error On CreatePipe()");
        const std::string reason = pipe ? std::string("无法创建管道：") + std::strerror(child.error)
                                   : m_strFfmpegTried.empty()
                                       ? "无法启动ffmpeg（" + m_strFfmpegPath + "）：" + std::strerror(child.error)
                                       : "找不到ffmpeg，已查找：" + m_strFfmpegTried;
        Note(row, reason);
        LogRow(row, reason);
        if (how == Launch::FromWizard)
            m_lastRefusal = reason;
        else if (how == Launch::FromList)
            m_view.SetCellText(row, kColBitrate, reason);
        m_failedStarts[row] = id;
        return Spawned::SpawnFailed;  // also for a pipe: the same retry applies
    }

    if (how != Launch::FromWizard)
        m_rowRunning[row] = true;  // before the monitor exists: it ends at once on a clear bit
    // The tail shows the current child; what ended the one before is in the failure record.
    m_tails[row]->Clear();
    m_health[row].m_lastProgress.store(Now());  // the watchdog counts from the child's start
    MonitorContext context;
    context.m_pOwner = &m_sink;
    context.m_hReadPipe = child.readFd;
    context.m_hProcess = child.pid;
    context.m_nRow = row;
    context.m_pRunning = &m_rowRunning[row];
    context.m_tail = m_tails[row];
    context.m_pLastProgress = &m_health[row].m_lastProgress;
    auto monitor = std::make_unique<OutputMonitor>(std::move(context));
    if (!monitor->Started())
        monitor.reset();

    auto existing = m_workers.find(id);
    if (existing != m_workers.end())
        RetireWorker(existing->second);  // a replaced entry never leaves its child running
    RelayWorker& worker = m_workers[id];
    worker.m_hProcess = child.pid;
    worker.m_hThread = std::move(monitor);
    worker.m_bEnded = false;
    worker.m_nExitCode = 0;
    worker.m_nSignal = 0;
    worker.m_nStalledSeconds = 0;
    worker.m_bRelaying = false;
    worker.m_endedAt = 0;
    m_failedStarts.erase(row);
    m_health[row].m_nKbps = 0;
    m_health[row].m_strLaunchedLine = line;
    LogRow(row, "已启动 ffmpeg (pid " + std::to_string(child.pid) + ")");
    return Spawned::Started;
}

// ---- timers ----

void RelayEngine::Enqueue(int row)
{
    if (row < 0 || row >= RowCount() || m_health[row].m_bAutoQueued)
        return;
    m_health[row].m_bAutoQueued = true;
    m_autoRunQueue.push_back(row);
}

bool RelayEngine::HasQueued() const
{
    return std::any_of(m_autoRunQueue.begin(), m_autoRunQueue.end(), [this](int row) { return m_health[row].m_bAutoQueued; });
}

int RelayEngine::TakeQueued()
{
    while (!m_autoRunQueue.empty()) {
        const int row = m_autoRunQueue.front();
        m_autoRunQueue.pop_front();
        if (std::exchange(m_health[row].m_bAutoQueued, false))
            return row;
    }
    return -1;
}

bool RelayEngine::AutoRunTick()
{
    const int row = TakeQueued();
    if (row < 0)
        return false;
    StartChannel(Tag(row), row);
    return true;
}

void RelayEngine::SuperviseTick()
{
    const std::int64_t now = Now();
    const std::int64_t stallNs = Nanos(m_nStallMs);
    // Rows may be appended by a relaunch's side effects: read the count again every row.
    for (int row = 0; row < RowCount(); ++row) {
        const int id = m_tags[row].m_nId;
        RowHealth& health = m_health[row];
        auto failed = m_failedStarts.find(row);
        if (failed != m_failedStarts.end() && failed->second == id) {
            m_failedStarts.erase(failed);
            const std::vector<std::string> said = m_tails[row]->Lines();
            RecordFailure(row, nullptr, said.empty() ? "无法启动ffmpeg" : said.back());
            CountFailure(row, id);
            continue;
        }
        auto found = m_workers.find(id);
        if (found == m_workers.end()) {
            // Over the failure limit with keep-retrying on: one attempt a minute. Due a sixtieth
            // early, so that the jitter of the timer never moves it to the tick after.
            if (health.m_retryAt != 0 && now >= health.m_retryAt - Nanos(m_nKeepRetryMs / 60)) {
                health.m_retryAt = 0;
                LogRow(row, "每分钟重试: 重新启动");
                RestartChannel(row, id);
            }
            continue;
        }
        RelayWorker& worker = found->second;
        if (!worker.m_bEnded) {
            int exitCode = 0, signal = 0;
            if (PollChild(worker.m_hProcess, &exitCode, &signal) == ChildState::Running) {
                // A child alive without a status line for the stall timeout relays nothing:
                // it is ended and handled like any other end from here on.
                if (stallNs == 0 || now - health.m_lastProgress.load(std::memory_order_relaxed) <= stallNs)
                    continue;
                KillChild(worker.m_hProcess);
                worker.m_nStalledSeconds = m_nStallMs / 1000;
                const std::string text = Format("无数据%d秒，重新连接。。。", worker.m_nStalledSeconds);
                m_view.SetCellText(row, kColBitrate, text);
                LogRow(row, Format("无数据%d秒，结束 ffmpeg", worker.m_nStalledSeconds) + " (pid " +
                                std::to_string(worker.m_hProcess) + ")");
            } else {
                worker.m_nExitCode = exitCode;
                worker.m_nSignal = signal;
                LogRow(row, "ffmpeg 已结束 (pid " + std::to_string(worker.m_hProcess) +
                                (signal ? ", 信号 " + std::to_string(signal) : ", 退出码 " + std::to_string(exitCode)) + ")");
            }
            worker.m_bEnded = true;
            worker.m_endedAt = std::time(nullptr);
        }
        // First notice: clear the run bit; the clean-up follows at the next tick.
        if (m_rowRunning[row].exchange(false))
            continue;
        RetireWorker(worker);
        const std::string how = worker.m_nStalledSeconds ? Format("无数据%d秒", worker.m_nStalledSeconds)
                                : worker.m_nSignal         ? Format("ffmpeg 被信号 %d 结束", worker.m_nSignal)
                                                           : Format("ffmpeg 退出码 %d", worker.m_nExitCode);
        RecordFailure(row, &worker, how);
        m_workers.erase(found);
        health.m_nKbps = 0;
        CountFailure(row, id);
    }
}

void RelayEngine::CountFailure(int row, int id)
{
    const int count = ++m_failCounts[row];
    RowHealth& health = m_health[row];
    if (count < kFailureLimit) {
        m_view.SetCellText(row, kColBitrate, Format("连续%d次直播失败，重试中。。。！", count));
        LogRow(row, Format("连续%d次直播失败，重试中", count));
        RestartChannel(row, id);
    } else if (m_bKeepRetrying) {
        // Once a minute, counted from the attempt that just failed.
        health.m_retryAt = health.m_launchedAt + Nanos(m_nKeepRetryMs);
        m_view.SetCellText(row, kColBitrate, Format("连续%d次直播失败，每分钟重试。。。！", count));
        LogRow(row, Format("连续%d次直播失败，每分钟重试", count));
    } else {
        health.m_bGaveUp = true;
        m_view.SetCellText(row, kColBitrate, "直播多次失败，请检查！");
        LogRow(row, Format("连续%d次直播失败，已放弃", count));
    }
}

void RelayEngine::SetKeepRetrying(bool on)
{
    m_bKeepRetrying = on;
    if (!on)
        return;  // a channel over the limit gives up at its next failure
    const ConfigStore store(m_strAppDir);
    for (int row = 0; row < RowCount(); ++row) {
        RowHealth& health = m_health[row];
        if (!health.m_bGaveUp || health.m_bDeleted || m_tags[row].m_bStopped != 0 ||
            m_workers.count(m_tags[row].m_nId) != 0 ||
            !IsStoredRunning(store.GetValue(ChannelKey(m_tags[row].m_nId, "strAVState"))))
            continue;
        health.m_bGaveUp = false;
        health.m_retryAt = Now();  // due at the next tick
        m_view.SetCellText(row, kColBitrate, Format("连续%d次直播失败，每分钟重试。。。！", m_failCounts[row]));
    }
}

void RelayEngine::OnRelayBitrate(int row, int kbps)
{
    if (row < 0 || row >= RowCount())
        return;
    // A reading still queued from a child that was stopped since must not revive the row.
    if (m_workers.find(m_tags[row].m_nId) == m_workers.end())
        return;
    m_failCounts[row] = 0;
    m_health[row].m_nKbps = kbps;
    m_health[row].m_lastReadingAt = Now();
    m_view.SetCellText(row, kColBitrate, Format("%dkbps", kbps));
    RelayWorker& worker = m_workers[m_tags[row].m_nId];
    if (!worker.m_bRelaying) {
        worker.m_bRelaying = true;
        LogRow(row, Format("开始直播 %dkbps", kbps));
    }
}

// ---- stops ----

void RelayEngine::RetireWorker(RelayWorker& worker)
{
    if (!worker.m_bEnded) {
        KillChild(worker.m_hProcess);
        worker.m_bEnded = true;
    }
    if (worker.m_hThread) {
        worker.m_hThread->Stop();
        worker.m_hThread->Join();
    }
}

void RelayEngine::StopChannel(int row, int id)
{
    m_failedStarts.erase(row);  // a start that could not run ffmpeg is not retried after a stop
    // A row still waiting for its auto-run turn stays stopped: the operator paused or deleted it.
    if (row >= 0 && row < RowCount()) {
        RowHealth& health = m_health[row];
        health.m_bAutoQueued = health.m_bRunAllQueued = false;
        health.m_retryAt = 0, health.m_bGaveUp = false, health.m_nKbps = 0;
    }
    auto found = m_workers.find(id);
    if (found == m_workers.end())
        return;
    if (row >= 0 && row < RowCount())
        m_rowRunning[row] = false;
    RetireWorker(found->second);
    m_workers.erase(found);
}

void RelayEngine::StopAllChannels()
{
    const bool first = !m_bShutDown;
    m_bShutDown = true;
    m_failedStarts.clear();
    m_autoRunQueue.clear();
    m_runAllQueue.clear();
    for (RowHealth& health : m_health)
        health.m_bAutoQueued = health.m_bRunAllQueued = false;
    for (auto& [id, worker] : m_workers)
        RetireWorker(worker);
    if (first)
        m_log->Write("CamRelay 已退出");
}

void RelayEngine::PauseChannel(int row)
{
    RowTag* tag = Tag(row);
    if (!tag)
        return;
    m_strState = kStatePaused;
    ConfigStore(m_strAppDir).SetValue(m_strState, ChannelKey(tag->m_nId, "strAVState"));
    HaltChannel(row, m_strState, "已暂停");
}

void RelayEngine::DeleteChannel(int row)
{
    RowTag* tag = Tag(row);
    if (!tag)
        return;
    StopChannel(row, tag->m_nId);
    ConfigStore(m_strAppDir).SetValue("true", ChannelKey(tag->m_nId, "ISDelete"));
    m_view.SetCellText(row, kColState, "已删除，重启生效");
    m_health[row].m_bDeleted = true;
    LogRow(row, "已删除");
}

bool RelayEngine::IsQueued(int row) const
{
    return row >= 0 && row < RowCount() && (m_health[row].m_bAutoQueued || m_health[row].m_bRunAllQueued);
}

int RelayEngine::RunAll()
{
    if (m_bShutDown)
        return 0;
    ConfigStore::KeyValues writes;
    std::vector<int> rows;
    for (int row = 0; row < RowCount(); ++row) {
        RowTag& tag = m_tags[row];
        RowHealth& health = m_health[row];
        if (health.m_bDeleted || health.m_bRunAllQueued)
            continue;
        if (health.m_bGaveUp && tag.m_bStopped == 0 && m_workers.count(tag.m_nId) == 0) {
            // As "暂停" then "运行" would, with a fresh count.
            tag.m_bStopped = 1;
            health.m_bGaveUp = false;
            m_failCounts[row] = 0;
        }
        if (tag.m_bStopped != 1)
            continue;
        writes.emplace_back(ChannelKey(tag.m_nId, "strAVState"), kStateRunning);
        rows.push_back(row);
    }
    ConfigStore(m_strAppDir).SetValues(writes);
    m_strState = kStateRunning;
    for (int row : rows) {
        m_view.SetCellText(row, kColState, m_strState);
        m_health[row].m_bRunAllQueued = true;
        m_runAllQueue.push_back(row);
    }
    return static_cast<int>(rows.size());
}

bool RelayEngine::RunAllTick()
{
    // A row started or paused by hand meanwhile is skipped: its tag says so.
    while (!m_runAllQueue.empty()) {
        const int row = m_runAllQueue.front();
        m_runAllQueue.pop_front();
        RowTag* tag = Tag(row);
        if (!std::exchange(m_health[row].m_bRunAllQueued, false))
            continue;  // stopped since it was queued
        if (tag && tag->m_bStopped == 1 && !m_health[row].m_bDeleted) {
            LaunchRow(tag, row);
            break;
        }
    }
    return !m_runAllQueue.empty();
}

int RelayEngine::PauseAll()
{
    ConfigStore::KeyValues writes;
    std::vector<int> rows;
    for (int row = 0; row < RowCount(); ++row) {
        const int id = m_tags[row].m_nId;
        if (m_workers.count(id) != 0 || m_failedStarts.count(row) != 0 || m_health[row].m_retryAt != 0 ||
            IsQueued(row)) {
            writes.emplace_back(ChannelKey(id, "strAVState"), kStatePaused);
            rows.push_back(row);
        }
    }
    ConfigStore(m_strAppDir).SetValues(writes);
    m_strState = kStatePaused;
    for (int row : rows)
        HaltChannel(row, m_strState, "已暂停");
    return static_cast<int>(rows.size());
}

// ---- reload and status ----

bool RelayEngine::LaunchStored(int row)
{
    RowTag* tag = Tag(row);
    if (!tag || tag->m_bStopped != 1 || m_health[row].m_bDeleted || m_bShutDown)
        return false;
    LaunchRow(tag, row);
    return true;
}

void RelayEngine::HaltChannel(int row, const std::string& stateText, const std::string& event)
{
    RowTag* tag = Tag(row);
    if (!tag)
        return;
    m_view.SetCellText(row, kColState, stateText);
    m_view.SetCellText(row, kColBitrate, "");
    StopChannel(row, tag->m_nId);
    tag->m_bStopped = 1;
    LogRow(row, event);
}

std::string RelayEngine::StoredLine(int id)
{
    const CommandBuild build = StoredCommand(id);
    std::string line = build.line;
    if (build.status != CommandBuild::Ok || !ApplyRtspTransport(m_bRTSPuseTCP, line))
        return {};
    return line;
}

bool RelayEngine::RowUp(int row) const
{
    if (row < 0 || row >= RowCount())
        return false;
    const auto found = m_workers.find(m_tags[row].m_nId);
    if (found == m_workers.end() || found->second.m_bEnded || !found->second.m_bRelaying)
        return false;
    // ffmpeg prints a status line about twice a second: a child silent for longer than the
    // watchdog's shortest period is not relaying, whether or not the watchdog is on.
    const int windowMs = m_nStallMs > 0 ? std::min(m_nStallMs, kMinStallSeconds * 1000) : kMinStallSeconds * 1000;
    return Now() - m_health[row].m_lastProgress.load(std::memory_order_relaxed) <= Nanos(windowMs);
}
