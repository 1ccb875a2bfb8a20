#include "ffmpeg/CommandBuilder.h"

#include "settings/ChannelStore.h"

#include <algorithm>
#include <initializer_list>
#include <string_view>
#include <utility>

#include "ffmpeg/CommandLine.h"

// The plan is the launch in typed parts; Emit() turns it into the arguments in the order the
// twenty historical templates print them, and the line is those arguments printed with the
// templates' quoting and spacing. Every line is checked by splitting it the way the child's C
// runtime would and comparing with the arguments: a value can never move into another
// argument's place, so the line the log shows is what the child runs.

namespace {

using Video = LaunchPlan::Video;
using Audio = LaunchPlan::Audio;

const char kNoStreams[] = "视频和音频均未启用，未开启直播！";
const char kPublishScheme[] = "rtmp://";  // the only one the wizard takes, in lower case
const char kTooLong[] = "命令行过长，未开启直播！";
const char kNoEncodeValues[] = "视频重编码需要帧率、宽度和高度（均须大于 0），未开启直播！";

// The silent track of a channel whose camera sends no audio: a second input, always there.
const char kSilentSource[] = "anullsrc=channel_layout=stereo:sample_rate=44100";

// The container written for each output scheme; any other output (a file) is written as FLV.
constexpr std::pair<std::string_view, std::string_view> kContainers[] = {{"rtmp://", "flv"}};

std::string ContainerOf(const std::string& url)
{
    for (const auto& [scheme, format] : kContainers)
        if (url.starts_with(scheme))
            return std::string(format);
    return "flv";
}

// One argument as the line prints it: in quotes, or after one blank more than usual.
struct Arg {
    std::string text;
    bool quoted = false, wide = false;
};

// Input, codecs, audio settings (after the picture's when a re-encode copies timestamps),
// picture, watermark, the stream left out, container, timestamps, output. The audio-only
// forms also say -y; forms 11-16 print two blanks before -vprofile, 9 and 10 before the output.
// Without withOutput: all but the container and the output (the timestamps stay).
std::vector<Arg> Emit(const LaunchPlan& p, bool withOutput = true)
{
    std::vector<Arg> args;
    const auto add = [&args](std::initializer_list<std::string> texts) {
        for (const std::string& text : texts)
            args.push_back({text});
    };
    const auto audioSettings = [&] {
        if (p.audio == Audio::Encode)
            add({"-ac", std::to_string(p.channels), "-ar", std::to_string(p.sampleRate), "-b:a",
                 std::to_string(p.audioBitrate) + "k"});
    };
    const bool audioLate = p.video == Video::Encode && p.copyTimestamps;
    if (p.inputOverTcp)
        add({"-rtsp_transport", "tcp"});
    add({"-i"});
    args.push_back({p.input, true});
    if (p.silentInput)
        add({"-f", "lavfi", "-i", kSilentSource});
    if (p.video == Video::Off)
        add({"-y"});
    else
        add({"-vcodec", p.video == Video::Copy ? "copy" : p.videoEncoder});
    if (p.audio != Audio::Off)
        add({"-acodec", p.audio == Audio::Copy ? "copy" : p.audioEncoder});
    if (!audioLate)
        audioSettings();
    if (p.video == Video::Encode) {
        add({"-s", std::to_string(p.width) + "*" + std::to_string(p.height), "-b:v",
             std::to_string(p.videoBitrate) + "k", "-r", std::to_string(p.frameRate), "-vprofile", p.profile});
        args[args.size() - 2].wide = p.form >= 11 && p.form <= 16;
        // Scene cuts would add keyframes between, and reset the count: turned off, the interval is fixed.
        if (p.keyframeInterval > 0)
            add({"-g", std::to_string(p.keyframeInterval), "-sc_threshold", "0"});
    }
    if (audioLate)
        audioSettings();
    if (!p.watermark.empty()) {
        add({"-vf"});
        args.push_back({" movie=" + p.watermark + " [watermark];[in][watermark] overlay=" + p.position + " ", true});
    }
    if (p.video == Video::Off)
        add({"-vn"});
    if (p.audio == Audio::Off)
        add({"-an"});
    // FLV takes one audio stream: the source's video, the silence, and the end with the source.
    if (p.silentInput)
        add({"-map", "0:v", "-map", "1:a", "-shortest"});
    if (withOutput)
        add({"-f", ContainerOf(p.output)});
    if (p.copyTimestamps)
        add({"-copyts"});
    if (withOutput)
        args.push_back({p.output, false, p.form == 9 || p.form == 10});
    return args;
}

bool SplitsAsPlanned(const LaunchPlan& plan)
{
    return SplitCommandLine(LaunchLine(plan)) == LaunchArguments(plan);
}

bool HasControl(const std::string& s)
{
    return std::any_of(s.begin(), s.end(), [](unsigned char c) { return c < 0x20 || c == 0x7F; });
}

// The overlay position is an expression of the overlay filter: letters, digits and
// _ + - * / . ( ) : and blanks. Commas, brackets, semicolons, quotes, '=' and backslashes
// would reach the filter-graph parser and could add filters or options.
bool IsPositionExpression(const std::string& s)
{
    return std::all_of(s.begin(), s.end(), [](unsigned char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')
               || std::string_view("_+-*/.:() ").find(static_cast<char>(c)) != std::string_view::npos;
    });
}

// The wizard leaves an offset the operator did not type empty, which gives ":" or
// "main_w-overlay_w+:..." — expressions the overlay filter rejects after the first frame, so
// the channel would fail forever. An empty offset means no offset: fill in 0.
std::string OverlayPosition(const std::string& expression)
{
    const auto fill = [](std::string part) {
        if (part.empty() || part.back() == '+' || part.back() == '-')
            part += '0';
        return part;
    };
    const std::size_t colon = expression.find(':');
    if (colon == std::string::npos)
        return expression;
    return fill(expression.substr(0, colon)) + ":" + fill(expression.substr(colon + 1));
}

int ChooseTemplate(bool v, bool vr, bool ts, bool a, bool ar, bool w)
{
    if (!v)
        return a ? (ar ? 2 : 1) : 0;
    if (!vr) {
        const int base = ts ? 6 : 3;
        return a ? base + (ar ? 2 : 1) : base;
    }
    int no = ts ? 15 : 9;
    if (a)
        no += ar ? 4 : 2;
    return no + (w ? 1 : 0);
}

// The plan of the settings; form 0 when nothing is to be streamed. A re-encode that copies
// timestamps re-encodes audio chosen to be copied, with the encoder's defaults. The later
// options (AAC for copied audio, a silent track, the keyframe interval) change the line only
// when set: a channel without them keeps its template's line byte for byte.
LaunchPlan PlanLaunch(const CheckStates& checks, const ChannelRecord& s)
{
    const bool v = checks[0] != 0, vr = checks[1] != 0, ts = checks[2] != 0;
    const bool a = checks[3] != 0, ar = checks[4] != 0;
    LaunchPlan p;
    p.form = ChooseTemplate(v, vr, ts, a, ar, !s.watermarkPath.empty());
    p.input = s.sourceUrl, p.output = s.publishUrl;
    p.video = !v ? Video::Off : vr ? Video::Encode : Video::Copy;
    p.copyTimestamps = v && ts;
    p.audio = !a ? Audio::Off : ar ? Audio::Encode : vr && p.copyTimestamps ? Audio::EncodeBare : Audio::Copy;
    if (p.video == Video::Encode) {
        p.width = s.width, p.height = s.height, p.videoBitrate = s.videoBitrate, p.frameRate = s.frameRate;
        p.profile = s.profile;
        if (!s.watermarkPath.empty())
            p.watermark = EscapeFilterPath(s.watermarkPath), p.position = OverlayPosition(s.watermarkPlacement);
    }
    if (p.audio == Audio::Encode)
        p.channels = s.audioChannels, p.sampleRate = s.sampleRate, p.audioBitrate = s.audioBitrate;
    if (p.video == Video::Encode && s.keyframeSeconds > 0 && s.frameRate > 0)
        p.keyframeInterval = s.keyframeSeconds * s.frameRate;
    // Audio that players take: G.711 and the like copied become AAC, a camera without audio gets
    // silence (only with video: FLV has one audio stream, so the silence replaces the source's).
    const bool silence = v && s.silentAudio != 0, toAac = p.audio == Audio::Copy && s.audioToAac != 0;
    if (silence || toAac) {
        p.silentInput = silence;
        p.audio = Audio::Encode, p.audioEncoder = "aac";
        p.channels = s.audioChannels > 0 ? s.audioChannels : 1;
        p.sampleRate = s.sampleRate > 0 ? s.sampleRate : 44100;
        p.audioBitrate = s.audioBitrate > 0 ? s.audioBitrate : 64;
    }
    return p;
}

// The text values, with the Chinese name of their setting; bare ones stand unquoted.
struct Checked {
    std::string LaunchPlan::*field;
    const char* label;
    bool bare;
};
const Checked kChecked[] = {{&LaunchPlan::input, "信号源地址", false}, {&LaunchPlan::profile, "Profile", true},
                            {&LaunchPlan::watermark, "水印文件", false}, {&LaunchPlan::position, "水印位置", false},
                            {&LaunchPlan::output, "发布地址", true}};

// Empty when every text value the plan uses is acceptable, else the row message.
std::string CheckValues(const LaunchPlan& p)
{
    for (const Checked& c : kChecked) {
        const bool wm = c.field == &LaunchPlan::watermark, pos = c.field == &LaunchPlan::position;
        if ((c.field == &LaunchPlan::profile && p.video != Video::Encode) || ((wm || pos) && p.watermark.empty()))
            continue;
        const std::string& value = p.*c.field;
        const std::string name = c.label;
        if (c.bare && value.empty())
            return name + "为空，未开启直播！";
        if (c.bare && value.front() == '-')
            return name + "不能以“-”开头，未开启直播！";
        // ffmpeg's image reader takes a '%' in a file name for a numbered-sequence pattern.
        if (wm && value.find('%') != std::string::npos)
            return name + "路径不能含有“%”，未开启直播！";
        // The filter-graph parser drops blanks around a value, whatever their escaping, so
        // the file ffmpeg looked for would not be the one named.
        if (wm && (value.front() == ' ' || value.back() == ' '))
            return name + "路径不能以空格开头或结尾，未开启直播！";
        if (pos && !IsPositionExpression(value))
            return name + "只能含有字母、数字、空格和 _+-*/.:()，未开启直播！";
        // Alone among harmless values, this one must keep to its own argument.
        LaunchPlan probe = p;
        for (const Checked& other : kChecked)
            if (other.field != c.field && !(other.field == &LaunchPlan::watermark && p.watermark.empty()))
                probe.*other.field = "x";
        if (HasControl(value) || !SplitsAsPlanned(probe))
            return name + (c.bare ? "含有空格、引号或控制字符，未开启直播！" : "含有引号、结尾反斜杠或控制字符，未开启直播！");
    }
    if (!SplitsAsPlanned(p))
        return "命令行参数有误，未开启直播！";
    return {};
}

// text with a backslash before each character of specials.
std::string Escaped(std::string_view text, std::string_view specials)
{
    std::string out;
    for (char c : text) {
        if (specials.find(c) != std::string_view::npos)
            out += '\\';
        out += c;
    }
    return out;
}

}  // namespace

CommandBuild BuildCommandLine(const CheckStates& checks, const ChannelRecord& s)
{
    CommandBuild result;
    const auto refuse = [&result](CommandBuild::Status status, std::string message) {
        result.status = status;
        result.message = std::move(message);
        return result;
    };
    const LaunchPlan plan = PlanLaunch(checks, s);
    result.reencodesVideo = plan.video == Video::Encode;
    if (plan.form == 0)
        return refuse(CommandBuild::NoStreams, kNoStreams);
    if (std::string problem = CheckValues(plan); !problem.empty())
        return refuse(CommandBuild::BadValue, std::move(problem));
    // ffmpeg refuses such a re-encode at every attempt ("Invalid framerate value: 0", "Invalid
    // frame size: 0*0."): it is refused once here, with what to mend.
    if (plan.video == Video::Encode && (plan.frameRate <= 0 || plan.width <= 0 || plan.height <= 0))
        return refuse(CommandBuild::BadValue, kNoEncodeValues);
    std::string line = LaunchLine(plan);
    if (line.size() + 1 > kCommandBufferSize)
        return refuse(CommandBuild::TooLong, kTooLong);
    result.templateNo = plan.form;
    result.line = std::move(line);
    result.plan = plan;
    return result;
}

CommandBuild BuildStoredCommand(const ConfigStore& store, int id, ChannelRecord* read)
{
    const LoadedChannel stored = LoadChannel(store, id);
    if (read)
        *read = stored.record;
    CommandBuild build = BuildCommandLine(stored.checks, stored.record);
    if (build.status == CommandBuild::Ok && !stored.record.publishUrl.starts_with(kPublishScheme)) {
        build.status = CommandBuild::BadValue, build.templateNo = 0, build.line.clear(), build.plan = {};
        build.message = std::string("发布地址须以 ") + kPublishScheme + " 开头，未开启直播！";
    }
    if (build.status != CommandBuild::Ok)
        if (const std::string problem = store.ReadProblem(); !problem.empty())
            build.message = "信号设置无法读取：" + problem + "，未开启直播！";
    return build;
}

StreamPlan PlanStreams(const CheckStates& checks, const ChannelRecord& s)
{
    const LaunchPlan p = PlanLaunch(checks, s);
    return {p.video != Video::Off, p.video == Video::Copy, p.audio != Audio::Off, p.audio == Audio::Copy, p.silentInput};
}

std::string EscapeFilterPath(std::string path)
{
    // A drive path (D:\logo\wm.png) takes forward slashes, as the filter expects.
    if (path.size() >= 2 && path[1] == ':')
        std::replace(path.begin(), path.end(), '\\', '/');
    // For a drive path this gives D\\:/logo/wm.png.
    return EscapeFilterValue(path);
}

std::string EscapeFilterValue(std::string_view text)
{
    // Two levels: the filter's option parser, then the filter-graph parser. UTF-8 bytes never
    // collide with these. A bare '=' would make the option parser read a first value without a
    // key (the movie filter's path) as "key=value".
    return Escaped(Escaped(text, "\\':="), "\\'[],;");
}

std::vector<std::string> LaunchArguments(const LaunchPlan& plan)
{
    std::vector<std::string> args;
    for (Arg& arg : Emit(plan))
        args.push_back(std::move(arg.text));
    return args;
}

std::vector<std::string> LaunchInputArguments(const LaunchPlan& plan)
{
    std::vector<std::string> args;
    for (Arg& arg : Emit(plan, false))
        args.push_back(std::move(arg.text));
    return args;
}

std::string LaunchLine(const LaunchPlan& plan)
{
    // Over TCP the line keeps the blanks its former rewrite added: two in front, one at the end.
    std::string line = plan.inputOverTcp ? "   " : " ";
    for (const Arg& arg : Emit(plan))
        line += (arg.wide ? " " : "") + (arg.quoted ? '"' + arg.text + '"' : arg.text) + " ";
    return plan.inputOverTcp ? line + " " : line;
}

bool ApplyRtspTransport(bool useTcp, CommandBuild& build)
{
    // The input's scheme alone decides: an rtsp:// output or path is no RTSP input.
    const std::string& input = build.plan.input;
    if (!useTcp || !input.starts_with("rtsp://") || input.find("rtsp_transport") != std::string::npos)
        return true;
    LaunchPlan plan = build.plan;
    plan.inputOverTcp = true;
    std::string rewritten = LaunchLine(plan);
    if (rewritten.size() + 1 > kCommandBufferSize)
        return false;
    build.plan = std::move(plan), build.line = std::move(rewritten);
    return true;
}
