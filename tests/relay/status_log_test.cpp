// The status log: stamps (not on the journal), the 1 MiB cap with one older generation, and that
// neither a full standard error nor an unwritable folder ever holds up the writer's callers.
#include "relay/StatusLog.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <regex>

#include "support/TempDir.h"

namespace {

std::string ReadAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string Drain(int fd)
{
    std::string text;
    char buffer[4096];
    for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;)
        text.append(buffer, static_cast<std::size_t>(n));
    return text;
}

// Standard error is stamped unless JOURNAL_STREAM names it; the file always is.
TEST(StatusLog, StampsUnlessTheJournalIsStandardError)
{
    for (const bool journal : {false, true}) {
        TempDir dir;
        int err[2];
        ASSERT_EQ(0, ::pipe2(err, O_CLOEXEC | O_NONBLOCK));
        struct stat st{};
        ASSERT_EQ(0, ::fstat(err[1], &st));
        if (journal)
            ::setenv("JOURNAL_STREAM", (std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino)).c_str(), 1);
        else
            ::setenv("JOURNAL_STREAM", "1:2", 1);  // some other stream
        {
            StatusLog log(dir.File("CamRelay.log"), err[1]);
            log.Write("信号 a (id 0): 已暂停");
            log.Flush();
        }
        ::unsetenv("JOURNAL_STREAM");
        const std::regex stamped("\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d 信号 a \\(id 0\\): 已暂停\n");
        const std::string onErr = Drain(err[0]);
        EXPECT_EQ(!journal, std::regex_match(onErr, stamped)) << onErr;
        if (journal) {
            EXPECT_EQ("信号 a (id 0): 已暂停\n", onErr);
        }
        EXPECT_TRUE(std::regex_match(ReadAll(dir.File("CamRelay.log")), stamped));
        ::close(err[0]), ::close(err[1]);
    }
}

// Past 1 MiB the file becomes CamRelay.log.1 (replacing an older one) and a new file starts.
TEST(StatusLog, RotatesAtOneMebibyteKeepingOneGeneration)
{
    TempDir dir;
    const std::string path = dir.File("CamRelay.log");
    std::ofstream(path + ".1") << "oldest\n";
    const std::string line(999, 'x');  // 1,020 bytes with stamp and newline
    {
        StatusLog log(path, -1);
        for (int i = 0; i < 1100; ++i) {
            log.Write(line + (i == 1099 ? "!" : ""));
            if (i % 500 == 0)
                log.Flush();  // the queue holds fewer lines than the test writes
        }
        log.Flush();
    }
    const auto older = std::filesystem::file_size(path + ".1"), current = std::filesystem::file_size(path);
    EXPECT_LE(older, StatusLog::kMaxFileBytes);
    EXPECT_GT(older, StatusLog::kMaxFileBytes - 1100);
    EXPECT_EQ(1100u * 1020 + 1, older + current);
    EXPECT_EQ(std::string::npos, ReadAll(path + ".1").find("oldest"));
    EXPECT_NE(std::string::npos, ReadAll(path).find("x!\n"));
}

// A standard error nobody reads (a full pipe) and a folder where no file can be made: Write()
// returns at once, lines are dropped, and a folder that becomes writable gets the next lines.
TEST(StatusLog, NeverWaitsForAFullPipeOrAnUnwritableFolder)
{
    TempDir dir;
    const std::string folder = dir.File("logs");
    std::ofstream(folder) << "a file where the folder should be";
    int err[2];
    ASSERT_EQ(0, ::pipe2(err, O_CLOEXEC));
    ASSERT_EQ(0, ::fcntl(err[1], F_SETFL, O_NONBLOCK));
    while (::write(err[1], "............", 12) > 0) {
    }
    ASSERT_EQ(0, ::fcntl(err[1], F_SETFL, 0));  // blocking again, and full
    {
        StatusLog log(folder + "/CamRelay.log", err[1]);
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < 20000; ++i)
            log.Write("信号 a (id 0): 连续1次直播失败，重试中");
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
        log.Flush();
        std::filesystem::remove(folder);
        std::filesystem::create_directory(folder);
        log.Write("written");
        log.Flush();
    }
    EXPECT_NE(std::string::npos, ReadAll(folder + "/CamRelay.log").find(" written\n"));
    ::close(err[0]), ::close(err[1]);
}

}  // namespace
