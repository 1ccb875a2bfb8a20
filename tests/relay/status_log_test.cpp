// The status log: stamps (not on the journal), the 1 MiB cap with one older generation, and that
// neither a full standard error nor an unwritable place for the file ever holds up the writer.
#include "relay/StatusLog.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <future>
#include <regex>

#include "support/TempDir.h"

namespace {

std::string Drain(int fd)
{
    std::string text;
    char buffer[4096];
    for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;)
        text.append(buffer, static_cast<std::size_t>(n));
    return text;
}

// Standard error is stamped unless JOURNAL_STREAM names it (here: some other stream, then this
// very pipe); the file always is.
TEST(StatusLog, StampsUnlessTheJournalIsStandardError)
{
    const std::string stamp = R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d 信号 a \(id 0\): 已暂停\n)";
    TempDir dir;
    int err[2];
    ASSERT_EQ(0, ::pipe2(err, O_CLOEXEC | O_NONBLOCK));
    struct stat st{};
    ASSERT_EQ(0, ::fstat(err[1], &st));
    ::setenv("JOURNAL_STREAM", "1:2", 1);
    StatusLog(dir.File("CamRelay.log"), err[1]).Write("信号 a (id 0): 已暂停");   // written by the destructor
    const std::string onErr = Drain(err[0]);
    EXPECT_TRUE(std::regex_match(onErr, std::regex(stamp))) << onErr;
    ::setenv("JOURNAL_STREAM", (std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino)).c_str(), 1);
    StatusLog(dir.File("CamRelay.log"), err[1]).Write("信号 a (id 0): 已暂停");
    ::unsetenv("JOURNAL_STREAM");
    EXPECT_EQ("信号 a (id 0): 已暂停\n", Drain(err[0]));
    EXPECT_TRUE(std::regex_match(ReadFile(dir.File("CamRelay.log")), std::regex("(" + stamp + "){2}")));
    ::close(err[0]), ::close(err[1]);
}

// Where no file can be made, lines are dropped until the folder is there. Past 1 MiB the file
// becomes CamRelay.log.1 (replacing an older one) and a new file starts.
TEST(StatusLog, WaitsForItsFolderAndRotatesAtOneMebibyte)
{
    TempDir dir;
    const std::string folder = dir.File("logs"), path = folder + "/CamRelay.log";
    std::ofstream(folder) << "a file where the folder should be";
    const std::string line(999, 'x');  // 1,020 bytes with stamp and newline
    {
        StatusLog log(path, -1);
        log.Write("dropped");
        log.Flush();
        std::filesystem::remove(folder);
        std::filesystem::create_directory(folder);
        std::ofstream(path + ".1") << "oldest\n";
        for (int i = 0; i < 1100; ++i) {
            log.Write(line + (i == 1099 ? "!" : ""));
            if (i % 500 == 0)
                log.Flush();  // the queue holds fewer lines than the test writes
        }
    }
    const auto older = std::filesystem::file_size(path + ".1"), current = std::filesystem::file_size(path);
    EXPECT_LE(older, StatusLog::kMaxFileBytes);
    EXPECT_GT(older, StatusLog::kMaxFileBytes - 1100);
    EXPECT_EQ(1100u * 1020 + 1, older + current);
    EXPECT_EQ(std::string::npos, ReadFile(path + ".1").find("oldest"));
    EXPECT_NE(std::string::npos, ReadFile(path).find("x!\n"));
}

// A blocking pipe or stream socket as standard error with less room than the lines queued, or a
// FIFO named like the log file: the writer writes whole lines as far as they fit and drops the
// rest, so the destructor (and with it the program's end) never waits for a reader. The shared
// descriptor stays blocking for everyone else writing to it.
TEST(StatusLog, EndsPromptlyWhenStandardErrorOrTheFileHasNoRoom)
{
    // preload: bytes already waiting in standard error; fifo: a FIFO in place of CamRelay.log.
    struct Row { const char* name; bool socket; std::size_t preload; bool fifo; };
    for (const Row& row : {Row{"part-full pipe", false, 61440, false}, Row{"stream socket", true, 0, false},
                           Row{"FIFO as the file", false, 0, true}}) {
        SCOPED_TRACE(row.name);
        TempDir dir;
        const std::string path = dir.File("CamRelay.log");
        if (row.fifo) {
            ASSERT_EQ(0, ::mkfifo(path.c_str(), 0600));
        }
        int err[2];
        ASSERT_EQ(0, row.socket ? ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, err) : ::pipe2(err, O_CLOEXEC));
        ASSERT_EQ(static_cast<ssize_t>(row.preload), ::write(err[1], std::string(row.preload, '.').data(), row.preload));
        const std::string line(3000, 'x');  // 3,021 bytes stamped; 100 of them overfill either stream
        auto log = std::make_unique<StatusLog>(path, err[1]);
        for (int i = 0; i < 100; ++i)
            log->Write(line);
        std::future<void> done = std::async(std::launch::async, [&] { log.reset(); });
        EXPECT_EQ(std::future_status::ready, done.wait_for(std::chrono::seconds(5))) << "the writer waits for a reader";
        // Had it hung, a reader frees it, so that the test fails instead of hanging.
        EXPECT_EQ(0, ::fcntl(err[0], F_SETFL, O_NONBLOCK));
        const int fifoReader = row.fifo ? ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC) : -1;
        std::string onErr;
        do
            onErr += Drain(err[0]);
        while (done.wait_for(std::chrono::milliseconds(10)) != std::future_status::ready);
        onErr += Drain(err[0]);
        EXPECT_EQ(0, ::fcntl(err[1], F_GETFL) & O_NONBLOCK);
        ASSERT_EQ(std::string(row.preload, '.'), onErr.substr(0, row.preload));
        onErr.erase(0, row.preload);
        // Only whole lines arrived, and at least one.
        const std::size_t length = 20 + line.size() + 1;
        EXPECT_TRUE(!onErr.empty() && onErr.size() % length == 0) << onErr.size();
        for (std::size_t end = length - 1; end < onErr.size(); end += length)
            ASSERT_EQ(end, onErr.find('\n', end + 1 - length));
        struct stat st{};
        EXPECT_TRUE(::lstat(path.c_str(), &st) == 0 && S_ISFIFO(st.st_mode) == row.fifo);
        if (fifoReader >= 0)
            ::close(fifoReader);
        ::close(err[0]), ::close(err[1]);
    }
}

}  // namespace
