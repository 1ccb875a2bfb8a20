#include "engine/Supervision.h"

#include "settings/ChannelStore.h"

#include <algorithm>
#include <charconv>
#include <optional>

int StallTimeoutMs(const std::string& text)
{
    // Only a number counts: a value that is empty or garbled must not turn the watchdog off.
    bool digits = false;
    const int seconds = DecimalValue(text, &digits);
    const std::size_t first = text.find_first_not_of(" \t\n\v\f\r");
    if (!digits || text[first] == '-')
        return kDefaultStallSeconds * 1000;
    if (seconds == 0)
        return 0;
    return std::clamp(seconds, kMinStallSeconds, 24 * 3600) * 1000;
}

int StartIntervalMs(const std::string& text)
{
    const std::size_t first = text.find_first_not_of(" \t");
    double seconds = 0;
    if (first == std::string::npos ||
        std::from_chars(text.data() + first, text.data() + text.size(), seconds).ec != std::errc() ||
        !(seconds > 0))
        return 0;
    return static_cast<int>(std::clamp(seconds, 0.1, 60.0) * 1000 + 0.5);
}

TickAction DecideTick(const TickInput& in)
{
    // A start that could not run is relaunched at the rhythm of a child that ended: ten seconds.
    if (in.failedStart)
        return in.failedStartNoticed ? TickAction::CountFailedStart : TickAction::NoticeFailedStart;
    if (!in.hasChild) {
        // Due a sixtieth of the period early, so that the jitter of the timer never moves the
        // relaunch to the tick after.
        const bool due = in.retryAt != 0 && in.now >= in.retryAt - in.retryPeriodNs / 60;
        return due ? TickAction::RetryNow : TickAction::LeaveAlone;
    }
    if (!in.childEnded)
        return in.stallNs != 0 && in.now - in.lastProgress > in.stallNs ? TickAction::EndStalled
                                                                         : TickAction::LeaveAlone;
    // The monitor may still be reading what the child printed last: the clean-up waits a tick.
    return in.runBit ? TickAction::FirstNotice : TickAction::CountEnd;
}

FailureVerdict DecideAfterFailure(int failures, bool keepRetrying, std::int64_t launchedAt, std::int64_t periodNs,
                                  std::int64_t spreadNs)
{
    if (failures < kFailureLimit)
        return {FailureAction::Relaunch};
    if (!keepRetrying)
        return {FailureAction::GiveUp};
    return {FailureAction::RetryEveryMinute, launchedAt + periodNs + spreadNs};
}

std::int64_t RelaunchDelayNs(int failedBefore)
{
    return MsToNs(std::min(failedBefore * kRelaunchStepMs, kRelaunchSpreadMs));
}

std::int64_t RetrySpreadNs(int id, std::int64_t periodNs)
{
    // Ids scattered over [0, 1) by a multiplicative hash; id 0 waits no longer.
    const double fraction = static_cast<double>((static_cast<std::uint32_t>(id) * 2654435761u) % 1000u) / 1000.0;
    return static_cast<std::int64_t>(fraction * static_cast<double>(periodNs) / 5);
}

StandInMode ChooseStandIn(const std::string& channel, const std::string& site)
{
    const auto read = [](const std::string& word) -> std::optional<StandInMode> {
        if (word == "0")
            return StandInMode::Off;
        if (word == "1")
            return StandInMode::UntilGiveUp;
        if (word == "2")
            return StandInMode::Always;
        return std::nullopt;
    };
    return read(channel).value_or(read(site).value_or(StandInMode::Off));
}
