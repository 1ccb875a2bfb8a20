#pragma once
#include <sys/types.h>

#include <csignal>
#include <string>
#include <vector>

#include "TempDir.h"

// Local servers and stream helpers for relay tests, all on 127.0.0.1.
// Every child runs in its own process group and gets SIGKILL when the thread that started it
// ends (start servers from the test's main thread), so a test binary that exits or dies of any
// signal leaves nothing serving.

// A TCP port on 127.0.0.1 that was free a moment ago (bound to port 0, read back, closed).
int FreeTcpPort();

// True when something accepts TCP connections on 127.0.0.1:port.
bool TcpPortAccepts(int port);

// Runs argv (argv[0] looked up in PATH) with stdin /dev/null and stdout+stderr captured into
// *output. Returns the exit code, 128+signal for a signal, 124 when the time ran out (the
// child's process group is then killed) and -1 when it could not be started.
int RunCommand(const std::vector<std::string>& argv, double timeoutSeconds,
               std::string* output = nullptr);

// One child started by the fixtures below: owns its process group, kills and reaps it on Stop()
// or destruction. Not copyable.
class ServerProcess {
public:
    ServerProcess() = default;
    ~ServerProcess() { Stop(); }
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    // stdout goes to a pipe whose read end *stdoutFd receives when stdoutFd is given, otherwise
    // like stderr into logPath (appended; /dev/null when empty).
    bool Start(const std::vector<std::string>& argv, const std::string& logPath,
               int* stdoutFd = nullptr);
    // signal to the group first (SIGTERM lets nginx and ffmpeg close sockets), then SIGKILL to
    // whatever of the group is left after graceSeconds; the child is reaped.
    void Stop(int signal = SIGTERM, double graceSeconds = 2.0);
    bool Running();
    pid_t Pid() const { return m_pid; }
    // Exit code (128+signal for a signal) once Running() has seen the end or Stop() reaped it.
    int ExitCode() const { return m_exitCode; }

private:
    pid_t m_pid = -1;
    int m_exitCode = -1;
};

// A private nginx with the RTMP module ("live" application) from a config in its own temp dir.
// The port is chosen at the first Start() and kept, so Stop() then Start() serves the same URLs.
class NginxRtmp {
public:
    explicit NginxRtmp(int port = 0) : m_port(port) {}
    ~NginxRtmp() { Stop(); }
    bool Start();   // waits until the port accepts (about 3 s at most)
    void Stop();
    bool Running();
    std::string Url(const std::string& stream) const;   // rtmp://127.0.0.1:<port>/live/<stream>
    std::string ErrorLog() const;   // contents of error.log, for failure messages

private:
    bool StartOnce();

    TempDir m_dir{"camrelay-nginx"};
    ServerProcess m_proc;
    int m_port;
};

// The GStreamer camera simulator (scripts/rtsp_sim.py): H.264 Main 640x360 25 fps + A-law 8 kHz.
class RtspSimulator {
public:
    ~RtspSimulator() { Stop(); }
    bool Start();   // waits for READY (about 10 s at most)
    void Stop();
    bool Running() { return m_proc.Running(); }
    std::string Url() const;   // rtsp://127.0.0.1:<port>/test
    std::string Log() const;
    pid_t Pid() const { return m_proc.Pid(); }   // to freeze it with SIGSTOP

private:
    TempDir m_dir{"camrelay-rtsp"};
    ServerProcess m_proc;
    int m_port = 0;
    int m_stdoutFd = -1;
};

// ffmpeg publishing a live test picture (640x360 H.264) and a sine tone (AAC) to an RTMP URL;
// stopped with the object.
class TestPublisher {
public:
    bool Start(const std::string& rtmpUrl);   // true once ffmpeg is running (not yet publishing)
    bool Running() { return m_proc.Running(); }

private:
    TempDir m_dir{"camrelay-pub"};
    ServerProcess m_proc;
};

// ffmpeg serving a generated clip, looped, as FLV on http://127.0.0.1:<port>/src.flv to exactly
// one client; it ends when that client leaves, or with the object.
class HttpFlvSource {
public:
    bool Start();
    std::string Url() const;

private:
    TempDir m_dir{"camrelay-http"};
    ServerProcess m_proc;
    int m_port = 0;
};

struct StreamInfo {
    std::string videoCodec, audioCodec, profile;   // profile as ffprobe names it ("Main")
    int width = 0, height = 0, sampleRate = 0, channels = 0;
    bool ok = false;        // ffprobe succeeded and reported at least one stream
    std::string output;     // ffprobe's raw output, for failure messages
    // "h264 640x360 Main, aac 44100 Hz 2 ch", or ffprobe's output when it found no stream.
    std::string Summary() const;
};

// One bounded ffprobe of url (no retries: wrap it in a polling loop for live streams).
StreamInfo ProbeStream(const std::string& url, int timeoutSeconds = 12);
// Probes a live stream until it shows video (a viewer starts at a keyframe) or budgetSeconds pass.
StreamInfo ProbeUntilVideo(const std::string& url, int budgetSeconds = 30);

// A 640x360 25 fps H.264 (yuv420p, keyframe every 50 frames) + AAC clip of the given length:
// dir/clip.mp4. Returns its path, empty on failure.
std::string MakeTestClip(const std::string& dir, int seconds);

// A 64x32 semi-transparent red RGBA PNG at dir/name (name may hold any characters but '/').
// Returns its path, empty on failure.
std::string MakeTestPng(const std::string& dir, const std::string& name);
