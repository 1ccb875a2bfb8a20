// The local test servers must not outlive a test binary that dies while they run; that they
// serve as they should is shown by the end-to-end tests that relay through them.
#include <csignal>
#include <cstdlib>

#include <gtest/gtest.h>

#include "support/LocalServers.h"
#include "support/ProcessProbe.h"

namespace {

TEST(LocalServers, ServersDieWithAnAbortedTestBinary)
{
    // The dying child cannot remove its server's folder: keep it inside one that this test owns.
    const TempDir scratch;
    const char* oldTmp = std::getenv("TMPDIR");
    const std::string savedTmp = oldTmp ? oldTmp : "";
    ::setenv("TMPDIR", scratch.Path().c_str(), 1);
    for (const int signal : {SIGABRT, SIGKILL}) {
        const int port = FreeTcpPort();
        EXPECT_EXIT(
            {
                auto* nginx = new NginxRtmp(port);   // never destroyed: the process dies first
                if (!nginx->Start())
                    std::_Exit(2);
                std::raise(signal);
            },
            ::testing::KilledBySignal(signal), "") << "signal " << signal;
        EXPECT_TRUE(ProcessProbe::WaitUntil([&] { return !TcpPortAccepts(port); }, std::chrono::seconds(10)));
    }
    if (oldTmp)
        ::setenv("TMPDIR", savedTmp.c_str(), 1);
    else
        ::unsetenv("TMPDIR");
}

}   // namespace
