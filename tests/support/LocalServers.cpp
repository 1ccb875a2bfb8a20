#include "LocalServers.h"

#include "ProcessProbe.h"

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>

namespace {

std::chrono::milliseconds Millis(double seconds)
{
    return std::chrono::milliseconds(static_cast<long>(seconds * 1000));
}

const std::string kLibrary = "source '" CAMRELAY_SCRIPTS "/lib-servers.sh'";

// True once pid has ended. The child stays a zombie (not reaped), which keeps its process group
// id reserved until the group has been killed.
bool HasEnded(pid_t pid, int* exitCode)
{
    siginfo_t info {};
    if (::waitid(P_PID, pid, &info, WEXITED | WNOHANG | WNOWAIT) != 0)
        return errno == ECHILD;
    if (info.si_pid == pid)
        *exitCode = info.si_code == CLD_EXITED ? info.si_status : 128 + info.si_status;
    return info.si_pid == pid;
}

// Kills whatever is left of pid's group (grandchildren) and reaps pid.
void KillAndReap(pid_t pid, int* exitCode)
{
    ::kill(-pid, SIGKILL);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (*exitCode < 0)
        *exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// argv in a new process group, stdin /dev/null, stdout and stderr to outFd, signals at their
// defaults, and SIGKILL when the starting thread ends: a test binary that dies (abort, crash,
// kill, ctest's timeout) takes it along. Returns the pid, -1 on failure.
pid_t Spawn(const std::vector<std::string>& argv, int outFd)
{
    std::vector<char*> cargv;
    for (const std::string& arg : argv)
        cargv.push_back(const_cast<char*>(arg.c_str()));
    cargv.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {   // only async-signal-safe calls until exec
        ::setpgid(0, 0);
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        const int in = ::open("/dev/null", O_RDONLY);
        ::dup2(in, 0), ::dup2(outFd, 1), ::dup2(outFd, 2);
        ::close_range(3, ~0U, 0);
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        for (int sig : {SIGPIPE, SIGTERM, SIGINT, SIGHUP, SIGQUIT})
            ::signal(sig, SIG_DFL);
        ::execvp(cargv[0], cargv.data());
        ::_exit(127);
    }
    return pid;
}

}   // namespace

int RunCommand(const std::vector<std::string>& argv, double timeoutSeconds, std::string* output)
{
    // Output into a file, not a pipe: a grandchild that keeps the pipe open cannot hold us up.
    const TempDir dir("camrelay-run");
    ServerProcess run;
    if (!run.Start(argv, dir.File("output")))
        return -1;
    const bool ended = ProcessProbe::WaitUntil([&] { return !run.Running(); }, Millis(timeoutSeconds));
    run.Stop(SIGKILL, 0);
    if (output)
        *output = ReadFile(dir.File("output"));
    return ended ? run.ExitCode() : 124;
}

int RunShell(const std::string& lines, const std::vector<std::string>& args, double timeoutSeconds,
             std::string* output)
{
    std::vector<std::string> argv = {"bash", "-c", kLibrary + " && " + lines, "bash"};
    argv.insert(argv.end(), args.begin(), args.end());
    return RunCommand(argv, timeoutSeconds, output);
}

int FreeTcpPort()
{
    std::string port;
    return RunShell("free_port", {}, 10, &port) == 0 ? std::atoi(port.c_str()) : 0;
}

bool ServerProcess::Start(const std::vector<std::string>& argv, const std::string& logPath)
{
    Stop();
    m_exitCode = -1;
    const int log =
        ::open(logPath.empty() ? "/dev/null" : logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (log < 0)
        return false;
    m_pid = Spawn(argv, log);
    ::close(log);
    return m_pid > 0;
}

void ServerProcess::Stop(int signal, double graceSeconds)
{
    if (m_pid <= 0)
        return;
    if (!HasEnded(m_pid, &m_exitCode) && ::kill(-m_pid, signal) == 0)
        ProcessProbe::WaitUntil([&] { return HasEnded(m_pid, &m_exitCode); }, Millis(graceSeconds));
    KillAndReap(m_pid, &m_exitCode);
    m_pid = -1;
}

bool ServerProcess::Running()
{
    return m_pid > 0 && !HasEnded(m_pid, &m_exitCode);
}

bool ShellServer::Start(const std::string& commands, const std::string& readyWords)
{
    if (Running())
        return true;
    const std::string log = m_dir.File("shell.log");
    std::remove(log.c_str());
    // The servers run in sessions of their own: the SIGTERM of Stop() reaches only the shell,
    // whose trap passes it on.
    const std::string script = "cd \"$1\" && " + kLibrary + " || exit 1\ntrap 'stop_servers; exit 0' TERM\n" +
                               commands + " || exit 1\necho \"READY " + readyWords + "\"\nwait -n\nstop_servers\n";
    m_ready.clear();
    if (!m_proc.Start({"bash", "-c", script, "bash", m_dir.Path()}, log))
        return false;
    bool ready = false;
    ProcessProbe::WaitUntil([&] {
        std::istringstream lines(ReadFile(log));
        for (std::string line; !ready && std::getline(lines, line);)
            if ((ready = line.rfind("READY ", 0) == 0))
                m_ready = line.substr(6);
        return ready || !m_proc.Running();
    }, std::chrono::seconds(30));
    if (!ready)
        m_proc.Stop();
    return ready;
}

std::string ShellServer::Log() const
{
    return ReadFile(m_dir.File("shell.log"));
}

std::string ProbeUntilVideo(const std::string& url)
{
    std::string out;
    const int code = RunShell("probe_until_video \"$1\" 30", {url}, 50, &out);
    while (!out.empty() && out.back() == '\n')
        out.pop_back();
    return code == 0 ? out : "no stream: " + out;
}

std::string MakeTestPng(const std::string& dir, const std::string& name)
{
    const std::string path = dir + "/" + name;
    return name.find('/') == std::string::npos && RunShell("make_test_png \"$1\"", {path}, 60) == 0 ? path : "";
}
