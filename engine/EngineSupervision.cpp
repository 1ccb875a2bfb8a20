// Supervision: the tick over every row (ended children, the watchdog, the once-a-minute
// retries), the failure count with its give-up rule, the failure records and the readings.
#include "engine/RelayEngine.h"

#include "settings/ConfigStore.h"

#include <cstdio>

namespace {

std::string Format(const char* pattern, int value)
{
    char text[128];
    std::snprintf(text, sizeof text, pattern, value);
    return text;
}
}  // namespace

void RelayEngine::SuperviseTick()
{
    // Changes that could not be saved are written as soon as the file allows it.
    ConfigStore(m_strAppDir).SavePending();
    NoteSaving();
    const std::int64_t now = m_clock.SteadyNs();
    m_nFailedThisTick = 0;
    // Rows may be appended by a relaunch's side effects: read the count again every row.
    for (int row = 0; row < RowCount(); ++row)
        SuperviseRow(row, now);
}

std::int64_t RelayEngine::NextRelaunchAt() const
{
    std::int64_t next = 0;
    for (const ChannelRow& r : m_rows)
        if (r.m_relaunchAt != 0 && (next == 0 || r.m_relaunchAt < next))
            next = r.m_relaunchAt;
    return next;
}

void RelayEngine::RelaunchDue()
{
    const std::int64_t now = m_clock.SteadyNs();
    for (int row = 0; row < RowCount(); ++row)
        if (ChannelRow& r = *Row(row); r.m_relaunchAt != 0 && now >= r.m_relaunchAt) {
            r.m_relaunchAt = 0;
            RestartChannel(row);
        }
}

void RelayEngine::SuperviseRow(int row, std::int64_t now)
{
    SuperviseStandIn(row, now);
    ChannelRow& r = *Row(row);
    // A reading whose child has gone quiet reads 0kbps (Cells); the faces are told at the tick.
    if (r.m_bCellShowsReading && !RowUp(r) && r.m_cells.bitrate != "0kbps")
        Tell(row, RowEvent::Kind::Live, 0);
    RelayWorker* worker = r.m_worker.get();
    // PollChild writes the exit code and the signal only once the child has ended.
    if (worker && !worker->m_bEnded
        && m_launcher.Poll(worker->m_pid, &worker->m_nExitCode, &worker->m_nSignal) != ChildState::Running) {
        worker->m_bEnded = true;
        worker->m_endedAt = m_clock.Now();
    }
    TickInput in{.failedStart = r.m_bFailedStart, .hasChild = worker != nullptr,
                 .childEnded = worker && worker->m_bEnded, .runBit = r.m_running.load(), .now = now,
                 .lastProgress = r.m_lastProgress.load(std::memory_order_relaxed), .retryAt = r.m_retryAt,
                 .stallNs = MsToNs(m_options.m_nStallMs), .retryPeriodNs = MsToNs(m_options.m_nKeepRetryMs),
                 .failedStartNoticed = r.m_bFailedStartNoticed};
    TickAction action = DecideTick(in);
    if (action == TickAction::EndStalled) {
        // A child alive without a status line for the stall timeout relays nothing: it is
        // ended and handled like any other end from here on.
        m_launcher.Kill(worker->m_pid);
        worker->m_nStalledSeconds = m_options.m_nStallMs / 1000;
        worker->m_bEnded = true;
        worker->m_endedAt = m_clock.Now();
        Tell(row, RowEvent::Kind::Stalled, worker->m_nStalledSeconds);
        LogRow(row, Format("无数据%d秒，结束 ffmpeg", worker->m_nStalledSeconds) + " (pid " +
                        std::to_string(worker->m_pid) + ")", StatusLog::kWarning);
        in.childEnded = true;
        action = DecideTick(in);
    }
    switch (action) {
    case TickAction::LeaveAlone:
        SuperviseOutputs(row, now);
        break;
    case TickAction::EndStalled:
        break;
    case TickAction::NoticeFailedStart:
        r.m_bFailedStartNoticed = true;
        break;
    case TickAction::CountFailedStart: {
        r.m_bFailedStart = r.m_bFailedStartNoticed = false;
        const std::vector<std::string> said = r.m_tail->Lines();
        RecordFailure(row, nullptr, said.empty() ? "无法启动 ffmpeg" : said.back());
        LogFailure(row, "无法启动 ffmpeg");
        CountFailure(row);
        break;
    }
    case TickAction::RetryNow:
        r.m_retryAt = 0;
        LogRow(row, "每分钟重试: 重新启动");
        RestartChannel(row);
        break;
    case TickAction::FirstNotice:
        r.m_running = false;  // the monitor ends; the clean-up follows at the next tick
        r.m_phase = Phase::Failing;
        // 快速重启 (and 备用画面): the end of a child that had been live, seen here first, is counted now.
        if (EndsAtOnce(r) && worker->m_bRelaying)
            CountEnded(row);
        break;
    case TickAction::CountEnd:
        CountEnded(row);
        break;
    }
}

void RelayEngine::CountEnded(int row)
{
    ChannelRow& r = *Row(row);
    RelayWorker* worker = r.m_worker.get();
    r.m_endCheckAt = 0;
    RetireWorker(*worker);
    RetireOutputs(row);  // they read what the puller wrote
    r.m_nLiveEnds += worker->m_bRelaying;
    const std::string how = worker->m_nStalledSeconds ? Format("无数据%d秒", worker->m_nStalledSeconds)
                            : worker->m_nSignal         ? Format("ffmpeg 被信号 %d 结束", worker->m_nSignal)
                                                        : Format("ffmpeg 退出码 %d", worker->m_nExitCode);
    RecordFailure(row, worker, how);
    LogFailure(row, "ffmpeg 已结束 (pid " + std::to_string(worker->m_pid) +
                        (worker->m_nSignal ? ", 信号 " + std::to_string(worker->m_nSignal)
                                           : ", 退出码 " + std::to_string(worker->m_nExitCode)) + ")");
    r.m_worker.reset();
    r.m_nKbps = 0;
    CountFailure(row);
}

void RelayEngine::OnOutputEnded(int row)
{
    ChannelRow* r = Row(row);
    // Only a child that had been live: one that never was keeps the ticks' rhythm.
    if (!r || !EndsAtOnce(*r) || !r->m_worker || !r->m_worker->m_bRelaying || r->m_worker->m_bEnded)
        return;
    r->m_endCheckAt = m_clock.SteadyNs();
    EndCheckDue();
}

void RelayEngine::EndCheckDue()
{
    const std::int64_t now = m_clock.SteadyNs();
    for (int row = 0; row < RowCount(); ++row) {
        ChannelRow& r = *Row(row);
        if (r.m_endCheckAt == 0 || now < r.m_endCheckAt)
            continue;
        RelayWorker* worker = r.m_worker.get();
        if (!worker || worker->m_bEnded) {
            r.m_endCheckAt = 0;  // the ticks have it
            continue;
        }
        // The output ends as the child exits: it may not be reaped for a moment yet.
        if (m_launcher.Poll(worker->m_pid, &worker->m_nExitCode, &worker->m_nSignal) == ChildState::Running) {
            r.m_endCheckAt = now + MsToNs(kEndCheckMs);
            continue;
        }
        worker->m_bEnded = true;
        worker->m_endedAt = m_clock.Now();
        r.m_running = false;
        CountEnded(row);  // the first failure since the tick relaunches at once, the others spread
    }
}

void RelayEngine::RecordFailure(int row, const RelayWorker* worker, const std::string& how)
{
    ChannelRow& r = *Row(row);
    auto record = std::make_unique<FailureRecord>();
    record->m_at = worker && worker->m_endedAt ? worker->m_endedAt : m_clock.Now();
    record->m_strHow = how;
    // The monitor has been joined: the tail holds everything the attempt printed.
    const std::vector<std::string> said = r.m_tail->Lines();
    AttemptEnd end;
    if (worker) {
        record->m_lines = WithoutBanner(said, kFailureLines);
        end.exitCode = worker->m_nExitCode, end.signal = worker->m_nSignal;
        end.stalledSeconds = worker->m_nStalledSeconds;
        end.rtspOverTcp = r.m_bRtspTcp;
        if (r.m_bReencodes && r.m_health.MeasuredSlow())
            end.slowSpeed = r.m_health.Speed();
    } else {
        end.startError = how;  // the start could not run ffmpeg: the tail's last line says why
    }
    record->m_diagnosis = DiagnoseFailure(said, end, r.m_strSource, r.m_strPublish);
    r.m_lastFailure = std::move(record);
}

void RelayEngine::LogFailure(int row, const std::string& what)
{
    ChannelRow& r = *Row(row);
    const Diagnosis& why = r.m_lastFailure->m_diagnosis;
    LogRow(row, what + ": " + why.label, StatusLog::kWarning);
    // The deciding line when the cause is new, not at every one of ten retries.
    if (static_cast<int>(why.cause) != r.m_nLoggedCause && !why.line.empty())
        LogRow(row, "ffmpeg: " + why.line, StatusLog::kWarning);
    r.m_nLoggedCause = static_cast<int>(why.cause);
}

void RelayEngine::CountFailure(int row)
{
    ChannelRow& r = *Row(row);
    const int count = ++r.m_nFailures;
    const std::int64_t period = MsToNs(m_options.m_nKeepRetryMs);
    const FailureVerdict verdict = DecideAfterFailure(count, m_options.m_bKeepRetrying, r.m_launchedAt, period,
                                                      RetrySpreadNs(r.m_tag.m_nId, period));
    // 备用画面: a camera that is down is covered by a stand-in and checked instead of relaunched,
    // by the same count and rules; one that gives up keeps its stand-in only when asked to.
    const bool standIn = TakesStandIn(r) && (verdict.action != FailureAction::GiveUp ||
                                             ChooseStandIn(r.m_strStandIn, m_options.m_strStandIn) == StandInMode::Always);
    if (standIn)
        BeginStandIn(row);
    else
        EndStandIn(row, count >= kFailureLimit ? "信号已放弃" : "摄像头以外的原因");
    switch (verdict.action) {
    case FailureAction::Relaunch:
        r.m_phase = standIn ? Phase::StandIn : Phase::Failing;
        if (standIn)
            Tell(row, RowEvent::Kind::StandIn, count, StandInCell(r, count));
        else
            Tell(row, RowEvent::Kind::Failing, count);
        LogRow(row, Format(standIn ? "连续%d次直播失败，推送备用画面并检测摄像头" : "连续%d次直播失败，重试中", count),
               StatusLog::kWarning);
        // The first failure of a tick relaunches at once; the others follow, spread (RelaunchDue).
        if (const std::int64_t delay = RelaunchDelayNs(m_nFailedThisTick++); delay == 0)
            RestartChannel(row);
        else
            r.m_relaunchAt = m_clock.SteadyNs() + delay;
        break;
    case FailureAction::RetryEveryMinute:
        r.m_retryAt = verdict.retryAt;
        r.m_phase = Phase::Retrying;
        if (standIn)
            Tell(row, RowEvent::Kind::StandIn, count, StandInCell(r, count));
        else
            Tell(row, RowEvent::Kind::RetryingEveryMinute, count);
        LogRow(row, Format("连续%d次直播失败，每分钟重试", count), StatusLog::kWarning);
        break;
    case FailureAction::GiveUp:
        r.m_phase = Phase::GivenUp;
        Tell(row, RowEvent::Kind::GaveUp, count);
        LogRow(row, Format("连续%d次直播失败，已放弃", count), StatusLog::kError);
        break;
    }
}

void RelayEngine::SetKeepRetrying(bool on)
{
    m_options.m_bKeepRetrying = on;
    if (!on)
        return;  // a channel over the limit gives up at its next failure
    for (int row = 0; row < RowCount(); ++row) {
        ChannelRow& r = *Row(row);
        if (r.m_phase != Phase::GivenUp || r.m_bDeleted || r.m_tag.m_bStopped != 0 || r.m_worker || r.m_want != Want::Run)
            continue;
        r.m_phase = Phase::Retrying;
        r.m_retryAt = m_clock.SteadyNs();  // due at the next tick
        if (r.m_standInSince != 0)
            Tell(row, RowEvent::Kind::StandIn, r.m_nFailures, StandInCell(r, r.m_nFailures));
        else
            Tell(row, RowEvent::Kind::RetryingEveryMinute, r.m_nFailures);
    }
}

void RelayEngine::OnProgress(int row, const ProgressSample& sample)
{
    ChannelRow* r = Row(row);
    if (sample.output >= 0)
        return OnOutputProgress(row, sample);
    // A reading still queued from a child that was stopped since must not revive the row.
    if (!r || !r->m_worker)
        return;
    // A puller counts no bytes: the channel's rate is its addresses'.
    const int kbps = r->m_outputs.empty() ? sample.kbps : ChannelKbps(*r);
    r->m_nFailures = 0;
    r->m_nKbps = kbps;
    r->m_lastReadingAt = m_clock.SteadyNs();
    r->m_phase = Phase::Live;
    Tell(row, RowEvent::Kind::Live, kbps);
    if (!r->m_worker->m_bRelaying) {
        r->m_worker->m_bRelaying = true;
        r->m_liveSince = m_clock.Now();
        NoteLivePicture(row);
        if (r->m_outputs.empty())
            LogRow(row, Format("开始直播 %dkbps", kbps));
        else
            LogRow(row, "开始拉流，推送到 " + std::to_string(r->m_outputs.size()) + " 个地址");
        StartOutputs(row);
    }
    JudgeHealth(row, sample);
}

// A live row that does badly is told and logged as such, and stays running: a restart would
// not make this machine faster nor the camera's network better.
void RelayEngine::JudgeHealth(int row, const ProgressSample& sample)
{
    ChannelRow& r = *Row(row);
    // The monitor stamps every line that advanced as it reads it; a sample that advanced is
    // stamped here too (never backwards), so that samples from elsewhere count the same.
    if (sample.at > 0 && sample.timeMs > r.m_health.ChildTimeMs()) {
        std::int64_t seen = r.m_lastProgress.load(std::memory_order_relaxed);
        while (seen < sample.at && !r.m_lastProgress.compare_exchange_weak(seen, sample.at)) {
        }
    }
    r.m_health.Observe(sample);
    const Degradation verdict = r.m_health.Verdict();
    const std::string sentence = r.m_health.Sentence(r.m_bReencodes, r.m_bRtspTcp);
    if (sentence != r.m_cells.health)
        Tell(row, RowEvent::Kind::Degraded, 0, sentence);
    if (verdict != r.m_degraded)
        LogRow(row, verdict == Degradation::None ? std::string("直播恢复正常") : "直播质量差: " + sentence,
               verdict == Degradation::None ? StatusLog::kInfo : StatusLog::kWarning);
    r.m_degraded = verdict;
}
