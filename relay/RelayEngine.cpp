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

#include <cstdio>
#include <cstring>

namespace {
const char kRunning[] = "运行中";

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
}

RelayEngine::~RelayEngine()
{
    StopAllChannels();
    m_workers.clear();  // joins the monitors before the rows they read go away
}

int RelayEngine::AddRow(int id, bool stopped, bool running)
{
    RowTag tag;
    tag.m_bStopped = stopped ? 1 : 0;
    tag.m_nId = id;
    m_tags.push_back(tag);
    m_failCounts.push_back(0);
    m_rowRunning.emplace_back(running);
    m_tails.push_back(std::make_shared<OutputTail>());
    return RowCount() - 1;
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

bool RelayEngine::BuildCommandFromConfig(int id, int row)
{
    ChannelSettings settings;
    CheckStates checks{};
    ReadChannelForCommand(ConfigStore(m_strAppDir), id, settings, checks);
    const CommandBuild build = BuildCommandLine(checks, settings);
    if (build.status != CommandBuild::Ok) {
        m_view.SetCellText(row, kColBitrate, build.message);
        Note(row, build.message);
        return false;
    }
    if (build.reencodesVideo)
        m_view.SetCellText(row, kColTransCode, "是");
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
    m_strState = kRunning;
    ConfigStore(m_strAppDir).SetValue(m_strState, ChannelKey(tag->m_nId, "strAVState"));
    m_view.SetCellText(row, kColState, m_strState);
    if (!BuildCommandFromConfig(tag->m_nId, row))
        return;
    const Spawned result = SpawnRelay(Launch::FromList, tag->m_nId, row);
    // A start whose ffmpeg could not run is under supervision (it is retried), so the row
    // counts as started; a failed pipe or a refused line leaves it startable.
    if (result == Spawned::Started || result == Spawned::SpawnFailed)
        tag->m_bStopped = 0;
}

void RelayEngine::RestartChannel(int row, int id)
{
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
    const SpawnResult child = SpawnChild(m_strFfmpegPath, args);
    if (child.status == SpawnResult::PipeFailed) {
        m_view.ShowMessage("Error On CreatePipe()");
        return Spawned::PipeFailed;
    }
    if (child.status != SpawnResult::Ok) {
        // Counted as a failed attempt at the next supervision tick, and retried from there.
        const std::string reason = "无法启动ffmpeg（" + m_strFfmpegPath + "）：" + std::strerror(child.error);
        Note(row, reason);
        if (how == Launch::FromWizard)
            m_lastRefusal = reason;
        else if (how == Launch::FromList)
            m_view.SetCellText(row, kColBitrate, reason);
        m_failedStarts[row] = id;
        return Spawned::SpawnFailed;
    }

    if (how != Launch::FromWizard)
        m_rowRunning[row] = true;  // before the monitor exists: it ends at once on a clear bit
    MonitorContext context;
    context.m_pOwner = &m_sink;
    context.m_hReadPipe = child.readFd;
    context.m_hProcess = child.pid;
    context.m_nRow = row;
    context.m_pRunning = &m_rowRunning[row];
    context.m_tail = m_tails[row];
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
    m_failedStarts.erase(row);
    return Spawned::Started;
}

// ---- timers ----

bool RelayEngine::AutoRunTick()
{
    if (m_autoRunQueue.empty())
        return false;
    const auto [tag, row] = m_autoRunQueue.front();
    m_autoRunQueue.pop_front();
    StartChannel(tag, row);
    return true;
}

void RelayEngine::SuperviseTick()
{
    // Rows may be appended by a relaunch's side effects: read the count again every row.
    for (int row = 0; row < RowCount(); ++row) {
        const int id = m_tags[row].m_nId;
        auto failed = m_failedStarts.find(row);
        if (failed != m_failedStarts.end() && failed->second == id) {
            m_failedStarts.erase(failed);
            CountFailure(row, id);
            continue;
        }
        auto found = m_workers.find(id);
        if (found == m_workers.end())
            continue;
        RelayWorker& worker = found->second;
        if (!worker.m_bEnded) {
            int exitCode = 0;
            if (PollChild(worker.m_hProcess, &exitCode) == ChildState::Running)
                continue;
            worker.m_bEnded = true;
            worker.m_nExitCode = exitCode;
            Note(row, Format("ffmpeg 已退出，退出码 %d", exitCode));
        }
        // First notice: clear the run bit; the clean-up follows at the next tick.
        if (m_rowRunning[row].exchange(false))
            continue;
        RetireWorker(worker);
        m_workers.erase(found);
        CountFailure(row, id);
    }
}

void RelayEngine::CountFailure(int row, int id)
{
    const int count = ++m_failCounts[row];
    if (count < kFailureLimit) {
        m_view.SetCellText(row, kColBitrate, Format("连续%d次直播失败，重试中。。。！", count));
        RestartChannel(row, id);
    } else {
        m_view.SetCellText(row, kColBitrate, "直播多次失败，请检查！");
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
    m_view.SetCellText(row, kColBitrate, Format("%dkbps", kbps));
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
    std::erase_if(m_autoRunQueue, [row](const auto& queued) { return queued.second == row; });
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
    m_bShutDown = true;
    m_failedStarts.clear();
    m_autoRunQueue.clear();
    for (auto& [id, worker] : m_workers)
        RetireWorker(worker);
}
