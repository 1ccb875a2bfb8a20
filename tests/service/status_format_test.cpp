#include "web/StatusFormat.h"

#include "web/StatusChanges.h"

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
    const ChannelStatus gaveUp{12, "仓库", true, false, 0, 10, 9, std::nullopt, "given_up", 0, 0,
                              ChannelStatus::Failure{0, "hevc_in_flv", "说明", "[flv @ 0x1] Video codec hevc not compatible with flv"}};
    ChannelStatus never = gaveUp;  // keeping its stand-in
    never.standInSince = 30, never.standInCause = "stalled", never.standInText = "10 秒无进展", never.standInSeconds = 12.5;
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
             "camrelay_channel_standin{id=\"12\",name=\"仓库\"} 1\ncamrelay_channel_standin{id=\"3\",name=\"门口\"} 0\n",
             "camrelay_channel_standin_seconds_total{id=\"12\",name=\"仓库\"} 12.500\n",
         })
        EXPECT_NE(metrics.find(line), std::string::npos) << line << "\n" << metrics;
    EXPECT_EQ(StatusFormat::Json({live, never}, {"1.0.0.9", "/srv/a", "headless", 3.5, true, false, false, 100}),
              "{\"version\":\"1.0.0.9\",\"data_dir\":\"/srv/a\",\"face\":\"headless\",\"uptime_seconds\":3.500,"
              "\"control\":true,\"reload\":false,\"preview\":false,\"channels\":[\n{\"id\":3,\"name\":\"门口\",\"running\":true,\"up\":true,"
              "\"bitrate_kbps\":512,\"consecutive_failures\":0,\"restarts_total\":4,\"seconds_since_progress\":0.000,"
              "\"state\":\"live\",\"failures\":0,\"output_bytes\":2048,\"live_since\":\"1970-01-01T00:01:00+00:00\","
              "\"live_seconds\":40,\"texts\":{\"bitrate\":\"512kbps\",\"state\":\"运行中\",\"reencode\":\"否\","
              "\"size\":\"640*360\",\"health\":\"慢\"},\"speed\":0.21,\"fps\":5.00,\"dropped_frames\":7,\"lost_packets\":3,"
              "\"live_ends\":2,\"degraded\":\"slow\",\"standin\":null,\"standin_seconds\":0.000,\"last_failure\":null},\n"
              "{\"id\":12,\"name\":\"仓库\",\"running\":true,\"up\":false,\"bitrate_kbps\":0,\"consecutive_failures\":10,"
              "\"restarts_total\":9,\"seconds_since_progress\":null,\"state\":\"given_up\",\"failures\":10,"
              "\"output_bytes\":0,\"live_since\":null,\"live_seconds\":null,\"texts\":{\"bitrate\":\"\",\"state\":\"\","
              "\"reencode\":\"\",\"size\":\"\",\"health\":\"\"},\"speed\":null,\"fps\":null,\"dropped_frames\":0,"
              "\"lost_packets\":0,\"live_ends\":0,\"degraded\":null,\"standin\":{\"since\":\"1970-01-01T00:00:30+00:00\","
              "\"cause\":\"stalled\",\"text\":\"10 秒无进展\"},\"standin_seconds\":12.500,\"last_failure\":{\"at\":\"1970-01-01T00:00:00+00:00\","
              "\"cause\":\"hevc_in_flv\",\"text\":\"说明\",\"line\":\"[flv @ 0x1] Video codec hevc not compatible with flv\"}}\n]}\n");
    StatusFormat::StatusHeader warned{"1"};
    warned.configWarnings = {"信号 3（前门）：未知的键 Adresss"};
    EXPECT_NE(StatusFormat::Json({}, warned).find(",\"config_warnings\":[\"信号 3（前门）：未知的键 Adresss\"],\"channels\""),
              std::string::npos);
}

// A channel with several publish addresses: each address under "outputs" and in the output
// families, labelled by its number; a channel with one address gets neither (nor, while no channel
// has several, the families). For the page, a change of an address's state or cause is a change.
TEST(StatusFormat, OutputsOfAChannelWithSeveralAddresses)
{
    ::setenv("TZ", "UTC", 1), ::tzset();
    const ChannelStatus one{5, "单路", true, true, 800, 0, 0, 0.5, "live"};
    ChannelStatus two = one;
    two.id = 6, two.name = "双路";
    two.outputs = {{1, "rtmp://a/live/***", "live", true, 800, 4096, 0, 0},
                   {3, "rtmp://b/app/***", "failing", false, 0, 100, 3, 2,
                    ChannelStatus::Failure{60, "publish_refused", "推流服务器拒绝连接", "Connection refused"}}};
    const std::string json = StatusFormat::Json({one, two}, {"1"});
    for (const char* part : {
             "\"standin_seconds\":0.000,\"last_failure\":null},\n{\"id\":6,",
             "\"last_failure\":null,\"outputs\":[{\"output\":1,\"publish\":\"rtmp://a/live/***\",\"state\":\"live\","
             "\"up\":true,\"bitrate_kbps\":800,\"bytes\":4096,\"restarts\":0,\"failures\":0,\"failure\":null},"
             "{\"output\":3,\"publish\":\"rtmp://b/app/***\",\"state\":\"failing\",\"up\":false,\"bitrate_kbps\":0,"
             "\"bytes\":100,\"restarts\":3,\"failures\":2,\"failure\":{\"at\":\"1970-01-01T00:01:00+00:00\","
             "\"cause\":\"publish_refused\",\"text\":\"推流服务器拒绝连接\",\"line\":\"Connection refused\"}}]}\n]}\n"})
        EXPECT_NE(json.find(part), std::string::npos) << part << "\n" << json;
    const std::string metrics = StatusFormat::Metrics({one, two}, "1");
    for (const char* line : {
             "# TYPE camrelay_output_up gauge\ncamrelay_output_up{id=\"6\",name=\"双路\",output=\"1\"} 1\n"
             "camrelay_output_up{id=\"6\",name=\"双路\",output=\"3\"} 0\n#",
             "camrelay_output_bitrate_kbps{id=\"6\",name=\"双路\",output=\"1\"} 800\n",
             "camrelay_output_consecutive_failures{id=\"6\",name=\"双路\",output=\"3\"} 2\n",
             "# TYPE camrelay_output_restarts_total counter\ncamrelay_output_restarts_total{id=\"6\",name=\"双路\",output=\"1\"} 0\n",
             "# TYPE camrelay_output_bytes_total counter\ncamrelay_output_bytes_total{id=\"6\",name=\"双路\",output=\"1\"} 4096\n"
             "camrelay_output_bytes_total{id=\"6\",name=\"双路\",output=\"3\"} 100\n",
             "camrelay_output_state{id=\"6\",name=\"双路\",output=\"3\",state=\"live\"} 0\n"
             "camrelay_output_state{id=\"6\",name=\"双路\",output=\"3\",state=\"failing\"} 1\n",
         })
        EXPECT_NE(metrics.find(line), std::string::npos) << line << "\n" << metrics;
    EXPECT_EQ(metrics.find("id=\"5\",name=\"单路\",output"), std::string::npos) << metrics;
    EXPECT_EQ(StatusFormat::Metrics({one}, "1").find("camrelay_output"), std::string::npos);

    StatusChanges changes(10);
    changes.Take({one, two});
    for (auto change : {+[](ChannelStatus::Output& o) { o.state = "live"; },
                        +[](ChannelStatus::Output& o) { o.failure->cause = "stalled"; }}) {
        const std::uint64_t before = changes.Revision();
        change(two.outputs[1]);
        changes.Take({one, two});
        const std::string delta = changes.Json(before, {"1"});
        EXPECT_NE(delta.find("\"outputs\":{\"6\":[{\"output\":1,"), std::string::npos) << delta;
        EXPECT_EQ(delta.find("\"5\""), std::string::npos) << delta;
    }
}

// The page's form at 200 channels, every one live with a name, texts and figures, one failing:
// asked with the revision of its last answer, it gets only the fields that changed since (here
// each bitrate, as a steady relay's readings move it, and the failing channel's state), no
// revision when nothing changed, and everything for a revision of another run or of none yet.
TEST(StatusChanges, SendsOnlyWhatChangedSinceARevision)
{
    std::vector<ChannelStatus> channels;
    for (int id = 0; id < 200; ++id)
        channels.push_back({id, "园区东门停车场入口摄像头 " + std::to_string(id), true, true, 1900, 0, 3, 0.2, "live",
                            1765000000, 1u << 30, std::nullopt, {"", "1900kbps", "运行中", "否", "1920*1080", ""},
                            1.0, 25.0, 12, 40, 1});
    StatusChanges changes(1000);
    changes.Take(channels);
    const std::uint64_t first = changes.Revision();
    const std::string full = changes.Json(0, {"1.0"});
    EXPECT_LT(full.size(), StatusFormat::Json(channels, {"1.0"}).size());
    changes.Take(channels);
    EXPECT_EQ(changes.Revision(), first);
    const std::string steady = changes.Json(first, {"1.0"});
    EXPECT_TRUE(steady.ends_with(",\"changes\":{}}\n") && steady.find("\"ids\"") == std::string::npos) << steady;

    for (ChannelStatus& c : channels)
        c.texts.bitrate = std::to_string(1800 + c.id) + "kbps", c.bitrateKbps = 1800 + c.id, c.outputBytes += 99;
    channels[7].state = "failing", channels[7].texts.state = "连续1次直播失败，重试中。。。！";
    channels.erase(channels.begin() + 9);
    changes.Take(channels);
    const std::string delta = changes.Json(first, {"1.0"});
    EXPECT_LT(delta.size(), 10000u) << full.size() << " " << StatusFormat::Json(channels, {"1.0"}).size() << " " << delta.size();
    for (const char* part : {",8,10,", "\"6\":\"1806kbps\",\"7\":\"1807kbps\",", "\"state\":{\"7\":\"failing\"}"})
        EXPECT_NE(delta.find(part), std::string::npos) << part << "\n" << delta;
    EXPECT_EQ(delta.find("\"name\""), std::string::npos);
    EXPECT_EQ(changes.Json(changes.Revision(), {"1.0"}).find("\"bitrate\""), std::string::npos);
    for (std::uint64_t unknown : {std::uint64_t(999), changes.Revision() + 1})
        EXPECT_NE(changes.Json(unknown, {"1.0"}).find("\"full\":true,"), std::string::npos) << unknown;
    EXPECT_NE(changes.Json(999, {"1.0"}).find("\"name\":{\"0\":\"园区"), std::string::npos);
}

}  // namespace
