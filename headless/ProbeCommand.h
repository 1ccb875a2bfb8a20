#pragma once
#include <string>

// What the command line asks of a source check.
struct ProbeOptions {
    std::string m_strUrl;          // --probe URL; empty for --probe-all
    bool m_bTcp = false;           // --tcp: RTSP over TCP
    std::string m_strPublish;      // --publish URL: the publish address checked beside it
    std::string m_strFrame;        // --frame FILE: where the frame goes; empty: not saved
    bool m_bAll = false;           // --probe-all: every stored channel
    std::string m_strDir;          // --dir with --probe-all; empty: the default data folder
    std::string m_strProgramDir;   // where a bundled ffmpeg (and ffprobe) would be
};

// The source check from the command line, without a window and without touching a data folder
// (--probe-all only reads config.ini, takes no lock and writes nothing). SIGINT or SIGTERM
// cancels the checks.
namespace ProbeCommand {
// How many stored channels --probe-all checks at once.
constexpr int kParallel = 4;

// --probe: the report on standard output (the frame saved when asked); 0 when the source is
// usable, the publish address (if given) takes a stream and the frame, if asked for, was
// saved, otherwise 1.
// --probe-all: one line per listed channel with the advice for its stored settings, its
// publish address and watermark, in id order; a time-out is tried once more, and put down to
// this machine when it was too busy to judge. 0 when every channel can relay as stored,
// otherwise 1.
int Run(const ProbeOptions& options);
}  // namespace ProbeCommand
