#pragma once
#include <optional>
#include <string>
#include <vector>

// The stand-in picture (备用画面) a channel publishes while its camera fails, and the cheap
// check of whether the camera answers again. Pure builders of ffmpeg arguments (program name
// not included); the engine runs, watches and ends the children.

struct StandInPlan {
    std::string name;      // the channel's name, shown as the first line (any text)
    std::string picture;   // a PNG scaled into the frame keeping its aspect; empty: a dark background
    int width = 0, height = 0, frameRate = 0;  // 0: 640x360 at 25 fps
    std::string output;    // the channel's publish address (rtmp://)
    std::string fontFile;  // a font with Chinese glyphs for the text; empty: drawtext's default
};

// ffmpeg publishing, paced in real time until it is ended: the picture (or a dark background)
// with the name, "信号中断" and the local time (updated each second) centred on it, as H.264
// (a keyframe every 2 s) with silent stereo AAC, in FLV. The picture is drawn once a second and
// repeated up to the frame rate, so the encoder mostly sees unchanged frames. A picture that
// cannot be read now is left out (the background stands in): ffmpeg would fail at every start.
std::vector<std::string> StandInArguments(const StandInPlan& plan);

// The same arguments as one printable line for the log, in the program's line syntax (starting
// with a blank; an argument with blanks or quotes, or an empty one, in double quotes).
std::string StandInLine(const StandInPlan& plan);

// The first font with Chinese glyphs found among the usual Debian packages' files; empty when
// none is installed.
std::string FindCjkFont();

// ffmpeg reading source until its first video packet, without decoding: exit status 0 when the
// camera delivers, non-zero when it refuses, fails or has no video. A connection on which nothing
// arrives ends after about timeoutSeconds (a socket timeout; 0 or less: 5 s). Callers still
// bound the run: a source that sends only other streams keeps it going.
std::vector<std::string> CameraProbeArguments(const std::string& source, bool rtspOverTcp, int timeoutSeconds);

// The picture of a child's first output, from the stream lines ffmpeg prints as it begins
// ("Output #0 ... Stream #0:0: Video: h264 (High), yuv420p(progressive), 1280x720 [SAR 1:1 DAR
// 16:9], q=2-31, 25 fps, ..."): what a stand-in for a copied camera matches. None when the lines
// do not say (no output video line, no size).
struct OutputPictureSize {
    int width = 0, height = 0, frameRate = 0;  // frameRate rounded; 0 when not printed
};
std::optional<OutputPictureSize> OutputPicture(const std::vector<std::string>& lines);
