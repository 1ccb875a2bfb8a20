// 备用画面: while a channel's camera is down, a stand-in (a still picture with the channel's name,
// "信号中断" and the time, and silent audio) is published to the channel's address, so that the
// platform keeps the broadcast; instead of relaunching the relay, the camera is checked, and the
// first check that passes ends the stand-in and relaunches the relay. The checks count as the
// relaunches would: ten failures in a row give up (or, keep-retrying, check once a minute).
#include "engine/RelayEngine.h"

#include "ffmpeg/StandIn.h"

namespace {

// A side child's monitor only drains its output: what it reads is not a reading of the row.
class QuietSink : public MonitorSink {
public:
    void PostProgress(int, const ProgressSample&) override {}
};
QuietSink g_quiet;

}  // namespace

bool RelayEngine::TakesStandIn(const ChannelRow& r) const
{
    if (r.m_standInSince != 0)
        return true;
    // The camera's side, or a relay the watchdog ended (a frozen camera), not a machine too slow.
    const Diagnosis* why = r.m_lastFailure ? &r.m_lastFailure->m_diagnosis : nullptr;
    return ChooseStandIn(r.m_strStandIn, m_options.m_strStandIn) != StandInMode::Off && why &&
           (why->side == FailureSide::Camera || why->cause == FailureCause::Stalled) && !r.m_strPublish.empty();
}

std::string RelayEngine::StandInCell(const ChannelRow& r, int failures) const
{
    return "备用画面（" + r.m_strStandInLabel + "），连续" + std::to_string(failures) + "次直播失败，" +
           (r.m_phase == Phase::Retrying ? "每分钟检测。。。！" : "检测摄像头中。。。！");
}

void RelayEngine::BeginStandIn(int row)
{
    ChannelRow& r = *Row(row);
    if (r.m_standInSince != 0)
        return;
    r.m_standInSince = m_clock.Now();
    r.m_standInFromNs = m_clock.SteadyNs();
    r.m_nStandInEnds = 0, r.m_standInRetryAt = 0;
    r.m_strStandInCause = r.m_lastFailure->m_diagnosis.name;
    r.m_strStandInLabel = r.m_lastFailure->m_diagnosis.label;
    LogRow(row, "摄像头中断（" + r.m_strStandInLabel + "），推送备用画面", StatusLog::kWarning);
    SpawnStandIn(row);
}

void RelayEngine::SpawnStandIn(int row)
{
    ChannelRow& r = *Row(row);
    // At most 1280x720 (keeping the shape): a 4K stand-in would take a core of its own, on a site
    // where a switch takes many cameras down at once.
    int width = r.m_nOutWidth, height = r.m_nOutHeight;
    if (width > 1280)
        height = height * 1280 / width, width = 1280;
    if (height > 720)
        width = width * 720 / height, height = 720;
    // A '%' would make ffmpeg's image reader look for a numbered series: the background instead.
    const std::string picture = r.m_strStandInPicture.find('%') == std::string::npos ? r.m_strStandInPicture : "";
    StandInPlan plan{.name = r.m_strName, .picture = picture, .width = width, .height = height,
                     .frameRate = r.m_nOutFps, .output = r.m_strPublish, .fontFile = FindCjkFont()};
    if (SpawnSide(row, r.m_standIn, StandInArguments(plan)))
        LogRow(row, "已启动备用画面 ffmpeg (pid " + std::to_string(r.m_standIn->m_pid) + ")");
}

void RelayEngine::EndStandIn(int row, const char* why)
{
    ChannelRow& r = *Row(row);
    RetireSide(r.m_cameraCheck);
    if (r.m_standInSince == 0)
        return;
    RetireSide(r.m_standIn);
    r.m_standInNsBefore += static_cast<std::uint64_t>(std::max<std::int64_t>(0, m_clock.SteadyNs() - r.m_standInFromNs));
    r.m_standInSince = 0;
    LogRow(row, std::string("备用画面结束：") + why);
}

void RelayEngine::CheckCamera(int row)
{
    ChannelRow& r = *Row(row);
    if (r.m_cameraCheck)
        return;
    // The settings as stored now: an edit or a reload while the camera is down takes effect at
    // the next check, as it would at the next relaunch.
    const std::string publish = r.m_strPublish;
    if (BuildStored(row).status != CommandBuild::Ok) {
        EndStandIn(row, "设置已无法启动");
        r.m_tag.m_bStopped = 1, r.m_phase = Phase::Idle;  // as a refused relaunch leaves it
        return;
    }
    if (r.m_strPublish != publish || ChooseStandIn(r.m_strStandIn, m_options.m_strStandIn) == StandInMode::Off) {
        EndStandIn(row, "设置已改变");
        RelaunchRelay(row);
        return;
    }
    if (r.m_phase != Phase::Retrying)
        r.m_phase = Phase::StandIn;
    r.m_launchedAt = m_clock.SteadyNs();  // the attempt that keep-retrying's minute counts from
    if (SpawnSide(row, r.m_cameraCheck, CameraProbeArguments(r.m_strSource, m_options.m_bRTSPuseTCP, kCameraCheckSeconds)))
        r.m_checkPollAt = r.m_launchedAt + MsToNs(kCheckPollMs);
}

bool RelayEngine::SpawnSide(int row, std::unique_ptr<SideChild>& slot, const std::vector<std::string>& args, int output)
{
    RetireSide(slot);
    if (m_bShutDown)
        return false;
    auto side = std::make_unique<SideChild>();
    side->m_startedAt = m_clock.SteadyNs();
    side->m_lastProgress = side->m_startedAt;
    const SpawnResult child = m_launcher.Spawn(m_strFfmpegPath, args);
    if (child.status != SpawnResult::Ok) {
        // Nothing ran: a check that could not run failed, a stand-in is tried again at the tick.
        side->m_bEnded = true;
        side->m_nExitCode = 127;
        side->m_tail->Append("无法启动 ffmpeg（" + m_strFfmpegPath + "）");
        slot = std::move(side);
        return false;
    }
    side->m_pid = child.pid;
    if (child.readFd >= 0) {
        side->m_monitor = std::make_unique<OutputMonitor>(MonitorContext{
            .m_pOwner = output >= 0 ? &m_sink : &g_quiet, .m_readFd = child.readFd, .m_pid = child.pid, .m_nRow = row,
            .m_pRunning = &side->m_running, .m_tail = side->m_tail, .m_pLastProgress = &side->m_lastProgress,
            .m_pOutputBytes = &side->m_outputBytes, .m_clock = &m_clock, .m_nOutput = output});
        if (!side->m_monitor->Started())
            side->m_monitor.reset();
    }
    slot = std::move(side);
    return true;
}

void RelayEngine::RetireSide(std::unique_ptr<SideChild>& slot)
{
    if (!slot)
        return;
    slot->m_running = false;
    if (!slot->m_bEnded)
        m_launcher.Kill(slot->m_pid);
    if (slot->m_monitor) {
        slot->m_monitor->Stop();
        slot->m_monitor->Join();
    }
    slot.reset();
}

// At each tick, before the relay's own supervision: a stand-in that ended is started again, a
// check that passed relaunches the relay, one that failed is counted at the tick after its end.
void RelayEngine::SuperviseStandIn(int row, std::int64_t now)
{
    ChannelRow& r = *Row(row);
    if (r.m_standInSince != 0 && r.m_standIn && !r.m_standIn->m_bEnded &&
        m_launcher.Poll(r.m_standIn->m_pid, &r.m_standIn->m_nExitCode, &r.m_standIn->m_nSignal) != ChildState::Running)
        r.m_standIn->m_bEnded = true;
    if (r.m_standInSince != 0 && (!r.m_standIn || r.m_standIn->m_bEnded) && now >= r.m_standInRetryAt) {
        if (r.m_standIn) {
            // Started again at once after it published, or the first time it did not; then,
            // while it ends without publishing (a server that refuses, an ffmpeg without
            // libx264), after 5, 10, 20, 40 s and then every minute, logged the first time only.
            const bool published = r.m_standIn->m_outputBytes.load() > 0;
            r.m_nStandInEnds = published ? 0 : r.m_nStandInEnds + 1;
            const int waitMs = r.m_nStandInEnds <= 1 ? 0 : std::min(kKeepRetryPeriodMs, kTimerPeriodMs << std::min(r.m_nStandInEnds - 2, 4));
            r.m_standInRetryAt = now + MsToNs(waitMs);
            const std::vector<std::string> said = r.m_standIn->m_tail->Lines();
            if (r.m_nStandInEnds <= 1)
                LogRow(row, "备用画面 ffmpeg 已结束" + (said.empty() ? std::string() : "：" + said.back()) + "，重新启动",
                       StatusLog::kWarning);
            RetireSide(r.m_standIn);
            if (waitMs > 0)
                return PollCameraCheck(row, now, true);
        }
        SpawnStandIn(row);
    }
    PollCameraCheck(row, now, true);
}

bool RelayEngine::EndsAtOnce(const ChannelRow& r) const
{
    return m_options.m_bFastRestart || ChooseStandIn(r.m_strStandIn, m_options.m_strStandIn) != StandInMode::Off;
}

void RelayEngine::CameraChecksDue()
{
    const std::int64_t now = m_clock.SteadyNs();
    for (int row = 0; row < RowCount(); ++row)
        if (const std::int64_t at = Row(row)->m_checkPollAt; at != 0 && now >= at)
            PollCameraCheck(row, now, false);
}

void RelayEngine::PollCameraCheck(int row, std::int64_t now, bool tick)
{
    ChannelRow& r = *Row(row);
    SideChild* check = r.m_cameraCheck.get();
    r.m_checkPollAt = 0;
    if (!check)
        return;
    if (!check->m_bEnded) {
        if (m_launcher.Poll(check->m_pid, &check->m_nExitCode, &check->m_nSignal) == ChildState::Running) {
            if (now - check->m_startedAt < MsToNs(kCameraCheckLimitMs)) {
                r.m_checkPollAt = now + MsToNs(kCheckPollMs);
                return;
            }
            m_launcher.Kill(check->m_pid);
            check->m_nExitCode = 1;
            check->m_tail->Append("检测超时");
        }
        check->m_bEnded = true;
    }
    if (check->m_nExitCode == 0 && check->m_nSignal == 0) {
        LogRow(row, "摄像头已恢复，重新开始转发");
        EndStandIn(row, "摄像头已恢复");
        RelaunchRelay(row);
        if (r.m_worker)
            Tell(row, RowEvent::Kind::Failing, r.m_nFailures);
        return;
    }
    if (!tick)
        return;  // a failed check is counted at the ticks
    if (!check->m_bNoticed) {
        check->m_bNoticed = true;  // counted at the next tick: the rhythm of a relaunch
        return;
    }
    // The failed check stands for a failed attempt: its lines say why.
    auto record = std::make_unique<FailureRecord>();
    record->m_at = m_clock.Now();
    record->m_lines = check->m_tail->Lines();
    AttemptEnd end;
    end.exitCode = check->m_nExitCode, end.signal = check->m_nSignal, end.rtspOverTcp = r.m_bRtspTcp;
    record->m_diagnosis = DiagnoseFailure(record->m_lines, end, r.m_strSource, r.m_strPublish);
    record->m_strHow = "摄像头检测失败";
    r.m_lastFailure = std::move(record);
    RetireSide(r.m_cameraCheck);
    LogFailure(row, "摄像头检测失败");
    CountFailure(row);
}

void RelayEngine::NotePicture(int row, const CommandBuild& build)
{
    ChannelRow& r = *Row(row);
    if (build.plan.video == LaunchPlan::Video::Encode)
        r.m_nOutWidth = build.plan.width, r.m_nOutHeight = build.plan.height, r.m_nOutFps = build.plan.frameRate;
}

void RelayEngine::NoteLivePicture(int row)
{
    ChannelRow& r = *Row(row);
    if (!r.m_bReencodes)
        if (const auto picture = OutputPicture(r.m_tail->Lines()))
            r.m_nOutWidth = picture->width, r.m_nOutHeight = picture->height, r.m_nOutFps = picture->frameRate;
}
