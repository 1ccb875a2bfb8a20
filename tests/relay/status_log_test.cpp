// The status log: stamps (not on the journal), the 1 MiB cap with one older generation, and that
// neither a full standard error nor an unwritable place for the file ever holds up the writer.
#include "platform/StatusLog.h"

#include <fcntl.h>
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

// Standard error is stamped unless JOURNAL_STREAM names it (here: another stream on the pipe's
// device, then this very pipe), where the line carries its syslog priority instead; the file always is stamped.
// A name's terminal escapes, C1 controls, stray bytes and line breaks are spelled out.
TEST(StatusLog, StampsUnlessTheJournalIsStandardError)
{
    const std::string stamp = R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d 信号 a\\x1b\[2J\\u009b\\xff\\x0a \(id 0\): rtsp://u:\*\*\*@h 已暂停\n)";
    TempDir dir;
    int err[2];
    ASSERT_EQ(0, ::pipe2(err, O_CLOEXEC | O_NONBLOCK));
    struct stat st{};
    ASSERT_EQ(0, ::fstat(err[1], &st));
    ::setenv("JOURNAL_STREAM", (std::to_string(st.st_dev) + ":1").c_str(), 1);   // another stream of its device
    const std::string line = "信号 a\x1b[2J\xc2\x9b\xff\n (id 0): rtsp://u:pw@h 已暂停";  // the password never shows
    StatusLog(dir.File("CamRelay.log"), err[1]).Write(line, StatusLog::kWarning);   // written by the destructor
    const std::string onErr = Drain(err[0]);
    EXPECT_TRUE(std::regex_match(onErr, std::regex(stamp))) << onErr;
    ::setenv("JOURNAL_STREAM", (std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino)).c_str(), 1);
    StatusLog(dir.File("CamRelay.log"), err[1]).Write(line, StatusLog::kWarning);
    ::unsetenv("JOURNAL_STREAM");
    EXPECT_EQ("<4>信号 a\\x1b[2J\\u009b\\xff\\x0a (id 0): rtsp://u:***@h 已暂停\n", Drain(err[0]));  // the journal's priority
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
        EXPECT_NE(std::string::npos, log.FileProblem().find(path));
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
        EXPECT_EQ(log.Recent().size(), StatusLog::kRecentLines);
    }
    const auto older = std::filesystem::file_size(path + ".1"), current = std::filesystem::file_size(path);
    // Rotated before a line would cross the documented cap of 1 MiB (1,048,576 bytes): 1,028 lines
    // would make 1,048,560 bytes and the next one would cross it.
    EXPECT_EQ(older, 1048576u / 1020 * 1020);
    EXPECT_EQ(1100u * 1020 + 1, older + current);
    EXPECT_EQ(std::string::npos, ReadFile(path + ".1").find("oldest"));
    EXPECT_NE(std::string::npos, ReadFile(path).find("x!\n"));
    StatusLog next(path, -1);   // a new run's recent lines begin with the whole lines the file ends with
    next.Write("next");
    const std::vector<std::string> recent = next.Recent();
    ASSERT_GT(recent.size(), 2u);
    EXPECT_TRUE(recent.front().starts_with("20") && recent[recent.size() - 2].ends_with("x!") && recent.back().ends_with(" next"));
}

// A blocking pipe as standard error with less room than the lines queued, or a FIFO named like
// the log file: the writer writes whole lines as far as they fit and drops the rest, so the
// destructor (and with it the program's end) never waits for a reader. The shared descriptor
// stays blocking for everyone else writing to it.
TEST(StatusLog, EndsPromptlyWhenStandardErrorOrTheFileHasNoRoom)
{
    for (const bool fifo : {false, true}) {
        SCOPED_TRACE(fifo ? "FIFO as the file" : "full pipe");
        TempDir dir;
        const std::string path = dir.File("CamRelay.log");
        ASSERT_TRUE(!fifo || ::mkfifo(path.c_str(), 0600) == 0);
        int err[2];
        ASSERT_EQ(0, ::pipe2(err, O_CLOEXEC));
        const std::string line(3000, 'x');  // 3,021 bytes stamped; 100 of them overfill the pipe
        auto log = std::make_unique<StatusLog>(path, err[1]);
        EXPECT_EQ(fifo, !log->FileProblem().empty()) << log->FileProblem();
        for (int i = 0; i < 100; ++i)
            log->Write(line);
        std::future<void> done = std::async(std::launch::async, [&] { log.reset(); });
        EXPECT_EQ(std::future_status::ready, done.wait_for(std::chrono::seconds(5))) << "the writer waits for a reader";
        // Had it hung, a reader frees it, so that the test fails instead of hanging.
        EXPECT_EQ(0, ::fcntl(err[0], F_SETFL, O_NONBLOCK));
        const int fifoReader = fifo ? ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC) : -1;
        std::string onErr;
        do
            onErr += Drain(err[0]);
        while (done.wait_for(std::chrono::milliseconds(10)) != std::future_status::ready);
        onErr += Drain(err[0]);
        EXPECT_EQ(0, ::fcntl(err[1], F_GETFL) & O_NONBLOCK);
        // Only whole lines arrived (stamp, text, newline), and at least one.
        EXPECT_TRUE(!onErr.empty() && onErr.size() % (20 + line.size() + 1) == 0 && onErr.back() == '\n') << onErr.size();
        ::close(fifoReader), ::close(err[0]), ::close(err[1]);
    }
}

}  // namespace
