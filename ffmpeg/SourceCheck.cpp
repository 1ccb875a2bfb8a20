#include "ffmpeg/SourceCheck.h"

#include "ffmpeg/CommandBuilder.h"
#include "ffmpeg/TranscoderCompat.h"
#include "platform/ChildProcess.h"
#include "platform/SecretMask.h"
#include "settings/ChannelStore.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

namespace {

using Clock = std::chrono::steady_clock;

// How one bounded run of a child ended, with everything it printed (standard output and error).
struct RunEnd {
    std::string output;
    std::string startError;  // the child could not be started
    int exitCode = 0, signal = 0;
    bool timedOut = false, cancelled = false;
};

// Runs program with args, reading its output until it ends, limitMs has passed or *cancel is
// set; then SIGKILL to its process group. Reaped before returning.
RunEnd RunBounded(const std::string& program, const std::vector<std::string>& args, int limitMs,
                  const std::atomic<bool>* cancel)
{
    RunEnd end;
    const SpawnResult child = SpawnChild(program, args);
    if (child.status != SpawnResult::Ok) {
        end.startError = child.status == SpawnResult::PipeFailed ? std::string("无法创建管道：") + std::strerror(child.error)
                                                                  : "无法启动 " + program.substr(program.rfind('/') + 1) + "（" + program + "）：" + std::strerror(child.error);
        end.exitCode = 1;
        return end;
    }
    const auto deadline = Clock::now() + std::chrono::milliseconds(limitMs);
    const auto stop = [&] {
        end.cancelled = cancel && *cancel;
        end.timedOut = !end.cancelled && Clock::now() >= deadline;
        return end.cancelled || end.timedOut;
    };
    bool open = true;
    while (open && !stop()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        pollfd fd{child.readFd, POLLIN, 0};
        // Short waits, so that a cancel is seen within 50 ms without a descriptor of its own.
        if (::poll(&fd, 1, static_cast<int>(std::clamp<long long>(left, 0, 50))) <= 0)
            continue;
        char buf[4096];
        const ssize_t n = ::read(child.readFd, buf, sizeof buf);
        if (n > 0) {
            end.output.append(buf, static_cast<std::size_t>(n));
            if (end.output.size() > (1u << 18))  // a source that floods errors: the last ones decide
                end.output.erase(0, end.output.size() / 2);
        } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
            open = false;
        }
    }
    ::close(child.readFd);
    // The output has ended; the child may still take a moment to exit.
    while (!end.cancelled && !end.timedOut && PollChild(child.pid, &end.exitCode, &end.signal) == ChildState::Running)
        if (!stop())
            ::poll(nullptr, 0, 10);
    if (end.cancelled || end.timedOut)
        KillChild(child.pid);
    return end;
}

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (!line.empty())
            lines.push_back(line);
    }
    return lines;
}

// ffprobe's "flat" output ("streams.stream.0.codec_name="h264"") as one key map per stream; every
// other line (its error messages share the pipe) goes to *rest.
std::map<int, std::map<std::string, std::string>> ParseFlat(const std::string& output, std::vector<std::string>* rest)
{
    static const std::string prefix = "streams.stream.";
    std::map<int, std::map<std::string, std::string>> streams;
    for (const std::string& line : Lines(output)) {
        const std::size_t dot = line.find('.', prefix.size()), eq = line.find('=');
        if (line.rfind(prefix, 0) != 0 || dot == std::string::npos || eq == std::string::npos || eq < dot) {
            rest->push_back(line);
            continue;
        }
        std::string value = line.substr(eq + 1);
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
            std::string unquoted;
            for (std::size_t i = 1; i + 1 < value.size(); ++i)
                unquoted += value[i] == '\\' && i + 2 < value.size() ? value[++i] : value[i];
            value = unquoted;
        }
        streams[std::atoi(line.c_str() + prefix.size())][line.substr(dot + 1, eq - dot - 1)] = value;
    }
    return streams;
}

// "25/1" as 25; 0 for "0/0" and anything unreadable.
double Rate(const std::string& fraction)
{
    const std::size_t slash = fraction.find('/');
    const double num = std::atof(fraction.c_str()), den = slash == std::string::npos ? 1 : std::atof(fraction.c_str() + slash + 1);
    return den > 0 && num > 0 ? num / den : 0;
}

// The video and the audio stream the relay's ffmpeg publishes, which it picks as ffmpeg 5.1 does
// without -map: the video stream with the most pixels, the audio stream with the most channels,
// either way a stream marked default first and the earlier of two alike; a cover picture
// (attached_pic) only when nothing else is there.
SourceStreams ReadStreams(const std::map<int, std::map<std::string, std::string>>& streams)
{
    SourceStreams s;
    long long videoScore = 0, audioScore = 0;
    for (const auto& stream : streams) {
        const auto& f = stream.second;
        const auto get = [&](const char* key) { auto it = f.find(key); return it == f.end() ? std::string() : it->second; };
        const long long preferred = get("disposition.default") == "1" ? 5000000 : 0;
        if (get("codec_type") == "video") {
            long long score = std::atoll(get("width").c_str()) * std::atoll(get("height").c_str()) + preferred;
            if (get("disposition.attached_pic") == "1")
                score = 1;
            if (score <= videoScore && s.hasVideo)
                continue;
            s.hasVideo = true, videoScore = score, s.videoIndex = stream.first;
            s.videoCodec = get("codec_name"), s.videoProfile = get("profile"), s.pixelFormat = get("pix_fmt");
            s.width = std::atoi(get("width").c_str()), s.height = std::atoi(get("height").c_str());
            // Cameras often leave the average unknown; a real frame rate is below 240.
            s.frameRate = Rate(get("avg_frame_rate"));
            if (s.frameRate <= 0 && Rate(get("r_frame_rate")) < 240)
                s.frameRate = Rate(get("r_frame_rate"));
        } else if (get("codec_type") == "audio") {
            const long long score = std::atoll(get("channels").c_str()) + preferred;
            if (score <= audioScore && s.hasAudio)
                continue;
            s.hasAudio = true, audioScore = score;
            s.audioCodec = get("codec_name");
            s.sampleRate = std::atoi(get("sample_rate").c_str()), s.channels = std::atoi(get("channels").c_str());
        }
    }
    return s;
}

std::vector<std::string> InputArgs(const SourceRequest& request)
{
    std::vector<std::string> args = {"-v", "error"};
    if (request.rtspTcp && request.url.rfind("rtsp://", 0) == 0)
        args.insert(args.end(), {"-rtsp_transport", "tcp"});
    args.insert(args.end(), {"-i", request.url});
    return args;
}

// The keyframe interval of the video that would be copied, from its first seconds of packets
// (a run of its own, within the check's limit; nothing when it yields no packets).
void MeasureKeyframes(const SourceRequest& request, const FfmpegLocation& ffprobe, const std::atomic<bool>* cancel,
                      SourceStreams& streams)
{
    std::vector<std::string> args = InputArgs(request);
    args.insert(args.end() - 2, {"-select_streams", std::to_string(streams.videoIndex), "-read_intervals", "%+6",
                                 "-show_entries", "packet=pts_time,flags", "-of", "csv=p=0"});
    ReadKeyframes(RunBounded(ffprobe.m_strPath, args, request.limitMs, cancel).output, streams);
}

Diagnosis Diagnose(const RunEnd& run, const std::vector<std::string>& lines, const SourceRequest& request)
{
    AttemptEnd end;
    end.exitCode = run.exitCode, end.signal = run.timedOut ? 0 : run.signal, end.startError = run.startError;
    if (run.timedOut)
        end.stalledSeconds = (request.limitMs + 999) / 1000;
    return DiagnoseFailure(lines, end, request.url, "");
}

Diagnosis Missing(const FfmpegLocation& where, const char* program)
{
    Diagnosis d;
    d.cause = FailureCause::FfmpegMissing, d.side = FailureSide::Local, d.name = FailureCauseName(d.cause);
    d.label = std::string("找不到 ") + program;
    d.sentence = "找不到 " + std::string(program) + "：请安装 ffmpeg 软件包，或把 " + program +
                 " 放在本程序旁边（已查找：" + where.TriedText() + "）";
    return d;
}

// One frame of the source as JPEG, written by ffmpeg into a private temporary file.
void GrabFrame(const SourceRequest& request, const FfmpegLocation& ffmpeg, const std::atomic<bool>* cancel,
               SourceResult& result)
{
    if (!ffmpeg.Found()) {
        result.frameProblem = Missing(ffmpeg, "ffmpeg").sentence;
        return;
    }
    std::string path = (std::filesystem::temp_directory_path() / "camrelay-frame-XXXXXX.jpg").string();
    const int fd = ::mkstemps(path.data(), 4);
    if (fd < 0) {
        result.frameProblem = std::string("无法创建临时文件：") + std::strerror(errno);
        return;
    }
    ::close(fd);
    std::vector<std::string> args = InputArgs(request);
    args.insert(args.begin(), "-nostdin");
    args.insert(args.end(), {"-an", "-frames:v", "1", "-q:v", "3", "-f", "mjpeg", "-y", path});
    const RunEnd run = RunBounded(ffmpeg.m_strPath, args, request.limitMs, cancel);
    std::ifstream in(path, std::ios::binary);
    result.frameJpeg.assign(std::istreambuf_iterator<char>(in), {});
    std::filesystem::remove(path);
    result.cancelled = run.cancelled;
    if (run.exitCode != 0 || run.timedOut || run.cancelled || result.frameJpeg.empty()) {
        result.frameJpeg.clear();
        const Diagnosis why = Diagnose(run, Lines(run.output), request);
        result.frameProblem = why.sentence.empty() ? "ffmpeg 没有给出画面" : why.sentence;
    }
}

}  // namespace

SourceRequest StoredSourceRequest(const ConfigStore& store, int id)
{
    SourceRequest request;
    const LoadedChannel stored = LoadChannel(store, id);
    request.settings = stored.record, request.checks = stored.checks;
    request.url = request.settings.sourceUrl;
    request.rtspTcp = StoredRtspTcp(store);
    request.publishUrl = request.settings.publishUrl;
    const StreamPlan plan = PlanStreams(request.checks);
    if (plan.video && !plan.videoCopied)
        request.watermarkFile = request.settings.watermarkPath;
    return request;
}

std::string BusyReason(double loadPerCore, long long elapsedMs, int limitMs)
{
    char text[96] = "";
    if (loadPerCore >= 2)
        std::snprintf(text, sizeof text, "每核负载 %.1f", loadPerCore);
    else if (elapsedMs > 2LL * limitMs)
        std::snprintf(text, sizeof text, "检测用时 %lld 秒（时限 %d 秒）", elapsedMs / 1000, (limitMs + 999) / 1000);
    return text;
}

SourceResult RunSourceCheck(const SourceRequest& given, const FfmpegLocation& ffmpeg, const FfmpegLocation& ffprobe,
                            const std::atomic<bool>* cancel)
{
    SourceRequest request = given;
    SourceResult result;
    RememberSecretsOf(request.url);
    result.source = MaskPasswords(request.url);
    if (!request.publishUrl.empty())
        result.publish = CheckPublishSide(request.publishUrl, std::min(request.limitMs, 5000), cancel);
    if (!request.watermarkFile.empty() && (!std::filesystem::is_regular_file(request.watermarkFile) ||
                                           ::access(request.watermarkFile.c_str(), R_OK) != 0))
        result.watermarkProblem = "水印图片不存在或无法读取：" + request.watermarkFile;
    if (!ffprobe.Found()) {
        result.diagnosis = Missing(ffprobe, "ffprobe");
        return result;
    }
    const auto probe = [&] {
        std::vector<std::string> args = InputArgs(request);
        args.insert(args.end() - 2, {"-show_entries",
                                     "stream=codec_type,codec_name,profile,width,height,pix_fmt,avg_frame_rate,r_frame_rate,"
                                     "sample_rate,channels:stream_disposition=default,attached_pic",
                                     "-of", "flat"});
        const auto started = Clock::now();
        RunEnd run = RunBounded(ffprobe.m_strPath, args, request.limitMs, cancel);
        return std::make_pair(run, std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started).count());
    };
    auto [run, elapsedMs] = probe();
    // An RTSP camera whose packets never reach this machine over UDP (a firewall, NAT) runs
    // into the limit although its session was set up; over TCP they arrive.
    const bool udp = !request.rtspTcp && request.url.rfind("rtsp://", 0) == 0;
    bool overTcpOnly = false;
    if (run.timedOut && (udp || request.retryTimedOut)) {
        request.rtspTcp = request.rtspTcp || udp;
        auto [again, againMs] = probe();
        overTcpOnly = udp && again.exitCode == 0 && !again.timedOut && !again.cancelled;
        if (overTcpOnly || again.timedOut || !udp)
            run = std::move(again), elapsedMs = againMs;
    }
    std::vector<std::string> lines;
    const auto streams = ParseFlat(run.output, &lines);
    result.cancelled = run.cancelled;
    result.timedOut = run.timedOut;
    if (run.exitCode != 0 || run.timedOut || run.cancelled || !run.startError.empty()) {
        result.diagnosis = Diagnose(run, lines, request);
        double load = 0;
        if (run.timedOut && ::getloadavg(&load, 1) == 1)
            result.busy = BusyReason(load / std::max(1u, std::thread::hardware_concurrency()), elapsedMs, request.limitMs);
        return result;
    }
    result.reachable = true;
    result.streams = ReadStreams(streams);
    // Whether the installed ffmpeg copies H.265 into FLV is asked once per program, here on the
    // check's own thread, and only when it matters.
    result.flvHevc = result.streams.videoCodec == "hevc" && ffmpeg.Found() && FlvCarriesHevc(ffmpeg.m_strPath);
    const StreamPlan plan = PlanStreams(request.checks, request.settings);
    if (request.measureKeyframes && plan.video && plan.videoCopied && result.streams.hasVideo)
        MeasureKeyframes(request, ffprobe, cancel, result.streams);
    result.advice = AdviseSource(result.streams, request.checks, request.settings, result.flvHevc);
    if (overTcpOnly)
        result.advice.insert(result.advice.begin(), {"rtsp_udp_no_media", true,
                             "摄像头的画面通过 UDP 收不到，通过 TCP 可以：请勾选“TCP模式拉监控视频”"});
    // "Everything fine" is no longer true when the publish side or the watermark fails.
    if (result.Fails())
        std::erase_if(result.advice, [](const Advice& a) { return std::string_view(a.name) == "publish"; });
    if (request.grabFrame && result.streams.hasVideo)
        GrabFrame(request, ffmpeg, cancel, result);
    return result;
}

std::string SourceResult::Report() const
{
    std::string text = "信号源：" + source + "\n";
    if (cancelled)
        return text + "检测已取消\n";
    std::string besides;  // the publish side and the watermark
    if (publish)
        besides += publish->Text() + "\n";
    if (!watermarkProblem.empty())
        besides += watermarkProblem + "\n";
    if (!reachable && !busy.empty())
        return MaskPasswords(text + "结果：" + BusyVerdict() + "\n" + besides);
    if (!reachable) {
        text += "结果：无法使用（" + std::string(FailureSideText(diagnosis.side)) + "）\n原因：" + diagnosis.sentence + "\n";
        if (!diagnosis.line.empty())
            text += "ffmpeg：" + diagnosis.line + "\n";
        return text + besides;
    }
    text += std::string("结果：") + (!Usable() ? "无法使用" : Fails() ? "可以连接，但按当前设置不能直播" : "可以直播") + "\n";
    const std::string keyframes = DescribeKeyframes(streams);
    text += "视频：" + (streams.hasVideo ? DescribeVideo(streams) + (keyframes.empty() ? "" : "，" + keyframes) : "无") + "\n";
    text += "音频：" + (streams.hasAudio ? DescribeAudio(streams) : "无") + "\n";
    if (streams.hasVideo)
        text += "画面：" + (frameJpeg.empty() ? "未取到（" + frameProblem + "）" : std::string("已截取")) + "\n";
    text += besides + "建议：\n";
    for (const Advice& a : advice)
        text += "· " + a.text + "\n";
    return MaskPasswords(text);
}

std::string SourceResult::Summary() const
{
    if (cancelled)
        return "检测已取消";
    std::string besides;
    if (publish && !publish->Ok())
        besides += "｜" + publish->Text();
    if (!watermarkProblem.empty())
        besides += "｜" + watermarkProblem;
    if (!reachable)
        return MaskPasswords((busy.empty() ? "无法使用：" + diagnosis.sentence : BusyVerdict()) + besides);
    std::string text = (!Usable() ? "无法使用" : Fails() ? "不能按当前设置直播" : "可以直播") + besides;
    if (streams.hasVideo)
        text += "｜视频 " + DescribeVideo(streams);
    if (streams.hasAudio)
        text += "｜音频 " + DescribeAudio(streams);
    for (const Advice& a : advice)
        text += "｜" + a.text;
    return MaskPasswords(text);
}

std::string SourceResult::BusyVerdict() const
{
    return "本机繁忙，结果可能不准：" + busy + "，信号源在时限内没有结果";
}

SourceCheck::SourceCheck(FfmpegLocation ffmpeg)
    : m_ffmpeg(std::move(ffmpeg)), m_ffprobe(FfmpegLocation::FindProbe(m_ffmpeg, std::getenv("PATH")))
{
}

SourceCheck::~SourceCheck()
{
    Cancel();
    Wait();
}

bool SourceCheck::Start(const SourceRequest& request, Done done)
{
    if (m_running)
        return false;
    Wait();  // the last check's thread, ended or about to
    m_cancel = false;
    m_running = true;
    m_thread = std::thread([this, request, done = std::move(done)] {
        SourceResult result = RunSourceCheck(request, m_ffmpeg, m_ffprobe, &m_cancel);
        m_running = false;
        done(std::move(result));
    });
    return true;
}
