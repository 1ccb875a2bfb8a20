#include "web/StatusChanges.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <ctime>
#include <unordered_map>

namespace {

using StatusFormat::JsonString;

// A figure with `digits` decimals, locale-independent; null when not known. The page shows the
// frame rate with one decimal, so a rate wavering in its second one is no change.
std::string Fixed(const std::optional<double>& value, int digits)
{
    if (!value || !std::isfinite(*value))
        return "null";
    char buffer[64];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, *value, std::chars_format::fixed, digits);
    return std::string(buffer, result.ptr);
}

}  // namespace

const std::array<const char*, StatusChanges::kFields> StatusChanges::kKeys = {
    "name", "running", "up", "state", "degraded", "bitrate", "state_text", "reencode",
    "size", "health", "cause", "live_since", "speed", "fps", "dropped", "lost", "source", "publish", "standin_since",
    "outputs"};

std::array<std::string, StatusChanges::kFields> StatusChanges::Fields(const ChannelStatus& c)
{
    const auto flag = [](bool on) { return std::string(on ? "true" : "false"); };
    return {JsonString(c.name),
            flag(c.running),
            flag(c.up),
            JsonString(c.state),
            c.degradation.empty() ? "null" : JsonString(c.degradation),
            JsonString(c.texts.bitrate),
            JsonString(c.texts.state),
            JsonString(c.texts.transCode),
            JsonString(c.texts.size),
            JsonString(c.texts.health),
            c.lastFailure ? JsonString(c.lastFailure->text) : "null",
            c.liveSince ? std::to_string(c.liveSince) : "null",
            Fixed(c.speed, 2),
            Fixed(c.fps, 1),
            std::to_string(c.droppedFrames),
            std::to_string(c.lostPackets),
            JsonString(c.source),
            JsonString(c.publish),
            c.standInSince ? std::to_string(c.standInSince) : "null",
            c.outputs.empty() ? "null" : StatusFormat::OutputsJson(c)};
}

void StatusChanges::Take(const std::vector<ChannelStatus>& channels)
{
    std::unordered_map<int, std::size_t> before;
    for (std::size_t i = 0; i < m_channels.size(); ++i)
        before.emplace(m_channels[i].id, i);
    const std::uint64_t next = m_revision + 1;
    bool changed = false;
    std::vector<Channel> taken(channels.size());
    for (std::size_t i = 0; i < channels.size(); ++i) {
        Channel& now = taken[i];
        now.id = channels[i].id;
        now.values = Fields(channels[i]);
        const auto found = before.find(now.id);
        const Channel* old = found == before.end() ? nullptr : &m_channels[found->second];
        for (std::size_t f = 0; f < kFields; ++f) {
            const bool same = old && old->values[f] == now.values[f];
            now.changed[f] = same ? old->changed[f] : next;
            changed |= !same;
        }
    }
    const bool listChanged = taken.size() != m_channels.size() ||
                             !std::equal(taken.begin(), taken.end(), m_channels.begin(),
                                         [](const Channel& a, const Channel& b) { return a.id == b.id; });
    if (listChanged)
        m_listChanged = next;
    m_channels = std::move(taken);
    if (changed || listChanged)
        m_revision = next;
}

std::string StatusChanges::Json(std::uint64_t since, const StatusFormat::StatusHeader& header) const
{
    const bool full = since < m_first || since > m_revision;
    const auto flag = [](bool on) { return on ? "true" : "false"; };
    std::string out = "{\"revision\":" + std::to_string(m_revision) + ",\"full\":" + flag(full) +
                      ",\"version\":" + JsonString(header.version) + ",\"data_dir\":" + JsonString(header.dataDir) +
                      ",\"face\":" + JsonString(header.face) + ",\"uptime_seconds\":" +
                      std::to_string(static_cast<long long>(std::max(0.0, header.uptimeSeconds))) +
                      ",\"control\":" + flag(header.control) + ",\"reload\":" + flag(header.reload) +
                      ",\"preview\":" + flag(header.preview) +
                      (header.unsaved.empty() ? "" : ",\"unsaved\":" + JsonString(header.unsaved)) +
                      (header.configWarnings.empty() ? "" : ",\"config_warnings\":" + StatusFormat::JsonLines(header.configWarnings)) +
                      ",\"now\":" + std::to_string(header.now ? header.now : std::time(nullptr));
    if (full || m_listChanged > since) {
        out += ",\"ids\":[";
        for (std::size_t i = 0; i < m_channels.size(); ++i)
            out.append(i ? "," : "").append(std::to_string(m_channels[i].id));
        out += "]";
    }
    // Field by field, each with the channels whose value changed, by id: the same field of many
    // channels (each live one's bitrate) changes together.
    out += ",\"changes\":{";
    bool firstField = true;
    for (std::size_t f = 0; f < kFields; ++f) {
        bool firstChannel = true;
        for (const Channel& c : m_channels) {
            if (!full && c.changed[f] <= since)
                continue;
            if (firstChannel)
                out.append(firstField ? "\n\"" : ",\n\"").append(kKeys[f]).append("\":{");
            out.append(firstChannel ? "\"" : ",\"").append(std::to_string(c.id)).append("\":").append(c.values[f]);
            firstChannel = firstField = false;
        }
        if (!firstChannel)
            out += "}";
    }
    out += "}}\n";
    return out;
}
