#pragma once
#include <sys/types.h>

#include <csignal>
#include <string>
#include <vector>

#include "TempDir.h"

// Children of the tests, and the local servers, test media and stream probes of
// scripts/lib-servers.sh (the one place for them, shared with the demo), all on 127.0.0.1.
// Every child runs in its own process group with a parent-death signal: it gets SIGKILL when the
// thread that started it ends (start them from the test's main thread). The library's servers
// die with their shell in turn, so a test binary that dies of any signal leaves nothing serving.

// Runs argv (argv[0] looked up in PATH) with stdin /dev/null and stdout+stderr captured into
// *output. Returns the exit code, 128+signal for a signal, 124 when the time ran out (the
// child's process group is then killed).
int RunCommand(const std::vector<std::string>& argv, double timeoutSeconds,
               std::string* output = nullptr);
// RunCommand of bash lines run after sourcing scripts/lib-servers.sh; args are $1, $2, ...
int RunShell(const std::string& lines, const std::vector<std::string>& args, double timeoutSeconds,
             std::string* output = nullptr);

// A TCP port on 127.0.0.1 that was free a moment ago (the library's free_port).
int FreeTcpPort();

// One child: owns its process group, stops and reaps it on Stop() or destruction. Not copyable.
class ServerProcess {
public:
    ServerProcess() = default;
    ~ServerProcess() { Stop(); }
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    // stdout and stderr are appended to logPath (/dev/null when empty).
    bool Start(const std::vector<std::string>& argv, const std::string& logPath);
    // signal to the group first, then SIGKILL to whatever of the group is left after
    // graceSeconds; the child is reaped.
    void Stop(int signal = SIGTERM, double graceSeconds = 2.0);
    bool Running();
    pid_t Pid() const { return m_pid; }
    // Exit code (128+signal for a signal) once Running() has seen the end or Stop() reaped it.
    int ExitCode() const { return m_exitCode; }

private:
    pid_t m_pid = -1;
    int m_exitCode = -1;
};

// Servers of the library, hosted by a bash in a folder of its own: it runs `commands` (start_*
// calls, relative paths land in that folder), prints "READY <readyWords>" and waits. Stop()
// sends SIGTERM to the shell, whose trap stops its servers; the shell also ends, stopping the
// rest, when one of its servers ends by itself.
class ShellServer {
public:
    bool Start(const std::string& commands, const std::string& readyWords = "");   // 30 s at most
    void Stop() { m_proc.Stop(SIGTERM, 10.0); }
    // The ready words as the shell expanded them, e.g. "$RTSP_URL $RTSP_PID".
    const std::string& Ready() const { return m_ready; }
    std::string Log() const { return ReadFile(m_dir.File("shell.log")); }   // what the shell and its servers said

private:
    TempDir m_dir{"camrelay-servers"};
    ServerProcess m_proc;
    std::string m_ready;
};

// The library's probe_until_video: a live stream, probed until it shows video (30 s at most),
// e.g. "h264 640x360 Main, aac 44100 Hz 1 ch", or "no stream: " and what the last probe said.
std::string ProbeUntilVideo(const std::string& url);


// A viewer of url that notes the arrival time of every packet (seconds since the epoch, one a
// line) in log, joining again 0.1 s after the stream ends. PacketArrivals reads them back;
// LargestGap is the longest time between two of them within [from, to] (the edges count).
bool StartViewer(ServerProcess& viewer, const std::string& url, const std::string& log);
std::vector<double> PacketArrivals(const std::string& log);
double LargestGap(const std::vector<double>& times, double from, double to);
double EpochSeconds();  // the clock of the arrival times
