#pragma once
#include <string>
#include <vector>

// Which ffmpeg the relay children run: the one beside the executable when it is there (the
// portable layout), otherwise the first executable "ffmpeg" on PATH. ffprobe, which the source
// check runs, is looked for beside that ffmpeg first, so that both come from one installation.
struct FfmpegLocation {
    std::string m_strPath;               // empty when none was found
    std::vector<std::string> m_tried;    // every place looked at, in order

    bool Found() const { return !m_strPath.empty(); }
    // "a、b、c": the places looked at, for the message shown when none was found.
    std::string TriedText() const;

    // pathVariable is the value of PATH (null or empty: only programDir is looked at).
    static FfmpegLocation Find(const std::string& programDir, const char* pathVariable);
    // ffprobe beside ffmpeg as it was found, then beside the file a link of that name leads to
    // (build/bin/ffmpeg -> /usr/bin/ffmpeg), then the first on PATH.
    static FfmpegLocation FindProbe(const FfmpegLocation& ffmpeg, const char* pathVariable);
};
