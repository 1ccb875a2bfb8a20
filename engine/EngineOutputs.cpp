// A channel with extra publish addresses: its child is a puller that pulls the camera once and
// writes the stream to one loopback port per address, and each address has a pusher that copies
// its port to the address. The puller is the channel's child as a single child is (its failures
// are the channel's); a pusher that fails is diagnosed from its own lines and started again after
// a back-off, while the puller and the other pushers go on (docs/MULTI_OUTPUT.md).
#include "engine/RelayEngine.h"

#include "ffmpeg/MultiOutput.h"
#include "ffmpeg/PublishAddress.h"
#include "platform/SecretMask.h"
#include "settings/ChannelStore.h"

#include <algorithm>

namespace {

// A pusher that failed n times in a row starts again at once the first time, then after 5, 10,
// 20 and 40 s, then every minute, for as long as the channel runs: an address whose server is
// down for an hour costs a refused connection a minute.
std::int64_t PusherBackOffNs(int failures)
{
    if (failures <= 1)
        return 0;
    return MsToNs(std::min(kKeepRetryPeriodMs, kTimerPeriodMs << std::min(failures - 2, 4)));
}

}  // namespace

bool RelayEngine::PusherUp(const OutputSlot& slot) const
{
    const SideChild* pusher = slot.m_pusher.get();
    return pusher && !pusher->m_bEnded && slot.m_bRelaying &&
           m_clock.SteadyNs() - pusher->m_lastProgress.load(std::memory_order_relaxed) <= UpWindowNs();
}

int RelayEngine::ChannelKbps(const ChannelRow& r) const
{
    // The addresses carry the same stream: the channel relays at the rate of its best one.
    int kbps = 0;
    for (const auto& slot : r.m_outputs)
        if (PusherUp(*slot))
            kbps = std::max(kbps, slot->m_nKbps);
    return kbps;
}

void RelayEngine::PrepareOutputs(int row, const std::vector<int>& ports)
{
    ChannelRow& r = *Row(row);
    RetireOutputs(row);
    if (ports.empty()) {
        r.m_outputs.clear();  // one address: the child publishes itself
        return;
    }
    // The slots of addresses that stay keep their counts: a relaunch of the channel is no new address.
    std::vector<std::string> addresses{r.m_strPublish};
    addresses.insert(addresses.end(), r.m_extraPublish.begin(), r.m_extraPublish.end());
    std::vector<std::unique_ptr<OutputSlot>> slots;
    for (std::size_t i = 0; i < addresses.size(); ++i) {
        auto kept = std::find_if(r.m_outputs.begin(), r.m_outputs.end(),
                                 [&](const auto& slot) { return slot && slot->m_strPublish == addresses[i]; });
        auto slot = kept != r.m_outputs.end() ? std::move(*kept) : std::make_unique<OutputSlot>();
        slot->m_strPublish = addresses[i];
        slot->m_nPort = i < ports.size() ? ports[i] : 0;
        slot->m_startAt = 0;
        RememberSecretsOf(slot->m_strPublish);
        slots.push_back(std::move(slot));
    }
    r.m_outputs = std::move(slots);
}

void RelayEngine::RetirePusher(OutputSlot& slot)
{
    if (slot.m_pusher)
        slot.m_bytesBefore += static_cast<std::uint64_t>(std::max<std::int64_t>(0, slot.m_pusher->m_outputBytes.load()));
    RetireSide(slot.m_pusher);
    slot.m_bRelaying = false, slot.m_nKbps = 0;
}

void RelayEngine::SpawnPusher(int row, int index)
{
    ChannelRow& r = *Row(row);
    OutputSlot& slot = *r.m_outputs[static_cast<std::size_t>(index)];
    RetirePusher(slot);
    slot.m_startAt = 0;
    if (SpawnSide(row, slot.m_pusher, PusherArguments(slot.m_nPort, slot.m_strPublish), index))
        LogRow(row, "推流地址" + std::to_string(index + 1) + " 已启动 ffmpeg (pid " + std::to_string(slot.m_pusher->m_pid) + ")");
}

void RelayEngine::RetireOutputs(int row)
{
    for (auto& slot : Row(row)->m_outputs)
        RetirePusher(*slot);
}

void RelayEngine::OnOutputProgress(int row, const ProgressSample& sample)
{
    ChannelRow* r = Row(row);
    // A reading still queued from a pusher that was stopped since is no reading of its address.
    if (!r || !r->m_worker || sample.output < 0 || sample.output >= static_cast<int>(r->m_outputs.size()))
        return;
    OutputSlot& slot = *r->m_outputs[static_cast<std::size_t>(sample.output)];
    if (!slot.m_pusher || slot.m_pusher->m_bEnded)
        return;
    if (!slot.m_bRelaying) {
        slot.m_bRelaying = true;
        LogRow(row, "推流地址" + std::to_string(sample.output + 1) + " 开始直播 " + std::to_string(sample.kbps) + "kbps");
    }
    // Stamped as the puller's samples are (never backwards), for samples from elsewhere.
    std::int64_t seen = slot.m_pusher->m_lastProgress.load(std::memory_order_relaxed);
    while (seen < sample.at && !slot.m_pusher->m_lastProgress.compare_exchange_weak(seen, sample.at)) {
    }
    slot.m_nFailures = 0;
    slot.m_nKbps = sample.kbps;
    if (r->m_phase == Phase::Live) {
        r->m_nKbps = ChannelKbps(*r);
        Tell(row, RowEvent::Kind::Live, r->m_nKbps);
    }
}

// At each tick, while the puller runs: a pusher that ended is diagnosed, counted and started again
// after its back-off; one alive without progress for the stall period is ended first. A pusher
// ends too when the puller stops delivering: that is the puller's failure, not the address's.
void RelayEngine::SuperviseOutputs(int row, std::int64_t now)
{
    ChannelRow& r = *Row(row);
    RelayWorker* puller = r.m_worker.get();
    if (r.m_outputs.empty() || !puller || puller->m_bEnded || !puller->m_bRelaying)
        return;
    const bool delivering = RowUp(r, true);
    for (std::size_t i = 0; i < r.m_outputs.size(); ++i) {
        OutputSlot& slot = *r.m_outputs[i];
        // A pusher that could not start at all is already ended: counted like one that ended.
        if (SideChild* pusher = slot.m_pusher.get()) {
            int stalled = 0;
            if (!pusher->m_bEnded &&
                m_launcher.Poll(pusher->m_pid, &pusher->m_nExitCode, &pusher->m_nSignal) != ChildState::Running) {
                pusher->m_bEnded = true;
            } else if (!pusher->m_bEnded && delivering && m_options.m_nStallMs > 0 &&
                       now - pusher->m_lastProgress.load(std::memory_order_relaxed) > MsToNs(m_options.m_nStallMs)) {
                // Alive and writing nothing while the puller delivers: a server that took the
                // connection and hangs.
                m_launcher.Kill(pusher->m_pid);
                pusher->m_bEnded = true;
                stalled = m_options.m_nStallMs / 1000;
            }
            if (pusher->m_bEnded)
                CountPusherEnd(row, i, stalled, delivering);
        }
        if (!slot.m_pusher && delivering && now >= slot.m_startAt) {
            slot.m_nRestarts += slot.m_nFailures > 0;
            SpawnPusher(row, static_cast<int>(i));
        }
    }
}

void RelayEngine::CountPusherEnd(int row, std::size_t index, int stalledSeconds, bool delivering)
{
    ChannelRow& r = *Row(row);
    OutputSlot& slot = *r.m_outputs[index];
    SideChild& pusher = *slot.m_pusher;
    if (pusher.m_monitor) {
        pusher.m_monitor->Stop();
        pusher.m_monitor->Join();  // the tail holds everything it printed
    }
    const std::vector<std::string> said = pusher.m_tail->Lines();
    AttemptEnd end;
    end.exitCode = pusher.m_nExitCode, end.signal = pusher.m_nSignal, end.stalledSeconds = stalledSeconds;
    Diagnosis why = DiagnoseFailure(said, end, PusherInput(slot.m_nPort), slot.m_strPublish);
    const std::string label = "推流地址" + std::to_string(index + 1);
    const pid_t pid = pusher.m_pid;
    RetirePusher(slot);
    // What it reads stopped coming (its input is the puller's stream): the puller's failure, seen
    // by the puller's own supervision. It starts again as soon as the puller delivers.
    if (!delivering || why.side == FailureSide::Camera) {
        LogRow(row, label + " ffmpeg 已结束 (pid " + std::to_string(pid) + ")：转发进程无数据");
        slot.m_startAt = 0;
        return;
    }
    auto record = std::make_unique<FailureRecord>();
    record->m_at = m_clock.Now();
    record->m_strHow = stalledSeconds ? "无数据" + std::to_string(stalledSeconds) + "秒"
                       : end.signal   ? "ffmpeg 被信号 " + std::to_string(end.signal) + " 结束"
                                      : "ffmpeg 退出码 " + std::to_string(end.exitCode);
    record->m_lines = WithoutBanner(said, kFailureLines);
    record->m_diagnosis = std::move(why);
    const int failures = ++slot.m_nFailures;
    // The first failure after a reading starts it again at once; then the back-off.
    const std::int64_t backOff = PusherBackOffNs(failures);
    slot.m_startAt = m_clock.SteadyNs() + backOff;
    const Diagnosis& d = record->m_diagnosis;
    const std::int64_t waitS = backOff / 1000000000;
    LogRow(row, label + " ffmpeg 已结束 (pid " + std::to_string(pid) + "): " + d.label + "，连续" + std::to_string(failures) +
                    "次失败，" + (waitS > 0 ? std::to_string(waitS) + "秒后重试" : std::string("重试中")),
           StatusLog::kWarning);
    if (static_cast<int>(d.cause) != slot.m_nLoggedCause && !d.line.empty())
        LogRow(row, label + " ffmpeg: " + d.line, StatusLog::kWarning);
    slot.m_nLoggedCause = static_cast<int>(d.cause);
    slot.m_lastFailure = std::move(record);
}

void RelayEngine::StartOutputs(int row)
{
    ChannelRow& r = *Row(row);
    for (std::size_t i = 0; i < r.m_outputs.size(); ++i)
        if (!r.m_outputs[i]->m_pusher)
            SpawnPusher(row, static_cast<int>(i));
}

std::vector<OutputView> RelayEngine::OutputViews(const ChannelRow& r) const
{
    std::vector<OutputView> views;
    const bool running = r.m_worker && !r.m_worker->m_bEnded;
    for (std::size_t i = 0; i < r.m_outputs.size(); ++i) {
        const OutputSlot& slot = *r.m_outputs[i];
        OutputView v;
        v.number = static_cast<int>(i) + 1;
        v.publish = ParsePublishAddress(slot.m_strPublish).shown;
        v.up = running && PusherUp(slot);
        v.kbps = v.up ? slot.m_nKbps : 0;
        const SideChild* pusher = slot.m_pusher.get();
        v.bytes = slot.m_bytesBefore + (pusher ? static_cast<std::uint64_t>(std::max<std::int64_t>(0, pusher->m_outputBytes.load())) : 0);
        v.restarts = slot.m_nRestarts;
        v.failures = slot.m_nFailures;
        v.state = !running ? "stopped" : v.up ? "live" : slot.m_nFailures > 0 ? "failing" : "starting";
        if (const FailureRecord* failure = slot.m_lastFailure.get()) {
            v.failedAt = failure->m_at;
            v.cause = failure->m_diagnosis.name, v.causeText = failure->m_diagnosis.sentence;
            v.causeLine = MaskPasswords(failure->m_diagnosis.line);
        }
        views.push_back(std::move(v));
    }
    return views;
}

int RelayEngine::ApplyPublishEdits(int row)
{
    ChannelRow* r = Row(row);
    if (!r || r->m_outputs.empty() || !r->m_worker || r->m_worker->m_bEnded)
        return 0;
    ChannelRecord stored;
    if (BuildStoredCommand(ConfigStore(m_strAppDir), r->m_tag.m_nId, &stored).status != CommandBuild::Ok)
        return 0;
    std::vector<std::string> addresses{stored.publishUrl};
    addresses.insert(addresses.end(), stored.extraPublish.begin(), stored.extraPublish.end());
    // A changed number of addresses needs ports the puller does not write: the next start.
    if (addresses.size() != r->m_outputs.size())
        return 0;
    r->m_strPublish = stored.publishUrl, r->m_extraPublish = stored.extraPublish;
    int changed = 0;
    for (std::size_t i = 0; i < addresses.size(); ++i) {
        OutputSlot& slot = *r->m_outputs[i];
        if (slot.m_strPublish == addresses[i])
            continue;
        // A new address is a new output: its counts start again, the others are not touched.
        const int port = slot.m_nPort;
        RetireSide(slot.m_pusher);
        slot = OutputSlot{};
        slot.m_strPublish = addresses[i], slot.m_nPort = port;
        RememberSecretsOf(slot.m_strPublish);
        LogRow(row, "推流地址" + std::to_string(i + 1) + " 已修改：重新推流");
        ++changed;
        if (RowUp(*r, true))
            SpawnPusher(row, static_cast<int>(i));
    }
    return changed;
}
