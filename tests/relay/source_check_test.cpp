#include "ffmpeg/SourceChecks.h"
#include "ffmpeg/TranscoderCompat.h"
#include "support/LocalServers.h"
#include "support/ProcessProbe.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>

// Real probes of real streams on 127.0.0.1 (nginx-rtmp with the test source: H.264 + AAC; the
// camera simulator, asking for a password: H.264 + G.711, H.265 + AAC, MJPEG 4:2:2; files with
// several video and audio streams, where the one ffmpeg publishes is described; one with a
// keyframe every 5 s), then the
// advice for each stream under the settings of each row. A refused port and a server that never
// answers end as the relay's diagnosis says; the second within the time limit, and a check
// of the registry is one at a time per channel and leaves no ffprobe when cancelled.
TEST(SourceCheck, RealStreamsAdviceLimitsAndCancel)
{
    const int port = FreeTcpPort();
    const std::string rtmp = "rtmp://127.0.0.1:" + std::to_string(port) + "/live/src", mute = std::to_string(FreeTcpPort());
    const TempDir dir("camrelay-sources");
    ShellServer servers;
    // ffmpeg maps the video with the most pixels (the first of equals) and the audio with the most
    // channels (many.ts), or a stream marked default (default.mkv: the smaller second).
    ASSERT_TRUE(servers.Start("cd " + dir.Path() + " && V='-f lavfi -i testsrc=s=160x120:d=1 -f lavfi -i testsrc=s=320x240:d=1' && "
        "ffmpeg -v error $V -f lavfi -i sine=d=1 -map 0 -map 1 -map 1 -map 2 -map 2 -c:v:0 libx264 -c:v:1 mpeg4 "
        "-c:v:2 mpeg2video -c:a aac -ac:a:1 2 many.ts && ffmpeg -v error $V -map 1 -map 0 -c:v:0 mpeg4 -c:v:1 libx264 -pix_fmt yuv420p "
        "-disposition:v:0 0 -disposition:v:1 default default.mkv && ffmpeg -v error -f lavfi -i testsrc=s=160x120:d=8 -g 125 gop5.mp4 && cd - && start_nginx_rtmp nginx " + std::to_string(port) + " && start_test_source src.log " + rtmp +
        " && probe_until_video " + rtmp + " >/dev/null && start_rtsp_sim rtsp.log $(free_port) admin secret && "
        "spawn_server mute.log /usr/bin/python3 -c 'import socket,time;s=socket.create_server((\"127.0.0.1\"," + mute +
        "));time.sleep(90)'", "$RTSP_URL")) << servers.Log();
    const std::string cam = "rtsp://admin:secret@" + servers.Ready().substr(7, servers.Ready().size() - 11);
    const FfmpegLocation ffmpeg = FfmpegLocation::Find("/nonexistent", std::getenv("PATH"));
    const FfmpegLocation ffprobe = FfmpegLocation::FindProbe(ffmpeg, std::getenv("PATH"));
    std::map<std::string, SourceResult> probed;
    for (const auto& [name, url, streams] : {std::tuple<const char*, std::string, const char*>
             {"aac", rtmp, "H.264 High 640x360 25fps yuv420p | AAC 44100Hz 1声道"},
             {"g711", cam + "test", "H.264 Main 640x360 25fps yuv420p | G.711 A-law 8000Hz 1声道"},
             {"hevc", cam + "h265", "H.265 Main 640x360 25fps yuv420p | AAC 44100Hz 1声道"},
             {"mjpeg", cam + "mjpeg", "MJPEG Baseline 640x360 25fps yuvj422p | "},
             {"many", dir.File("many.ts"), "MPEG-4 Simple Profile 320x240 25fps yuv420p | AAC 44100Hz 2声道"},
             {"default", dir.File("default.mkv"), "H.264 High 160x120 25fps yuv420p | "},
             {"gop5", dir.File("gop5.mp4"), "H.264 High 4:4:4 Predictive 160x120 25fps yuv444p | "}}) {
        SourceRequest request;
        request.url = url, request.grabFrame = false;
        const SourceResult& r = probed[name] = RunSourceCheck(request, ffmpeg, ffprobe);
        EXPECT_TRUE(r.Usable()) << name << ": " << r.Report();
        EXPECT_EQ(DescribeVideo(r.streams) + " | " + (r.streams.hasAudio ? DescribeAudio(r.streams) : ""), streams) << name;
        EXPECT_EQ(r.Report().find("secret"), std::string::npos) << r.Report();
    }
    const CheckStates copyBoth{1, 0, 0, 1, 0}, newChannel{1, 0, 0, 1, 1}, reencode{1, 1, 0, 1, 1};
    // flvHevc: the ffmpeg in use muxes H.265 into FLV (6.1 and later), so the server decides.
    // toAac, silence: the audio options of the encoding page.
    const struct { const char* stream; CheckStates checks; const char* profile; const char* advice; bool flvHevc = false;
                   int toAac = 0, silence = 0; } rows[] = {
        {"aac", copyBoth, "", "publish"},
        {"g711", copyBoth, "", "g711_copy publish"},
        {"g711", newChannel, "high", "publish"},
        {"hevc", copyBoth, "", "hevc_copy"},
        {"hevc", copyBoth, "", "hevc_copy_enhanced publish", true},
        {"hevc", {1, 1, 0, 1, 0}, "main", "publish"},
        {"mjpeg", copyBoth, "", "video_codec_copy reencode_profile no_audio"},
        {"mjpeg", reencode, "main", "profile_pixel_format no_audio"},
        {"mjpeg", reencode, "high422", "no_audio publish"},
        {"mjpeg", {0, 0, 0, 1, 1}, "", "nothing_published"},
        {"g711", copyBoth, "", "publish", false, 1},
        {"aac", copyBoth, "", "silence_replaces_audio publish", false, 0, 1},
        {"mjpeg", reencode, "high422", "publish", false, 0, 1},
        {"gop5", copyBoth, "", "keyframe_interval no_audio publish"},
        {"gop5", reencode, "high444", "no_audio publish"},
    };
    for (const auto& row : rows) {
        ChannelRecord settings;
        settings.profile = row.profile, settings.audioToAac = row.toAac, settings.silentAudio = row.silence;
        std::string names;
        for (const Advice& a : AdviseSource(probed[row.stream].streams, row.checks, settings, row.flvHevc))
            names += (names.empty() ? "" : " ") + std::string(a.name);
        EXPECT_EQ(names, row.advice) << row.stream << " " << row.profile;
    }
    EXPECT_EQ(AdviseSource(probed["hevc"].streams, copyBoth, {})[0].text,
              kHevcCopySentence);
    EXPECT_EQ(DescribeKeyframes(probed["gop5"].streams) + " " + DescribeKeyframes(probed["aac"].streams),
              "关键帧间隔 5 秒 关键帧间隔 2 秒");
    EXPECT_EQ(probed["hevc"].flvHevc, FlvCarriesHevc(ffmpeg.m_strPath)) << "the check asks the ffmpeg in use";

    SourceRequest refused, silent;
    refused.url = "rtsp://127.0.0.1:" + std::to_string(FreeTcpPort()) + "/x";
    silent.url = "rtsp://127.0.0.1:" + mute + "/cam", silent.limitMs = 1500;
    EXPECT_STREQ(RunSourceCheck(refused, ffmpeg, ffprobe).diagnosis.name, "connection_refused");
    EXPECT_STREQ(RunSourceCheck(silent, ffmpeg, ffprobe).diagnosis.name, "stalled");
    EXPECT_TRUE(ProcessProbe::ProcessesWithArg(silent.url).empty()) << "ffprobe outlived its time limit";

    SourceChecks checks(ffmpeg);
    silent.limitMs = 60000;
    ASSERT_TRUE(checks.Start(7, silent, nullptr));
    EXPECT_FALSE(checks.Start(7, refused, nullptr)) << "two checks of one channel at once";
    ASSERT_TRUE(ProcessProbe::WaitUntil([&] { return !ProcessProbe::ProcessesWithArg(silent.url).empty(); }, std::chrono::seconds(5)));
    checks.Cancel(7);
    EXPECT_TRUE(ProcessProbe::WaitUntil([&] { return !checks.Running(7); }, std::chrono::seconds(2)));
    EXPECT_TRUE(ProcessProbe::ProcessesWithArg(silent.url).empty()) << "a cancelled check left its ffprobe";
    EXPECT_FALSE(checks.Last(7)) << "a cancelled check kept as the channel's last";
}

// A fake ffprobe that answers over TCP only, or from its second run on: an RTSP camera whose
// media never arrives over UDP is tried over TCP after its time-out and the check says to tick
// the TCP box; a source that timed out once is tried again only when asked. A time-out is put
// down to the machine when it was too busy to judge.
TEST(SourceCheck, TimeOutsTriedAgainOverTcpOrOnRequest)
{
    const TempDir dir("camrelay-fakeprobe");
    const FfmpegLocation ffmpeg = FfmpegLocation::Find("/nonexistent", std::getenv("PATH"));
    FfmpegLocation fake;
    fake.m_strPath = dir.File("ffprobe");
    WriteFile(fake.m_strPath, "#!/bin/sh\ncase \"$*\" in *'-rtsp_transport tcp'*) ;; *rtsp:*) exec sleep 30 ;;\n"
                              "*) [ -e " + dir.File("seen") + " ] || { : >" + dir.File("seen") + "; exec sleep 30; } ;; esac\n"
                              "echo 'streams.stream.0.codec_type=\"video\"'; echo 'streams.stream.0.codec_name=\"h264\"'\n");
    std::filesystem::permissions(fake.m_strPath, std::filesystem::perms::owner_all);
    SourceRequest udp, again, once;
    udp.url = "rtsp://127.0.0.1:1/cam", again.url = once.url = "http://127.0.0.1:1/x.flv";
    udp.grabFrame = again.grabFrame = once.grabFrame = false;
    udp.limitMs = again.limitMs = once.limitMs = 1000;
    again.retryTimedOut = true;
    SourceResult timedOut = RunSourceCheck(once, ffmpeg, fake);
    std::filesystem::remove(dir.File("seen"));
    const SourceResult overTcp = RunSourceCheck(udp, ffmpeg, fake), retried = RunSourceCheck(again, ffmpeg, fake);
    EXPECT_TRUE(overTcp.Usable() && overTcp.Fails()) << overTcp.Report();
    EXPECT_NE(overTcp.Summary().find("请勾选“TCP模式拉监控视频”"), std::string::npos) << overTcp.Summary();
    EXPECT_TRUE(!timedOut.reachable && timedOut.timedOut) << timedOut.Report();
    EXPECT_TRUE(retried.Usable() && !retried.Fails()) << retried.Report();

    EXPECT_EQ(BusyReason(2.5, 1000, 1000), "每核负载 2.5");
    EXPECT_EQ(BusyReason(0.5, 2500, 1000), "检测用时 2 秒（时限 1 秒）");
    EXPECT_EQ(BusyReason(1.9, 2000, 1000), "");
    timedOut.busy = "每核负载 2.5";
    EXPECT_EQ(timedOut.Summary(), "本机繁忙，结果可能不准：每核负载 2.5，信号源在时限内没有结果");
}
