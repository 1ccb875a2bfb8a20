#include "ffmpeg/CommandLine.h"
#include "ffmpeg/FailureDiagnosis.h"
#include "ffmpeg/MultiOutput.h"
#include "ffmpeg/OutputMonitor.h"
#include "platform/LoopbackPorts.h"
#include "support/LocalServers.h"
#include "support/ProcessProbe.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <regex>
#include <set>
#include <sstream>

namespace {

using namespace std::chrono_literals;

// A child's output as lines (its status lines end in a carriage return).
std::vector<std::string> OutputLines(const std::string& log)
{
    std::vector<std::string> lines;
    std::string line;
    for (std::istringstream in(log); std::getline(in, line);)
        for (std::size_t at = 0, end; at <= line.size(); at = end + 1)
            if ((end = std::min(line.find('\r', at), line.size())) > at)
                lines.push_back(line.substr(at, end - at));
    return lines;
}

// The status lines' readings, in order.
std::vector<ProgressReading> Readings(const std::string& log)
{
    std::vector<ProgressReading> readings;
    for (const std::string& line : OutputLines(log))
        if (const ProgressReading r = ParseStatusLine(line); r.hasSize)
            readings.push_back(r);
    return readings;
}

AttemptEnd Ended(int exitCode)
{
    AttemptEnd end;
    end.exitCode = exitCode;
    return end;
}

}  // namespace

// One channel with three addresses on real servers (the simulator's A-law camera, nginx-rtmp):
// one RTSP session feeds them all; both good addresses play H.264 640x360 with the A-law turned
// AAC; the address of an application nginx lacks fails with the line and the diagnosis a
// single child gets for it. A pusher killed and started again: the other address's viewer sees
// no gap, the restarted one plays again within seconds. The puller killed: the pushers end by
// themselves. The puller's status lines advance in time without a size, the pushers' count bytes.
TEST(MultiOutput, OnePullIsolatedOutputsOwnCauses)
{
    ShellServer servers;
    ASSERT_TRUE(servers.Start("start_rtsp_sim rtsp.log $(free_port) && start_nginx_rtmp nginx $(free_port)",
                              "$RTSP_URL $NGINX_URL")) << servers.Log();
    const std::string camera = servers.Ready().substr(0, servers.Ready().find(' '));
    const std::string live = servers.Ready().substr(camera.size() + 1), app = live.substr(0, live.rfind('/'));
    const std::string rtspPort = camera.substr(17, camera.rfind('/') - 17);
    const TempDir dir("camrelay-multi");

    LaunchPlan plan;
    plan.input = camera, plan.inputOverTcp = true;
    plan.video = LaunchPlan::Video::Copy, plan.audio = LaunchPlan::Audio::Copy;
    plan.form = 5, plan.output = live + "/a";
    const std::vector<int> ports = FreeLoopbackUdpPorts(3);
    ASSERT_EQ(ports.size(), 3u);
    EXPECT_EQ(std::set<int>(ports.begin(), ports.end()).size(), 3u);
    const std::vector<std::string> outputs = {live + "/a", live + "/b", app + "/nosuchapp/c"};

    std::vector<std::string> puller = PullerArguments(plan, ports);
    EXPECT_EQ(SplitCommandLine(PullerLine(plan, ports)), puller);
    EXPECT_EQ(SplitCommandLine(PusherLine(ports[2], outputs[2])), PusherArguments(ports[2], outputs[2]));
    puller.insert(puller.begin(), "ffmpeg");
    ServerProcess pull;
    ASSERT_TRUE(pull.Start(puller, dir.File("puller.log")));
    ServerProcess push[3];
    const auto startPusher = [&](int i) {
        std::vector<std::string> argv = PusherArguments(ports[i], outputs[i]);
        argv.insert(argv.begin(), "ffmpeg");
        return push[i].Start(argv, dir.File("pusher" + std::to_string(i) + ".log"));
    };
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(startPusher(i));

    // The address nginx has no application for: the pusher fails alone, as a single child would.
    ASSERT_TRUE(ProcessProbe::WaitUntil([&] { return !push[2].Running(); }, 20s));
    const std::vector<std::string> failed = OutputLines(ReadFile(dir.File("pusher2.log")));
    ASSERT_FALSE(failed.empty());
    // ffmpeg 5.1 ends with "<address>: Input/output error", 7.1 with "Error opening output files: …"
    // after a line naming the address.
    EXPECT_TRUE(std::any_of(failed.begin(), failed.end(), [&](const std::string& l) {
        return l.find(outputs[2]) != std::string::npos && l.find("Input/output error") != std::string::npos;
    })) << failed.back();
    const Diagnosis pushed = DiagnoseFailure(failed, Ended(push[2].ExitCode()), PusherInput(ports[2]), outputs[2]);
    EXPECT_EQ(pushed.cause, FailureCause::PublishRefused) << pushed.line;
    EXPECT_EQ(pushed.side, FailureSide::Server);

    EXPECT_EQ(ProbeUntilVideo(outputs[0]), "h264 640x360 Main, aac 44100 Hz 1 ch");
    EXPECT_EQ(ProbeUntilVideo(outputs[1]), "h264 640x360 Main, aac 44100 Hz 1 ch");
    // Each pusher listens on the loopback only: no other host can send it a stream.
    std::string bound;
    RunCommand({"ss", "-Hunl", "( sport = :" + std::to_string(ports[0]) + " )"}, 10, &bound);
    EXPECT_NE(bound.find("127.0.0.1:" + std::to_string(ports[0]) + " "), std::string::npos) << bound;
    std::string sessions;
    RunCommand({"ss", "-Htn", "state", "established", "( dport = :" + rtspPort + " )"}, 10, &sessions);
    EXPECT_EQ(std::count(sessions.begin(), sessions.end(), '\n'), 1) << sessions;

    // Isolation: viewers on both addresses, then pusher b killed and started again at once.
    ServerProcess viewers[2];
    for (int i = 0; i < 2; ++i)
        ASSERT_TRUE(StartViewer(viewers[i], outputs[i], dir.File("viewer" + std::to_string(i))));
    const auto arrived = [&](int i, double after) {
        const std::vector<double> times = PacketArrivals(dir.File("viewer" + std::to_string(i)));
        return std::any_of(times.begin(), times.end(), [&](double t) { return t > after; });
    };
    // Both viewers past their first burst (all that ffprobe read while it studied the stream
    // arrives at once) and into the steady flow.
    ASSERT_TRUE(ProcessProbe::WaitUntil([&] {
        const std::vector<double> a = PacketArrivals(dir.File("viewer0")), b = PacketArrivals(dir.File("viewer1"));
        return !a.empty() && !b.empty() && a.back() - a.front() > 2 && b.back() - b.front() > 2;
    }, 30s));
    const double killed = EpochSeconds();
    push[1].Stop(SIGKILL, 0);
    ASSERT_TRUE(startPusher(1));
    const double restarted = EpochSeconds();
    // The restarted address is back when its viewer gets a packet from the new pusher: one that
    // arrives later than the old pusher's last could (the new one needs a second to publish).
    double back = -1;
    int again = 0;  // a pusher that ended at once (its port not yet free, on a loaded machine) is
                    // started again, as the relay would retry it
    ASSERT_TRUE(ProcessProbe::WaitUntil([&] {
        if (!push[1].Running() && again++ < 5)
            startPusher(1);
        for (const double t : PacketArrivals(dir.File("viewer1")))
            if (t > restarted + 0.3 && back < 0)
                back = t - restarted;
        return back >= 0;
    }, 30s));
    EXPECT_LT(back, 10.0) << again << " restarts";  // about 2 s here; the margin is for a loaded machine
    const double until = EpochSeconds() + 1;
    ASSERT_TRUE(ProcessProbe::WaitUntil([&] { return arrived(0, until); }, 10s));
    const double gap = LargestGap(PacketArrivals(dir.File("viewer0")), killed - 1, until);
    EXPECT_LT(gap, 1.5);  // about 0.2 s here: the packets' own spacing, no interruption
    std::cout << "restarted output back after " << back << " s; other output's largest gap " << gap << " s\n";

    // The puller gone, each pusher ends by itself (its input times out).
    pull.Stop(SIGKILL, 0);
    const auto gone = std::chrono::steady_clock::now();
    EXPECT_TRUE(ProcessProbe::WaitUntil([&] { return !push[0].Running() && !push[1].Running(); }, 30s));
    std::cout << "pushers ended " << std::chrono::duration<double>(std::chrono::steady_clock::now() - gone).count()
              << " s after the puller\n";

    // What the output monitor reads: the puller's time advances without bytes; a pusher's bytes.
    const std::vector<ProgressReading> pulled = Readings(ReadFile(dir.File("puller.log")));
    ASSERT_GE(pulled.size(), 2u);
    EXPECT_GT(pulled.back().timeMs, pulled.front().timeMs);
    EXPECT_EQ(pulled.back().bytes, -1);
    const std::vector<ProgressReading> pushedA = Readings(ReadFile(dir.File("pusher0.log")));
    ASSERT_FALSE(pushedA.empty());
    EXPECT_GT(pushedA.back().bytes, 100000);
    EXPECT_GT(pushedA.back().kbps, 0);

    // The single child publishing to the same address: the same line, the same diagnosis.
    LaunchPlan single = plan;
    single.output = outputs[2];
    std::vector<std::string> argv = LaunchArguments(single);
    argv.insert(argv.begin(), "ffmpeg");
    std::string said;
    const int code = RunCommand(argv, 30, &said);
    const std::vector<std::string> lines = OutputLines(said);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), failed.back());
    const Diagnosis alone = DiagnoseFailure(lines, Ended(code), single.input, single.output);
    EXPECT_EQ(alone.cause, pushed.cause);
    EXPECT_EQ(alone.sentence, pushed.sentence);
    // The deciding line, but for the muxer's address in memory ("[out#0/flv @ 0x…]" in 7.1).
    const auto bare = [](const std::string& l) { return std::regex_replace(l, std::regex("0x[0-9a-f]+"), "0x"); };
    EXPECT_EQ(bare(alone.line), bare(pushed.line));
}
