// The transcoder's own CPU for one channel's stand-in picture (640x360, 25 fps, the name, "信号中断"
// and the time) beside a copy relay of a camera, both publishing to an RTMP server, both started
// from the program's own arguments. After a warm-up, utime+stime from /proc/<pid>/stat over the
// window, as % of one core. Prints the figures; asserts nothing.
//   standin_cpu_bench RTMP_APP_URL CAMERA_URL [SECONDS]
#include "ffmpeg/CommandBuilder.h"
#include "ffmpeg/StandIn.h"
#include "platform/ChildProcess.h"

#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

namespace {

// utime + stime of pid in seconds; negative when it is gone.
double CpuSeconds(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), {});
    const std::size_t close = stat.rfind(')');
    if (close == std::string::npos)
        return -1;
    std::istringstream fields(stat.substr(close + 2));
    std::string field;
    double ticks = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i)  // fields 14 and 15: utime, stime
        if (i >= 14)
            ticks += std::atof(field.c_str());
    return ticks / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: standin_cpu_bench RTMP_APP_URL CAMERA_URL [SECONDS]\n");
        return 2;
    }
    const std::string app = argv[1], camera = argv[2];
    const int seconds = argc > 3 ? std::atoi(argv[3]) : 20;
    StandInPlan standIn;
    standIn.name = "通道 01 大门", standIn.output = app + "/standin", standIn.fontFile = FindCjkFont();
    LaunchPlan relay;
    relay.input = camera, relay.inputOverTcp = camera.starts_with("rtsp://");
    relay.video = LaunchPlan::Video::Copy, relay.audio = LaunchPlan::Audio::Copy, relay.output = app + "/relay";

    const SpawnResult children[] = {SpawnChild("/usr/bin/ffmpeg", StandInArguments(standIn)),
                                    SpawnChild("/usr/bin/ffmpeg", LaunchArguments(relay))};
    for (const SpawnResult& child : children)
        if (child.status != SpawnResult::Ok) {
            std::fprintf(stderr, "cannot start ffmpeg\n");
            return 1;
        }
    // Their status lines are read and dropped, as the program's monitor reads them.
    std::atomic<bool> done{false};
    std::thread drain([&] {
        pollfd fds[] = {{children[0].readFd, POLLIN, 0}, {children[1].readFd, POLLIN, 0}};
        char buf[4096];
        while (!done)
            if (::poll(fds, 2, 100) > 0)
                for (pollfd& fd : fds)
                    if (fd.revents && ::read(fd.fd, buf, sizeof buf) <= 0)
                        fd.fd = -1;
    });
    std::this_thread::sleep_for(std::chrono::seconds(5));  // past the encoder's start and the first keyframes
    const double before[] = {CpuSeconds(children[0].pid), CpuSeconds(children[1].pid)};
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const double after[] = {CpuSeconds(children[0].pid), CpuSeconds(children[1].pid)};
    bool running = true;
    for (const SpawnResult& child : children)
        running = running && PollChild(child.pid) == ChildState::Running;
    for (const SpawnResult& child : children)
        KillChild(child.pid);
    done = true;
    drain.join();
    if (!running || before[0] < 0 || before[1] < 0 || after[0] < 0 || after[1] < 0) {
        std::fprintf(stderr, "an ffmpeg ended during the measurement\n");
        return 1;
    }
    std::printf("standin_cpu_percent_of_one_core: %.2f\n", 100 * (after[0] - before[0]) / seconds);
    std::printf("copy_relay_cpu_percent_of_one_core: %.2f\n", 100 * (after[1] - before[1]) / seconds);
    return 0;
}
