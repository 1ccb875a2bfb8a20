#pragma once
#include <chrono>
#include <cstdint>
#include <ctime>

// The engine's clock: steady-clock nanoseconds. The supervision's times, the watchdog's progress
// stamps and the start queue are all read from it.
inline std::int64_t SteadyNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch()).count();
}
inline std::int64_t MsToNs(int ms) { return static_cast<std::int64_t>(ms) * 1000000; }

// Where the engine and its monitors read the time: the system's clocks, or a test's hand-moved
// one. Both readings come from the same source, so that a test's scenario is one timeline.
class TimeSource {
public:
    virtual ~TimeSource() = default;
    virtual std::int64_t SteadyNs() const { return ::SteadyNs(); }
    virtual std::time_t Now() const { return std::time(nullptr); }  // wall clock, for the operator's texts
    static const TimeSource& System()
    {
        static const TimeSource system;
        return system;
    }
};
