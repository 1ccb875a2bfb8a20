#include "ffmpeg/TranscoderCompat.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sstream>
#include <string_view>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

// The encoder list is asked of ffmpeg once per program path and kept for the process:
// launches and relaunches then cost nothing. Thread-safe: one mutex guards the cache and
// is held while a query runs, so a path is never queried twice.

namespace {

constexpr std::size_t kMaxOutput = 1 << 20;   // the list is about 20 KB; keep at most 1 MB
constexpr int kQueryTimeoutMs = 15000;

// Runs argv (argv[0]: the program) with stdin from /dev/null, stdout on a pipe and stderr
// discarded or on the same pipe; returns whether it exited with status 0, and what it wrote
// (bounded).
bool RunAndCapture(std::vector<std::string> argv, bool withErrors, std::string& output)
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return false;

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    if (withErrors)
        posix_spawn_file_actions_adddup2(&actions, fds[1], STDERR_FILENO);
    else
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
    posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
#endif
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF);

    std::vector<char*> args;
    for (std::string& arg : argv)
        args.push_back(arg.data());
    args.push_back(nullptr);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, args[0], &actions, &attr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    close(fds[1]);
    if (rc != 0) {
        close(fds[0]);
        return false;
    }

    // Read to end-of-file, keeping at most kMaxOutput bytes and draining the rest so the
    // child never blocks on a full pipe; give up (and kill it) after kQueryTimeoutMs.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kQueryTimeoutMs);
    bool timedOut = false;
    char buf[8192];
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now()).count();
        pollfd pfd{fds[0], POLLIN, 0};
        const int ready = left > 0 ? poll(&pfd, 1, static_cast<int>(left)) : 0;  // 0: the time is up
        if (ready < 0 && errno == EINTR)
            continue;
        timedOut = ready == 0;
        if (ready <= 0)
            break;
        const ssize_t n = read(fds[0], buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        if (output.size() < kMaxOutput)
            output.append(buf, std::min<std::size_t>(static_cast<std::size_t>(n), kMaxOutput - output.size()));
    }
    close(fds[0]);
    if (timedOut)
        kill(pid, SIGKILL);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return !timedOut && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// The list reads "<flags> <name> <description>" per encoder after a line of dashes.
EncoderSupport ParseEncoders(const std::string& output)
{
    EncoderSupport support;
    std::istringstream lines(output);
    std::string line;
    bool listing = false;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string flags, name;
        fields >> flags >> name;
        if (!listing) {
            listing = flags.find("------") == 0;
            continue;
        }
        if (name == "libfaac")
            support.libfaac = true;
    }
    support.known = listing;
    return support;
}

// What ask() found out about the program at ffmpegPath, asked once per path and process.
template <typename Answer, typename Ask>
Answer AskOnce(const std::string& ffmpegPath, Ask ask)
{
    static std::mutex mutex;
    static std::map<std::string, Answer> cache;

    std::lock_guard<std::mutex> lock(mutex);
    if (auto it = cache.find(ffmpegPath); it != cache.end())
        return it->second;
    return cache.emplace(ffmpegPath, ask()).first->second;
}

}  // namespace

EncoderSupport QueryEncoders(const std::string& ffmpegPath)
{
    return AskOnce<EncoderSupport>(ffmpegPath, [&] {
        std::string output;
        return RunAndCapture({ffmpegPath, "-hide_banner", "-encoders"}, false, output) ? ParseEncoders(output)
                                                                                        : EncoderSupport{};
    });
}

FfmpegTraits ParseHevcProbe(bool exitedZero, const std::string& output)
{
    FfmpegTraits traits;
    constexpr std::string_view kBanner = "ffmpeg version ";
    if (output.compare(0, kBanner.size(), kBanner) == 0)
        traits.version = output.substr(kBanner.size(), output.find_first_of(" \n", kBanner.size()) - kBanner.size());
    traits.flvHevc = exitedZero;
    // 5.1: "[flv @ 0x…] Video codec hevc not compatible with flv"
    traits.known = exitedZero || output.find("not compatible with flv") != std::string::npos;
    return traits;
}

FfmpegTraits QueryFfmpegTraits(const std::string& ffmpegPath)
{
    return AskOnce<FfmpegTraits>(ffmpegPath, [&] {
        std::string output;
        const bool ok = RunAndCapture({ffmpegPath, "-nostdin", "-f", "lavfi", "-i", "color=c=black:s=64x64:r=1",
                                       "-frames:v", "1", "-c:v", "libx265", "-x265-params", "log-level=none",
                                       "-f", "flv", "-y", "/dev/null"}, true, output);
        return ParseHevcProbe(ok, output);
    });
}

LaunchPlan AdaptToEncoders(LaunchPlan plan, const EncoderSupport& support)
{
    // Also when ffmpeg did not answer: no ffmpeg of the last decade has libfaac, and
    // "aac" is built into every one of them.
    if (!support.libfaac && plan.audioEncoder == "libfaac")
        plan.audioEncoder = "aac";
    return plan;
}
