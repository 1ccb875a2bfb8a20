// Launching: the argument line from the stored settings or the wizard's values, the child,
// its monitor thread and the row's worker.
#include "engine/RelayEngine.h"
#include "platform/SecretMask.h"

#include "ffmpeg/MultiOutput.h"
#include "ffmpeg/TranscoderCompat.h"
#include "platform/LoopbackPorts.h"
#include "platform/SystemError.h"
#include "settings/ChannelStore.h"
#include "settings/ConfigStore.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
CommandBuild StoredCommand(const std::string& appDir, int id, ChannelRecord* read = nullptr)
{
    return BuildStoredCommand(ConfigStore(appDir), id, read);
}

// What a reload compares to tell whether a channel must start again. A channel with extra
// addresses: its puller's line without the ports, which change at every start, and without the
// addresses, which ApplyPublishEdits changes without a restart; only their number counts.
std::string LaunchForm(const CommandBuild& build, const std::vector<std::string>& extraPublish)
{
    return extraPublish.empty() ? build.line : PullerLine(build.plan, std::vector<int>(extraPublish.size() + 1, 0));
}
}  // namespace

std::string RelayEngine::StoredLine(int id) const
{
    ChannelRecord settings;
    CommandBuild build = StoredCommand(m_strAppDir, id, &settings);
    if (build.status != CommandBuild::Ok || !ApplyRtspTransport(m_options.m_bRTSPuseTCP, build))
        return {};
    return LaunchForm(build, settings.extraPublish);
}

CommandBuild RelayEngine::BuildStored(int row)
{
    ChannelRecord settings;
    const CommandBuild build = StoredCommand(m_strAppDir, Row(row)->m_tag.m_nId, &settings);
    Row(row)->m_strSource = settings.sourceUrl, Row(row)->m_strPublish = settings.publishUrl;
    Row(row)->m_extraPublish = settings.extraPublish;
    Row(row)->m_strStandIn = settings.standIn, Row(row)->m_strStandInPicture = settings.standInPicture;
    ShowAddresses(row, settings.sourceUrl, settings.publishUrl);
    // The mark follows the choice of video re-encoding, also for a line that was refused,
    // as the wizard's mark does.
    if (build.reencodesVideo)
        Tell(row, RowEvent::Kind::ReencodesVideo);
    if (build.status != CommandBuild::Ok)
        Refuse(row, build.message);
    return build;
}

void RelayEngine::StartChannel(int row)
{
    ChannelRow* r = Row(row);
    if (!r || r->m_tag.m_bStopped != 1)
        return;
    Store({ChannelStateWrite(r->m_tag.m_nId, kStateRunning)});
    r->m_want = Want::Run;
    LaunchRow(row);
}

bool RelayEngine::LaunchStored(int row, bool restart)
{
    ChannelRow* r = Row(row);
    if (!r || r->m_tag.m_bStopped != 1 || r->m_bDeleted || m_bShutDown)
        return false;
    r->m_nRestarts += restart;
    LaunchRow(row);
    return true;
}

// A start from the list once the state word is stored: the event, the line, the child.
void RelayEngine::LaunchRow(int row)
{
    // A row that gave up and kept its stand-in (StandIn=2) hands the address back first: one
    // publisher per stream.
    EndStandIn(row, "重新启动");
    ChannelRow& r = *Row(row);
    r.m_phase = Phase::Starting;
    Tell(row, RowEvent::Kind::Starting);
    r.m_retryAt = 0;
    const CommandBuild build = BuildStored(row);
    // A start whose ffmpeg could not run is under supervision (it is retried), so the row
    // counts as started; a refused line leaves it startable.
    if (build.status == CommandBuild::Ok && SpawnRelay(Launch::FromList, row, build) != Spawned::Refused)
        r.m_tag.m_bStopped = 0;
    else
        r.m_phase = Phase::Idle;
}

void RelayEngine::RestartChannel(int row)
{
    // On a stand-in, the camera is checked instead: the relay follows a check that passes.
    if (Row(row)->m_standInSince != 0)
        CheckCamera(row);
    else
        RelaunchRelay(row);
}

void RelayEngine::RelaunchRelay(int row)
{
    ChannelRow& r = *Row(row);
    ++r.m_nRestarts;
    // Settings edited into a refused line while the channel ran leave the row as a refused
    // start does: unsupervised and startable, so "运行" starts it once they are mended.
    const CommandBuild build = BuildStored(row);
    if (build.status != CommandBuild::Ok || SpawnRelay(Launch::Restart, row, build) == Spawned::Refused)
        r.m_tag.m_bStopped = 1, r.m_phase = Phase::Idle;
}

WizardLaunch RelayEngine::LaunchFromWizard(int row, const ChannelRecord& settings, const CheckStates& checks)
{
    WizardLaunch result;
    ChannelRow* r = Row(row);
    if (!r)
        return result;
    const CommandBuild build = BuildCommandLine(checks, settings);
    r->m_strSource = settings.sourceUrl, r->m_strPublish = settings.publishUrl;
    r->m_extraPublish = settings.extraPublish;
    r->m_strStandIn = settings.standIn, r->m_strStandInPicture = settings.standInPicture;
    ShowAddresses(row, settings.sourceUrl, settings.publishUrl);
    r->m_want = Want::Run;
    // Nothing runs after a refusal: the operator fixes the settings and starts it.
    if (build.status != CommandBuild::Ok) {
        r->m_tag.m_bStopped = 1, r->m_phase = Phase::Idle;
        Refuse(row, build.message, &result.m_strRefusal);
    } else if (SpawnRelay(Launch::FromWizard, row, build, &result.m_strRefusal) == Spawned::Refused) {
        r->m_tag.m_bStopped = 1, r->m_phase = Phase::Idle;
    }
    return result;
}

void RelayEngine::Refuse(int row, const std::string& message, std::string* refusal)
{
    Row(row)->m_tail->Append(message);
    LogRow(row, "未开启直播: " + message);
    if (refusal)
        *refusal = message;
    Tell(row, RowEvent::Kind::Refused, 0, message);
}

void RelayEngine::TouchStatusFile() const
{
    // Opened for writing, created when absent, never truncated, nothing written. Only a regular
    // file (also behind a link) is touched: opening a FIFO would block the owner thread and
    // opening a device may act on it. O_NONBLOCK covers a file swapped for a FIFO after the check.
    const std::string path = m_strAppDir + "/NetStatus.txt";
    struct stat info;
    if (::stat(path.c_str(), &info) == 0 && !S_ISREG(info.st_mode))
        return;
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0644);
    if (fd >= 0)
        ::close(fd);
}

RelayEngine::Spawned RelayEngine::SpawnRelay(Launch how, int row, CommandBuild build, std::string* refusal)
{
    if (m_bShutDown)
        return Spawned::Refused;  // the program is closing: nothing starts any more
    ChannelRow& r = *Row(row);
    RememberSecretsOf(r.m_strSource), RememberSecretsOf(r.m_strPublish);  // masked in every line from now on
    if (!ApplyRtspTransport(m_options.m_bRTSPuseTCP, build)) {
        Refuse(row, "命令行过长，未开启直播！", refusal);
        return Spawned::Refused;
    }
    if (m_encoderQuery.valid())
        m_encoderQuery.wait();
    const LaunchPlan plan = AdaptToEncoders(build.plan, m_encoders(m_strFfmpegPath));
    // Several addresses: a puller writing one loopback port per address, the pushers follow its
    // first reading. Ports no longer free when a pusher binds fail that pusher, which is retried.
    std::vector<int> ports;
    if (!r.m_extraPublish.empty())
        ports = FreeLoopbackUdpPorts(static_cast<int>(r.m_extraPublish.size()) + 1);
    if (!r.m_extraPublish.empty() && ports.empty()) {
        Refuse(row, "无法分配本机UDP端口，未开启直播！", refusal);
        return Spawned::Refused;
    }
    const std::vector<std::string> args = ports.empty() ? LaunchArguments(plan) : PullerArguments(plan, ports);

    if (how != Launch::Restart)
        TouchStatusFile();
    r.m_launchedAt = m_clock.SteadyNs();
    const SpawnResult child = m_launcher.Spawn(m_strFfmpegPath, args);
    if (child.status != SpawnResult::Ok) {
        // Counted as a failed attempt at the next supervision tick, and retried from there:
        // a lack of descriptors or processes is usually passing.
        const bool pipe = child.status == SpawnResult::PipeFailed;
        if (pipe && how != Launch::Restart)  // a relaunch only logs it: no box every ten seconds
            m_view.ShowMessage("Error On CreatePipe()");
        const std::string reason = pipe ? "无法创建管道：" + SystemErrorText(child.error)
                                   : m_ffmpeg.Found() || m_ffmpeg.m_tried.empty()
                                       ? "无法启动 ffmpeg（" + m_strFfmpegPath + "）：" + SystemErrorText(child.error)
                                       : "找不到 ffmpeg，已查找：" + m_ffmpeg.TriedText();
        r.m_tail->Append(reason);
        LogRow(row, reason);
        if (refusal)
            *refusal = reason;
        if (how != Launch::Restart)
            Tell(row, RowEvent::Kind::Refused, 0, reason);
        r.m_bFailedStartNoticed = false;
        r.m_bFailedStart = true;
        r.m_phase = Phase::Failing;
        return Spawned::SpawnFailed;
    }

    r.m_running = true;  // before the monitor exists: it ends at once on a clear bit
    // The tail shows the current child; what ended the one before is in the failure record.
    r.m_tail->Clear();
    r.m_lastProgress.store(m_clock.SteadyNs());  // the watchdog counts from the child's start
    r.m_bytesBefore += static_cast<std::uint64_t>(r.m_outputBytes.exchange(0));
    // A scripted child has no output to read: nothing to watch.
    auto monitor = child.readFd < 0 ? nullptr : std::make_unique<OutputMonitor>(MonitorContext{
        .m_pOwner = &m_sink, .m_readFd = child.readFd, .m_pid = child.pid, .m_nRow = row,
        .m_pRunning = &r.m_running, .m_tail = r.m_tail, .m_pLastProgress = &r.m_lastProgress,
        .m_pOutputBytes = &r.m_outputBytes, .m_clock = &m_clock});
    if (monitor && !monitor->Started())
        monitor.reset();

    if (r.m_worker)
        RetireWorker(*r.m_worker);  // a replaced worker never leaves its child running
    PrepareOutputs(row, ports);
    r.m_worker = std::make_unique<RelayWorker>();
    r.m_worker->m_pid = child.pid;
    r.m_worker->m_monitor = std::move(monitor);
    r.m_bFailedStart = false;
    r.m_nKbps = 0, r.m_liveSince = 0;
    r.m_health.NewChild();
    r.m_degraded = Degradation::None;
    r.m_bReencodes = build.reencodesVideo;
    r.m_bRtspTcp = build.plan.inputOverTcp;
    NotePicture(row, build);
    r.m_phase = r.m_nFailures > 0 ? Phase::Failing : Phase::Starting;
    r.m_strLaunchedLine = LaunchForm(build, r.m_extraPublish);
    LogRow(row, "已启动 ffmpeg (pid " + std::to_string(child.pid) + ")");
    return Spawned::Started;
}
