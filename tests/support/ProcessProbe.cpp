#include "ProcessProbe.h"

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace ProcessProbe {
namespace {

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

}   // namespace

std::vector<pid_t> ChildPids(bool withZombies)
{
    std::vector<pid_t> children;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/proc", ec)) {
        const pid_t pid = std::atoi(entry.path().filename().c_str());
        char state = 0;
        pid_t ppid = 0;
        if (pid > 0 && ReadStat(pid, &state, &ppid) && ppid == ::getpid() && (withZombies || state != 'Z'))
            children.push_back(pid);
    }
    return children;
}

// Less one for the listing's own descriptor.
int OpenFdCount()
{
    return static_cast<int>(std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {})) - 1;
}

int ThreadCount()
{
    return static_cast<int>(std::distance(std::filesystem::directory_iterator("/proc/self/task"), {}));
}

bool IsAlive(pid_t pid)
{
    char state = 0;
    pid_t ppid = 0;
    return pid > 0 && ReadStat(pid, &state, &ppid) && state != 'Z' && state != 'X';
}

std::vector<pid_t> ProcessesWithArg(const std::string& substring)
{
    // A zombie's argv reads as empty.
    std::vector<pid_t> found;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/proc", ec)) {
        const pid_t pid = std::atoi(entry.path().filename().c_str());
        std::ifstream in(entry.path() / "cmdline", std::ios::binary);
        std::string argv;
        try {
            argv.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        } catch (const std::ios_base::failure&) {
            continue;  // it ended between open and read (ESRCH): libstdc++'s stream buffer throws
        }
        if (pid > 0 && pid != ::getpid() && argv.find(substring) != std::string::npos)
            found.push_back(pid);
    }
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

}   // namespace ProcessProbe
