#include "settings/ConfigLint.h"

#include "settings/ChannelStore.h"
#include "settings/ConfigSection.h"

#include <algorithm>
#include <map>
#include <mutex>
#include <set>

namespace {

char Fold(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// Typing slips between a and b, without regard to ASCII case: letters inserted, dropped,
// replaced, or two neighbours swapped.
std::size_t Slips(std::string_view a, std::string_view b)
{
    std::vector<std::vector<std::size_t>> d(a.size() + 1, std::vector<std::size_t>(b.size() + 1));
    for (std::size_t i = 0; i <= a.size(); ++i)
        d[i][0] = i;
    for (std::size_t j = 0; j <= b.size(); ++j)
        d[0][j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i)
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const bool same = Fold(a[i - 1]) == Fold(b[j - 1]);
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (same ? 0 : 1)});
            if (i > 1 && j > 1 && Fold(a[i - 1]) == Fold(b[j - 2]) && Fold(a[i - 2]) == Fold(b[j - 1]))
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
        }
    return d[a.size()][b.size()];
}

// The known key that key most likely meant to be: within a third of its length in slips (one at
// least), the nearest first. Empty when key is known or near none.
std::string_view Meant(std::string_view key, std::span<const std::string_view> known)
{
    std::string_view best;
    std::size_t bestSlips = SIZE_MAX;
    for (std::string_view k : known) {
        const std::size_t slips = Slips(key, k);
        if (slips == 0)
            return {};
        if (slips <= std::max<std::size_t>(1, k.size() / 3) && slips < bestSlips)
            best = k, bestSlips = slips;
    }
    return best;
}

std::string Folded(std::string_view text)
{
    std::string folded(text);
    std::transform(folded.begin(), folded.end(), folded.begin(), Fold);
    return folded;
}

std::string UnknownKey(std::string_view key, std::string_view meant)
{
    return "未知的键 " + std::string(key) + "，是否应为 " + std::string(meant) + "？（该值不会被读取）";
}

// A stored value as a finding quotes it: at most 16 bytes, not cut inside a UTF-8 character.
std::string Quoted(std::string_view value)
{
    if (value.size() <= 16)
        return std::string(value);
    std::size_t cut = 16;
    while (cut > 0 && (static_cast<unsigned char>(value[cut]) & 0xC0) == 0x80)
        --cut;
    return std::string(value.substr(0, cut)) + "…";
}

// What ffmpeg and its encoders take for a channel's numbers: a range, or (sample rates) a list.
struct Range {
    int min, max;
    std::vector<int> only = {};
};

Range RangeOf(const ChannelRecordText& r, const std::string* member)
{
    if (member == &r.frameRate)
        return {1, 120};
    if (member == &r.width || member == &r.height)
        return {16, 8192};
    if (member == &r.videoBitrate)
        return {1, 100000};
    if (member == &r.audioChannels)
        return {1, 8};
    if (member == &r.audioToAac || member == &r.silentAudio)
        return {0, 1};
    if (member == &r.keyframeSeconds)  // 0: the encoder's own interval
        return {0, 60};
    if (member == &r.sampleRate)  // the rates the AAC encoder takes
        return {0, 0, {7350, 8000, 11025, 12000, 16000, 22050, 24000, 32000, 44100, 48000, 64000, 88200, 96000}};
    return {1, 1024};  // audio bitrate
}

// The finding for key=value as a number in range (empty when it is one), e.g. "VdRameRate=25fps
// 不是数字，按 25 读取".
std::string NumberProblem(std::string_view key, std::string_view value, const Range& range)
{
    bool digits = false;
    const int n = DecimalValue(value, &digits);
    const std::size_t first = value.find_first_not_of(" \t"), last = value.find_last_not_of(" \t");
    const std::string_view bare = first == std::string_view::npos ? std::string_view() : value.substr(first, last - first + 1);
    const bool plain = digits && bare.find_first_not_of("0123456789", bare[0] == '+' || bare[0] == '-') == std::string_view::npos;
    const std::string said = std::string(key) + "=" + Quoted(value);
    if (!plain)
        return said + " 不是数字，按 " + std::to_string(n) + " 读取";
    if (!range.only.empty()) {
        if (std::find(range.only.begin(), range.only.end(), n) != range.only.end())
            return {};
        std::string list;
        for (const int rate : range.only)
            list += (list.empty() ? "" : "、") + std::to_string(rate);
        return said + " 不是 AAC 编码器支持的采样率（" + list + "）";
    }
    if (n >= range.min && n <= range.max)
        return {};
    return said + " 超出范围（" + std::to_string(range.min) + "–" + std::to_string(range.max) + "）";
}

// The findings of channel id: unknown are the key names it holds that no channel has.
void LintChannel(const IniFile& doc, int id, const std::vector<std::string>& unknown,
                 std::span<const std::string_view> known, std::vector<std::string>& findings)
{
    const auto read = [&](const char* name) { return doc.GetValue(kConfigSection, ChannelKey(id, name)); };
    const std::string deleted = read(kDeletedKey);
    if (deleted == "true")
        return;
    ChannelRecordText r;
    const std::string name = read("Name");
    const std::string label = "信号 " + std::to_string(id) + (name.empty() ? "" : "（" + name + "）") + "：";
    const auto add = [&](const std::string& text) { findings.push_back(label + text); };
    for (const std::string& key : unknown)
        if (const std::string_view meant = Meant(key, known); !meant.empty())
            add(UnknownKey(key, meant));
    if (!deleted.empty() && deleted != "false")
        add(std::string(kDeletedKey) + "=" + Quoted(deleted) + " 不是 true 或 false，按未删除处理");
    CheckStates checks{};
    for (std::size_t i = 0; i < checks.size(); ++i) {
        const std::string value = read(kCheckKeys[i]);
        checks[i] = DecimalValue(value);
        if (!value.empty())
            if (const std::string problem = NumberProblem(kCheckKeys[i], value, {0, 1}); !problem.empty())
                add(problem);
    }
    const bool reencode = checks[0] != 0 && checks[1] != 0;
    ForEachField(r, [&](const char* key, std::string& value) {
        value = read(key);
        const bool number = &value == &r.videoBitrate || &value == &r.frameRate || &value == &r.width ||
                            &value == &r.height || &value == &r.audioChannels || &value == &r.sampleRate ||
                            &value == &r.audioBitrate || &value == &r.audioToAac || &value == &r.silentAudio ||
                            &value == &r.keyframeSeconds;
        if (number && !value.empty()) {
            if (const std::string problem = NumberProblem(key, value, RangeOf(r, &value)); !problem.empty())
                add(problem);
        }
        if (&value == &r.standInPicture && value.find('%') != std::string::npos)
            add(std::string(key) + " 含有 %：ffmpeg 会把它当作图片序列，备用画面改用深色背景");
        if (&value == &r.standIn && !value.empty() && value != "0" && value != "1" && value != "2")
            add(std::string(key) + "=" + Quoted(value) + " 不是 0、1 或 2，按全局设置处理");
        // ffmpeg refuses a re-encode without a frame rate ("Invalid framerate value: 0") or a size,
        // libx264 one without a profile.
        const bool needed = &value == &r.frameRate || &value == &r.width || &value == &r.height || &value == &r.profile;
        if (reencode && needed && value.empty())
            add(std::string("视频设为重编码（") + kCheckKeys[1] + "=1），但没有 " + key + "：ffmpeg 无法启动该信号");
    });
    // An extra publish address is not quoted: it may hold a stream key or a password.
    for (const char* key : kExtraPublishKeys)
        if (const std::string address = read(key); !address.empty() && address.compare(0, 7, "rtmp://") != 0)
            add(std::string(key) + " 不是以 rtmp:// 开头的推流地址：不会向它推流");
    const std::string state = read(kStateKey);
    if (!state.empty() && state.find(kStateRunning) == std::string::npos && state.find(kStatePaused) == std::string::npos)
        add(std::string("未知的状态 ") + kStateKey + "=" + Quoted(state) + "（应为“" + kStateRunning + "”或“" + kStatePaused +
            "”）：该信号不会启动，重新加载也不会改变它");
}

std::mutex g_warningsMutex;
std::map<std::string, std::vector<std::string>, std::less<>> g_warnings;

}  // namespace

std::vector<std::string> LintConfig(const IniFile& doc, std::span<const std::string_view> globalKeys)
{
    std::vector<std::string_view> known;
    ChannelRecordText names;
    ForEachField(names, [&known](const char* key, const std::string&) { known.emplace_back(key); });
    known.insert(known.end(), std::begin(kCheckKeys), std::end(kCheckKeys));
    known.insert(known.end(), std::begin(kExtraPublishKeys), std::end(kExtraPublishKeys));
    known.insert(known.end(), {kStateKey, kTransCodeKey, kDeletedKey});

    std::set<std::string, std::less<>> folded;  // keys compare without regard to case
    for (std::string_view k : known)
        folded.insert(Folded(k));

    std::vector<std::string> findings;
    std::map<int, std::vector<std::string>> channels;  // id -> its unknown key names
    doc.ForEachKey(kConfigSection, [&](std::string_view key) {
        const int id = KeyChannelId(key);
        if (id < 0) {
            if (const std::string_view meant = Meant(key, globalKeys); !meant.empty())
                findings.push_back("全局设置：" + UnknownKey(key, meant));
            return;
        }
        std::vector<std::string>& unknown = channels[id];
        const std::string_view name = key.substr(key.find('+') + 1);
        if (!folded.contains(Folded(name)))
            unknown.emplace_back(name);
    });
    for (const auto& [id, unknown] : channels)
        LintChannel(doc, id, unknown, known, findings);
    return findings;
}

void KeepConfigWarnings(const std::string& iniPath, std::vector<std::string> warnings)
{
    std::lock_guard<std::mutex> lock(g_warningsMutex);
    g_warnings[iniPath] = std::move(warnings);
}

std::vector<std::string> ConfigWarnings(const std::string& iniPath)
{
    std::lock_guard<std::mutex> lock(g_warningsMutex);
    const auto it = g_warnings.find(iniPath);
    return it == g_warnings.end() ? std::vector<std::string>() : it->second;
}
