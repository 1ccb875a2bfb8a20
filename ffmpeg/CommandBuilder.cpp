#include "ffmpeg/CommandBuilder.h"

#include "settings/ChannelStore.h"

#include <algorithm>
#include <array>
#include <string_view>
#include <vector>

#include "ffmpeg/CommandLine.h"

// The twenty templates use named placeholders ({src}, {w}, ...) instead of printf
// conversions, so that a value is inserted exactly once and never re-read as a template.
// Every line is checked by splitting it the way the child's C runtime will and comparing
// with the template's own tokens filled with the values: a value can never move into
// another argument's place.

namespace {

constexpr std::array<const char*, 20> kTemplates = {
    // 1-2: audio only
    " -i \"{src}\" -y -acodec copy -vn -f flv {dst} ",
    " -i \"{src}\" -y -acodec libfaac -ac {ac} -ar {ar} -b:a {ab}k -vn -f flv {dst} ",
    // 3-8: video copied
    " -i \"{src}\" -vcodec copy -an -f flv {dst} ",
    " -i \"{src}\" -vcodec copy -acodec copy -f flv {dst} ",
    " -i \"{src}\" -vcodec copy -acodec libfaac -ac {ac} -ar {ar} -b:a {ab}k -f flv {dst} ",
    " -i \"{src}\" -vcodec copy -an -f flv -copyts {dst} ",
    " -i \"{src}\" -vcodec copy -acodec copy -f flv -copyts {dst} ",
    " -i \"{src}\" -vcodec copy -acodec libfaac -ac {ac} -ar {ar} -b:a {ab}k -f flv -copyts {dst} ",
    // 9-20: video re-encoded; even numbers carry the watermark graph
    " -i \"{src}\" -vcodec libx264 -s {w}*{h} -b:v {vb}k -r {r} -vprofile {prof} -an -f flv  {dst} ",
    " -i \"{src}\" -vcodec libx264 -s {w}*{h} -b:v {vb}k -r {r} -vprofile {prof} -vf \" movie={wm} [watermark];[in][watermark] overlay={pos} \" -an -f flv  {dst} ",
    " -i \"{src}\" -vcodec libx264 -acodec copy -s {w}*{h} -b:v {vb}k -r {r}  -vprofile {prof} -f flv {dst} ",
    " -i \"{src}\" -vcodec libx264 -acodec copy -s {w}*{h} -b:v {vb}k -r {r}  -vprofile {prof} -vf \" movie={wm} [watermark];[in][watermark] overlay={pos} \" -f flv {dst} ",
    " -i \"{src}\" -vcodec libx264 -acodec libfaac -ac {ac} -ar {ar} -b:a {ab}k -s {w}*{h} -b:v {vb}k -r {r}  -vprofile {prof} -f flv {dst} ",
    " -i \"{src}\" -vcodec libx264 -acodec libfaac -ac {ac} -ar {ar} -b:a {ab}k -s {w}*{h} -b:v {vb}k -r {r}  -vprofile {prof} -vf \" movie={wm} [watermark];[in][watermark] overlay={pos} \" -f flv {dst} ",
    " -i \"{src}\" -vcodec libx264 -s {w}*{h} -b:v {vb}k -r {r}  -vprofile {prof} -an -f flv -copyts {dst} ",
    " -i \"{src}\" -vcodec libx264 -s {w}*{h} -b:v {vb}k -r {r}  -vprofile {prof} -vf \" movie={wm} [watermark];[in][watermark] overlay={pos} \" -an -f flv -copyts {dst} ",
    " -i \"{src}\" -vcodec libx264 -acodec libfaac -s {w}*{h} -b:v {vb}k -r {r} -vprofile {prof} -f flv -copyts {dst} ",
    " -i \"{src}\" -vcodec libx264 -acodec libfaac -s {w}*{h} -b:v {vb}k -r {r} -vprofile {prof} -vf \" movie={wm} [watermark];[in][watermark] overlay={pos} \" -f flv -copyts {dst} ",
    " -i \"{src}\" -vcodec libx264 -acodec libfaac -s {w}*{h} -b:v {vb}k -r {r} -vprofile {prof} -ac {ac} -ar {ar} -b:a {ab}k -f flv -copyts {dst} ",
    " -i \"{src}\" -vcodec libx264 -acodec libfaac -s {w}*{h} -b:v {vb}k -r {r} -vprofile {prof} -ac {ac} -ar {ar} -b:a {ab}k -vf \" movie={wm} [watermark];[in][watermark] overlay={pos} \" -f flv -copyts {dst} ",
};

const char kNoStreams[] = "视频和音频均未启用，未开启直播！";
const char kPublishScheme[] = "rtmp://";  // the only one the wizard takes, in lower case
const char kTooLong[] = "命令行过长，未开启直播！";

// One placeholder per value; the text values carry the Chinese name of their setting.
struct Slot {
    std::string_view key;
    std::string value;
    const char* label = nullptr;  // null for numbers
    bool bare = false;            // stands unquoted in the line
};

using Slots = std::vector<Slot>;

const std::string* Find(const Slots& slots, std::string_view key)
{
    const auto it = std::find_if(slots.begin(), slots.end(), [key](const Slot& s) { return s.key == key; });
    return it == slots.end() ? nullptr : &it->value;
}

// Replaces each {name} of text by its value in one pass; values are never rescanned.
std::string Fill(std::string_view text, const Slots& slots)
{
    std::string out;
    out.reserve(text.size() + 256);
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '{') {
            const std::size_t close = text.find('}', i);
            if (close != std::string_view::npos) {
                if (const std::string* v = Find(slots, text.substr(i + 1, close - i - 1))) {
                    out += *v;
                    i = close;
                    continue;
                }
            }
        }
        out += text[i];
    }
    return out;
}

// The arguments the line must split into: the template's own tokens (blank-separated,
// quotes grouping; templates hold no backslashes), each filled with the values.
std::vector<std::string> ExpectedArgs(std::string_view tmpl, const Slots& slots)
{
    std::vector<std::string> tokens;
    std::string cur;
    bool inQuotes = false, have = false;
    for (char c : tmpl) {
        if (c == '"') {
            inQuotes = !inQuotes;
            have = true;
        } else if (c == ' ' && !inQuotes) {
            if (have)
                tokens.push_back(Fill(cur, slots));
            cur.clear();
            have = false;
        } else {
            cur += c;
            have = true;
        }
    }
    if (have)
        tokens.push_back(Fill(cur, slots));
    return tokens;
}

bool SplitsAsExpected(std::string_view tmpl, const Slots& slots)
{
    return SplitCommandLine(Fill(tmpl, slots)) == ExpectedArgs(tmpl, slots);
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

bool UsesKey(std::string_view tmpl, std::string_view key)
{
    return tmpl.find("{" + std::string(key) + "}") != std::string_view::npos;
}

// Empty when every text value the template uses is acceptable, else the row message.
std::string CheckValues(std::string_view tmpl, const Slots& slots, const std::string& rawWatermark)
{
    for (const Slot& s : slots) {
        if (!s.label || !UsesKey(tmpl, s.key))
            continue;
        const std::string& checked = s.key == "wm" ? rawWatermark : s.value;
        const std::string name = s.label;
        if (s.bare && s.value.empty())
            return name + "为空，未开启直播！";
        if (s.bare && s.value.front() == '-')
            return name + "不能以“-”开头，未开启直播！";
        // ffmpeg's image reader takes a '%' in a file name for a numbered-sequence pattern.
        if (s.key == "wm" && checked.find('%') != std::string::npos)
            return name + "路径不能含有“%”，未开启直播！";
        // The filter-graph parser drops blanks around a value, whatever their escaping, so
        // the file ffmpeg looked for would not be the one named.
        if (s.key == "wm" && !checked.empty() && (checked.front() == ' ' || checked.back() == ' '))
            return name + "路径不能以空格开头或结尾，未开启直播！";
        if (s.key == "pos" && !IsPositionExpression(s.value))
            return name + "只能含有字母、数字、空格和 _+-*/.:()，未开启直播！";
        // Alone among harmless values, this one must keep to its own argument.
        Slots probe = slots;
        for (Slot& other : probe)
            if (other.label && other.key != s.key)
                other.value = "x";
        if (HasControl(checked) || !SplitsAsExpected(tmpl, probe))
            return name + (s.bare ? "含有空格、引号或控制字符，未开启直播！"
                                  : "含有引号、结尾反斜杠或控制字符，未开启直播！");
    }
    if (!SplitsAsExpected(tmpl, slots))
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
    const bool v = checks[0] != 0, vr = checks[1] != 0, ts = checks[2] != 0;
    const bool a = checks[3] != 0, ar = checks[4] != 0;
    const bool w = !s.watermarkPath.empty();
    result.reencodesVideo = v && vr;

    const int no = ChooseTemplate(v, vr, ts, a, ar, w);
    if (no == 0)
        return refuse(CommandBuild::NoStreams, kNoStreams);
    const std::string_view tmpl = kTemplates[no - 1];

    const Slots slots = {
        {"src", s.sourceUrl, "信号源地址", false},
        {"ac", std::to_string(s.audioChannels)},
        {"ar", std::to_string(s.sampleRate)},
        {"ab", std::to_string(s.audioBitrate)},
        {"w", std::to_string(s.width)},
        {"h", std::to_string(s.height)},
        {"vb", std::to_string(s.videoBitrate)},
        {"r", std::to_string(s.frameRate)},
        {"prof", s.profile, "Profile", true},
        {"wm", w ? EscapeFilterPath(s.watermarkPath) : std::string(), "水印文件", false},
        {"pos", OverlayPosition(s.watermarkPlacement), "水印位置", false},
        {"dst", s.publishUrl, "发布地址", true},
    };

    if (std::string problem = CheckValues(tmpl, slots, s.watermarkPath); !problem.empty())
        return refuse(CommandBuild::BadValue, std::move(problem));
    std::string line = Fill(tmpl, slots);
    if (line.size() + 1 > kCommandBufferSize)
        return refuse(CommandBuild::TooLong, kTooLong);
    result.templateNo = no;
    result.line = std::move(line);
    return result;
}

CommandBuild BuildStoredCommand(const ConfigStore& store, int id, ChannelRecord* read)
{
    const LoadedChannel stored = LoadChannel(store, id);
    if (read)
        *read = stored.record;
    CommandBuild build = BuildCommandLine(stored.checks, stored.record);
    if (build.status == CommandBuild::Ok && !stored.record.publishUrl.starts_with(kPublishScheme)) {
        build.status = CommandBuild::BadValue, build.templateNo = 0, build.line.clear();
        build.message = std::string("发布地址须以 ") + kPublishScheme + " 开头，未开启直播！";
    }
    if (build.status != CommandBuild::Ok)
        if (const std::string problem = store.ReadProblem(); !problem.empty())
            build.message = "信号设置无法读取：" + problem + "，未开启直播！";
    return build;
}

StreamPlan PlanStreams(const CheckStates& checks)
{
    StreamPlan plan;
    const int no = ChooseTemplate(checks[0] != 0, checks[1] != 0, checks[2] != 0, checks[3] != 0, checks[4] != 0, false);
    if (no == 0)
        return plan;
    // Read from the template itself: one of them re-encodes the audio of a "copy" choice.
    const std::string_view tmpl = kTemplates[no - 1];
    const auto has = [&](std::string_view option) { return tmpl.find(option) != std::string_view::npos; };
    plan.video = has("-vcodec"), plan.videoCopied = has("-vcodec copy");
    plan.audio = has("-acodec"), plan.audioCopied = has("-acodec copy");
    return plan;
}

std::string EscapeFilterPath(std::string path)
{
    // A drive path (D:\logo\wm.png) takes forward slashes, as the filter expects.
    if (path.size() >= 2 && path[1] == ':')
        std::replace(path.begin(), path.end(), '\\', '/');
    // Two levels: the movie filter's option parser, then the filter-graph parser.
    // For a drive path this gives D\\:/logo/wm.png. UTF-8 bytes never collide with these.
    // A bare '=' would make the option parser read the path as "key=value".
    return Escaped(Escaped(path, "\\':="), "\\'[],;");
}

bool ApplyRtspTransport(bool useTcp, std::string& line)
{
    if (!useTcp)
        return true;
    const std::string text = line.substr(0, line.find('\0'));
    if (text.find("rtsp://") == std::string::npos || text.find("rtsp_transport") != std::string::npos)
        return true;

    // The input option is the first "-i" standing as a token of its own; "-i" inside an
    // address (rtsp://host/live-in/1) or the filter graph is left alone.
    std::size_t at = 0;
    for (;; ++at) {
        at = text.find("-i", at);
        if (at == std::string::npos)
            return true;
        const bool startsToken = at == 0 || text[at - 1] == ' ' || text[at - 1] == '\t';
        const bool endsToken = at + 2 == text.size() || text[at + 2] == ' ' || text[at + 2] == '\t';
        if (startsToken && endsToken)
            break;
    }
    std::string rewritten = "  " + text.substr(0, at) + "-rtsp_transport tcp " + text.substr(at) + " ";
    if (rewritten.size() + 1 > kCommandBufferSize)
        return false;
    line = std::move(rewritten);
    return true;
}
