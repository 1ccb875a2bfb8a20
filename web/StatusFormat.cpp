#include "web/StatusFormat.h"

#include "settings/TextCodec.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <ctime>

namespace StatusFormat {
namespace {

// Seconds with millisecond resolution, never in exponent form, independent of the locale.
std::string Seconds(double value)
{
    char buffer[64];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, 3);
    return std::string(buffer, result.ptr);
}

// A negative age (clock stepped) reads as zero; a value that is not a number reads as never.
std::optional<double> CleanSeconds(const std::optional<double>& value)
{
    if (!value || !std::isfinite(*value))
        return std::nullopt;
    return *value < 0 ? 0.0 : *value;
}

// One gauge or counter of the channel family: HELP, TYPE, then a sample per channel.
template <typename Value>
void Family(std::string& out, const std::vector<ChannelStatus>& channels,
            const std::vector<std::string>& labels, const char* name, const char* type,
            const char* help, Value value)
{
    out.append("# HELP ").append(name).append(" ").append(help).append("\n");
    out.append("# TYPE ").append(name).append(" ").append(type).append("\n");
    for (std::size_t i = 0; i < channels.size(); ++i) {
        std::optional<std::string> sample = value(channels[i]);
        if (sample)
            out.append(name).append(labels[i]).append(" ").append(*sample).append("\n");
    }
}

// A gauge with one sample per channel and value of a label: 1 for the channel's value, 0 for the
// others, so that a value's series exists before the channel first takes it.
template <std::size_t N, typename Pick>
void OneOf(std::string& out, const std::vector<ChannelStatus>& channels, const std::vector<std::string>& labels,
           const char* name, const char* help, const char* label, const char* const (&values)[N], Pick pick)
{
    out.append("# HELP ").append(name).append(" ").append(help).append("\n");
    out.append("# TYPE ").append(name).append(" gauge\n");
    for (std::size_t i = 0; i < channels.size(); ++i)
        for (const char* value : values)
            out.append(name).append(labels[i], 0, labels[i].size() - 1).append(",").append(label).append("=\"")
                .append(value).append("\"} ").append(pick(channels[i]) == value ? "1\n" : "0\n");
}

// A gauge or counter of the outputs' family: a sample per publish address of each channel that
// has several, labelled with the channel's labels and the address's number.
template <typename Value>
void OutputFamily(std::string& out, const std::vector<ChannelStatus>& channels, const std::vector<std::string>& labels,
                  const char* name, const char* type, const char* help, Value value)
{
    out.append("# HELP ").append(name).append(" ").append(help).append("\n");
    out.append("# TYPE ").append(name).append(" ").append(type).append("\n");
    for (std::size_t i = 0; i < channels.size(); ++i)
        for (const ChannelStatus::Output& o : channels[i].outputs)
            value(o, [&](std::string_view extra, std::string_view sample) {
                out.append(name).append(labels[i], 0, labels[i].size() - 1).append(",output=\"")
                    .append(std::to_string(o.number)).append("\"").append(extra).append("} ").append(sample).append("\n");
            });
}

const char* const kStates[] = {"stopped", "queued", "starting", "live", "failing", "retrying", "given_up", "standin", "deleted"};
const char* const kDegradations[] = {"slow", "packet_loss"};
const char* const kOutputStates[] = {"starting", "live", "failing", "stopped"};

std::string FailureJson(const std::optional<ChannelStatus::Failure>& failure)
{
    if (!failure)
        return "null";
    return "{\"at\":" + JsonString(IsoTime(failure->at)) + ",\"cause\":" + JsonString(failure->cause) +
           ",\"text\":" + JsonString(failure->text) + ",\"line\":" + JsonString(failure->line) + "}";
}

// A ratio with two decimals, locale-independent; null (JSON) or no sample when not known.
std::optional<std::string> Ratio(const std::optional<double>& value)
{
    if (!value || !std::isfinite(*value))
        return std::nullopt;
    char buffer[64];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, *value, std::chars_format::fixed, 2);
    return std::string(buffer, result.ptr);
}

}  // namespace

std::string IsoTime(std::time_t when)
{
    std::tm local{};
    ::localtime_r(&when, &local);
    char text[40];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S%z", &local);
    std::string iso = text;
    return iso.size() > 2 ? iso.insert(iso.size() - 2, ":") : iso;
}

std::string JsonLines(const std::vector<std::string>& lines)
{
    std::string out = "[";
    for (const std::string& line : lines)
        out.append(out.size() > 1 ? "," : "").append(JsonString(line));
    return out + "]";
}

// Both formats require valid UTF-8: a byte of a channel name that is not becomes U+FFFD, so that
// one bad name cannot spoil the whole answer.
std::string LabelValue(std::string_view text)
{
    std::string out;
    for (char c : TextCodec::ToValidUtf8(text)) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '"')
            out += "\\\"";
        else if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out;
}

std::string JsonString(std::string_view text)
{
    static const char kHex[] = "0123456789abcdef";
    std::string out = "\"";
    for (char c : TextCodec::ToValidUtf8(text)) {
        const auto byte = static_cast<unsigned char>(c);
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\b': out += "\\b"; break;
        case '\f': out += "\\f"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (byte < 0x20) {
                out += "\\u00";
                out += kHex[byte >> 4];
                out += kHex[byte & 0xF];
            } else {
                out += c;
            }
        }
    }
    out += '"';
    return out;
}

std::string Metrics(const std::vector<ChannelStatus>& channels, std::string_view version)
{
    std::vector<std::string> labels;
    labels.reserve(channels.size());
    for (const ChannelStatus& c : channels)
        labels.push_back("{id=\"" + std::to_string(c.id) + "\",name=\"" + LabelValue(c.name) + "\"}");

    std::string out;
    out.reserve(256 + channels.size() * 7 * 64);
    out += "# HELP camrelay_channels Channels in the list.\n"
           "# TYPE camrelay_channels gauge\n"
           "camrelay_channels " + std::to_string(channels.size()) + "\n";
    out += "# HELP camrelay_build_info The running version.\n"
           "# TYPE camrelay_build_info gauge\n"
           "camrelay_build_info{version=\"" + LabelValue(version) + "\"} 1\n";
    auto flag = [](bool on) { return std::optional<std::string>(on ? "1" : "0"); };
    Family(out, channels, labels, "camrelay_channel_running", "gauge",
           "1 while the channel is started, else 0.",
           [&](const ChannelStatus& c) { return flag(c.running); });
    Family(out, channels, labels, "camrelay_channel_up", "gauge",
           "1 while the channel's child reports progress, else 0.",
           [&](const ChannelStatus& c) { return flag(c.up); });
    Family(out, channels, labels, "camrelay_channel_bitrate_kbps", "gauge",
           "Output bitrate last reported by the child, in kbit/s.",
           [](const ChannelStatus& c) { return std::optional(std::to_string(c.bitrateKbps)); });
    Family(out, channels, labels, "camrelay_channel_consecutive_failures", "gauge",
           "Failed runs in a row; the channel gives up after ten.",
           [](const ChannelStatus& c) { return std::optional(std::to_string(c.consecutiveFailures)); });
    Family(out, channels, labels, "camrelay_channel_restarts_total", "counter",
           "Relaunches of the channel's child since the program started.",
           [](const ChannelStatus& c) { return std::optional(std::to_string(c.restartsTotal)); });
    Family(out, channels, labels, "camrelay_channel_seconds_since_progress", "gauge",
           "Seconds since the child last reported progress; no sample when it never has.",
           [](const ChannelStatus& c) -> std::optional<std::string> {
               auto seconds = CleanSeconds(c.secondsSinceProgress);
               if (!seconds)
                   return std::nullopt;
               return Seconds(*seconds);
           });
    Family(out, channels, labels, "camrelay_channel_speed", "gauge",
           "Output time over wall time of the last measurement while up (1 = real time); no sample when not known.",
           [](const ChannelStatus& c) { return Ratio(c.speed); });
    Family(out, channels, labels, "camrelay_channel_fps", "gauge",
           "Frames per second output in the last measurement while up; no sample when not known.",
           [](const ChannelStatus& c) { return Ratio(c.fps); });
    Family(out, channels, labels, "camrelay_channel_dropped_frames_total", "counter",
           "Frames the channel's children dropped to keep up.",
           [](const ChannelStatus& c) { return std::optional(std::to_string(c.droppedFrames)); });
    Family(out, channels, labels, "camrelay_channel_lost_packets_total", "counter",
           "RTP packets from the camera the channel's children missed.",
           [](const ChannelStatus& c) { return std::optional(std::to_string(c.lostPackets)); });
    Family(out, channels, labels, "camrelay_channel_live_ends_total", "counter",
           "Children of the channel that ended after having been live.",
           [](const ChannelStatus& c) { return std::optional(std::to_string(c.liveEnds)); });
    Family(out, channels, labels, "camrelay_channel_standin", "gauge",
           "1 while a stand-in is published for the channel's camera, else 0.",
           [&](const ChannelStatus& c) { return flag(c.standInSince != 0); });
    Family(out, channels, labels, "camrelay_channel_standin_seconds_total", "counter",
           "Seconds a stand-in was published for the channel's camera since the program started.",
           [](const ChannelStatus& c) { return std::optional(Seconds(c.standInSeconds)); });
    OneOf(out, channels, labels, "camrelay_channel_degraded", "1 for why a live channel relays badly, 0 for the other causes.",
          "cause", kDegradations, [](const ChannelStatus& c) { return c.degradation; });
    out += "# HELP camrelay_channel_failure_info The cause of the channel's last failed attempt.\n"
           "# TYPE camrelay_channel_failure_info gauge\n";
    for (std::size_t i = 0; i < channels.size(); ++i)
        if (channels[i].lastFailure)
            out += "camrelay_channel_failure_info" + labels[i].substr(0, labels[i].size() - 1) + ",cause=\"" +
                   LabelValue(channels[i].lastFailure->cause) + "\"} 1\n";
    out += "# HELP camrelay_channel_output_bytes_total Bytes the channel's children have published.\n"
           "# TYPE camrelay_channel_output_bytes_total counter\n";
    for (std::size_t i = 0; i < channels.size(); ++i)
        out += "camrelay_channel_output_bytes_total" + labels[i] + " " + std::to_string(channels[i].outputBytes) + "\n";
    OneOf(out, channels, labels, "camrelay_channel_state", "1 for the channel's current state, 0 for the others.",
          "state", kStates, [](const ChannelStatus& c) { return c.state; });
    // The publish addresses of the channels that have several; nothing at all while none has.
    if (std::none_of(channels.begin(), channels.end(), [](const ChannelStatus& c) { return !c.outputs.empty(); }))
        return out;
    using Output = ChannelStatus::Output;
    const auto number = [](auto figure) {
        return [figure](const Output& o, auto sample) { sample("", std::to_string(figure(o))); };
    };
    OutputFamily(out, channels, labels, "camrelay_output_up", "gauge",
                 "1 while the pusher of the publish address reports progress, else 0.",
                 number([](const Output& o) { return o.up ? 1 : 0; }));
    OutputFamily(out, channels, labels, "camrelay_output_bitrate_kbps", "gauge",
                 "Bitrate last reported by the publish address's pusher, in kbit/s.",
                 number([](const Output& o) { return o.bitrateKbps; }));
    OutputFamily(out, channels, labels, "camrelay_output_consecutive_failures", "gauge",
                 "Failed runs in a row of the publish address's pusher.",
                 number([](const Output& o) { return o.failures; }));
    OutputFamily(out, channels, labels, "camrelay_output_restarts_total", "counter",
                 "Relaunches of the publish address's pusher since the program started.",
                 number([](const Output& o) { return o.restarts; }));
    OutputFamily(out, channels, labels, "camrelay_output_bytes_total", "counter",
                 "Bytes the pushers of the publish address have published.",
                 number([](const Output& o) { return o.bytes; }));
    OutputFamily(out, channels, labels, "camrelay_output_state", "gauge",
                 "1 for the publish address's current state, 0 for the others.",
                 [](const Output& o, auto sample) {
                     for (const char* state : kOutputStates)
                         sample(std::string(",state=\"") + state + "\"", o.state == state ? "1" : "0");
                 });
    return out;
}

std::string OutputsJson(const ChannelStatus& channel)
{
    std::string out = "[";
    for (const ChannelStatus::Output& o : channel.outputs)
        out.append(out.size() > 1 ? "," : "")
            .append("{\"output\":" + std::to_string(o.number) + ",\"publish\":" + JsonString(o.publish) +
                    ",\"state\":" + JsonString(o.state) + ",\"up\":" + (o.up ? "true" : "false") +
                    ",\"bitrate_kbps\":" + std::to_string(o.bitrateKbps) + ",\"bytes\":" + std::to_string(o.bytes) +
                    ",\"restarts\":" + std::to_string(o.restarts) + ",\"failures\":" + std::to_string(o.failures) +
                    ",\"failure\":" + FailureJson(o.failure) + "}");
    return out + "]";
}

std::string Json(const std::vector<ChannelStatus>& channels, const StatusHeader& header)
{
    const std::time_t now = header.now ? header.now : std::time(nullptr);
    const auto flag = [](bool on) { return on ? "true" : "false"; };
    std::string out = "{\"version\":" + JsonString(header.version) + ",\"data_dir\":" + JsonString(header.dataDir) +
                      ",\"face\":" + JsonString(header.face) + ",\"uptime_seconds\":" +
                      Seconds(std::max(0.0, header.uptimeSeconds)) + ",\"control\":" + flag(header.control) +
                      ",\"reload\":" + flag(header.reload) + ",\"preview\":" + flag(header.preview) +
                      (header.unsaved.empty() ? "" : ",\"unsaved\":" + JsonString(header.unsaved)) +
                      (header.configWarnings.empty() ? "" : ",\"config_warnings\":" + JsonLines(header.configWarnings)) +
                      ",\"channels\":[";
    for (std::size_t i = 0; i < channels.size(); ++i) {
        const ChannelStatus& c = channels[i];
        auto seconds = CleanSeconds(c.secondsSinceProgress);
        out += i ? ",\n" : "\n";
        out += "{\"id\":" + std::to_string(c.id) + ",\"name\":" + JsonString(c.name) +
               ",\"running\":" + (c.running ? "true" : "false") +
               ",\"up\":" + (c.up ? "true" : "false") +
               ",\"bitrate_kbps\":" + std::to_string(c.bitrateKbps) +
               ",\"consecutive_failures\":" + std::to_string(c.consecutiveFailures) +
               ",\"restarts_total\":" + std::to_string(c.restartsTotal) +
               ",\"seconds_since_progress\":" + (seconds ? Seconds(*seconds) : "null") +
               ",\"state\":" + JsonString(c.state) + ",\"failures\":" + std::to_string(c.consecutiveFailures) +
               ",\"output_bytes\":" + std::to_string(c.outputBytes) +
               ",\"live_since\":" + (c.liveSince ? JsonString(IsoTime(c.liveSince)) : "null") +
               ",\"live_seconds\":" + (c.liveSince ? std::to_string(std::max<long long>(0, now - c.liveSince)) : "null") +
               ",\"texts\":{\"bitrate\":" + JsonString(c.texts.bitrate) + ",\"state\":" + JsonString(c.texts.state) +
               ",\"reencode\":" + JsonString(c.texts.transCode) + ",\"size\":" + JsonString(c.texts.size) +
               ",\"health\":" + JsonString(c.texts.health) + "}" +
               ",\"speed\":" + Ratio(c.speed).value_or("null") + ",\"fps\":" + Ratio(c.fps).value_or("null") +
               ",\"dropped_frames\":" + std::to_string(c.droppedFrames) +
               ",\"lost_packets\":" + std::to_string(c.lostPackets) +
               ",\"live_ends\":" + std::to_string(c.liveEnds) +
               ",\"degraded\":" + (c.degradation.empty() ? std::string("null") : JsonString(c.degradation)) +
               ",\"standin\":" +
               (c.standInSince ? "{\"since\":" + JsonString(IsoTime(c.standInSince)) + ",\"cause\":" +
                                     JsonString(c.standInCause) + ",\"text\":" + JsonString(c.standInText) + "}"
                               : "null") +
               ",\"standin_seconds\":" + Seconds(c.standInSeconds) +
               ",\"last_failure\":" + FailureJson(c.lastFailure) +
               (c.outputs.empty() ? "" : ",\"outputs\":" + OutputsJson(c)) + "}";
    }
    out += channels.empty() ? "]}\n" : "\n]}\n";
    return out;
}

}  // namespace StatusFormat
