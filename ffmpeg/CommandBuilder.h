#pragma once
#include "settings/ChannelRecord.h"
#include "settings/ConfigStore.h"

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// Plans a channel's ffmpeg launch in typed parts, from which come both the child's arguments
// and the argument line (Windows command-line syntax, starting with a blank) that the log shows
// and a reload compares: the line of one of the twenty historical templates, byte for byte.
// Pure functions. A line never exceeds the 1,024-byte command buffer of the original format:
// the builder refuses one that would.

constexpr std::size_t kCommandBufferSize = 1024;  // terminator included

struct LaunchPlan {
    enum class Video { Off, Copy, Encode };
    enum class Audio { Off, Copy, Encode, EncodeBare };  // EncodeBare: the encoder's own defaults
    std::string input;                  // the source address
    bool inputOverTcp = false;          // -rtsp_transport tcp (an rtsp:// input only)
    Video video = Video::Off;
    std::string videoEncoder = "libx264", profile;
    int width = 0, height = 0, videoBitrate = 0, frameRate = 0;
    Audio audio = Audio::Off;
    std::string audioEncoder = "libfaac";
    int channels = 0, sampleRate = 0, audioBitrate = 0;
    std::string watermark, position;    // the overlay's escaped image path and position; empty: none
    bool copyTimestamps = false;
    bool silentInput = false;           // the audio is a silent track of a second input, not the source's
    int keyframeInterval = 0;           // a re-encode's keyframe every so many frames; 0: the encoder's own
    std::string output;                 // the publish address; its scheme chooses the container
    int form = 0;                       // the template (1..20) whose spacing the line keeps
};

// The child's arguments (program name not included), and the line that prints them.
std::vector<std::string> LaunchArguments(const LaunchPlan& plan);
std::string LaunchLine(const LaunchPlan& plan);
// The same arguments without the container and the publish address: the input side, the
// streams' codecs and settings, the picture and the timestamps, for a child that writes
// elsewhere (the puller of a channel with several addresses).
std::vector<std::string> LaunchInputArguments(const LaunchPlan& plan);

struct CommandBuild {
    enum Status { Ok, NoStreams, TooLong, BadValue };
    Status status = Ok;
    int templateNo = 0;            // 1..20, 0 when nothing was built
    bool reencodesVideo = false;   // video on and re-encoded
    std::string line;              // the argument line when Ok
    LaunchPlan plan;               // what the line prints, when Ok
    std::string message;           // Chinese text for the row when not Ok
};

// What the line that the checks choose does with each stream of the source: whether it is
// sent at all, and whether as it comes (copied) rather than re-encoded.
struct StreamPlan {
    bool video = false, videoCopied = false;
    bool audio = false, audioCopied = false;
    bool silentAudio = false;  // the audio sent is a silent track instead of the source's
};
StreamPlan PlanStreams(const CheckStates& checks, const ChannelRecord& s = {});

// The line of channel id as config.ini stores it (*read, if given, gets the settings), held to
// the wizard's rules for what it could not have stored: a publish address must start with
// rtmp:// (anything else, a local path, would have ffmpeg write a file). When the line is
// refused and config.ini cannot be read whole, the message says that instead of what the
// missing keys made of the line.
CommandBuild BuildStoredCommand(const ConfigStore& store, int id, ChannelRecord* read = nullptr);

// Chooses and fills the template. Refuses (never truncates) a line that would not fit in
// kCommandBufferSize, a channel with video and audio off, and values that would split into
// extra arguments for the child (quotes, blanks where bare, control characters).
CommandBuild BuildCommandLine(const CheckStates& checks, const ChannelRecord& s);

// The watermark path as it stands after "movie=" in the filter graph.
std::string EscapeFilterPath(std::string path);
// Any text as the value of a filter's option inside a filter graph: escaped for the option
// parser, then for the graph parser. Blanks at either end are still dropped.
std::string EscapeFilterValue(std::string_view text);

// Pulls an rtsp:// input over TCP: the line gets "-rtsp_transport tcp " before "-i" and is
// formatted as "  %s ". Unchanged for other inputs and for an address that already names
// "rtsp_transport". Returns false (build unchanged) when the line would not fit in
// kCommandBufferSize.
bool ApplyRtspTransport(bool useTcp, CommandBuild& build);
