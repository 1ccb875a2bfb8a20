#pragma once
#include "platform/Clock.h"

#include <cstdint>
#include <string>

// The supervision's rules as pure functions: what a tick does with one row, and what follows a
// failed attempt. The engine gathers the inputs and carries out the verdict.

constexpr int kTimerPeriodMs = 5000;  // the supervision tick and the start queue
// Consecutive failed attempts after which a channel is no longer relaunched (unless the
// keep-retrying option relaunches it once a minute from then on).
constexpr int kFailureLimit = 10;
constexpr int kKeepRetryPeriodMs = 60000;
// "全部运行" starts at most one row per period: four a second.
constexpr int kRunAllPeriodMs = 250;
// 快速重启: how often an ended output's child is looked for again until it is reaped.
constexpr int kEndCheckMs = 50;
// The stall watchdog: "stallTimeout" in config.ini, in seconds.
constexpr int kDefaultStallSeconds = 30;
constexpr int kMinStallSeconds = 10;

// "stallTimeout" of config.ini as milliseconds: empty, negative or not a number 30 s, 0 off,
// 1 to 9 count as 10, at most a day.
int StallTimeoutMs(const std::string& text);
// "startInterval" (启动间隔) of config.ini, seconds with decimals ("0.5"), as milliseconds between
// 0.1 s and 60 s; empty, 0 or not a number: 0, each face's own pacing.
int StartIntervalMs(const std::string& text);

// One row at one tick. Times are steady-clock nanoseconds; a period of 0 is off.
struct TickInput {
    bool failedStart = false;   // its last start could not run ffmpeg
    bool hasChild = false;      // a child was started and not yet cleaned up
    bool childEnded = false;    // that child has ended (reaped, or ended by the watchdog)
    bool runBit = false;        // the row's run bit is still set
    std::int64_t now = 0;
    std::int64_t lastProgress = 0;  // the launch, then each status line whose time or size advanced
    std::int64_t retryAt = 0;       // a once-a-minute relaunch is due; 0: none
    std::int64_t stallNs = 0;       // the watchdog's period
    std::int64_t retryPeriodNs = 0; // the keep-retrying period
    bool failedStartNoticed = false;  // a tick has passed since that start could not run
};
enum class TickAction {
    LeaveAlone,
    NoticeFailedStart, // a start that could not run: counted at the next tick, as an end is
    CountFailedStart,  // count it as a failed attempt
    RetryNow,          // the once-a-minute relaunch is due
    EndStalled,        // alive without progress for the stall period: end the child
    FirstNotice,       // the child ended: clear the run bit; it is cleaned up at the next tick
    CountEnd,          // clean up the ended child and count the failed attempt
};
TickAction DecideTick(const TickInput& in);

// When many channels fail at once (a server outage), their relaunches are spread: the nth
// failure counted in one tick waits n times this, at most kRelaunchSpreadMs (a fifth of the
// ten seconds between a child's end and its relaunch), and a keep-retrying channel's minute is
// lengthened by up to a fifth, by its id. A lone failing channel keeps its rhythm.
constexpr int kRelaunchStepMs = 125;
constexpr int kRelaunchSpreadMs = 2000;
std::int64_t RelaunchDelayNs(int failedBefore);        // failedBefore: failures counted earlier in the tick
std::int64_t RetrySpreadNs(int id, std::int64_t periodNs);

// After the nth failed attempt in a row, the last one launched at launchedAt: relaunch, give up,
// or (keep-retrying) relaunch once a period (plus spreadNs) from that attempt on, at retryAt.
enum class FailureAction { Relaunch, RetryEveryMinute, GiveUp };
struct FailureVerdict {
    FailureAction action;
    std::int64_t retryAt = 0;
};
FailureVerdict DecideAfterFailure(int failures, bool keepRetrying, std::int64_t launchedAt, std::int64_t periodNs,
                                  std::int64_t spreadNs = 0);

// 备用画面: what a channel does while its camera is down. Its own option ("0" off, "1" on, "2" on
// and kept after it gives up) wins over the site's (config.ini's standIn), which is off when
// empty; anything else reads as empty.
enum class StandInMode { Off, UntilGiveUp, Always };
StandInMode ChooseStandIn(const std::string& channel, const std::string& site);
// A camera check that has not ended after this long is ended and counted as failed.
constexpr int kCameraCheckSeconds = 10;
constexpr int kCameraCheckLimitMs = 20000;
constexpr int kCheckPollMs = 500;  // a passing check is seen within this
