#include "LocalServers.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

#ifndef CAMRELAY_SCRIPTS
#define CAMRELAY_SCRIPTS "scripts"
#endif

namespace {

using Clock = std::chrono::steady_clock;

// Process groups that are alive right now. Plain atomics, so the fatal-signal handler may read
// them; a slot holds 0 when free.
constexpr int kMaxGroups = 128;
std::atomic<pid_t> g_groups[kMaxGroups];

void KillRegisteredGroups()
{
    for (auto& slot : g_groups) {
        const pid_t group = slot.load();
        if (group > 0)
            ::kill(-group, SIGKILL);
    }
}

void OnFatalSignal(int sig)
{
    KillRegisteredGroups();
    // SA_RESETHAND restored the default action: the re-raised signal ends the process as before.
    ::raise(sig);
}

// Registered once: exit() without the fixtures' destructors, an abort or a crash, and ctest's
// SIGTERM on timeout all take the servers down with the test binary. Handlers someone else
// installed are left alone.
void InstallCleanupOnce()
{
    static std::once_flag once;
    std::call_once(once, [] {
        std::atexit(KillRegisteredGroups);
        for (int sig : {SIGABRT, SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTERM, SIGINT, SIGHUP}) {
            struct sigaction old {};
            if (::sigaction(sig, nullptr, &old) != 0 || old.sa_handler != SIG_DFL)
                continue;
            struct sigaction sa {};
            sa.sa_handler = OnFatalSignal;
            sa.sa_flags = SA_RESETHAND | SA_NODEFER;
            sigemptyset(&sa.sa_mask);
            ::sigaction(sig, &sa, nullptr);
        }
    });
}

void RegisterGroup(pid_t group)
{
    for (auto& slot : g_groups) {
        pid_t expected = 0;
        if (slot.compare_exchange_strong(expected, group))
            return;
    }
}

void UnregisterGroup(pid_t group)
{
    for (auto& slot : g_groups) {
        pid_t expected = group;
        if (slot.compare_exchange_strong(expected, 0))
            return;
    }
}

int DecodeStatus(int status)
{
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return -1;
}

// True once pid has ended; the child stays a zombie (not reaped), which keeps its process group
// id reserved until the group has been killed.
bool HasEnded(pid_t pid, int* exitCode)
{
    siginfo_t info {};
    if (::waitid(P_PID, pid, &info, WEXITED | WNOHANG | WNOWAIT) != 0)
        return errno == ECHILD;
    if (info.si_pid != pid)
        return false;
    if (exitCode)
        *exitCode = info.si_code == CLD_EXITED ? info.si_status : 128 + info.si_status;
    return true;
}

void ReapAndForget(pid_t pid, int* exitCode)
{
    ::kill(-pid, SIGKILL);   // whatever else runs in the group (nginx workers, grandchildren)
    int status = 0;
    pid_t r;
    do {
        r = ::waitpid(pid, &status, 0);
    } while (r < 0 && errno == EINTR);
    if (r == pid && exitCode && *exitCode < 0)
        *exitCode = DecodeStatus(status);
    UnregisterGroup(pid);
}

// argv[0] as a full path, looked up in PATH before the fork: the child of a multi-threaded
// test process should do nothing between fork and exec that may allocate.
std::string ResolveProgram(const std::string& name)
{
    if (name.find('/') != std::string::npos)
        return ::access(name.c_str(), X_OK) == 0 ? name : std::string();
    const char* env = std::getenv("PATH");
    std::istringstream path(env ? env : "/usr/local/bin:/usr/bin:/bin");
    std::string dir;
    while (std::getline(path, dir, ':')) {
        const std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
        if (::access(candidate.c_str(), X_OK) == 0)
            return candidate;
    }
    return {};
}

// fork/exec of argv in a new process group. stdin is /dev/null; stdout is outFd, stderr errFd.
// The child dies with the thread that started it. Returns the pid, -1 if it could not run argv.
pid_t Spawn(const std::vector<std::string>& argv, int outFd, int errFd)
{
    if (argv.empty())
        return -1;
    InstallCleanupOnce();
    const std::string program = ResolveProgram(argv[0]);
    if (program.empty())
        return -1;
    std::vector<char*> cargv;
    for (const auto& a : argv)
        cargv.push_back(const_cast<char*>(a.c_str()));
    cargv.push_back(nullptr);

    const int devNull = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    int errPipe[2];   // exec failure report: closed by a successful exec
    if (devNull < 0 || ::pipe2(errPipe, O_CLOEXEC) != 0) {
        if (devNull >= 0)
            ::close(devNull);
        return -1;
    }
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::setpgid(0, 0);
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent)
            ::_exit(127);
        struct sigaction dfl {};
        dfl.sa_handler = SIG_DFL;
        for (int sig : {SIGPIPE, SIGTERM, SIGINT, SIGHUP, SIGQUIT})
            ::sigaction(sig, &dfl, nullptr);
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::dup2(devNull, 0);
        ::dup2(outFd, 1);
        ::dup2(errFd, 2);
        // Keep the report pipe at fd 3 and close everything above it.
        if (errPipe[1] != 3) {
            ::dup2(errPipe[1], 3);
            ::fcntl(3, F_SETFD, FD_CLOEXEC);
        }
        ::close_range(4, ~0U, 0);
        ::execv(program.c_str(), cargv.data());
        const int e = errno;
        (void)!::write(3, &e, sizeof e);
        ::_exit(127);
    }
    ::close(devNull);
    ::close(errPipe[1]);
    if (pid < 0) {
        ::close(errPipe[0]);
        return -1;
    }
    ::setpgid(pid, pid);   // also here, so a kill of the group right away cannot miss it
    RegisterGroup(pid);
    int e = 0;
    ssize_t n;
    do {
        n = ::read(errPipe[0], &e, sizeof e);
    } while (n < 0 && errno == EINTR);
    ::close(errPipe[0]);
    if (n == static_cast<ssize_t>(sizeof e)) {
        int ignored = -1;
        ReapAndForget(pid, &ignored);
        return -1;
    }
    return pid;
}

int OpenLog(const std::string& path)
{
    if (path.empty())
        return ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    return ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
}

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void SleepSeconds(double s)
{
    std::this_thread::sleep_for(std::chrono::duration<double>(s));
}

}   // namespace

int FreeTcpPort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return 0;
    sockaddr_in addr {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    socklen_t len = sizeof addr;
    int port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
        port = ntohs(addr.sin_port);
    ::close(fd);
    return port;
}

bool TcpPortAccepts(int port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return false;
    sockaddr_in addr {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    if (!ok && errno == EINPROGRESS) {
        pollfd p {fd, POLLOUT, 0};
        int err = 0;
        socklen_t len = sizeof err;
        ok = ::poll(&p, 1, 500) == 1 &&
             ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0;
    }
    ::close(fd);
    return ok;
}

int RunCommand(const std::vector<std::string>& argv, double timeoutSeconds, std::string* output)
{
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        return -1;
    const pid_t pid = Spawn(argv, fds[1], fds[1]);
    ::close(fds[1]);
    if (pid < 0) {
        ::close(fds[0]);
        return -1;
    }
    const auto deadline = Clock::now() + std::chrono::duration<double>(timeoutSeconds);
    std::string text;
    bool open = true;
    int code = -1;
    bool ended = false;
    while (Clock::now() < deadline) {
        if (open) {
            pollfd p {fds[0], POLLIN, 0};
            if (::poll(&p, 1, 100) > 0) {
                char buf[4096];
                const ssize_t n = ::read(fds[0], buf, sizeof buf);
                if (n > 0)
                    text.append(buf, static_cast<size_t>(n));
                else if (n == 0 || errno != EINTR)
                    open = false;
            }
        } else {
            SleepSeconds(0.02);
        }
        if (HasEnded(pid, &code)) {
            // All the child wrote is in the pipe by now; a grandchild that still holds the pipe
            // open must not keep us waiting once that is read.
            pollfd p {fds[0], POLLIN, 0};
            if (!open || ::poll(&p, 1, 50) <= 0) {
                ended = true;
                break;
            }
        }
    }
    ::close(fds[0]);
    ReapAndForget(pid, &code);
    if (output)
        *output = std::move(text);
    return ended ? code : 124;
}

// ---------------------------------------------------------------------------------------------

bool ServerProcess::Start(const std::vector<std::string>& argv, const std::string& logPath,
                          int* stdoutFd)
{
    Stop();
    m_exitCode = -1;
    const int log = OpenLog(logPath);
    if (log < 0)
        return false;
    int pipeFds[2] = {-1, -1};
    if (stdoutFd && ::pipe2(pipeFds, O_CLOEXEC) != 0) {
        ::close(log);
        return false;
    }
    m_pid = Spawn(argv, stdoutFd ? pipeFds[1] : log, log);
    ::close(log);
    if (stdoutFd) {
        ::close(pipeFds[1]);
        if (m_pid < 0)
            ::close(pipeFds[0]);
        else
            *stdoutFd = pipeFds[0];
    }
    return m_pid > 0;
}

void ServerProcess::Stop(int signal, double graceSeconds)
{
    if (m_pid <= 0)
        return;
    if (!HasEnded(m_pid, &m_exitCode)) {
        ::kill(-m_pid, signal);
        const auto deadline = Clock::now() + std::chrono::duration<double>(graceSeconds);
        while (Clock::now() < deadline && !HasEnded(m_pid, &m_exitCode))
            SleepSeconds(0.02);
    }
    ReapAndForget(m_pid, &m_exitCode);
    m_pid = -1;
}

bool ServerProcess::Running()
{
    return m_pid > 0 && !HasEnded(m_pid, &m_exitCode);
}

// ---------------------------------------------------------------------------------------------

bool NginxRtmp::StartOnce()
{
    const std::string dir = m_dir.Path();
    {
        // One process (master_process off): nothing outlives it when it is killed, unlike a
        // master whose worker keeps serving after the master got SIGKILL.
        std::ofstream conf(dir + "/nginx.conf", std::ios::trunc);
        conf << "load_module /usr/lib/nginx/modules/ngx_rtmp_module.so;\n"
                "daemon off;\n"
                "master_process off;\n"
                "worker_processes 1;\n"
                "pid nginx.pid;\n"
                "error_log error.log info;\n"
                "events { worker_connections 256; }\n"
                "rtmp {\n"
                "    access_log access.log;\n"
                "    server {\n"
                "        listen 127.0.0.1:" << m_port << ";\n"
                "        application live { live on; record off; }\n"
                "    }\n"
                "}\n";
        if (!conf)
            return false;
    }
    if (!m_proc.Start({"nginx", "-p", dir + "/", "-c", dir + "/nginx.conf", "-e",
                       dir + "/error.log"},
                      dir + "/nginx.out"))
        return false;
    const auto deadline = Clock::now() + std::chrono::seconds(3);
    while (Clock::now() < deadline) {
        if (!m_proc.Running())
            break;   // e.g. the port was taken meanwhile
        if (TcpPortAccepts(m_port))
            return true;
        SleepSeconds(0.02);
    }
    m_proc.Stop(SIGKILL);
    return false;
}

bool NginxRtmp::Start()
{
    if (Running())
        return true;
    if (!m_dir.Valid())
        return false;
    if (m_port > 0)
        return StartOnce();
    // A port picked here can be taken by someone else before nginx binds it: try a few.
    for (int attempt = 0; attempt < 3; ++attempt) {
        m_port = FreeTcpPort();
        if (m_port > 0 && StartOnce())
            return true;
    }
    m_port = 0;
    return false;
}

void NginxRtmp::Stop()
{
    // SIGTERM is nginx's fast shutdown and ends it at once, clients or not.
    m_proc.Stop(SIGTERM, 3.0);
}

bool NginxRtmp::Running()
{
    return m_proc.Running();
}

std::string NginxRtmp::Url(const std::string& stream) const
{
    return "rtmp://127.0.0.1:" + std::to_string(m_port) + "/live/" + stream;
}

std::string NginxRtmp::ErrorLog() const
{
    return ReadFile(m_dir.Path() + "/error.log") + ReadFile(m_dir.Path() + "/nginx.out");
}

// ---------------------------------------------------------------------------------------------

bool RtspSimulator::Start()
{
    if (m_proc.Running())
        return true;
    if (!m_dir.Valid())
        return false;
    const std::string script = std::string(CAMRELAY_SCRIPTS) + "/rtsp_sim.py";
    for (int attempt = 0; attempt < 3; ++attempt) {
        m_port = FreeTcpPort();
        int out = -1;
        // /usr/bin/python3 explicitly: another python3 earlier on PATH may lack the gi module.
        if (m_port <= 0 ||
            !m_proc.Start({"/usr/bin/python3", script, std::to_string(m_port)},
                          m_dir.Path() + "/rtsp_sim.log", &out))
            continue;
        std::string seen;
        const auto deadline = Clock::now() + std::chrono::seconds(15);
        while (Clock::now() < deadline && seen.find("READY") == std::string::npos) {
            pollfd p {out, POLLIN, 0};
            if (::poll(&p, 1, 100) <= 0)
                continue;
            char buf[256];
            const ssize_t n = ::read(out, buf, sizeof buf);
            if (n <= 0)
                break;   // the script ended before it was ready
            seen.append(buf, static_cast<size_t>(n));
        }
        // Held open until Stop(): a closed pipe would turn any later output into EPIPE.
        m_stdoutFd = out;
        if (seen.find("READY") != std::string::npos)
            return true;
        Stop();
    }
    m_port = 0;
    return false;
}

void RtspSimulator::Stop()
{
    m_proc.Stop(SIGTERM, 3.0);
    if (m_stdoutFd >= 0)
        ::close(m_stdoutFd);
    m_stdoutFd = -1;
}

std::string RtspSimulator::Url() const
{
    return "rtsp://127.0.0.1:" + std::to_string(m_port) + "/test";
}

std::string RtspSimulator::Log() const
{
    return ReadFile(m_dir.Path() + "/rtsp_sim.log");
}

// ---------------------------------------------------------------------------------------------

bool TestPublisher::Start(const std::string& rtmpUrl)
{
    if (!m_dir.Valid() ||
        !m_proc.Start({"ffmpeg", "-nostdin", "-loglevel", "error", "-re", "-f", "lavfi", "-i",
                       "testsrc=size=640x360:rate=25", "-f", "lavfi", "-i",
                       "sine=frequency=440:sample_rate=44100", "-c:v", "libx264", "-preset",
                       "veryfast", "-tune", "zerolatency", "-pix_fmt", "yuv420p", "-g", "50",
                       "-c:a", "aac", "-f", "flv", rtmpUrl},
                      m_dir.Path() + "/publisher.log"))
        return false;
    // A refused connection ends ffmpeg within about 0.1 s.
    SleepSeconds(0.3);
    return m_proc.Running();
}

void TestPublisher::Stop()
{
    m_proc.Stop(SIGTERM, 3.0);
}

// ---------------------------------------------------------------------------------------------

bool HttpFlvSource::Start()
{
    if (m_proc.Running())
        return true;
    if (!m_dir.Valid())
        return false;
    const std::string clip = MakeTestClip(m_dir.Path(), 10);
    m_port = FreeTcpPort();
    if (clip.empty() || m_port <= 0 ||
        !m_proc.Start({"ffmpeg", "-nostdin", "-loglevel", "error", "-re", "-stream_loop", "-1",
                       "-i", clip, "-c", "copy", "-f", "flv", "-listen", "1", Url()},
                      m_dir.Path() + "/http.log"))
        return false;
    // It serves exactly one client, so a connect probe would use it up: give it time instead.
    SleepSeconds(0.5);
    return m_proc.Running();
}

void HttpFlvSource::Stop()
{
    m_proc.Stop(SIGTERM, 3.0);
}

std::string HttpFlvSource::Url() const
{
    return "http://127.0.0.1:" + std::to_string(m_port) + "/src.flv";
}

// ---------------------------------------------------------------------------------------------

StreamInfo ProbeStream(const std::string& url, int timeoutSeconds)
{
    StreamInfo info;
    // With the [STREAM] wrappers the fields of each stream stay together whatever their order.
    const int code = RunCommand(
        {"ffprobe", "-v", "error", "-show_entries",
         "stream=codec_type,codec_name,width,height,profile,sample_rate,channels", "-of",
         "default", url},
        timeoutSeconds, &info.output);
    if (code != 0)
        return info;

    std::istringstream in(info.output);
    std::string line;
    std::vector<std::pair<std::string, std::string>> fields;
    int streams = 0;
    auto flush = [&] {
        std::string type;
        for (const auto& [k, v] : fields)
            if (k == "codec_type")
                type = v;
        for (const auto& [k, v] : fields) {
            if (type == "video") {
                if (k == "codec_name")
                    info.videoCodec = v;
                else if (k == "profile")
                    info.profile = v;
                else if (k == "width")
                    info.width = std::atoi(v.c_str());
                else if (k == "height")
                    info.height = std::atoi(v.c_str());
            } else if (type == "audio") {
                if (k == "codec_name")
                    info.audioCodec = v;
                else if (k == "sample_rate")
                    info.sampleRate = std::atoi(v.c_str());
                else if (k == "channels")
                    info.channels = std::atoi(v.c_str());
            }
        }
        fields.clear();
    };
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line == "[STREAM]") {
            fields.clear();
        } else if (line == "[/STREAM]") {
            flush();
            ++streams;
        } else if (auto eq = line.find('='); eq != std::string::npos) {
            fields.emplace_back(line.substr(0, eq), line.substr(eq + 1));
        }
    }
    info.ok = streams > 0;
    return info;
}

std::string MakeTestClip(const std::string& dir, int seconds)
{
    const std::string path = dir + "/clip.mp4";
    const int code = RunCommand(
        {"ffmpeg", "-nostdin", "-y", "-loglevel", "error", "-f", "lavfi", "-i",
         "testsrc=size=640x360:rate=25", "-f", "lavfi", "-i",
         "sine=frequency=440:sample_rate=44100", "-t", std::to_string(seconds), "-c:v",
         "libx264", "-preset", "veryfast", "-pix_fmt", "yuv420p", "-g", "50", "-c:a", "aac",
         path},
        120);
    return code == 0 ? path : std::string();
}

std::string MakeTestPng(const std::string& dir, const std::string& name)
{
    if (name.empty() || name.find('/') != std::string::npos)
        return {};
    // ffmpeg reads ':' '%' and the like in output names as protocols or patterns: write a plain
    // name, then rename.
    const std::string plain = dir + "/.camrelay-png-tmp.png";
    const std::string path = dir + "/" + name;
    const int code =
        RunCommand({"ffmpeg", "-nostdin", "-y", "-loglevel", "error", "-f", "lavfi", "-i",
                    "color=c=red@0.6:s=64x32,format=rgba", "-frames:v", "1", plain},
                   60);
    if (code != 0 || std::rename(plain.c_str(), path.c_str()) != 0) {
        std::remove(plain.c_str());
        return {};
    }
    return path;
}
