#include "service/StatusFormat.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

bool Has(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

// A channel name travels into a Prometheus label and a JSON string; each format has its own
// escapes, and neither may be broken by what an operator (or a damaged config.ini) put there.
TEST(StatusFormat, ChannelNamesAreEscapedForEachFormat)
{
    const std::string r = "\xEF\xBF\xBD";   // U+FFFD
    const struct { std::string name, label, json; } cases[] = {
        {"门口\"东\"", "门口\\\"东\\\"", R"("门口\"东\"")"},
        {"C:\\cam\\", "C:\\\\cam\\\\", R"("C:\\cam\\")"},
        {"一\n二", "一\\n二", R"("一\n二")"},
        // Only three characters are escaped in a label; JSON escapes every control character.
        {"a\tb\rc\x01", "a\tb\rc\x01", R"("a\tb\rc\u0001")"},
        // Invalid UTF-8 (stray byte, overlong, surrogate, cut sequence): U+FFFD per bad byte.
        {"x\xff", "x" + r, "\"x" + r + "\""},
        {"\xC0\xAF", r + r, "\"" + r + r + "\""},
        {"\xED\xA0\x80", r + r + r, "\"" + r + r + r + "\""},
        {"中\xE4\xB8", "中" + r + r, "\"中" + r + r + "\""},
    };
    for (const auto& c : cases) {
        const ChannelStatus channel{7, c.name, false, true, 0, 0, 0, std::nullopt};
        const std::string metrics = StatusFormat::Metrics({channel}, "1.0");
        const std::string json = StatusFormat::Json({channel}, "1.0");
        EXPECT_TRUE(Has(metrics, "camrelay_channel_up{id=\"7\",name=\"" + c.label + "\"} 1\n"))
            << c.name << "\n" << metrics;
        EXPECT_TRUE(Has(json, "\"name\":" + c.json + ",")) << c.name << "\n" << json;
    }
}

// The restart count is a counter; a channel that never made progress has no seconds sample
// and null in JSON; odd seconds are cleaned, not passed on.
TEST(StatusFormat, SnapshotInBothFormats)
{
    ChannelStatus live{3, "门口", true, true, 512, 0, 4, 0.25};
    ChannelStatus never{12, "仓库", true, false, 0, 10, 9, std::nullopt};
    ChannelStatus skewed{20, "b", false, false, 0, 0, 0, -3.0};
    ChannelStatus nan{21, "c", false, false, 0, 0, 0, std::nan("")};
    const std::string metrics = StatusFormat::Metrics({live, never, skewed, nan}, "1.0.0.9");

    for (const char* line : {
             "# TYPE camrelay_channels gauge\ncamrelay_channels 4\n",
             "camrelay_build_info{version=\"1.0.0.9\"} 1\n",
             "# TYPE camrelay_channel_restarts_total counter\n",
             "camrelay_channel_running{id=\"12\",name=\"仓库\"} 1\n",
             "camrelay_channel_up{id=\"12\",name=\"仓库\"} 0\n",
             "camrelay_channel_bitrate_kbps{id=\"3\",name=\"门口\"} 512\n",
             "camrelay_channel_consecutive_failures{id=\"12\",name=\"仓库\"} 10\n",
             "camrelay_channel_restarts_total{id=\"12\",name=\"仓库\"} 9\n",
             "camrelay_channel_seconds_since_progress{id=\"3\",name=\"门口\"} 0.250\n",
             "camrelay_channel_seconds_since_progress{id=\"20\",name=\"b\"} 0.000\n",
         })
        EXPECT_TRUE(Has(metrics, line)) << line << "\n" << metrics;
    EXPECT_FALSE(Has(metrics, "camrelay_channel_seconds_since_progress{id=\"12\""));
    EXPECT_FALSE(Has(metrics, "camrelay_channel_seconds_since_progress{id=\"21\""));

    EXPECT_EQ(StatusFormat::Json({live, never}, "1.0.0.9"),
              "{\"version\":\"1.0.0.9\",\"channels\":[\n"
              "{\"id\":3,\"name\":\"门口\",\"running\":true,\"up\":true,\"bitrate_kbps\":512,"
              "\"consecutive_failures\":0,\"restarts_total\":4,\"seconds_since_progress\":0.250},\n"
              "{\"id\":12,\"name\":\"仓库\",\"running\":true,\"up\":false,\"bitrate_kbps\":0,"
              "\"consecutive_failures\":10,\"restarts_total\":9,\"seconds_since_progress\":null}\n"
              "]}\n");
    EXPECT_EQ(StatusFormat::Json({}, "1.0.0.9"), "{\"version\":\"1.0.0.9\",\"channels\":[]}\n");
}

}  // namespace
