#pragma once
#include "settings/ChannelRecord.h"

#include <string>
#include <vector>

// What a camera sends, as ffprobe reports it, and what that means for a channel's settings:
// which choices cannot relay it, which relay it with a drawback, and what will be published.
// Pure functions, no Qt.

struct SourceStreams {
    bool hasVideo = false;
    int videoIndex = -1;       // the video stream's index in the source
    std::string videoCodec;    // ffprobe's name: h264, hevc, mjpeg, ...
    std::string videoProfile;  // Main, High, ...; empty when unknown
    std::string pixelFormat;   // yuv420p, yuvj422p, ...
    int width = 0, height = 0;
    double frameRate = 0;      // 0 when unknown
    // Seconds from one keyframe to the next as a few seconds of packets show it; 0 when not
    // measured. keyframeAtLeast: only one keyframe came, keyframeSeconds after which none had.
    double keyframeSeconds = 0;
    bool keyframeAtLeast = false;
    bool hasAudio = false;
    std::string audioCodec;    // aac, pcm_alaw, ...
    int sampleRate = 0, channels = 0;
};

struct Advice {
    const char* name = "";  // stable ASCII name, e.g. "hevc_copy"
    bool fails = false;     // the channel cannot relay as set; otherwise it relays (maybe with a drawback)
    std::string text;       // one Chinese sentence
};

// The advice for the line that checks choose and the re-encoding values of s (profile, size,
// rates), in the order: what fails, what works badly, then (when nothing fails) what will be
// published. Never empty.
// flvHevc: the installed ffmpeg copies H.265 into FLV, so copying it depends on the server.
std::vector<Advice> AdviseSource(const SourceStreams& streams, const CheckStates& checks, const ChannelRecord& s,
                                 bool flvHevc = false);

// Platforms want a keyframe at least this often; a copied camera's longer interval is advised on.
constexpr double kMaxKeyframeSeconds = 4;

// "H.264（Main）640x360 25fps yuv420p", "G.711 A-law 8000Hz 1声道": one stream for a report.
std::string DescribeVideo(const SourceStreams& streams);
std::string DescribeAudio(const SourceStreams& streams);
// Reads ffprobe's video packets ("pts_time,flags" lines, "1.04,K__") into keyframeSeconds: the
// longest time from one keyframe to the next, or, when the packets after the last keyframe span
// longer (none at all: all of them), at least that.
void ReadKeyframes(const std::string& packets, SourceStreams& streams);

// "关键帧间隔 2 秒", "关键帧间隔超过 6 秒"; empty when not measured.
std::string DescribeKeyframes(const SourceStreams& streams);
