#include "web/ChannelForm.h"

#include "ffmpeg/ChannelRules.h"
#include "platform/SecretMask.h"
#include "settings/ChannelStore.h"
#include "settings/ConfigStore.h"
#include "web/StatusFormat.h"

#include <algorithm>

namespace ChannelForm {
namespace {

using StatusFormat::JsonString;

const char* const kRetypePassword = "地址中的密码显示为 ***：修改这个地址时请重新输入密码";

// The form's number fields and check boxes, with the members they set.
struct NumberField {
    const char* name;
    int ChannelRecord::*member;
};
constexpr NumberField kNumbers[] = {
    { "video_bitrate", &ChannelRecord::videoBitrate },
    { "frame_rate", &ChannelRecord::frameRate },
    { "width", &ChannelRecord::width },
    { "height", &ChannelRecord::height },
    { "audio_channels", &ChannelRecord::audioChannels },
    { "sample_rate", &ChannelRecord::sampleRate },
    { "audio_bitrate", &ChannelRecord::audioBitrate },
};
struct TextField {
    const char* name;
    std::string ChannelRecord::*member;
};
constexpr TextField kTexts[] = {
    { "name", &ChannelRecord::name },
    { "stream_name", &ChannelRecord::streamName },
    { "profile", &ChannelRecord::profile },
    { "watermark", &ChannelRecord::watermarkPath },
    { "standin", &ChannelRecord::standIn },  // the stored word: "", "0", "1", "2"
    { "standin_picture", &ChannelRecord::standInPicture },
};
// Options of the record shown as check boxes.
constexpr NumberField kFlags[] = {
    { "audio_to_aac", &ChannelRecord::audioToAac },
    { "silent_audio", &ChannelRecord::silentAudio },
};
// Seconds between a re-encode's keyframes; null (an empty field) when the encoder's own.
constexpr char kKeyframes[] = "keyframe_seconds";
bool Ticked(const std::string& text) { return text == "1" || text == "true" || text == "on"; }
// The further publish addresses, one a line; sent at all, the field replaces the stored list.
constexpr char kExtraPublish[] = "extra_publish";
// In the order of CheckStates.
constexpr const char* kChecks[5] = { "video", "video_reencode", "copyts", "audio", "audio_reencode" };

// What an address field asks for: sent back as the masked stored address, the stored one.
std::optional<std::string> Address(const std::string& sent, const std::string& stored, std::string& problem)
{
    if (sent == MaskPasswords(stored))
        return stored;
    if (sent.find("***") != std::string::npos) {
        problem = kRetypePassword;
        return std::nullopt;
    }
    return sent;
}

// The extra addresses of the field, one a line (empty lines left out): each sent back as the
// masked form of one of the stored ones keeps that one, the one in its own place first.
std::optional<std::vector<std::string>> ExtraAddresses(
    const std::string& sent, const std::vector<std::string>& stored, std::string& problem)
{
    std::vector<std::string> extras;
    for (std::size_t at = 0; at < sent.size();) {
        const std::size_t end = std::min(sent.find_first_of("\r\n", at), sent.size());
        if (end > at) {
            const std::string line = sent.substr(at, end - at);
            const std::size_t place = extras.size();
            std::string same = place < stored.size() && MaskPasswords(stored[place]) == line ? stored[place] : "";
            for (std::size_t i = 0; i < stored.size() && same.empty(); ++i)
                if (MaskPasswords(stored[i]) == line)
                    same = stored[i];
            const auto address = Address(line, same, problem);
            if (!address)
                return std::nullopt;
            extras.push_back(*address);
        }
        at = end + 1;
    }
    return extras;
}

} // namespace

int IdField(const Fields& fields, const char* name)
{
    const auto found = fields.find(name);
    bool digits = false;
    const int id = found == fields.end() ? -1 : DecimalValue(found->second, &digits);
    return digits && id >= 0 ? id : -1;
}

namespace {
std::string Json(int id, const ChannelRecord& r, const CheckStates& checks, bool running)
{
    std::string json = "{\"id\":" + std::to_string(id) + ",\"source\":" + JsonString(MaskPasswords(r.sourceUrl))
        + ",\"publish\":" + JsonString(MaskPasswords(r.publishUrl)) + ",\"" + kExtraPublish + "\":[";
    for (std::size_t i = 0; i < r.extraPublish.size(); ++i)
        json += (i ? "," : "") + JsonString(MaskPasswords(r.extraPublish[i]));
    json += "]";
    for (const TextField& f : kTexts)
        json += ",\"" + std::string(f.name) + "\":" + JsonString(MaskPasswords(r.*f.member));
    for (const NumberField& f : kNumbers)
        json += ",\"" + std::string(f.name) + "\":" + std::to_string(r.*f.member);
    for (const NumberField& f : kFlags)
        json += ",\"" + std::string(f.name) + "\":" + (r.*f.member ? "true" : "false");
    json += ",\"" + std::string(kKeyframes) + "\":" + (r.keyframeSeconds > 0 ? std::to_string(r.keyframeSeconds) : "null");
    for (std::size_t i = 0; i < 5; ++i)
        json += ",\"" + std::string(kChecks[i]) + "\":" + (checks[i] ? "true" : "false");
    return json + ",\"running\":" + (running ? "true" : "false") + "}\n";
}
} // namespace

std::string SettingsJson(const ConfigStore& store, int id)
{
    const LoadedChannel stored = LoadChannel(store, id);
    return Json(id, stored.record, stored.checks, IsStoredRunning(stored.state));
}

std::string NewChannelJson()
{
    return Json(-1, ChannelRules::NewChannelValues(), ChannelRules::NewChannelChecks(), true);
}

Parsed Parse(const ConfigStore& store, const Fields& fields, int base, int from)
{
    Parsed parsed;
    if (base >= 0) {
        const LoadedChannel stored = LoadChannel(store, base);
        parsed.values = stored.record;
        parsed.checks = stored.checks;
    } else {
        parsed.values = ChannelRules::NewChannelValues();
        parsed.checks = ChannelRules::NewChannelChecks();
    }
    const ChannelRecord original = from >= 0 ? LoadChannel(store, from).record : ChannelRecord();
    const auto field = [&fields](const char* name) -> const std::string* {
        const auto found = fields.find(name);
        return found == fields.end() ? nullptr : &found->second;
    };
    for (const TextField& f : kTexts)
        if (const std::string* text = field(f.name))
            parsed.values.*f.member = *text;
    for (const NumberField& f : kNumbers)
        if (const std::string* text = field(f.name))
            parsed.values.*f.member = DecimalValue(*text);
    for (const NumberField& f : kFlags)
        if (const std::string* text = field(f.name))
            parsed.values.*f.member = Ticked(*text) ? 1 : 0;
    if (const std::string* text = field(kKeyframes))
        parsed.values.keyframeSeconds = DecimalValue(*text);
    for (std::size_t i = 0; i < 5; ++i)
        if (const std::string* text = field(kChecks[i]))
            parsed.checks[i] = Ticked(*text);
    const std::pair<const char*, std::string ChannelRecord::*> addresses[]
        = { { "source", &ChannelRecord::sourceUrl }, { "publish", &ChannelRecord::publishUrl } };
    for (const auto& [name, member] : addresses) {
        if (const std::string* text = field(name)) {
            const auto address = Address(*text, original.*member, parsed.problem);
            if (!address)
                return parsed;
            parsed.values.*member = *address;
        }
    }
    if (const std::string* text = field(kExtraPublish)) {
        auto extras = ExtraAddresses(*text, original.extraPublish, parsed.problem);
        if (!extras)
            return parsed;
        parsed.values.extraPublish = std::move(*extras);
        parsed.values.extraPublishShown = true;
    }
    return parsed;
}

std::optional<std::string> SourceOf(const ConfigStore& store, const Fields& fields, std::string& problem)
{
    const auto found = fields.find("source");
    const int from = IdField(fields, "from");
    return Address(found == fields.end() ? std::string() : found->second,
        from >= 0 ? LoadChannel(store, from).record.sourceUrl : std::string(), problem);
}

} // namespace ChannelForm
