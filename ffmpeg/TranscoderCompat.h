#pragma once
#include "ffmpeg/CommandBuilder.h"

#include <string>

// Adapts launch plans to the installed ffmpeg where it lacks what the plan names: the audio
// encoder libfaac becomes "aac" when ffmpeg does not list libfaac.
struct EncoderSupport {
    bool known = false;    // ffmpeg answered
    bool libfaac = false;
};

// Asks `ffmpeg -hide_banner -encoders` once per program path per run (cached).
EncoderSupport QueryEncoders(const std::string& ffmpegPath);

// What the installed ffmpeg is: its version, and whether its FLV muxer takes H.265 (ffmpeg 6.1
// and later write it as enhanced FLV, which only some RTMP servers accept; 5.1 refuses it).
struct FfmpegTraits {
    bool known = false;     // the muxer answered one way or the other
    bool flvHevc = false;   // an H.265 stream can be copied into FLV
    std::string version;    // "5.1.6-0+deb12u1", from the banner; empty: ffmpeg did not run
};

// Muxes one generated H.265 frame into FLV (written to /dev/null) once per program path per
// run (cached; about half a second). Unknown, e.g. without libx265, counts as refused.
FfmpegTraits QueryFfmpegTraits(const std::string& ffmpegPath);
inline bool FlvCarriesHevc(const std::string& ffmpegPath) { return QueryFfmpegTraits(ffmpegPath).flvHevc; }

// Reads the probe's exit status and what it printed (standard output and error together).
FfmpegTraits ParseHevcProbe(bool exitedZero, const std::string& output);

LaunchPlan AdaptToEncoders(LaunchPlan plan, const EncoderSupport& support);
