#include "ffmpeg/FfmpegLocation.h"
#include "platform/ChildProcess.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "support/ProcessProbe.h"
#include "support/TempDir.h"

using namespace std::chrono_literals;
using ProcessProbe::WaitUntil;

namespace {

// Kills and reaps a spawned child and closes its pipe when a test ends, passed or not (a second
// KillChild after the test's own is harmless).
struct SpawnGuard {
    SpawnResult r;
    ~SpawnGuard()
    {
        if (r.pid > 0)
            KillChild(r.pid);
        ::close(r.readFd);   // -1 when the spawn failed: harmless
    }
};

// A program that cannot be started is reported with its error, and no zombie or descriptor is left.
TEST(ChildProcess, UnstartableProgramFailsWithoutZombieOrLeak)
{
    const int fdsBefore = ProcessProbe::OpenFdCount();
    const std::vector<pid_t> childrenBefore = ProcessProbe::ChildPids();
    const SpawnResult r = SpawnChild("/nonexistent/ffmpeg", {"-version"});
    EXPECT_EQ(r.status, SpawnResult::SpawnFailed);
    EXPECT_EQ(r.error, ENOENT);
    EXPECT_EQ(ProcessProbe::ChildPids(), childrenBefore);
    EXPECT_EQ(ProcessProbe::OpenFdCount(), fdsBefore);
}

// The child runs in a process group of its own, which KillChild ends whole (a grandchild
// included) and reaps.
TEST(ChildProcess, KillChildEndsTheWholeGroupAndReaps)
{
    SpawnGuard child{SpawnChild("/bin/sh", {"-c", "sleep 1000 & echo $!; wait"})};
    ASSERT_EQ(child.r.status, SpawnResult::Ok);
    EXPECT_TRUE(::fcntl(child.r.readFd, F_GETFD) & FD_CLOEXEC) << "later children would inherit it";
    std::string line;
    char c = 0;
    while (::read(child.r.readFd, &c, 1) == 1 && c != '\n')   // its standard output
        line += c;
    const pid_t grandchild = static_cast<pid_t>(std::atol(line.c_str()));
    ASSERT_GT(grandchild, 0);
    ASSERT_TRUE(ProcessProbe::IsAlive(grandchild));

    KillChild(child.r.pid);
    EXPECT_EQ(PollChild(child.r.pid), ChildState::Unknown);   // already reaped: no zombie
    EXPECT_TRUE(WaitUntil([&] { return !ProcessProbe::IsAlive(grandchild); }, 5s));
}

// The child gets SIGKILL when the thread that started it ends: a CamRelay killed with -9 leaves
// no ffmpeg behind.
TEST(ChildProcess, ChildDiesWhenItsParentIsKilled)
{
    const std::string marker = "pdeath-" + std::to_string(::getpid());
    const pid_t middle = ::fork();
    ASSERT_GE(middle, 0);   // -1 would have the kill below signal every process
    if (middle == 0) {
        SpawnChild("/bin/bash", {"-c", "exec -a \"$0\" sleep 1000", marker});
        for (;;)
            ::pause();
    }
    const bool started = WaitUntil([&] { return !ProcessProbe::ProcessesWithArg(marker).empty(); }, 5s);
    ::kill(middle, SIGKILL);
    ::waitpid(middle, nullptr, 0);
    ASSERT_TRUE(started);
    EXPECT_TRUE(WaitUntil([&] { return ProcessProbe::ProcessesWithArg(marker).empty(); }, 5s));
    for (pid_t stray : ProcessProbe::ProcessesWithArg(marker))
        ::kill(stray, SIGKILL);
}

}   // namespace

// Which ffmpeg is run when none is beside the program: the first executable one on PATH (relative
// entries, files without the execute bit and folders are passed over); every place looked at is
// named. That the one beside the program wins is shown by the system run, whose PATH has none.
// ffprobe comes from ffmpeg's own folder.
TEST(ChildProcess, FfmpegIsFoundOnPathWhenNoneIsBesideTheProgram)
{
    TempDir dir;
    for (const char* folder : {"prog", "a", "b", "c", "c/ffmpeg"})
        std::filesystem::create_directory(dir.File(folder));
    WriteFile(dir.File("a/ffmpeg"), "#!/bin/sh\n");
    WriteFile(dir.File("b/ffmpeg"), "#!/bin/sh\n");
    std::filesystem::permissions(dir.File("b/ffmpeg"), std::filesystem::perms::owner_all);
    const std::string path = "relative:" + dir.File("a") + ":" + dir.File("c") + ":" + dir.File("b") + "/";
    const FfmpegLocation found = FfmpegLocation::Find(dir.File("prog"), path.c_str());
    EXPECT_EQ(found.m_strPath, dir.File("b/ffmpeg"));
    EXPECT_EQ(found.TriedText(),
              dir.File("prog/ffmpeg") + "、" + dir.File("a/ffmpeg") + "、" + dir.File("c/ffmpeg") + "、" + dir.File("b/ffmpeg"));
    EXPECT_EQ(FfmpegLocation::Find(dir.File("prog"), nullptr).TriedText(), dir.File("prog/ffmpeg")) << "no PATH";
    // ffprobe: beside that ffmpeg, then beside the file a link of that name leads to, then PATH.
    std::filesystem::create_symlink(dir.File("b/ffmpeg"), dir.File("prog/ffmpeg"));
    std::filesystem::copy_file(dir.File("b/ffmpeg"), dir.File("b/ffprobe"));
    const FfmpegLocation probe = FfmpegLocation::FindProbe(FfmpegLocation::Find(dir.File("prog"), nullptr), path.c_str());
    EXPECT_EQ(probe.TriedText(), dir.File("prog/ffprobe") + "、" + dir.File("b/ffprobe"));
}
