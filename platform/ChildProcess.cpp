#include "platform/ChildProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <initializer_list>

namespace {

// Everything between fork and exec must be async-signal-safe: the caller may be a
// multi-threaded GUI process, so no allocation, no locks and no stdio in the child.

void CloseQuietly(int fd)
{
    if (fd >= 0)
        ::close(fd);
}

// Moves a descriptor above the standard ones so that dup2 onto 0..2 never clobbers it.
int LiftAboveStdio(int fd)
{
    if (fd < 0 || fd > 2)
        return fd;
    int lifted = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
    ::close(fd);
    return lifted;
}

[[noreturn]] void ChildAfterFork(const char* program, char* const* argv, pid_t parent,
                                 int devNull, int outWrite, int errWrite)
{
    // Dispositions set to SIG_IGN survive exec; the mask was fully blocked by the parent.
    struct sigaction dfl = {};
    dfl.sa_handler = SIG_DFL;
    ::sigemptyset(&dfl.sa_mask);
    for (int sig = 1; sig < NSIG; ++sig) {
        if (sig != SIGKILL && sig != SIGSTOP)
            ::sigaction(sig, &dfl, nullptr);
    }

    ::setpgid(0, 0);
    // The death signal follows the forking thread, not the process: spawn from a thread that
    // lives as long as the program (the GUI thread).
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent)
        ::_exit(127);   // the parent died before PDEATHSIG was armed

    int err = 0;
    if (::dup2(devNull, 0) < 0 || ::dup2(outWrite, 1) < 0 || ::dup2(outWrite, 2) < 0)
        err = errno;
    // Keep the error pipe at fd 3 (close-on-exec) so everything from 4 up can go at once.
    if (err == 0 && errWrite != 3) {
        if (::dup3(errWrite, 3, O_CLOEXEC) < 0)
            err = errno;
        else
            errWrite = 3;
    }
    if (err == 0) {
        // close_range, or on kernels without it a walk of /proc/self/fd that allocates nothing.
        ::closefrom(4);
        sigset_t none;
        ::sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::execv(program, argv);
        err = errno;
    }
    [[maybe_unused]] const ssize_t ignored = ::write(errWrite, &err, sizeof err);
    ::_exit(127);
}

pid_t WaitRetry(pid_t pid, int* status, int options)
{
    pid_t r;
    do {
        r = ::waitpid(pid, status, options);
    } while (r < 0 && errno == EINTR);
    return r;
}

}   // namespace

SpawnResult SpawnChild(const std::string& program, const std::vector<std::string>& args)
{
    SpawnResult result;

    // All strings and the argv array exist before fork: the child may not allocate.
    std::vector<char*> argv;
    argv.reserve(args.size() + 2);
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);

    auto fail = [&](int err, std::initializer_list<int> fds, SpawnResult::Status status = SpawnResult::SpawnFailed) {
        for (int fd : fds)
            CloseQuietly(fd);
        result.status = status;
        result.error = err;
        return result;
    };

    int out[2], errPipe[2];
    if (::pipe2(out, O_CLOEXEC) != 0)
        return fail(errno, {}, SpawnResult::PipeFailed);
    out[0] = LiftAboveStdio(out[0]);
    out[1] = LiftAboveStdio(out[1]);
    if (out[0] < 0 || out[1] < 0)
        return fail(errno, {out[0], out[1]}, SpawnResult::PipeFailed);
    if (::pipe2(errPipe, O_CLOEXEC) != 0)
        return fail(errno, {out[0], out[1]});
    errPipe[0] = LiftAboveStdio(errPipe[0]);
    errPipe[1] = LiftAboveStdio(errPipe[1]);
    int devNull = LiftAboveStdio(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    if (errPipe[0] < 0 || errPipe[1] < 0 || devNull < 0)
        return fail(errno, {out[0], out[1], errPipe[0], errPipe[1], devNull});

    const pid_t parent = ::getpid();
    sigset_t all, old;
    ::sigfillset(&all);
    ::pthread_sigmask(SIG_SETMASK, &all, &old);
    pid_t pid = ::fork();
    if (pid == 0)
        ChildAfterFork(argv[0], argv.data(), parent, devNull, out[1], errPipe[1]);
    int forkErr = errno;
    ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
    if (pid < 0)
        return fail(forkErr, {out[0], out[1], errPipe[0], errPipe[1], devNull});

    // Both sides set the group, so a kill of the group right after this call cannot miss.
    ::setpgid(pid, pid);
    ::close(out[1]);
    ::close(errPipe[1]);
    ::close(devNull);

    // The error pipe closes on a successful exec; an errno arrives when exec failed.
    int childErr = 0;
    ssize_t n;
    do {
        n = ::read(errPipe[0], &childErr, sizeof childErr);
    } while (n < 0 && errno == EINTR);
    ::close(errPipe[0]);
    if (n == static_cast<ssize_t>(sizeof childErr)) {
        int status = 0;
        WaitRetry(pid, &status, 0);
        return fail(childErr, {out[0]});
    }

    result.status = SpawnResult::Ok;
    result.pid = pid;
    result.readFd = out[0];
    return result;
}

ChildState PollChild(pid_t pid, int* exitCode, int* signal)
{
    // waitpid with 0 or a negative pid would reap some other child.
    if (pid <= 0)
        return ChildState::Unknown;
    int status = 0;
    pid_t r = WaitRetry(pid, &status, WNOHANG);
    if (r == 0)
        return ChildState::Running;
    if (r != pid)
        return ChildState::Unknown;
    if (exitCode)
        *exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
    if (signal)
        *signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    return ChildState::Ended;
}

void KillChild(pid_t pid)
{
    // kill(0) and kill(-1) would hit this program's group or every process it may signal.
    if (pid <= 1)
        return;
    // Signal only a child that is still ours (alive or zombie): a reaped pid may already
    // belong to an unrelated process.
    siginfo_t info = {};
    if (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0)
        return;
    // The child itself too, in case it left its group.
    ::kill(-pid, SIGKILL);
    ::kill(pid, SIGKILL);
    int status = 0;
    WaitRetry(pid, &status, 0);
}
