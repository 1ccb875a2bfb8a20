// The service's loop as the web console drives it, with the fake transcoder as ffmpeg and a
// real config.ini: what its rows report and what a reload starts once the first start queue
// has drained.
#include "headless/HeadlessService.h"

#include "platform/SignalPipe.h"
#include "settings/ConfigStore.h"
#include "support/ProcessProbe.h"
#include "support/TempDir.h"

#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <future>
#include <thread>

namespace {

// Channel id stored in state, over RTSP, its fake reporting 300 kbit/s.
std::string Channel(int id, const std::string& state)
{
    const std::string k = "\n" + std::to_string(id) + "+";
    return k.substr(1) + "Name=门口" + std::to_string(id) + k + "SignalName=rtsp://127.0.0.1:1/in" + k +
           "checkstate=1" + k + "checkstate3=1" + k + "Adress=rtmp://127.0.0.1:1/live/" + std::to_string(id) +
           "#interval=100,kbps=300.0" + k + "strAVState=" + state + "\n";
}

}  // namespace

TEST(HeadlessServiceTest, ReloadAfterTheStartQueueStartsAndLiveRowsReportLive)
{
    TempDir dir("camrelay-headless");
    std::filesystem::create_symlink(CAMRELAY_BIN_DIR "/fake_ffmpeg", dir.File("ffmpeg"));
    const std::string head = "[SET DEFAULT VALUE]\nm_bRTSPuseTCP=1\n";
    WriteFile(dir.File("config.ini"), head + Channel(0, "运行中") + Channel(1, "暂停中"));
    ASSERT_TRUE(SignalPipe::Install());
    HeadlessService service(dir.Path(), dir.Path());
    std::thread loop([&service] { service.Run(); });
    struct Stop {  // the loop ends at a stop signal, also when an assertion returns early
        std::thread& loop;
        ~Stop() { ::kill(::getpid(), SIGTERM), loop.join(); }
    } stop{loop};
    const auto ask = [&service](ConsoleRequest::Kind kind, int id = -1) {
        auto answer = std::make_shared<std::promise<ConsoleReply>>();
        std::future<ConsoleReply> reply = answer->get_future();
        service.Submit({kind, id}, [answer](ConsoleReply r) { answer->set_value(r); });
        if (reply.wait_for(std::chrono::seconds(10)) != std::future_status::ready)
            return std::string("no answer");
        const ConsoleReply r = reply.get();
        return std::to_string(r.status) + " " + r.json;
    };
    const auto live = [&ask](int id) {
        return ProcessProbe::WaitUntil([&] { return ask(ConsoleRequest::Kind::Details, id).find("\"state\":\"live\"") != std::string::npos; },
                                       std::chrono::seconds(20));
    };
    ASSERT_TRUE(live(0)) << ask(ConsoleRequest::Kind::Details, 0);
    const std::vector<pid_t> first = ProcessProbe::ChildPids(false);
    ASSERT_EQ(1u, first.size());

    // The queue has drained: a channel now stored running and one added are started; the
    // unchanged RTSP channel keeps its child although TCP mode rewrites its line.
    WriteFile(dir.File("config.ini"), head + Channel(0, "运行中") + Channel(1, "运行中") + Channel(2, "运行中"));
    EXPECT_EQ(0u, ask(ConsoleRequest::Kind::Reload).rfind("200", 0));
    EXPECT_TRUE(live(1) && live(2)) << ask(ConsoleRequest::Kind::Details, 1) << ask(ConsoleRequest::Kind::Details, 2);
    EXPECT_TRUE(ProcessProbe::IsAlive(first[0])) << "the reload restarted an unchanged channel";
    EXPECT_EQ(3u, ProcessProbe::ChildPids(false).size());

    // Deleted by a reload, channel 2 cannot be run from the console: nothing is stored under its id.
    WriteFile(dir.File("config.ini"), head + Channel(0, "运行中") + Channel(1, "运行中") + Channel(2, "暂停中") +
                                          "2+ISDelete=true\n");
    ask(ConsoleRequest::Kind::Reload);
    EXPECT_EQ("409 {\"error\":\"信号 门口2 已删除，不能运行\"}", ask(ConsoleRequest::Kind::Run, 2));
    EXPECT_EQ("暂停中", ConfigStore(dir.Path()).GetValue("2+strAVState"));
    EXPECT_EQ(2u, ProcessProbe::ChildPids(false).size());
}
