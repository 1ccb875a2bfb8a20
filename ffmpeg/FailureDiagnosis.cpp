#include "ffmpeg/FailureDiagnosis.h"

#include "ffmpeg/OutputMonitor.h"
#include "platform/SecretMask.h"
#include "platform/SystemError.h"

#include <algorithm>
#include <cstdio>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <regex>

namespace {

// Where a rule puts the fault. ByUrl: the side whose URL the deciding line (or a later one)
// names; without one, the server when the input had been opened before ("Input #"), since
// ffmpeg opens the input first. NetworkCamera: the camera, and only when the source is a network
// address (a file holding the same bytes is no media, not a port that speaks another protocol).
enum class Blame { Camera, NetworkCamera, Server, Local, ByUrl };

// One line pattern of ffmpeg 5.1 (Debian 12) or 7.1 (Debian 13) and what it means; where the two
// print different lines, the pattern takes both (the real-failure test lists each version's line). Sentences and labels may hold {1}, {2}: the
// pattern's groups. A ByUrl rule has a second label and sentence for the server side, and may
// name another cause for it (Other: the same cause).
struct Rule {
    const char* pattern;
    FailureCause cause;
    Blame blame;
    const char* label;
    const char* sentence;
    const char* serverLabel = nullptr;
    const char* serverSentence = nullptr;
    FailureCause serverCause = FailureCause::Other;
};

// Tried in order, each over every line; the first rule that matches a line decides, and its
// last matching line is the deciding one: ffmpeg ends with the line that names the URL
// ("rtsp://…: Connection refused" after the socket's own line).
const Rule kRules[] = {
    // First: a stop asked for from outside (SIGTERM, SIGINT) while ffmpeg opens its output cuts the
    // open short with "Error opening output rtmp://…: Input/output error", which is no refusal.
    {R"(received signal (\d+))", FailureCause::Signal, Blame::Local, "被信号 {1} 结束",
     "ffmpeg 被信号 {1} 结束：若不是有人手动停止，请检查本机内存是否不足、是否有其他程序结束了它"},
    {R"(Server error: Already publishing)", FailureCause::StreamInUse, Blame::Server, "流名已被占用",
     "直播服务器上这个流名已有人在发布：请换一个流名，或先停掉另一路发布"},
    {R"(Video codec (hevc|h265) not compatible with flv)", FailureCause::HevcInFlv, Blame::Camera, "摄像头为 H.265 编码",
     kHevcCopySentence},
    {R"(Video codec (\S+) not compatible with flv)", FailureCause::VideoCodecInFlv, Blame::Camera,
     "视频编码 {1} 不能直接转发", kVideoCopySentence},
    {R"(Audio codec (\S+) not compatible with flv)", FailureCause::AudioCodecInFlv, Blame::Camera,
     "音频编码 {1} 不能直接转发", kAudioCopySentence},
    {R"((\w+) profile doesn't support (4:\d:\d))", FailureCause::PixelFormatProfile, Blame::Camera,
     "Profile {1} 不支持 {2}",
     "所选 Profile {1} 不支持摄像头的 {2} 画面：请把 Profile 改为 high422（4:4:4 用 high444），或让摄像头输出 4:2:0"},
    {R"(\[Parsed_movie_\d+ @)", FailureCause::WatermarkUnreadable, Blame::Local, "水印图片无法读取",
     "水印图片打不开（文件不存在、无权读取或不是图片）：请在信号设置中重新选择水印 PNG 文件"},
    {R"(Unknown encoder '([^']*)')", FailureCause::EncoderMissing, Blame::Local, "缺少编码器 {1}",
     "本机的 ffmpeg 没有编码器 {1}：请换用带该编码器的 ffmpeg（如 Debian 的 ffmpeg 软件包）"},
    {R"(method \w+ failed: 401)", FailureCause::RtspUnauthorized, Blame::Camera, "摄像头用户名或密码错误（RTSP 401）",
     "摄像头拒绝了用户名或密码：请在信号源地址中写对用户名和密码（rtsp://用户名:密码@地址）"},
    {R"(method \w+ failed: (40[34]))", FailureCause::RtspNotFound, Blame::Camera, "摄像头地址错误（RTSP {1}）",
     "摄像头上没有这个地址或不许访问：请检查信号源地址中端口后面的路径（通道和码流）"},
    {R"(method \w+ failed: (461)|Nonmatching transport in server reply)", FailureCause::RtspTransport,
     Blame::Camera, "摄像头不接受传输方式（RTSP 461）",
     "摄像头不接受所请求的传输方式：请勾选“TCP模式拉监控视频”（已勾选则取消）后重试"},
    // http:// and HLS sources; 7.1 says the same after "Error opening input: ".
    {R"(Server returned 404)", FailureCause::HttpNotFound, Blame::Camera, "信号源地址不存在（HTTP 404）",
     "信号源地址不存在（HTTP 404）：请检查信号源地址中端口后面的路径和文件名"},
    {R"(Server returned 403)", FailureCause::HttpForbidden, Blame::Camera, "信号源禁止访问（HTTP 403）",
     "信号源禁止访问（HTTP 403）：请检查地址中的访问密钥或令牌是否有效，以及服务器是否允许本机访问"},
    {R"(Server returned 401)", FailureCause::HttpUnauthorized, Blame::Camera, "信号源需要用户名密码（HTTP 401）",
     "信号源需要用户名密码（HTTP 401）：请在信号源地址中写对用户名和密码（http://用户名:密码@地址）"},
    {R"(Failed to resolve hostname)", FailureCause::HostUnknown, Blame::ByUrl, "摄像头主机名无法解析",
     "信号源地址中的主机名无法解析：请检查拼写和本机的 DNS 设置，或改填 IP 地址", "服务器主机名无法解析",
     "发布地址中的主机名无法解析：请检查拼写和本机的 DNS 设置，或改填 IP 地址"},
    {R"(Connection refused)", FailureCause::ConnectionRefused, Blame::ByUrl, "摄像头拒绝连接",
     "摄像头拒绝连接：请检查信号源地址和端口，以及摄像头是否在线", "直播服务器拒绝连接",
     "直播服务器拒绝连接：请检查发布地址和端口，以及服务器是否在运行"},
    {R"(Connection timed out|No route to host|Network is unreachable)", FailureCause::TimedOut, Blame::ByUrl,
     "摄像头连接超时", "连不上摄像头（超时或无路由）：请检查摄像头是否通电在线，以及本机到摄像头的网络和防火墙",
     "直播服务器连接超时", "连不上直播服务器（超时或无路由）：请检查服务器地址，以及本机到服务器的网络和防火墙"},
    // An RTMP address on a port that answers the handshake with something else (an HTTP server);
    // a server that never answers it ends in a time-out, above.
    {R"(Cannot read RTMP handshake response)", FailureCause::WrongProtocol, Blame::ByUrl, "信号源端口不是 RTMP",
     "信号源地址的端口上不是 RTMP 服务，是另一种协议在应答：请检查信号源地址的端口和开头的协议", "发布端口不是 RTMP",
     "发布地址的端口上不是 RTMP 服务，是另一种协议在应答：请检查发布地址的端口（RTMP 通常为 1935）"},
    // rtsp:// or http:// on a port of another protocol, or an address of something that is no
    // stream (a camera's web page): 5.1 names the URL, 7.1 says it after "Error opening input: ".
    {R"(^\w+://\S+: Invalid data found when processing input|Error opening input: Invalid data found)",
     FailureCause::WrongProtocol, Blame::NetworkCamera, "信号源端口协议不符",
     "信号源地址的端口上是另一种协议（与地址开头写的协议不符），或地址指向的不是视频流：请检查信号源地址开头的协议（rtsp://、http://、rtmp://）、端口和路径"},
    {R"((av_interleaved_write_frame\(\)|Error writing trailer of|Error closing file).*(Broken pipe|Connection reset by peer))",
     FailureCause::ServerClosed, Blame::Server, "直播服务器断开了连接",
     "直播服务器在推流中途断开了连接：请检查服务器是否重启、是否踢掉了这路流"},
    // nginx-rtmp closes the connection at once for an application it does not have, and the same
    // way at the publish when its on_publish check refuses it: ffmpeg prints the same line for
    // both, so for the server it is a refused publish that names both reasons. 5.1 says
    // "rtmp://…/app/s: Input/output error"; 7.1 "[out#0/flv @ …] Error opening output rtmp://…:
    // Input/output error" when publishing, and "Error opening input file rtmp://…/app/s." (after
    // "[in#0 @ …] Error opening input: Input/output error") when pulling.
    {R"(^rtmpt?s?://\S+: Input/output error$|Error opening output rtmpt?s?://\S+: Input/output error$|^Error opening input file rtmpt?s?://\S+\.$)", FailureCause::RtmpAppUnknown, Blame::ByUrl, "信号源应用名或流名错误",
     "信号源的 RTMP 服务器上没有这个应用名或流：请检查信号源地址中端口后的应用名和流名", "服务器拒绝推流",
     "服务器拒绝推流：请检查推流地址中的应用名（端口后的第一段，如 live）和密钥/鉴权参数，或服务器的推流权限设置",
     FailureCause::PublishRefused},
};

const char* const kNames[] = {"connection_refused", "timed_out", "host_unknown", "rtsp_unauthorized",
                              "rtsp_not_found", "rtsp_transport", "rtmp_app_unknown", "stream_in_use",
                              "server_closed", "hevc_in_flv", "video_codec_in_flv", "audio_codec_in_flv",
                              "pixel_format_profile", "watermark_unreadable", "encoder_missing",
                              "ffmpeg_missing", "ffmpeg_not_executable", "no_pipe", "stalled", "signal",
                              "publish_refused", "udp_blocked", "stream_ended", "http_not_found",
                              "http_forbidden", "http_unauthorized", "wrong_protocol", "no_stream_name",
                              "machine_too_slow", "password_unescaped", "other"};
static_assert(std::size(kNames) == static_cast<std::size_t>(FailureCause::Other) + 1);

// text with {1}, {2}, ... replaced by the groups of m.
std::string Fill(std::string text, const std::smatch& m)
{
    for (std::size_t i = 1; i < m.size() && i < 10; ++i) {
        const std::string mark = "{" + std::to_string(i) + "}";
        for (std::size_t at; (at = text.find(mark)) != std::string::npos;)
            text.replace(at, mark.size(), m[i].str());
    }
    return text;
}

Diagnosis Make(FailureCause cause, FailureSide side, std::string sentence, std::string label, std::string_view line)
{
    return {cause, side, std::move(sentence), std::move(label), FailureCauseName(cause), MaskPasswords(line)};
}

// The side whose URL lines[from] or a later line names as "URL: ...", else by position.
FailureSide SideByUrl(const std::vector<std::string>& lines, std::size_t from, std::string_view source,
                      std::string_view publish)
{
    const std::string src = MaskPasswords(source) + ": ", dst = MaskPasswords(publish) + ": ";
    for (std::size_t i = from; i < lines.size(); ++i) {
        const std::string line = MaskPasswords(lines[i]);
        if (!source.empty() && line.find(src) != std::string::npos)
            return FailureSide::Camera;
        if (!publish.empty() && line.find(dst) != std::string::npos)
            return FailureSide::Server;
    }
    for (std::size_t i = 0; i < from; ++i)
        if (lines[i].starts_with("Input #"))
            return FailureSide::Server;
    return FailureSide::Camera;
}

// The last line that reads like an error, else the last line that is no stream listing.
std::string_view LastErrorLine(const std::vector<std::string>& lines)
{
    static const std::regex error(R"(error|fail|invalid|unable|cannot|could not|not found|denied|unknown|no such)",
                                  std::regex::icase);
    std::string_view fallback;
    for (auto it = lines.rbegin(); it != lines.rend(); ++it) {
        if (IsBannerLine(*it) || *it == "Conversion failed!" || it->empty() || it->front() == ' ')
            continue;
        if (std::regex_search(*it, error))
            return *it;
        if (fallback.empty())
            fallback = *it;
    }
    return fallback;
}

// rtmp://host/live: the path ends at the application, with no stream name after it.
bool LacksStreamName(std::string_view url)
{
    const std::size_t host = url.find("://");
    if (host == std::string_view::npos)
        return false;
    std::string_view path = url.substr(host + 3);
    path = path.substr(0, path.find('?'));
    const std::size_t slash = path.find('/');
    path = slash == std::string_view::npos ? std::string_view() : path.substr(slash);
    int parts = 0;
    for (std::size_t i = 0; i < path.size(); ++i)
        parts += path[i] != '/' && (i == 0 || path[i - 1] == '/');
    return parts < 2;
}

bool NetworkAddress(std::string_view url)
{
    return url.find("://") != std::string_view::npos && !url.starts_with("file:");
}

FailureSide ToSide(Blame blame)
{
    return blame == Blame::Camera || blame == Blame::NetworkCamera ? FailureSide::Camera
         : blame == Blame::Server ? FailureSide::Server
                                  : FailureSide::Local;
}

}  // namespace

const char* FailureCauseName(FailureCause cause)
{
    return kNames[static_cast<std::size_t>(cause)];
}

const char* FailureSideText(FailureSide side)
{
    switch (side) {
    case FailureSide::Camera: return "摄像头/信号源";
    case FailureSide::Server: return "直播服务器";
    case FailureSide::Local: return "本机";
    default: return "未知";
    }
}

Diagnosis DiagnoseFailure(const std::vector<std::string>& lines, const AttemptEnd& end,
                          std::string_view sourceUrl, std::string_view publishUrl)
{
    using C = FailureCause;
    if (!end.startError.empty()) {
        const std::string& why = end.startError;
        if (why.find("无法创建管道") != std::string::npos)
            return Make(C::NoPipe, FailureSide::Local, "无法为 ffmpeg 创建管道：本机打开的文件或进程太多，请减少同时运行的信号或程序",
                        "无法创建管道", why);
        if (why.find("找不到 ffmpeg") != std::string::npos || why.find("No such file") != std::string::npos ||
            why.find(SystemErrorText(ENOENT)) != std::string::npos)
            return Make(C::FfmpegMissing, FailureSide::Local,
                        "找不到 ffmpeg：请安装 ffmpeg 软件包，或把 ffmpeg 放在本程序旁边", "找不到 ffmpeg", why);
        return Make(C::FfmpegNotExecutable, FailureSide::Local,
                    "无法启动 ffmpeg：请检查 ffmpeg 文件是否完整、是否有执行权限", "无法启动 ffmpeg", why);
    }
    // ffmpeg cuts such an address at the password's '/', '?' or '#' and connects to a piece of
    // it (or reads one as the port): the lines that follow name a host that is none.
    for (const bool source : {true, false}) {
        if (!UserInfoMisread(source ? sourceUrl : publishUrl))
            continue;
        const std::string where = source ? "信号源地址" : "发布地址";
        return Make(C::PasswordUnescaped, source ? FailureSide::Camera : FailureSide::Server,
                    where + "的用户名或密码含有必须转义的字符，ffmpeg 会把地址拆错：请在密码中把 @ 写成 %40、# 写成 %23、"
                            "/ 写成 %2F、? 写成 %3F（如 p@ss#1 写成 p%40ss%231）",
                    where + "的密码须转义", LastErrorLine(lines));
    }
    if (end.stalledSeconds > 0) {
        const std::string n = std::to_string(end.stalledSeconds);
        const bool opened = std::any_of(lines.begin(), lines.end(), [](const std::string& l) { return l.starts_with("Input #"); });
        const bool rtsp = sourceUrl.starts_with("rtsp://"), udp = rtsp && end.rtspOverTcp == false;
        // An RTSP session set up (DESCRIBE, SETUP and PLAY answered: the input was opened) without
        // one packet to learn the picture from: its UDP does not get through, unless it came over
        // TCP. ffmpeg prints these lines when asked to stop, not when killed outright; without
        // them a camera pulled over UDP may still be online with its UDP blocked, as said below.
        const auto said = [&lines](const char* text) {
            return std::find_if(lines.begin(), lines.end(), [&](const std::string& l) { return l.find(text) != std::string::npos; });
        };
        const auto empty = said("Could not find codec parameters for stream");
        if (end.slowSpeed >= 0) {
            char speed[32];
            std::snprintf(speed, sizeof speed, "%.2g", end.slowSpeed);
            return Make(C::MachineTooSlow, FailureSide::Local,
                        "本机 CPU 不足：转码速度只有 " + std::string(speed) + " 倍实时，转发已 " + n +
                            " 秒没有进展：请降低尺寸/帧率或改为直通", "本机 CPU 不足", "");
        }
        if (rtsp && end.rtspOverTcp != true && said(", rtsp, from '") != lines.end() && empty != lines.end())
            return Make(C::UdpBlocked, FailureSide::Camera,
                        "摄像头应答了 RTSP 请求，但 " + n + " 秒内没有收到视频数据：多半是防火墙或路由器挡住了 UDP，"
                        "请勾选“TCP模式拉监控视频”改用 TCP 拉流", "收不到 UDP 视频数据", *empty);
        if (!opened)
            return Make(C::Stalled, FailureSide::Camera,
                        "摄像头 " + n + " 秒没有应答：请检查摄像头是否在线、网络是否通畅" +
                            (udp ? "；摄像头在线时，可勾选“TCP模式拉监控视频”改用 TCP 拉流" : ""),
                        n + " 秒无进展", "");
        return Make(C::Stalled, FailureSide::Unknown,
                    "转发已 " + n + " 秒没有进展：请检查摄像头是否还在送流，以及本机到直播服务器的网络", n + " 秒无进展", "");
    }
    static const std::vector<std::regex> patterns = [] {
        std::vector<std::regex> compiled;
        for (const Rule& rule : kRules)
            compiled.emplace_back(rule.pattern);
        return compiled;
    }();
    for (const Rule& rule : kRules) {
        const std::regex& pattern = patterns[&rule - kRules];
        for (std::size_t i = lines.size(); i-- > 0;) {
            std::smatch m;
            if (IsBannerLine(lines[i]) || !std::regex_search(lines[i], m, pattern) ||
                (rule.blame == Blame::NetworkCamera && !NetworkAddress(sourceUrl)))
                continue;
            FailureSide side = rule.blame == Blame::ByUrl ? SideByUrl(lines, i, sourceUrl, publishUrl) : ToSide(rule.blame);
            const bool server = rule.blame == Blame::ByUrl && side == FailureSide::Server;
            const FailureCause cause = server && rule.serverCause != C::Other ? rule.serverCause : rule.cause;
            if (cause == C::PublishRefused && LacksStreamName(publishUrl))
                return Make(C::NoStreamName, side, "推流地址缺少流名称：请在发布地址的应用名后加上流名（如 rtmp://服务器/live/流名）",
                            "推流地址缺少流名称", lines[i]);
            return Make(cause, side, Fill(server ? rule.serverSentence : rule.sentence, m),
                        Fill(server ? rule.serverLabel : rule.label, m), lines[i]);
        }
    }
    // A shell, timeout or wrapper script reports a child that signal n ended as exit code 128 + n.
    const int signal = end.signal > 0                                           ? end.signal
                     : end.exitCode > 128 && sigabbrev_np(end.exitCode - 128) ? end.exitCode - 128
                                                                              : 0;
    if (signal > 0) {
        const char* abbrev = sigabbrev_np(signal);
        const std::string sig = abbrev ? "SIG" + std::string(abbrev) : std::to_string(signal);
        return Make(C::Signal, FailureSide::Local,
                    "ffmpeg 被信号 " + sig + " 结束：若不是有人手动停止，请检查本机内存是否不足、是否有其他程序结束了它",
                    "被信号 " + sig + " 结束", "");
    }
    const std::string_view line = LastErrorLine(lines);
    // ffmpeg finishes normally only when its input ends: the camera closed the stream.
    if (end.exitCode == 0)
        return Make(C::StreamEnded, FailureSide::Camera, "摄像头结束了视频流（可能正在重启）：将自动重新连接",
                    "视频流已结束", line);
    FailureSide side = FailureSide::Unknown;
    const std::string masked = MaskPasswords(line);
    // 5.1 names the URL at the start of its last line; 7.1 in a line of its own before it.
    const auto named = [&lines](const std::string& text) {
        return std::any_of(lines.begin(), lines.end(), [&](const std::string& l) { return l.find(text) != std::string::npos; });
    };
    if (!sourceUrl.empty() && (masked.starts_with(MaskPasswords(sourceUrl) + ": ") ||
                               named("Error opening input file " + std::string(sourceUrl) + ".")))
        side = FailureSide::Camera;
    else if (!publishUrl.empty() && (masked.starts_with(MaskPasswords(publishUrl) + ": ") ||
                                     named("Error opening output " + std::string(publishUrl) + ": ")))
        side = FailureSide::Server;
    const std::string code = "ffmpeg 退出码 " + std::to_string(end.exitCode);
    return Make(C::Other, side, line.empty() ? code + "，没有错误信息：请查看该信号的输出详情" : code + "：" + masked, code, line);
}
