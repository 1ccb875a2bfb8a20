#include "ProcessProbe.h"

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace ProcessProbe {
namespace {

int CountEntries(const char* path)
{
    return static_cast<int>(std::distance(std::filesystem::directory_iterator(path), {}));
}

// State letter and parent of a process from /proc/<pid>/stat; false if it is gone.
bool ReadStat(pid_t pid, char* state, pid_t* ppid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    // The command name is in parentheses and may contain blanks or ')'.
    if (!std::getline(in, text) || text.rfind(')') == std::string::npos)
        return false;
    std::istringstream rest(text.substr(text.rfind(')') + 1));
    return static_cast<bool>(rest >> *state >> *ppid);
}

// Processes other than this one, with their state letter and parent.
template <class Fn>
void ForEachProcess(Fn fn)
{
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/proc", ec)) {
        const std::string name = entry.path().filename();
        char state = 0;
        pid_t ppid = 0;
        if (name.find_first_not_of("0123456789") == std::string::npos && std::stoi(name) != ::getpid() &&
            ReadStat(std::stoi(name), &state, &ppid))
            fn(std::stoi(name), state, ppid);
    }
}

}   // namespace

int OpenFdCount()
{
    return CountEntries("/proc/self/fd") - 1;   // the listing's own descriptor
}

int ThreadCount()
{
    return CountEntries("/proc/self/task");
}

std::vector<pid_t> ChildPids()
{
    std::vector<pid_t> children;
    ForEachProcess([&](pid_t pid, char, pid_t ppid) {
        if (ppid == ::getpid())
            children.push_back(pid);
    });
    return children;
}

int ZombieChildCount()
{
    int count = 0;
    ForEachProcess([&](pid_t, char state, pid_t ppid) { count += ppid == ::getpid() && state == 'Z'; });
    return count;
}

bool IsAlive(pid_t pid)
{
    char state = 0;
    pid_t ppid = 0;
    return pid > 0 && ReadStat(pid, &state, &ppid) && state != 'Z' && state != 'X';
}

pid_t ParentOf(pid_t pid)
{
    char state = 0;
    pid_t ppid = 0;
    return ReadStat(pid, &state, &ppid) ? ppid : 0;
}

std::vector<std::string> CmdLine(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/cmdline", std::ios::binary);
    std::vector<std::string> args;
    for (std::string arg; std::getline(in, arg, '\0');)
        args.push_back(arg);
    return args;
}

std::vector<pid_t> ProcessesWithArg(const std::string& substring)
{
    std::vector<pid_t> found;
    ForEachProcess([&](pid_t pid, char state, pid_t) {
        const std::vector<std::string> args = CmdLine(pid);
        if (state != 'Z' && state != 'X' && std::any_of(args.begin(), args.end(), [&](const std::string& arg) {
                return arg.find(substring) != std::string::npos;
            }))
            found.push_back(pid);
    });
    return found;
}

bool WaitUntil(const std::function<bool()>& predicate, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!predicate()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return predicate();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

std::string FakeFfmpegPath()
{
    return CAMRELAY_BIN_DIR "/fake_ffmpeg";
}

}   // namespace ProcessProbe
