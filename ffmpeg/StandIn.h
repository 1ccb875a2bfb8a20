#pragma once
#include <string>
#include <vector>

// The stand-in stream published while a channel's camera is down, and the cheap check whether
// the camera answers again. Pure functions.

struct StandInPlan {
    std::string name;      // the channel's name, burned in
    std::string picture;   // a PNG; empty: a generated background
    int width = 0, height = 0, frameRate = 0;  // 0: 640x360 at 25 fps
    std::string output;    // the publish address
    std::string fontFile;  // a font with Chinese glyphs; empty: drawtext's default
};
std::vector<std::string> StandInArguments(const StandInPlan& plan);
std::string StandInLine(const StandInPlan& plan);
// The first font file with Chinese glyphs found at the places Debian installs them; empty: none.
std::string FindCjkFont();

// Opens the source and reads up to its first video packet: exit status 0 when the camera delivers.
std::vector<std::string> CameraProbeArguments(const std::string& source, bool rtspOverTcp, int timeoutSeconds);
