#include "ffmpeg/SourceAdvice.h"

#include "ffmpeg/CommandBuilder.h"
#include "ffmpeg/FailureDiagnosis.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <sstream>
#include <cstdio>
#include <regex>
#include <string_view>

namespace {

// The names operators know the codecs by; others are shown as ffprobe names them.
std::string CodecName(const std::string& codec)
{
    static const std::pair<const char*, const char*> names[] = {
        {"h264", "H.264"}, {"hevc", "H.265"}, {"mjpeg", "MJPEG"}, {"mpeg4", "MPEG-4"}, {"aac", "AAC"},
        {"mp3", "MP3"}, {"pcm_alaw", "G.711 A-law"}, {"pcm_mulaw", "G.711 μ-law"}, {"adpcm_g726", "G.726"},
        {"adpcm_g722", "G.722"}, {"opus", "Opus"}};
    for (const auto& [name, shown] : names)
        if (codec == name)
            return shown;
    return codec;
}

bool OneOf(const std::string& codec, std::initializer_list<std::string_view> list)
{
    return std::find(list.begin(), list.end(), codec) != list.end();
}

// What the FLV muxer of ffmpeg 5.1 accepts and players take: only these video codecs travel
// over RTMP; of the audio codecs it accepts, players reliably play AAC and MP3 only.
bool FlvVideo(const std::string& codec) { return OneOf(codec, {"h264", "flv1", "vp6", "vp6f", "vp6a"}); }
bool FlvAudio(const std::string& codec)
{
    return OneOf(codec, {"aac", "mp3", "pcm_alaw", "pcm_mulaw", "pcm_s16le", "pcm_s16be", "pcm_u8", "speex",
                         "nellymoser", "adpcm_swf"});
}

// libx264's profiles, each accepting all that the ones before it accept.
const char* const kProfiles[] = {"baseline", "main", "high", "high10", "high422", "high444"};
constexpr int kHigh = 2, kHigh10 = 3, kHigh422 = 4, kHigh444 = 5;

int ProfileRank(std::string profile)
{
    std::transform(profile.begin(), profile.end(), profile.begin(), [](unsigned char c) { return std::tolower(c); });
    if (profile == "high444p")
        return kHigh444;
    for (int i = 0; i <= kHigh444; ++i)
        if (profile == kProfiles[i])
            return i;
    return -1;
}

// The lowest profile that takes pictures in this pixel format as libx264 gets them (it keeps
// the source's chroma: 4:1:1 arrives as 4:2:2, RGB as 4:4:4); what makes it needed, in *what.
int NeededProfile(const std::string& pixelFormat, std::string* what)
{
    const auto has = [&](const char* part) { return pixelFormat.find(part) != std::string::npos; };
    int need = 0;
    if (pixelFormat.rfind("gray", 0) == 0)
        need = kHigh, *what = "黑白（4:0:0）";
    else if (has("444") || std::regex_search(pixelFormat, std::regex("^[0a]?(rgb|bgr|gbr)")))
        need = kHigh444, *what = "4:4:4";
    else if (has("422") || has("411") || has("440") || has("nv16") || has("nv20"))
        need = kHigh422, *what = "4:2:2";
    else
        *what = "4:2:0";
    std::smatch depth;
    if (std::regex_search(pixelFormat, depth, std::regex("(\\d+)(le|be)$")) && std::stoi(depth[1]) > 8) {
        need = std::max(need, kHigh10);
        *what += " " + depth[1].str() + "位";
    }
    return need;
}

std::string Number(double value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", value);
    std::string s = text;
    s.erase(s.find_last_not_of('0') + 1);
    if (s.back() == '.')
        s.pop_back();
    return s;
}

// sentence with its {1} as codec.
std::string WithCodec(std::string sentence, const std::string& codec)
{
    return sentence.replace(sentence.find("{1}"), 3, codec);
}

std::string Size(int width, int height) { return std::to_string(width) + "x" + std::to_string(height); }

// The encoding page's options that the advice names.
const char kToAacOption[] = "音频转为AAC";
const char kSilenceOption[] = "无音频时补静音";

}  // namespace

std::string DescribeVideo(const SourceStreams& v)
{
    std::string text = CodecName(v.videoCodec);
    if (!v.videoProfile.empty() && v.videoProfile != "unknown")
        text += " " + v.videoProfile;
    if (v.width > 0 && v.height > 0)
        text += " " + Size(v.width, v.height);
    if (v.frameRate > 0)
        text += " " + Number(v.frameRate) + "fps";
    if (!v.pixelFormat.empty())
        text += " " + v.pixelFormat;
    return text;
}

std::string DescribeAudio(const SourceStreams& a)
{
    std::string text = CodecName(a.audioCodec);
    if (a.sampleRate > 0)
        text += " " + std::to_string(a.sampleRate) + "Hz";
    if (a.channels > 0)
        text += " " + std::to_string(a.channels) + "声道";
    return text;
}

void ReadKeyframes(const std::string& packets, SourceStreams& v)
{
    double first = -1, last = -1, key = -1, longest = 0;
    std::istringstream lines(packets);
    for (std::string line; std::getline(lines, line);) {
        const std::size_t comma = line.find(',');
        if (comma == std::string::npos || line.compare(0, comma, "N/A") == 0)
            continue;
        const double pts = std::atof(line.c_str());
        first = first < 0 ? pts : std::min(first, pts), last = std::max(last, pts);
        if (line.find('K', comma) == std::string::npos)
            continue;
        if (key >= 0)
            longest = std::max(longest, pts - key);
        key = pts;
    }
    const double tail = last - (key >= 0 ? key : first);
    v.keyframeAtLeast = first >= 0 && tail > longest;
    v.keyframeSeconds = std::round(std::max(longest, first >= 0 ? tail : 0.0) * 10) / 10;
}

std::string DescribeKeyframes(const SourceStreams& v)
{
    if (v.keyframeSeconds <= 0)
        return {};
    return std::string("关键帧间隔") + (v.keyframeAtLeast ? "超过 " : " ") + Number(v.keyframeSeconds) + " 秒";
}

std::vector<Advice> AdviseSource(const SourceStreams& src, const CheckStates& checks, const ChannelRecord& s,
                                 bool flvHevc)
{
    std::vector<Advice> advice;
    const StreamPlan plan = PlanStreams(checks, s);
    if (!src.hasVideo && !src.hasAudio)
        return {{"no_streams", true, "信号源中既没有视频也没有音频：请检查地址是否指向摄像头的码流"}};

    const std::string video = CodecName(src.videoCodec), audio = CodecName(src.audioCodec);
    const std::string audioNamed = audio == src.audioCodec ? audio : audio + "（" + src.audioCodec + "）";
    const bool hevcToServer = flvHevc && src.videoCodec == "hevc";
    const bool copyFails = plan.video && src.hasVideo && plan.videoCopied && !FlvVideo(src.videoCodec) && !hevcToServer;
    if (copyFails)
        advice.push_back({src.videoCodec == "hevc" ? "hevc_copy" : "video_codec_copy", true,
                          src.videoCodec == "hevc" ? kHevcCopySentence : WithCodec(kVideoCopySentence, video)});
    // The profile of a re-encode: the one chosen, or the one a re-encode advised above would use
    // (the encoding page's default is high).
    std::string what;
    const int need = src.hasVideo ? NeededProfile(src.pixelFormat, &what) : 0, rank = ProfileRank(s.profile);
    if (plan.video && src.hasVideo && !plan.videoCopied && rank >= 0 && rank < need)
        advice.push_back({"profile_pixel_format", true,
                          "所选Profile " + s.profile + " 不支持摄像头的" + what + "画面（" + src.pixelFormat +
                              "），请把Profile改为" + kProfiles[need] + "（或让摄像头输出4:2:0）"});
    if (copyFails && need > (rank >= 0 ? rank : kHigh))
        advice.push_back({"reencode_profile", false,
                          "重新编码时，摄像头的" + what + "画面（" + src.pixelFormat + "）需要Profile " + kProfiles[need] +
                              "（或让摄像头输出4:2:0）"});
    if (plan.audio && src.hasAudio && plan.audioCopied && !FlvAudio(src.audioCodec))
        advice.push_back({"audio_codec_copy", true,
                          WithCodec(kAudioCopySentence, audioNamed)});
    const bool published = (plan.video && src.hasVideo) || (plan.audio && src.hasAudio && !plan.silentAudio);
    if (!published)
        advice.push_back({"nothing_published", true,
                          plan.video || plan.audio ? "按当前设置没有可发布的内容：启用的视频或音频在信号源中不存在"
                                                   : "视频和音频均未启用，不会直播：请至少勾选“启用视频”或“启用音频”"});
    const bool fails = !advice.empty();

    if (plan.audio && src.hasAudio && plan.audioCopied && FlvAudio(src.audioCodec) && !OneOf(src.audioCodec, {"aac", "mp3"}))
        advice.push_back({OneOf(src.audioCodec, {"pcm_alaw", "pcm_mulaw"}) ? "g711_copy" : "audio_rare_copy", false,
                          "该摄像头音频为" + audioNamed + "，可以直通，但很多直播平台和播放器不支持，会没有声音：请勾选“" +
                              kToAacOption + "”（视频仍直通），或音频重新编码"});
    if (plan.video && src.hasVideo && plan.videoCopied && src.keyframeSeconds > kMaxKeyframeSeconds)
        advice.push_back({"keyframe_interval", false,
                          "摄像头的" + DescribeKeyframes(src) + "，直播平台一般要求不超过 " + Number(kMaxKeyframeSeconds) +
                              " 秒，否则可能拒收或起播慢：请在摄像头上把关键帧间隔（I帧间隔）设为 2 秒，或勾选视频重编码"});
    if (plan.video && src.hasVideo && plan.videoCopied && hevcToServer)
        advice.push_back({"hevc_copy_enhanced", false, kHevcEnhancedSentence});
    if (plan.video && !src.hasVideo && published)
        advice.push_back({"no_video", false, "信号源中没有视频流：直播将只有声音，请检查地址是否指向摄像头的视频码流"});
    if (plan.audio && !plan.silentAudio && !src.hasAudio && published)
        advice.push_back({"no_audio", false, std::string("信号源中没有音频流：直播将没有声音，有的平台会拒收或标为异常（请勾选“") +
                                                 kSilenceOption + "”，或在摄像头上打开音频）"});
    if (plan.silentAudio && src.hasAudio && published)
        advice.push_back({"silence_replaces_audio", false, std::string("摄像头有音频，但勾选了“") + kSilenceOption +
                                                               "”：直播将只有静音，请取消该选项"});
    if (fails)
        return advice;

    std::string out;
    if (plan.video && src.hasVideo)
        out += plan.videoCopied ? "视频 " + video + " " + Size(src.width, src.height) + "（直通）"
                                : "视频 H.264 " + s.profile + " " + Size(s.width, s.height) + " " +
                                      std::to_string(s.frameRate) + "fps " + std::to_string(s.videoBitrate) +
                                      "kbps（重新编码）";
    if (plan.silentAudio)
        out += "，音频 AAC 静音";
    else if (plan.audio && src.hasAudio)
        out += std::string(out.empty() ? "" : "，") +
               (plan.audioCopied ? "音频 " + DescribeAudio(src) + "（直通）"
                                 : "音频 AAC " + std::to_string(s.sampleRate) + "Hz " + std::to_string(s.audioChannels) +
                                       "声道 " + std::to_string(s.audioBitrate) + "kbps（重新编码）");
    advice.push_back({"publish", false, (advice.empty() ? "一切正常，将发布：" : "将发布：") + out});
    return advice;
}
