#include "web/StatusFormat.h"

#include <gtest/gtest.h>

namespace {

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
        {"a\tb\rc\x01\x1f", "a\tb\rc\x01\x1f", R"("a\tb\rc\u0001\u001f")"},
        // Invalid UTF-8 (stray byte, overlong, surrogate, cut sequence): U+FFFD per bad byte.
        {"x\xff", "x" + r, "\"x" + r + "\""},
        {"\xC0\xAF", r + r, "\"" + r + r + "\""},
        {"\xED\xA0\x80", r + r + r, "\"" + r + r + r + "\""},
        {"中\xE4\xB8", "中" + r + r, "\"中" + r + r + "\""},
    };
    for (const auto& c : cases) {
        const ChannelStatus channel{7, c.name, false, true, 0, 0, 0, std::nullopt};
        const std::string metrics = StatusFormat::Metrics({channel}, "1.0");
        const std::string json = StatusFormat::Json({channel}, {"1.0"});
        EXPECT_NE(metrics.find("camrelay_channel_up{id=\"7\",name=\"" + c.label + "\"} 1\n"), std::string::npos)
            << c.name << "\n" << metrics;
        EXPECT_NE(json.find("\"name\":" + c.json + ","), std::string::npos) << c.name << "\n" << json;
    }
}

// Each field under its own metric (the restart and byte counts counters, the state one sample
// per state); a channel that never made progress has no seconds sample and null in JSON; a
// negative age, as a clock step gives, reads as 0. The JSON also carries the program's facts for
// the console's header and each row's texts and seconds live.
TEST(StatusFormat, SnapshotInBothFormats)
{
    ::setenv("TZ", "UTC", 1), ::tzset();
    const ChannelStatus live{3, "门口", true, true, 512, 0, 4, -3.0, "live", 60, 2048, std::nullopt,
                             {"门口", "512kbps", "运行中", "否", "640*360", "慢"}, 0.214, 5.0, 7, 3, 2, "slow"};
    const ChannelStatus never{12, "仓库", true, false, 0, 10, 9, std::nullopt, "given_up", 0, 0,
                              ChannelStatus::Failure{0, "hevc_in_flv", "说明", "[flv @ 0x1] Video codec hevc not compatible with flv"}};
    const std::string metrics = StatusFormat::Metrics({never, live}, "1.0.0.9");
    for (const char* line : {
             "camrelay_channel_up{id=\"12\",name=\"仓库\"} 0\n",
             "camrelay_channel_bitrate_kbps{id=\"3\",name=\"门口\"} 512\n",
             "camrelay_channel_consecutive_failures{id=\"12\",name=\"仓库\"} 10\n",
             "# TYPE camrelay_channel_restarts_total counter\ncamrelay_channel_restarts_total{id=\"12\",name=\"仓库\"} 9\n",
             "seconds_since_progress gauge\ncamrelay_channel_seconds_since_progress{id=\"3\",name=\"门口\"} 0.000\n#",
             "counter\ncamrelay_channel_output_bytes_total{id=\"12\",name=\"仓库\"} 0\n"
             "camrelay_channel_output_bytes_total{id=\"3\",name=\"门口\"} 2048\n",
             "camrelay_channel_state{id=\"12\",name=\"仓库\",state=\"given_up\"} 1\n",
             "camrelay_channel_state{id=\"3\",name=\"门口\",state=\"given_up\"} 0\n",
             "camrelay_channel_state{id=\"3\",name=\"门口\",state=\"live\"} 1\n",
             "speed gauge\ncamrelay_channel_speed{id=\"3\",name=\"门口\"} 0.21\n#",   // none for the channel that is down
             "camrelay_channel_fps{id=\"3\",name=\"门口\"} 5.00\n",
             "camrelay_channel_dropped_frames_total{id=\"3\",name=\"门口\"} 7\n",
             "camrelay_channel_lost_packets_total{id=\"3\",name=\"门口\"} 3\n",
             "camrelay_channel_live_ends_total{id=\"3\",name=\"门口\"} 2\n",
             "camrelay_channel_degraded{id=\"3\",name=\"门口\",cause=\"slow\"} 1\n",
             "camrelay_channel_degraded{id=\"3\",name=\"门口\",cause=\"packet_loss\"} 0\n",
             "camrelay_channel_degraded{id=\"12\",name=\"仓库\",cause=\"slow\"} 0\n",
             "gauge\ncamrelay_channel_failure_info{id=\"12\",name=\"仓库\",cause=\"hevc_in_flv\"} 1\n#",
         })
        EXPECT_NE(metrics.find(line), std::string::npos) << line << "\n" << metrics;
    EXPECT_EQ(StatusFormat::Json({live, never}, {"1.0.0.9", "/srv/a", "headless", 3.5, true, false, false, 100}),
              "{\"version\":\"1.0.0.9\",\"data_dir\":\"/srv/a\",\"face\":\"headless\",\"uptime_seconds\":3.500,"
              "\"control\":true,\"reload\":false,\"preview\":false,\"channels\":[\n{\"id\":3,\"name\":\"门口\",\"running\":true,\"up\":true,"
              "\"bitrate_kbps\":512,\"consecutive_failures\":0,\"restarts_total\":4,\"seconds_since_progress\":0.000,"
              "\"state\":\"live\",\"failures\":0,\"output_bytes\":2048,\"live_since\":\"1970-01-01T00:01:00+00:00\","
              "\"live_seconds\":40,\"texts\":{\"bitrate\":\"512kbps\",\"state\":\"运行中\",\"reencode\":\"否\","
              "\"size\":\"640*360\",\"health\":\"慢\"},\"speed\":0.21,\"fps\":5.00,\"dropped_frames\":7,\"lost_packets\":3,"
              "\"live_ends\":2,\"degraded\":\"slow\",\"last_failure\":null},\n"
              "{\"id\":12,\"name\":\"仓库\",\"running\":true,\"up\":false,\"bitrate_kbps\":0,\"consecutive_failures\":10,"
              "\"restarts_total\":9,\"seconds_since_progress\":null,\"state\":\"given_up\",\"failures\":10,"
              "\"output_bytes\":0,\"live_since\":null,\"live_seconds\":null,\"texts\":{\"bitrate\":\"\",\"state\":\"\","
              "\"reencode\":\"\",\"size\":\"\",\"health\":\"\"},\"speed\":null,\"fps\":null,\"dropped_frames\":0,"
              "\"lost_packets\":0,\"live_ends\":0,\"degraded\":null,\"last_failure\":{\"at\":\"1970-01-01T00:00:00+00:00\","
              "\"cause\":\"hevc_in_flv\",\"text\":\"说明\",\"line\":\"[flv @ 0x1] Video codec hevc not compatible with flv\"}}\n]}\n");
    StatusFormat::StatusHeader warned{"1"};
    warned.configWarnings = {"信号 3（前门）：未知的键 Adresss"};
    EXPECT_NE(StatusFormat::Json({}, warned).find(",\"config_warnings\":[\"信号 3（前门）：未知的键 Adresss\"],\"channels\""),
              std::string::npos);
}

}  // namespace
