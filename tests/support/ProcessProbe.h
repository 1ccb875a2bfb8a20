#pragma once
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

// Looks at this test process and its children through /proc: descriptor and thread counts,
// live and zombie children, processes by argument (for "no stray ffmpeg" checks),
// and a polling wait. Read-only; safe from any thread.
namespace ProcessProbe {

int OpenFdCount();
int ThreadCount();

// Children of this process: running or stopped, and the zombies (ended, not reaped) when asked.
std::vector<pid_t> ChildPids(bool withZombies = true);

// True while pid exists and is not a zombie.
bool IsAlive(pid_t pid);

// Live processes other than this one with an argv entry containing the substring.
std::vector<pid_t> ProcessesWithArg(const std::string& substring);

// Polls the predicate every 10 ms until it holds or the timeout has passed; its last result.
bool WaitUntil(const std::function<bool()>& predicate, std::chrono::milliseconds timeout);

}   // namespace ProcessProbe
