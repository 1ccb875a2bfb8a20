#pragma once
#include <string>
#include <vector>

// Which ffmpeg the relay children run: the one beside the executable when it is there (the
// portable layout), otherwise the first executable "ffmpeg" on PATH.
struct FfmpegLocation {
    std::string m_strPath;               // empty when none was found
    std::vector<std::string> m_tried;    // every place looked at, in order

    bool Found() const { return !m_strPath.empty(); }
    // "a、b、c": the places looked at, for the message shown when none was found.
    std::string TriedText() const;

    // pathVariable is the value of PATH (null or empty: only programDir is looked at).
    static FfmpegLocation Find(const std::string& programDir, const char* pathVariable);
};
