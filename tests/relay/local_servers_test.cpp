// The local test servers must not outlive a test binary that dies while they run (test binary,
// then the shell hosting them, then the server); that they serve as they should is shown by the
// end-to-end tests that relay through them.
#include <csignal>
#include <cstdlib>

#include <gtest/gtest.h>

#include "support/LocalServers.h"
#include "support/ProcessProbe.h"

TEST(LocalServers, ServersDieWithAKilledTestBinary)
{
    // The dying child cannot remove its server's folder: keep it inside one that this test owns.
    const TempDir scratch;
    const char* oldTmp = std::getenv("TMPDIR");
    const std::string savedTmp = oldTmp ? oldTmp : "";
    ::setenv("TMPDIR", scratch.Path().c_str(), 1);
    const std::string port = std::to_string(FreeTcpPort());
    EXPECT_EXIT(
        {
            auto* nginx = new ShellServer;   // never destroyed: the process dies first
            if (!nginx->Start("start_nginx_rtmp nginx " + port))
                std::_Exit(2);
            std::raise(SIGKILL);
        },
        ::testing::KilledBySignal(SIGKILL), "");
    EXPECT_TRUE(ProcessProbe::WaitUntil([&] { return RunShell("! port_accepts $1", {port}, 5) == 0; },
                                        std::chrono::seconds(10)));
    if (oldTmp)
        ::setenv("TMPDIR", savedTmp.c_str(), 1);
    else
        ::unsetenv("TMPDIR");
}
