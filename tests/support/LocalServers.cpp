#include "LocalServers.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

void SleepSeconds(double s)
{
    std::this_thread::sleep_for(std::chrono::duration<double>(s));
}

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
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

// Kills whatever is left of pid's group (nginx workers, grandchildren) and reaps pid.
void KillAndReap(pid_t pid, int* exitCode)
{
    ::kill(-pid, SIGKILL);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (*exitCode < 0)
        *exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// argv[0] as a full path, looked up in PATH before the fork: the child of a multi-threaded
// test process should do nothing between fork and exec that may allocate.
std::string ResolveProgram(const std::string& name)
{
    if (name.find('/') != std::string::npos)
        return ::access(name.c_str(), X_OK) == 0 ? name : std::string();
    const char* env = std::getenv("PATH");
    std::istringstream path(env ? env : "/usr/local/bin:/usr/bin:/bin");
    for (std::string dir; std::getline(path, dir, ':');)
        if (::access((dir + "/" + name).c_str(), X_OK) == 0)
            return dir + "/" + name;
    return {};
}

// fork/exec of argv in a new process group, stdin /dev/null, stdout outFd, stderr errFd. The
// child gets SIGKILL when the thread that started it ends, so that a test binary that dies
// (abort, crash, kill, ctest's timeout) takes its servers along. Returns the pid, -1 if argv
// could not be run.
pid_t Spawn(const std::vector<std::string>& argv, int outFd, int errFd)
{
    const std::string program = argv.empty() ? std::string() : ResolveProgram(argv[0]);
    std::vector<char*> cargv;
    for (const auto& a : argv)
        cargv.push_back(const_cast<char*>(a.c_str()));
    cargv.push_back(nullptr);
    const int devNull = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    int report[2];   // exec failure report: closed by a successful exec
    if (program.empty() || devNull < 0 || ::pipe2(report, O_CLOEXEC) != 0) {
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
        ::dup2(report[1], 3);   // the report pipe at fd 3, everything above it closed
        ::fcntl(3, F_SETFD, FD_CLOEXEC);
        ::close_range(4, ~0U, 0);
        ::execv(program.c_str(), cargv.data());
        const int e = errno;
        (void)!::write(3, &e, sizeof e);
        ::_exit(127);
    }
    ::close(devNull);
    ::close(report[1]);
    if (pid > 0)
        ::setpgid(pid, pid);   // also here, so a kill of the group right away cannot miss it
    int e = 0;
    ssize_t n = 0;
    while (pid > 0 && (n = ::read(report[0], &e, sizeof e)) < 0 && errno == EINTR) {
    }
    ::close(report[0]);
    if (pid > 0 && n == static_cast<ssize_t>(sizeof e)) {
        int ignored = -1;
        KillAndReap(pid, &ignored);
        return -1;
    }
    return pid;
}

sockaddr_in Loopback(int port)
{
    sockaddr_in addr {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    return addr;
}

}   // namespace

int FreeTcpPort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr = Loopback(0);
    socklen_t len = sizeof addr;
    const bool ok = fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
                    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0;
    if (fd >= 0)
        ::close(fd);
    return ok ? ntohs(addr.sin_port) : 0;
}

bool TcpPortAccepts(int port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return false;
    const sockaddr_in addr = Loopback(port);
    bool ok = ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
    if (!ok && errno == EINPROGRESS) {
        pollfd p {fd, POLLOUT, 0};
        int err = 0;
        socklen_t len = sizeof err;
        ok = ::poll(&p, 1, 500) == 1 && ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0;
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
    int code = -1;
    bool ended = false;
    // Read until the pipe is drained after the child ended: a grandchild that still holds the
    // pipe open must not keep us waiting.
    while (!ended && Clock::now() < deadline) {
        const bool hadEnded = HasEnded(pid, &code);
        pollfd p {fds[0], POLLIN, 0};
        char buf[4096];
        ssize_t n = ::poll(&p, 1, hadEnded ? 50 : 100) > 0 ? ::read(fds[0], buf, sizeof buf) : 0;
        if (n > 0)
            text.append(buf, static_cast<size_t>(n));
        ended = hadEnded && n <= 0;
    }
    ::close(fds[0]);
    KillAndReap(pid, &code);
    if (output)
        *output = std::move(text);
    return ended ? code : 124;
}

bool ServerProcess::Start(const std::vector<std::string>& argv, const std::string& logPath, int* stdoutFd)
{
    Stop();
    m_exitCode = -1;
    const int log = ::open(logPath.empty() ? "/dev/null" : logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC,
                           0644);
    int pipeFds[2] = {-1, -1};
    if (log < 0 || (stdoutFd && ::pipe2(pipeFds, O_CLOEXEC) != 0)) {
        if (log >= 0)
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
    KillAndReap(m_pid, &m_exitCode);
    m_pid = -1;
}

bool ServerProcess::Running()
{
    return m_pid > 0 && !HasEnded(m_pid, &m_exitCode);
}

bool NginxRtmp::StartOnce()
{
    const std::string dir = m_dir.Path();
    // One process (master_process off): nothing outlives it when it is killed, unlike a master
    // whose worker keeps serving after the master got SIGKILL.
    std::ofstream(dir + "/nginx.conf", std::ios::trunc)
        << "load_module /usr/lib/nginx/modules/ngx_rtmp_module.so;\ndaemon off;\nmaster_process off;\n"
           "worker_processes 1;\npid nginx.pid;\nerror_log error.log info;\nevents { worker_connections 256; }\n"
           "rtmp { access_log access.log; server { listen 127.0.0.1:"
        << m_port << "; application live { live on; record off; } } }\n";
    if (!m_proc.Start({"nginx", "-p", dir + "/", "-c", dir + "/nginx.conf", "-e", dir + "/error.log"},
                      dir + "/nginx.out"))
        return false;
    const auto deadline = Clock::now() + std::chrono::seconds(3);
    while (Clock::now() < deadline && m_proc.Running()) {   // it ends when the port was taken meanwhile
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
    if (m_port > 0)
        return StartOnce();
    // A port picked here can be taken by someone else before nginx binds it: try a few.
    for (int attempt = 0; attempt < 3; ++attempt)
        if ((m_port = FreeTcpPort()) > 0 && StartOnce())
            return true;
    m_port = 0;
    return false;
}

void NginxRtmp::Stop()
{
    m_proc.Stop(SIGTERM, 3.0);   // nginx's fast shutdown: it ends at once, clients or not
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

bool RtspSimulator::Start()
{
    if (m_proc.Running())
        return true;
    for (int attempt = 0; attempt < 3; ++attempt) {
        m_port = FreeTcpPort();
        // /usr/bin/python3 explicitly: another python3 earlier on PATH may lack the gi module.
        if (!m_proc.Start({"/usr/bin/python3", CAMRELAY_SCRIPTS "/rtsp_sim.py", std::to_string(m_port)},
                          m_dir.Path() + "/rtsp_sim.log", &m_stdoutFd))
            continue;
        // The pipe stays open until Stop(): closing it would turn later output into EPIPE.
        std::string seen;
        const auto deadline = Clock::now() + std::chrono::seconds(15);
        char buf[256];
        pollfd p {m_stdoutFd, POLLIN, 0};
        while (Clock::now() < deadline && seen.find("READY") == std::string::npos)
            if (::poll(&p, 1, 100) > 0) {
                const ssize_t n = ::read(m_stdoutFd, buf, sizeof buf);
                if (n <= 0)
                    break;   // the script ended before it was ready
                seen.append(buf, static_cast<size_t>(n));
            }
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

bool TestPublisher::Start(const std::string& rtmpUrl)
{
    if (!m_proc.Start({"ffmpeg", "-nostdin", "-loglevel", "error", "-re", "-f", "lavfi", "-i",
                       "testsrc=size=640x360:rate=25", "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=44100",
                       "-c:v", "libx264", "-preset", "veryfast", "-tune", "zerolatency", "-pix_fmt", "yuv420p", "-g",
                       "50", "-c:a", "aac", "-f", "flv", rtmpUrl},
                      m_dir.Path() + "/publisher.log"))
        return false;
    SleepSeconds(0.3);   // a refused connection ends ffmpeg within about 0.1 s
    return m_proc.Running();
}

bool HttpFlvSource::Start()
{
    if (m_proc.Running())
        return true;
    const std::string clip = MakeTestClip(m_dir.Path(), 10);
    m_port = FreeTcpPort();
    if (clip.empty() || m_port <= 0 ||
        !m_proc.Start({"ffmpeg", "-nostdin", "-loglevel", "error", "-re", "-stream_loop", "-1", "-i", clip, "-c",
                       "copy", "-f", "flv", "-listen", "1", Url()},
                      m_dir.Path() + "/http.log"))
        return false;
    // It serves exactly one client, so a connect probe would use it up: give it time instead.
    SleepSeconds(0.5);
    return m_proc.Running();
}

std::string HttpFlvSource::Url() const
{
    return "http://127.0.0.1:" + std::to_string(m_port) + "/src.flv";
}

StreamInfo ProbeStream(const std::string& url, int timeoutSeconds)
{
    StreamInfo info;
    // With the [STREAM] wrappers the fields of each stream stay together whatever their order.
    if (RunCommand({"ffprobe", "-v", "error", "-show_entries",
                    "stream=codec_type,codec_name,width,height,profile,sample_rate,channels", "-of", "default", url},
                   timeoutSeconds, &info.output) != 0)
        return info;
    std::istringstream in(info.output);
    std::map<std::string, std::string> f;
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line == "[STREAM]") {
            f.clear();
        } else if (line == "[/STREAM]" && f["codec_type"] == "video") {
            info.videoCodec = f["codec_name"];
            info.profile = f["profile"];
            info.width = std::atoi(f["width"].c_str());
            info.height = std::atoi(f["height"].c_str());
        } else if (line == "[/STREAM]" && f["codec_type"] == "audio") {
            info.audioCodec = f["codec_name"];
            info.sampleRate = std::atoi(f["sample_rate"].c_str());
            info.channels = std::atoi(f["channels"].c_str());
        } else if (const auto eq = line.find('='); eq != std::string::npos) {
            f[line.substr(0, eq)] = line.substr(eq + 1);
        }
        info.ok |= line == "[/STREAM]";
    }
    return info;
}

StreamInfo ProbeUntilVideo(const std::string& url, int budgetSeconds)
{
    const auto end = Clock::now() + std::chrono::seconds(budgetSeconds);
    StreamInfo info = ProbeStream(url, 10);
    while ((!info.ok || info.videoCodec.empty()) && Clock::now() < end) {
        SleepSeconds(0.5);
        info = ProbeStream(url, 10);
    }
    return info;
}

std::string StreamInfo::Summary() const
{
    if (!ok)
        return "no stream: " + output;
    return videoCodec + " " + std::to_string(width) + "x" + std::to_string(height) + " " + profile + ", " +
           audioCodec + " " + std::to_string(sampleRate) + " Hz " + std::to_string(channels) + " ch";
}

std::string MakeTestClip(const std::string& dir, int seconds)
{
    const std::string path = dir + "/clip.mp4";
    const int code = RunCommand({"ffmpeg", "-nostdin", "-y", "-loglevel", "error", "-f", "lavfi", "-i",
                                 "testsrc=size=640x360:rate=25", "-f", "lavfi", "-i",
                                 "sine=frequency=440:sample_rate=44100", "-t", std::to_string(seconds), "-c:v",
                                 "libx264", "-preset", "veryfast", "-pix_fmt", "yuv420p", "-g", "50", "-c:a", "aac",
                                 path},
                                120);
    return code == 0 ? path : std::string();
}

std::string MakeTestPng(const std::string& dir, const std::string& name)
{
    // ffmpeg reads ':' '%' and the like in output names as protocols or patterns: write a plain
    // name, then rename.
    const std::string plain = dir + "/.camrelay-png-tmp.png", path = dir + "/" + name;
    if (!name.empty() && name.find('/') == std::string::npos &&
        RunCommand({"ffmpeg", "-nostdin", "-y", "-loglevel", "error", "-f", "lavfi", "-i",
                    "color=c=red@0.6:s=64x32,format=rgba", "-frames:v", "1", plain},
                   60) == 0 &&
        std::rename(plain.c_str(), path.c_str()) == 0)
        return path;
    std::remove(plain.c_str());
    return {};
}
