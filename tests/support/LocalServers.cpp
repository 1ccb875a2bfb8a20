#include "LocalServers.h"

#include "ProcessProbe.h"

#include <fcntl.h>
#include <spawn.h>
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

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The output of one of the library's probe functions, or "no stream: " and what it said.
std::string Probe(const std::string& lines, const std::vector<std::string>& args, double timeoutSeconds)
{
    std::string out;
    const int code = RunShell(lines, args, timeoutSeconds, &out);
    while (!out.empty() && out.back() == '\n')
        out.pop_back();
    return code == 0 ? out : "no stream: " + out;
}

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
// defaults, through setpriv so that it gets SIGKILL when the starting thread ends: a test binary
// that dies (abort, crash, kill, ctest's timeout) takes it along. Returns the pid, -1 on failure.
pid_t Spawn(const std::vector<std::string>& argv, int outFd)
{
    std::vector<std::string> args = {"setpriv", "--pdeathsig", "KILL"};
    args.insert(args.end(), argv.begin(), argv.end());
    std::vector<char*> cargv;
    for (std::string& a : args)
        cargv.push_back(a.data());
    cargv.push_back(nullptr);
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&files, outFd, 1);
    posix_spawn_file_actions_adddup2(&files, outFd, 2);
    posix_spawn_file_actions_addclosefrom_np(&files, 3);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    for (int sig : {SIGPIPE, SIGTERM, SIGINT, SIGHUP, SIGQUIT})
        sigaddset(&defaults, sig);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setpgroup(&attr, 0);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    pid_t pid = -1;
    if (::posix_spawnp(&pid, cargv[0], &files, &attr, cargv.data(), environ) != 0)
        pid = -1;
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&files);
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

std::string ProbeStream(const std::string& url)
{
    return Probe("probe_stream \"$1\"", {url}, 20);
}

std::string ProbeUntilVideo(const std::string& url, int budgetSeconds)
{
    return Probe("probe_until_video \"$1\" $2", {url, std::to_string(budgetSeconds)}, budgetSeconds + 20);
}

std::string MakeTestClip(const std::string& dir, int seconds)
{
    const std::string path = dir + "/clip.mp4";
    return RunShell("make_test_clip \"$1\" $2", {path, std::to_string(seconds)}, 120) == 0 ? path : "";
}

std::string MakeTestPng(const std::string& dir, const std::string& name)
{
    const std::string path = dir + "/" + name;
    return name.find('/') == std::string::npos && RunShell("make_test_png \"$1\"", {path}, 60) == 0 ? path : "";
}
