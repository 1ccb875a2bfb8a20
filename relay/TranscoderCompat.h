#pragma once
#include <string>
#include <vector>

// Adapts argument vectors to the installed ffmpeg where it lacks what the templates name.
// "libfaac" after "-acodec" becomes "aac" when ffmpeg does not list libfaac.
struct EncoderSupport {
    bool known = false;    // ffmpeg answered
    bool libfaac = false;
};

// Asks `ffmpeg -hide_banner -encoders` once per program path per run (cached).
EncoderSupport QueryEncoders(const std::string& ffmpegPath);

std::vector<std::string> AdaptArguments(std::vector<std::string> args, const EncoderSupport& support);
