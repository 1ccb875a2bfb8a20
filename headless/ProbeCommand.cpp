#include "headless/ProbeCommand.h"

#include "ffmpeg/SourceChecks.h"
#include "platform/SignalPipe.h"
#include "settings/ChannelStore.h"
#include "settings/DataDir.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <vector>

namespace {

struct Job {
    std::string label;  // "信号 名称 (id 3)" for --probe-all
    SourceRequest request;
    std::optional<SourceResult> result;
};

void Print(const std::string& text)
{
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

void Complain(const std::string& text)
{
    std::fprintf(stderr, "CamRelay: %s\n", text.c_str());
}

// The jobs' checks, at most `parallel` at once, each shown in order as soon as it and every job
// before it have ended. A stop signal cancels what runs and starts nothing more: false then.
bool RunJobs(std::vector<Job>& jobs, const FfmpegLocation& ffmpeg, int parallel, const std::function<void(const Job&)>& show)
{
    std::vector<SourceRequest> requests;
    for (const Job& job : jobs)
        requests.push_back(job.request);
    return RunChecksInOrder(requests, ffmpeg, parallel, [&](std::size_t i, const SourceResult& result) {
        jobs[i].result = result;
        show(jobs[i]);
    }, [] { return SignalPipe::Pending() && SignalPipe::Take().m_bStop; });
}

int ProbeOne(const ProbeOptions& options, const FfmpegLocation& ffmpeg)
{
    std::vector<Job> jobs(1);
    jobs[0].request.url = options.m_strUrl;
    jobs[0].request.rtspTcp = options.m_bTcp;
    jobs[0].request.publishUrl = options.m_strPublish;
    const bool whole = RunJobs(jobs, ffmpeg, 1, [](const Job& job) { Print(job.result->Report()); });
    if (!whole || !jobs[0].result)
        return 1;
    const SourceResult& result = *jobs[0].result;
    int code = result.Usable() && (!result.publish || result.publish->Ok()) ? 0 : 1;
    if (!options.m_strFrame.empty()) {
        if (result.frameJpeg.empty()) {
            Complain("没有画面可保存到 " + options.m_strFrame +
                     (result.streams.hasVideo || !result.reachable ? "" : "：信号源没有视频"));
            return 1;
        }
        std::ofstream out(options.m_strFrame, std::ios::binary | std::ios::trunc);
        out.write(result.frameJpeg.data(), static_cast<std::streamsize>(result.frameJpeg.size()));
        out.close();
        if (!out) {
            Complain("无法写入 " + options.m_strFrame + "：" + std::strerror(errno));
            code = 1;
        }
    }
    return code;
}

int ProbeAll(const ProbeOptions& options, const FfmpegLocation& ffmpeg)
{
    std::string dir = options.m_strDir;
    if (dir.empty()) {
        // Only read: a missing folder is not made, the missing config.ini is said below.
        const DataDir found =
            DataDir::Resolve(options.m_strProgramDir, std::getenv("XDG_CONFIG_HOME"), std::getenv("HOME"), false);
        if (found.m_strPath.empty()) {
            Complain(found.m_strError);
            return 1;
        }
        dir = found.m_strPath;
    }
    const ConfigStore store(dir);
    if (const std::string problem = store.ReadProblem(); !problem.empty()) {
        Complain(problem);
        return 1;
    }
    std::vector<Job> jobs;
    for (const ScannedChannel& channel : ListStoredChannels(store)) {
        Job& job = jobs.emplace_back();
        job.label = "信号 " + channel.name + " (id " + std::to_string(channel.id) + ")";
        job.request = StoredSourceRequest(store, channel.id);
        job.request.grabFrame = false;  // one line each: no picture to show
        job.request.retryTimedOut = true;  // a camera slow to answer once is not yet unusable
    }
    if (jobs.empty()) {
        Print(store.IniPath() + " 中没有信号\n");
        return 0;
    }
    bool allRelay = true;
    const bool whole = RunJobs(jobs, ffmpeg, ProbeCommand::kParallel, [&](const Job& job) {
        Print(job.label + "：" + job.result->Summary() + "\n");
        allRelay = allRelay && !job.result->Fails();
    });
    return whole && allRelay ? 0 : 1;
}

}  // namespace

namespace ProbeCommand {

int Run(const ProbeOptions& options)
{
    const FfmpegLocation ffmpeg = FfmpegLocation::Find(options.m_strProgramDir, std::getenv("PATH"));
    return options.m_bAll ? ProbeAll(options, ffmpeg) : ProbeOne(options, ffmpeg);
}

}  // namespace ProbeCommand
