#include "ffmpeg/ChannelRules.h"

#include "ffmpeg/PublishAddress.h"
#include "settings/ChannelStore.h"

#include <array>

namespace ChannelRules {
namespace {
// The source page's sentences.
const char* const kNoName = "请输入名称!";
const char* const kNoSource = "请输入正确的信号源地址!  很关键!!!";
const char* const kBadSourceScheme = "请输入正确的信号源地址以rtmp:// 或 rtsp:// 或 http:// 开头的!!!";
const char* const kNoPublish = "请输入正确的发布地址!  很关键!!!";
const char* const kBadPublishScheme = "请输入正确的发布地址地址以rtmp:// 开头!!!";
const char* const kUnsafeSource = "信号源地址不能包含空格、引号或控制字符!";
const char* const kUnsafePublish = "发布地址不能包含空格、引号或控制字符!";
const char* const kUnsafeName = "名称不能包含控制字符!";
// The encoding page's.
const char* const kPathTooLong = "水印文件路径过长，最多127个字符!";
const char* const kPathUnsafe = "水印文件路径不能包含控制字符!";
// The stand-in's picture is read by ffmpeg's image reader, which takes "%d" for a numbered series.
const char* const kStandInPictureUnsafe = "备用画面图片路径不能包含 % 或控制字符!";
const char* const kStandInUnknown = "备用画面的设置只能是空、0、1 或 2!";
const char* const kProfileUnsafe = "Profle不能包含空格、引号或控制字符!";
const char* const kOffsetUnsafe = "水印微调值不能包含空格、引号或控制字符!";
const char* const kPositionUnsafe = "水印位置不能包含控制字符!";

// Overlay x:y for the five positions, in the order of kCorners.
const char* const kPositionFormats[5] = {
    "%1:%2",
    "main_w/2-overlay_w/2+%1:main_h/2-overlay_h/2+%2",
    "main_w-overlay_w+%1:%2",
    "%1:main_h-overlay_h+%2",
    "main_w-overlay_w+%1:main_h-overlay_h+%2",
};

// The code points of UTF-8 text; a byte that starts no valid sequence counts as itself.
template <class Visit>
bool AnyCodePoint(std::string_view text, Visit visit)
{
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const int length = lead < 0x80 ? 1 : lead >> 5 == 6 ? 2 : lead >> 4 == 14 ? 3 : lead >> 3 == 30 ? 4 : 1;
        char32_t cp = length == 1 ? lead : lead & (0x7F >> length);
        int taken = 1;
        for (; taken < length && i + taken < text.size(); ++taken) {
            const auto next = static_cast<unsigned char>(text[i + taken]);
            if (next >> 6 != 2)
                break;
            cp = cp << 6 | (next & 0x3F);
        }
        if (taken < length)
            cp = lead, taken = 1;
        if (visit(cp))
            return true;
        i += static_cast<std::size_t>(taken);
    }
    return false;
}

bool IsControl(char32_t cp)
{
    return cp < 0x20 || (cp >= 0x7F && cp <= 0x9F) || cp == 0x2028 || cp == 0x2029;
}

// White space as Unicode counts it: the ASCII blanks, NEL, the no-break and the typographic
// spaces, the ideographic (full-width) space.
bool IsBlank(char32_t cp)
{
    return cp == 0x20 || (cp >= 0x09 && cp <= 0x0D) || cp == 0x85 || cp == 0xA0 || cp == 0x1680 ||
           (cp >= 0x2000 && cp <= 0x200A) || cp == 0x202F || cp == 0x205F || cp == 0x3000;
}

std::string Text(const char* sentence)
{
    return sentence ? std::string(sentence) : std::string();
}

// "%1" and "%2" replaced in one pass: an offset is inserted verbatim, never expanded again.
std::string Substitute(std::string_view format, std::string_view x, std::string_view y)
{
    std::string out;
    for (std::size_t i = 0; i < format.size(); ++i) {
        if (format[i] == '%' && i + 1 < format.size() && (format[i + 1] == '1' || format[i + 1] == '2')) {
            out += format[i + 1] == '1' ? x : y;
            ++i;
        } else {
            out += format[i];
        }
    }
    return out;
}

// Where the user-info of an address ends (its last '@' before any query whose own text holds
// one), with where it starts; nullopt when there is none.
std::optional<std::pair<std::size_t, std::size_t>> UserInfo(std::string_view url)
{
    const std::size_t scheme = url.find("://");
    if (scheme == std::string_view::npos)
        return std::nullopt;
    const std::size_t begin = scheme + 3;
    std::size_t at = url.rfind('@');
    if (at == std::string_view::npos || at < begin)
        return std::nullopt;
    // "?user=a@b" in a query: the user-info ends at a '@' before the query.
    const std::size_t query = url.find('?', begin);
    if (query != std::string_view::npos && query < at) {
        const std::size_t before = url.substr(0, query).rfind('@');
        if (before != std::string_view::npos && before >= begin)
            at = before;
        else if (url.substr(query).find('/') == std::string_view::npos)
            return std::nullopt;  // the only '@' is in the query
    }
    return std::pair{begin, at};
}
}  // namespace

bool HasControl(std::string_view text)
{
    return AnyCodePoint(text, IsControl);
}

bool HasBlankQuoteOrControl(std::string_view text)
{
    return AnyCodePoint(text, [](char32_t cp) { return cp == U'"' || IsBlank(cp) || IsControl(cp); });
}

std::size_t CharCount(std::string_view text)
{
    std::size_t count = 0;
    AnyCodePoint(text, [&count](char32_t) { ++count; return false; });
    return count;
}

std::string SourceAddressProblem(std::string_view source)
{
    return Text(source.empty()                    ? kNoSource
                : !IsSourceScheme(source)         ? kBadSourceScheme
                : HasBlankQuoteOrControl(source)  ? kUnsafeSource
                                                  : nullptr);
}

std::string SourceProblem(const std::string& name, const std::string& source, const std::string& publish)
{
    const char* problem = name.empty()                          ? kNoName
                          : source.empty()                      ? kNoSource
                          : !IsSourceScheme(source)             ? kBadSourceScheme
                          : publish.empty()                     ? kNoPublish
                          : publish.compare(0, 7, "rtmp://") != 0 ? kBadPublishScheme
                          // The addresses become single arguments of the transcoder's line; a
                          // name a line of config.ini.
                          : HasBlankQuoteOrControl(source)      ? kUnsafeSource
                          : HasBlankQuoteOrControl(publish)     ? kUnsafePublish
                          : HasControl(name)                    ? kUnsafeName
                                                                : nullptr;
    if (problem)
        return problem;
    // ffmpeg would publish a nameless address to an application named after its last segment.
    return PublishAddressProblem(publish);
}

std::string EncodingProblem(const ChannelRecord& values)
{
    return Text(CharCount(values.watermarkPath) > kMaxWatermarkPath           ? kPathTooLong
                : HasControl(values.watermarkPath)                            ? kPathUnsafe
                : HasBlankQuoteOrControl(values.profile)                      ? kProfileUnsafe
                : HasBlankQuoteOrControl(values.watermarkOffsetX) ||
                        HasBlankQuoteOrControl(values.watermarkOffsetY)       ? kOffsetUnsafe
                : HasControl(values.watermarkCorner)                          ? kPositionUnsafe
                : HasControl(values.standInPicture) ||
                        values.standInPicture.find('%') != std::string::npos  ? kStandInPictureUnsafe
                : !values.standIn.empty() && values.standIn != "0" && values.standIn != "1" &&
                        values.standIn != "2"                                 ? kStandInUnknown
                                                                              : nullptr);
}

std::string RecordProblem(const ChannelRecord& values, const CheckStates& checks)
{
    for (const std::string* text : {&values.name, &values.sourceUrl, &values.publishUrl, &values.profile,
                                    &values.watermarkCorner, &values.watermarkOffsetX, &values.watermarkOffsetY})
        if (CharCount(*text) > kMaxFieldLength)
            return "内容过长（最多" + std::to_string(kMaxFieldLength) + "个字符）：" + text->substr(0, 24) + "…";
    std::string missing;
    const auto need = [&missing](bool ok, const char* what) {
        if (!ok)
            missing += (missing.empty() ? "" : "、") + std::string(what);
    };
    if (checks[0] && checks[1]) {
        need(values.frameRate > 0, "帧率");
        need(values.width > 0 && values.height > 0, "宽和高");
        need(values.videoBitrate > 0, "视频码率");
    }
    if (checks[3] && checks[4]) {
        need(values.sampleRate > 0, "采样率");
        need(values.audioBitrate > 0, "音频码率");
        need(values.audioChannels > 0, "声道数");
    }
    return missing.empty() ? std::string() : "转码需要大于0的" + missing + "!";
}

std::string ExtraPublishProblem(const ChannelRecord& values)
{
    if (values.extraPublish.size() > kMaxExtraPublish)
        return "其他推流地址最多" + std::to_string(kMaxExtraPublish) + "个!";
    for (std::size_t i = 0; i < values.extraPublish.size(); ++i) {
        const std::string& address = values.extraPublish[i];
        // Named by its place, never by its text: the stream name is the platform's secret.
        const std::string which = "第" + std::to_string(i + 1) + "个其他推流地址";
        if (address.compare(0, 7, "rtmp://") != 0)
            return which + "须以rtmp:// 开头!";
        if (HasBlankQuoteOrControl(address))
            return which + "不能包含空格、引号或控制字符!";
        if (CharCount(address) > kMaxFieldLength)
            return which + "过长（最多" + std::to_string(kMaxFieldLength) + "个字符）!";
        if (std::string problem = PublishAddressProblem(address); !problem.empty())
            return which + "：" + problem;
        if (address == values.publishUrl)
            return which + "与发布地址相同!";
        for (std::size_t j = 0; j < i; ++j)
            if (values.extraPublish[j] == address)
                return which + "与第" + std::to_string(j + 1) + "个相同!";
    }
    return {};
}

std::string ChannelProblem(const ChannelRecord& values, const CheckStates& checks)
{
    for (std::string problem : {SourceProblem(values.name, values.sourceUrl, values.publishUrl), ExtraPublishProblem(values),
                                EncodingProblem(values), RecordProblem(values, checks)})
        if (!problem.empty())
            return problem;
    return {};
}

ChannelRecord NewChannelValues()
{
    ChannelRecord values;
    values.videoBitrate = 300;
    values.frameRate = 25;
    values.width = 320;
    values.height = 240;
    values.profile = "high";
    values.audioChannels = 2;
    values.sampleRate = 44100;
    values.audioBitrate = 32;
    values.keyframeSeconds = 2;  // what live platforms ask for: a keyframe every 2 to 4 s
    values.watermarkCorner = kCorners[0];
    values.watermarkPlacement = *WatermarkPlacement(kCorners[0], "", "");
    return values;
}

CheckStates NewChannelChecks()
{
    return {1, 0, 0, 1, 1};
}

std::optional<std::string> WatermarkPlacement(std::string_view corner, std::string_view x, std::string_view y)
{
    for (std::size_t i = 0; i < std::size(kCorners); ++i)
        if (corner == kCorners[i])
            return Substitute(kPositionFormats[i], x, y);
    return std::nullopt;
}

std::optional<PasswordAdvice> AdvisePassword(std::string_view url)
{
    const auto userInfo = UserInfo(url);
    if (!userInfo)
        return std::nullopt;
    const auto [begin, at] = *userInfo;
    const std::string_view info = url.substr(begin, at - begin);
    const std::size_t colon = info.find(':');
    const std::string_view user = info.substr(0, colon);
    const std::string_view password = colon == std::string_view::npos ? std::string_view() : info.substr(colon + 1);
    const auto reserved = [](char c) { return c == '@' || c == '#' || c == '/' || c == '?' || c == ':'; };
    bool found = false;
    for (char c : user)
        found = found || reserved(c);
    for (char c : password)
        found = found || reserved(c);
    if (!found)
        return std::nullopt;
    const auto encode = [&reserved](std::string_view part) {
        static const char kHex[] = "0123456789ABCDEF";
        std::string out;
        for (char c : part) {
            if (reserved(c)) {
                out += '%';
                out += kHex[static_cast<unsigned char>(c) >> 4];
                out += kHex[static_cast<unsigned char>(c) & 15];
            } else {
                out += c;
            }
        }
        return out;
    };
    PasswordAdvice advice;
    advice.encodedUrl = std::string(url.substr(0, begin)) + encode(user) +
                        (colon == std::string_view::npos ? "" : ":" + encode(password)) + std::string(url.substr(at));
    advice.sentence = "用户名或密码中含有 @ # / ? : 等字符，ffmpeg 会把地址从那里截断或拆错："
                      "须写成百分号编码（@ 写作 %40，# 写作 %23，/ 写作 %2F，? 写作 %3F，: 写作 %3A）。";
    advice.question = advice.sentence + "\n改用百分号编码后的地址？（选“否”则按原样保存）";
    return advice;
}
}  // namespace ChannelRules
