#pragma once
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include "web/ChannelStatus.h"

// The two answers of the status endpoint, built from a snapshot: pure functions, no state,
// callable from any thread. Numbers are written without the C locale (a Qt program runs
// with the user's LC_NUMERIC, which may use a decimal comma).
namespace StatusFormat {

// Prometheus text exposition format 0.0.4 and its content type.
std::string Metrics(const std::vector<ChannelStatus>& channels, std::string_view version);
inline constexpr const char* kMetricsContentType = "text/plain; version=0.0.4; charset=utf-8";

// What /status tells about the program besides its channels (the web console's header).
struct StatusHeader {
    std::string version;
    std::string dataDir = {};
    std::string face = {};       // "headless" or "window"
    double uptimeSeconds = 0;
    bool control = false;        // commands are possible (a control token was given)
    bool reload = false;         // the face re-reads config.ini on request
    bool preview = false;        // a source check gives preview pictures
    std::time_t now = 0;         // the time live seconds count to; 0: the clock's
    std::string unsaved = {};    // changes in force but not saved to config.ini, and why; empty: none
    std::vector<std::string> configWarnings = {};  // what the latest lint found in config.ini
};

// The same facts as one JSON object: {"version":…,…,"channels":[{…},…]}, per channel also the
// row's texts and its seconds live; "unsaved" only while changes wait to be saved,
// "config_warnings" (an array of sentences) only while the lint of config.ini finds something.
std::string Json(const std::vector<ChannelStatus>& channels, const StatusHeader& header);
inline constexpr const char* kJsonContentType = "application/json";
// The "outputs" array of a channel with several publish addresses, one object per address:
// {"output":N,"publish":…,"state":…,"up":…,"bitrate_kbps":…,"bytes":…,"restarts":…,"failures":…,
// "failure":{"at","cause","text","line"} or null}. Json adds it only to such a channel.
std::string OutputsJson(const ChannelStatus& channel);

// A label value between its quotes: backslash, double quote and line feed escaped.
std::string LabelValue(std::string_view text);
// A JSON string with its quotes: quote, backslash and every control character escaped.
std::string JsonString(std::string_view text);
// A JSON array of strings.
std::string JsonLines(const std::vector<std::string>& lines);
// Local time with its offset, as JSON readers expect: "2026-12-07T10:15:02+08:00".
std::string IsoTime(std::time_t when);

}  // namespace StatusFormat
