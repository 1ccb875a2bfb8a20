#pragma once
#include <chrono>
#include <cstdint>

// The engine's clock: steady-clock nanoseconds. The supervision's times, the watchdog's progress
// stamps and the start queue are all read from it.
inline std::int64_t SteadyNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch()).count();
}
inline std::int64_t MsToNs(int ms) { return static_cast<std::int64_t>(ms) * 1000000; }
