#pragma once
#include "settings/ChannelRecord.h"
#include "settings/ConfigStore.h"

#include <cstddef>
#include <string>

// Builds a channel's ffmpeg argument line (Windows command-line syntax, starting with a
// blank) from one of the twenty templates, and rewrites it for RTSP over TCP.
// Pure functions. A line never exceeds the 1,024-byte command buffer of the original format:
// the builder refuses one that would.

constexpr std::size_t kCommandBufferSize = 1024;  // terminator included

struct CommandBuild {
    enum Status { Ok, NoStreams, TooLong, BadValue };
    Status status = Ok;
    int templateNo = 0;            // 1..20, 0 when nothing was built
    bool reencodesVideo = false;   // video on and re-encoded
    std::string line;              // the argument line when Ok
    std::string message;           // Chinese text for the row when not Ok
};

// What the line that the checks choose does with each stream of the source: whether it is
// sent at all, and whether as it comes (copied) rather than re-encoded.
struct StreamPlan {
    bool video = false, videoCopied = false;
    bool audio = false, audioCopied = false;
};
StreamPlan PlanStreams(const CheckStates& checks);

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

// Inserts "-rtsp_transport tcp " before the input option when the line has "rtsp://" and
// no "rtsp_transport", and formats the result as "  %s ". Unchanged otherwise. Returns
// false (line unchanged) when the result would not fit in kCommandBufferSize.
bool ApplyRtspTransport(bool useTcp, std::string& line);
