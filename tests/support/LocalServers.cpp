#include "LocalServers.h"

#include "ProcessProbe.h"
#include "platform/ChildProcess.h"

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <sstream>
#include <utility>

namespace {

const std::string kLibrary = "source '" CAMRELAY_SCRIPTS "/lib-servers.sh'";

}   // namespace

int RunCommand(const std::vector<std::string>& argv, double timeoutSeconds, std::string* output)
{
    // Output into a file, not a pipe: a grandchild that keeps the pipe open cannot hold us up.
    const TempDir dir("camrelay-run");
    ServerProcess run;
    if (!run.Start(argv, dir.File("output")))
        return -1;
    const bool ended = ProcessProbe::WaitUntil([&] { return !run.Running(); }, std::chrono::milliseconds(static_cast<long>(timeoutSeconds * 1000)));
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

// The relay's own spawner: own process group, stdin /dev/null, no other descriptor, signals at
// their defaults, SIGKILL when the starting thread ends. A shell appends the output to the log
// and becomes the program (looked up in PATH).
bool ServerProcess::Start(const std::vector<std::string>& argv, const std::string& logPath)
{
    Stop();
    m_exitCode = -1;
    std::vector<std::string> args = {"-c", "exec \"$@\" >>\"$0\" 2>&1", logPath.empty() ? "/dev/null" : logPath};
    args.insert(args.end(), argv.begin(), argv.end());
    const SpawnResult r = SpawnChild("/bin/sh", args);
    if (r.status != SpawnResult::Ok)
        return false;
    ::close(r.readFd);
    m_pid = r.pid;
    return true;
}

void ServerProcess::Stop(int signal, double graceSeconds)
{
    if (m_pid <= 0)
        return;
    if (Running() && ::kill(-m_pid, signal) == 0)
        ProcessProbe::WaitUntil([&] { return !Running(); }, std::chrono::milliseconds(static_cast<long>(graceSeconds * 1000)));
    KillChild(std::exchange(m_pid, -1));   // what is left of the group, then the reaping
}

// WNOWAIT: an ended child stays a zombie until Stop(), keeping its group id for the group's kill.
bool ServerProcess::Running()
{
    siginfo_t info{};
    if (m_pid <= 0 || ::waitid(P_PID, static_cast<id_t>(m_pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0)
        return false;
    if (info.si_pid == m_pid)
        m_exitCode = info.si_code == CLD_EXITED ? info.si_status : 128 + info.si_status;
    return info.si_pid != m_pid;
}

bool ShellServer::Start(const std::string& commands, const std::string& readyWords)
{
    if (m_proc.Running())
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
    }, std::chrono::seconds(120));
    if (!ready)
        m_proc.Stop();
    return ready;
}

std::string ProbeUntilVideo(const std::string& url)
{
    std::string out;
    const int code = RunShell("probe_until_video \"$1\" 90", {url}, 120, &out);
    out.erase(out.find_last_not_of('\n') + 1);
    return code == 0 ? out : "no stream: " + out;
}

bool StartViewer(ServerProcess& viewer, const std::string& url, const std::string& log)
{
    return viewer.Start({"bash", "-c", "while :; do stdbuf -oL ffprobe -v error -rw_timeout 3000000 -show_entries "
                                       "packet=pts_time -of csv=p=0 \"$1\"; sleep 0.1; done | while read -r l; do "
                                       "echo $EPOCHREALTIME; done", "bash", url}, log);
}

std::vector<double> PacketArrivals(const std::string& log)
{
    std::vector<double> times;
    std::istringstream in(ReadFile(log));
    for (double t; in >> t;)
        times.push_back(t);
    return times;
}

double LargestGap(const std::vector<double>& times, double from, double to)
{
    double gap = 0, last = from;
    for (const double t : times)
        if (t > from && t < to)
            gap = std::max(gap, t - last), last = t;
    return std::max(gap, to - last);
}

double EpochSeconds()
{
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}
