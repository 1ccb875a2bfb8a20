#pragma once
#include <sys/types.h>

#include <string>
#include <vector>

// Starting, polling and killing one relay child. The child gets /dev/null as standard input,
// one pipe as standard output and standard error, no other descriptor, its own process group,
// the inherited environment and working directory, and dies with this process (SIGKILL on
// parent death). The parent keeps only the read end (O_CLOEXEC).
struct SpawnResult {
    enum Status { Ok, PipeFailed, SpawnFailed };
    Status status = SpawnFailed;
    pid_t pid = -1;
    int readFd = -1;      // owned by the caller when Ok
    int error = 0;        // errno of the failure
};

// args are argv[1..]; argv[0] is program (a full path).
SpawnResult SpawnChild(const std::string& program, const std::vector<std::string>& args);

enum class ChildState { Running, Ended, Unknown };
// Never blocks: waitpid(WNOHANG). An ended child is reaped here; exitCode gets its code
// (128 + signal for a signal), signal the signal that ended it (0 for an exit).
ChildState PollChild(pid_t pid, int* exitCode = nullptr, int* signal = nullptr);

// SIGKILL to the child's process group, then reaps it. Safe on a child already reaped.
void KillChild(pid_t pid);

// The three operations as the engine uses them: the system's, or a test's scripted children.
class ChildLauncher {
public:
    virtual ~ChildLauncher() = default;
    virtual SpawnResult Spawn(const std::string& program, const std::vector<std::string>& args) const
    {
        return SpawnChild(program, args);
    }
    virtual ChildState Poll(pid_t pid, int* exitCode, int* signal) const { return PollChild(pid, exitCode, signal); }
    virtual void Kill(pid_t pid) const { KillChild(pid); }
    static const ChildLauncher& System()
    {
        static const ChildLauncher system;
        return system;
    }
};
