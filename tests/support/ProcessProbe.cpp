#include "ProcessProbe.h"

#include <dirent.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

namespace ProcessProbe {
namespace {

int CountEntries(const char* path)
{
    DIR* dir = ::opendir(path);
    if (!dir)
        return -1;
    int count = 0;
    while (dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] != '.')
            ++count;
    }
    ::closedir(dir);
    return count;
}

std::vector<pid_t> AllPids()
{
    std::vector<pid_t> pids;
    DIR* dir = ::opendir("/proc");
    if (!dir)
        return pids;
    while (dirent* entry = ::readdir(dir)) {
        char* end = nullptr;
        long pid = std::strtol(entry->d_name, &end, 10);
        if (pid > 0 && end && *end == '\0')
            pids.push_back(static_cast<pid_t>(pid));
    }
    ::closedir(dir);
    return pids;
}

// State letter and parent of a process from /proc/<pid>/stat; false if it is gone.
bool ReadStat(pid_t pid, char* state, pid_t* ppid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    if (!std::getline(in, text))
        return false;
    // The command name is in parentheses and may contain blanks or ')'.
    std::size_t close = text.rfind(')');
    if (close == std::string::npos)
        return false;
    std::istringstream rest(text.substr(close + 1));
    long parent = 0;
    rest >> *state >> parent;
    *ppid = static_cast<pid_t>(parent);
    return static_cast<bool>(rest);
}

std::vector<std::string> CmdLine(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/cmdline", std::ios::binary);
    std::vector<std::string> args;
    std::string arg;
    while (std::getline(in, arg, '\0'))
        args.push_back(arg);
    return args;
}

std::string BaseName(const std::string& path)
{
    std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
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
    const pid_t self = ::getpid();
    for (pid_t pid : AllPids()) {
        char state = 0;
        pid_t ppid = 0;
        if (ReadStat(pid, &state, &ppid) && ppid == self)
            children.push_back(pid);
    }
    return children;
}

int ZombieChildCount()
{
    int count = 0;
    const pid_t self = ::getpid();
    for (pid_t pid : AllPids()) {
        char state = 0;
        pid_t ppid = 0;
        if (ReadStat(pid, &state, &ppid) && ppid == self && state == 'Z')
            ++count;
    }
    return count;
}

bool IsAlive(pid_t pid)
{
    char state = 0;
    pid_t ppid = 0;
    return pid > 0 && ReadStat(pid, &state, &ppid) && state != 'Z' && state != 'X';
}

std::vector<pid_t> ProcessesWithExe(const std::string& exeOrName)
{
    std::vector<pid_t> found;
    const bool fullPath = exeOrName.find('/') != std::string::npos;
    const pid_t self = ::getpid();
    for (pid_t pid : AllPids()) {
        if (pid == self || !IsAlive(pid))
            continue;
        char buf[4096];
        ssize_t n = ::readlink(("/proc/" + std::to_string(pid) + "/exe").c_str(), buf, sizeof buf - 1);
        std::string exe = n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : std::string();
        bool match = false;
        if (fullPath) {
            char resolved[4096];
            match = !exe.empty() && ::realpath(exeOrName.c_str(), resolved) && exe == resolved;
        } else {
            auto args = CmdLine(pid);
            match = (!exe.empty() && BaseName(exe) == exeOrName) ||
                    (!args.empty() && BaseName(args[0]) == exeOrName);
        }
        if (match)
            found.push_back(pid);
    }
    return found;
}

std::vector<pid_t> ProcessesWithArg(const std::string& substring)
{
    std::vector<pid_t> found;
    const pid_t self = ::getpid();
    for (pid_t pid : AllPids()) {
        if (pid == self || !IsAlive(pid))
            continue;
        for (const std::string& arg : CmdLine(pid)) {
            if (arg.find(substring) != std::string::npos) {
                found.push_back(pid);
                break;
            }
        }
    }
    return found;
}

bool WaitUntil(const std::function<bool()>& predicate, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (predicate())
            return true;
        if (std::chrono::steady_clock::now() >= deadline)
            return predicate();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

std::string FakeFfmpegPath()
{
    return std::string(CAMRELAY_BIN_DIR) + "/fake_ffmpeg";
}

}   // namespace ProcessProbe
