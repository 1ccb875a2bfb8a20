#include "relay/ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/ProcessProbe.h"
#include "support/TempDir.h"

using namespace std::chrono_literals;
using ProcessProbe::WaitUntil;

namespace {

// Kills and reaps a spawned child and closes its pipe when a test ends, passed or not.
struct SpawnGuard {
    SpawnResult r;
    explicit SpawnGuard(SpawnResult result) : r(result) {}
    ~SpawnGuard()
    {
        if (r.pid > 0)
            KillChild(r.pid);
        if (r.readFd >= 0)
            ::close(r.readFd);
    }
    SpawnGuard(const SpawnGuard&) = delete;
    SpawnGuard& operator=(const SpawnGuard&) = delete;
};

// Sets an environment variable for the scope of a test.
struct ScopedEnv {
    std::string name;
    ScopedEnv(const char* n, const std::string& value) : name(n) { ::setenv(n, value.c_str(), 1); }
    ~ScopedEnv() { ::unsetenv(name.c_str()); }
};

std::string ReadToEof(int fd)
{
    std::string text;
    char buf[4096];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return text;
        text.append(buf, static_cast<std::size_t>(n));
    }
}

std::vector<std::string> ReadLines(const std::string& path)
{
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

bool WaitEnded(pid_t pid, int* code)
{
    return WaitUntil([&] { return PollChild(pid, code) == ChildState::Ended; }, 10s);
}

// Runs body in a forked process of its own and returns its exit status; keeps experiments
// with resource limits or process groups away from the test runner.
template <typename Body>
int RunInSandbox(Body body)
{
    pid_t pid = ::fork();
    if (pid == 0) {
        ::setpgid(0, 0);
        ::_exit(body());
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return status;
}

}   // namespace

TEST(ChildProcess, ChildGetsExactArgvNullStdinOnlyStdioAndOwnGroup)
{
    TempDir logs;
    ASSERT_TRUE(logs.Valid());
    ScopedEnv env("FAKE_FFMPEG_LOG_DIR", logs.Path());
    // Descriptors without close-on-exec must still not reach the child.
    int stray = ::open("/dev/null", O_RDONLY);
    int strayPipe[2];
    ASSERT_EQ(::pipe(strayPipe), 0);

    const std::vector<std::string> args = {
        "-i", "rtsp://cam/1 with blank", "", "quote\"d", "中文路径", "line\nbreak", "back\\slash",
        "-f", "flv", "rtmp://127.0.0.1/live/a#lines=1,interval=0,banner=0"};
    SpawnGuard child(SpawnChild(ProcessProbe::FakeFfmpegPath(), args));
    ::close(stray);
    ::close(strayPipe[0]);
    ::close(strayPipe[1]);
    ASSERT_EQ(child.r.status, SpawnResult::Ok) << child.r.error;
    EXPECT_GT(child.r.pid, 0);
    EXPECT_TRUE(::fcntl(child.r.readFd, F_GETFD) & FD_CLOEXEC);

    std::string output = ReadToEof(child.r.readFd);
    EXPECT_NE(output.find("size="), std::string::npos);
    int code = -1;
    ASSERT_TRUE(WaitEnded(child.r.pid, &code));
    EXPECT_EQ(code, 0);

    char cwd[4096];
    ASSERT_NE(::getcwd(cwd, sizeof cwd), nullptr);
    const std::vector<std::string> log = ReadLines(logs.File(std::to_string(child.r.pid) + ".txt"));
    const std::vector<std::string> expected = {
        ProcessProbe::FakeFfmpegPath(), "-i", "rtsp://cam/1 with blank", "", "quote\"d", "中文路径",
        "line\\nbreak", "back\\\\slash", "-f", "flv", "rtmp://127.0.0.1/live/a#lines=1,interval=0,banner=0",
        "stdin: /dev/null", "fds: 0 1 2",
        "pgid=" + std::to_string(child.r.pid) + " pid=" + std::to_string(child.r.pid),
        std::string("cwd: ") + cwd};
    EXPECT_EQ(log, expected);
}

TEST(ChildProcess, StdoutAndStderrArriveOnTheOnePipe)
{
    SpawnGuard child(SpawnChild("/bin/sh", {"-c", "echo to-out; echo to-err >&2; exit 7"}));
    ASSERT_EQ(child.r.status, SpawnResult::Ok);
    std::string output = ReadToEof(child.r.readFd);
    EXPECT_NE(output.find("to-out\n"), std::string::npos);
    EXPECT_NE(output.find("to-err\n"), std::string::npos);
    int code = -1;
    ASSERT_TRUE(WaitEnded(child.r.pid, &code));
    EXPECT_EQ(code, 7);
}

TEST(ChildProcess, UnstartableProgramFailsWithoutZombieOrLeak)
{
    TempDir dir;
    ASSERT_TRUE(dir.Valid());
    const std::string plain = dir.File("ffmpeg");
    std::ofstream(plain) << "#!/bin/sh\necho never\n";
    ::chmod(plain.c_str(), 0644);

    struct Case {
        const char* what;
        std::string program;
        int error;
    } cases[] = {
        {"missing", dir.File("no-such-ffmpeg"), ENOENT},
        {"not executable", plain, EACCES},
        {"a directory", dir.Path(), EACCES},
    };
    const int fdsBefore = ProcessProbe::OpenFdCount();
    const std::vector<pid_t> childrenBefore = ProcessProbe::ChildPids();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SpawnResult r = SpawnChild(c.program, {"-version"});
        EXPECT_EQ(r.status, SpawnResult::SpawnFailed);
        EXPECT_EQ(r.error, c.error);
        EXPECT_EQ(r.readFd, -1);
        EXPECT_EQ(r.pid, -1);
        EXPECT_EQ(ProcessProbe::ChildPids(), childrenBefore);   // reaped: no zombie
        EXPECT_EQ(ProcessProbe::OpenFdCount(), fdsBefore);
    }
}

TEST(ChildProcess, PipeFailureIsReportedWhenDescriptorsRunOut)
{
    int status = RunInSandbox([] {
        // Allow no further descriptor: the lowest free number becomes the limit.
        int lowest = ::dup(0);
        ::close(lowest);
        rlimit lim{static_cast<rlim_t>(lowest), static_cast<rlim_t>(lowest)};
        if (::setrlimit(RLIMIT_NOFILE, &lim) != 0)
            return 10;
        SpawnResult r = SpawnChild("/bin/true", {});
        if (r.status != SpawnResult::PipeFailed)
            return 11;
        return r.error == EMFILE ? 0 : 12;
    });
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(ChildProcess, PollReportsExitCodesAndSignalsAndReaps)
{
    struct Case {
        const char* options;
        int signal;   // sent while it hangs; 0: let it exit
        int code;
    } cases[] = {
        {"lines=0,banner=0", 0, 0},
        {"lines=1,interval=0,exit=3", 0, 3},
        {"hang=1", SIGTERM, 128 + SIGTERM},
        {"hang=1", SIGKILL, 128 + SIGKILL},
    };
    const int zombiesBefore = ProcessProbe::ZombieChildCount();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.options);
        SpawnGuard child(SpawnChild(ProcessProbe::FakeFfmpegPath(),
                                    {"-i", "rtsp://127.0.0.1/x", std::string("rtmp://127.0.0.1/l/s#") + c.options}));
        ASSERT_EQ(child.r.status, SpawnResult::Ok);
        if (c.signal) {
            EXPECT_EQ(PollChild(child.r.pid), ChildState::Running);
            ::kill(child.r.pid, c.signal);
        }
        int code = -1;
        ASSERT_TRUE(WaitEnded(child.r.pid, &code));
        EXPECT_EQ(code, c.code);
        EXPECT_EQ(ProcessProbe::ZombieChildCount(), zombiesBefore);
        EXPECT_EQ(PollChild(child.r.pid), ChildState::Unknown);   // already reaped
    }
}

TEST(ChildProcess, InvalidPidsTouchNoOtherChild)
{
    const int zombiesBefore = ProcessProbe::ZombieChildCount();
    SpawnGuard child(SpawnChild("/bin/true", {}));
    ASSERT_EQ(child.r.status, SpawnResult::Ok);
    ASSERT_TRUE(WaitUntil([&] { return ProcessProbe::ZombieChildCount() == zombiesBefore + 1; }, 10s));
    // waitpid(-1) or waitpid(0) would reap the zombie above.
    EXPECT_EQ(PollChild(-1), ChildState::Unknown);
    EXPECT_EQ(PollChild(0), ChildState::Unknown);
    EXPECT_EQ(ProcessProbe::ZombieChildCount(), zombiesBefore + 1);
    EXPECT_EQ(PollChild(child.r.pid), ChildState::Ended);

    // kill(0) would hit the caller's own group: try it in a sandbox that has a group of its own.
    int status = RunInSandbox([] {
        KillChild(0);
        return 0;
    });
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST(ChildProcess, KillChildEndsTheWholeGroupAndReaps)
{
    SpawnGuard child(SpawnChild("/bin/sh", {"-c", "sleep 1000 & echo $!; wait"}));
    ASSERT_EQ(child.r.status, SpawnResult::Ok);
    std::string line;
    char c = 0;
    while (::read(child.r.readFd, &c, 1) == 1 && c != '\n')
        line += c;
    const pid_t grandchild = static_cast<pid_t>(std::atol(line.c_str()));
    ASSERT_GT(grandchild, 0);
    ASSERT_TRUE(ProcessProbe::IsAlive(grandchild));

    KillChild(child.r.pid);
    const std::vector<pid_t> children = ProcessProbe::ChildPids();
    EXPECT_EQ(std::count(children.begin(), children.end(), child.r.pid), 0);   // reaped, no zombie
    EXPECT_TRUE(WaitUntil([&] { return !ProcessProbe::IsAlive(grandchild); }, 5s));
    pollfd p{child.r.readFd, POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 5000), 1);             // every writer is gone: end of file
    EXPECT_EQ(ReadToEof(child.r.readFd), "");
    KillChild(child.r.pid);                      // harmless a second time
    EXPECT_EQ(PollChild(child.r.pid), ChildState::Unknown);
}

TEST(ChildProcess, ChildDiesWhenItsParentIsKilled)
{
    const std::string marker = "pdeath-" + std::to_string(::getpid());
    int report[2];
    ASSERT_EQ(::pipe2(report, O_CLOEXEC), 0);
    pid_t middle = ::fork();
    if (middle == 0) {
        // A silent fake: it must not die of a broken pipe instead.
        SpawnResult r = SpawnChild(ProcessProbe::FakeFfmpegPath(),
                                   {"-i", "rtsp://127.0.0.1/x", "rtmp://127.0.0.1/live/" + marker + "#hang=1,banner=0"});
        ssize_t ignored = ::write(report[1], &r.pid, sizeof r.pid);
        (void)ignored;
        for (;;)
            ::pause();
    }
    ::close(report[1]);
    pid_t fake = -1;
    ssize_t n = ::read(report[0], &fake, sizeof fake);
    ::close(report[0]);

    ::kill(middle, SIGKILL);
    ::waitpid(middle, nullptr, 0);
    ASSERT_EQ(n, static_cast<ssize_t>(sizeof fake));
    ASSERT_GT(fake, 0);
    EXPECT_TRUE(WaitUntil([&] { return ProcessProbe::ProcessesWithArg(marker).empty(); }, 5s));
    for (pid_t stray : ProcessProbe::ProcessesWithArg(marker))
        ::kill(stray, SIGKILL);
}
