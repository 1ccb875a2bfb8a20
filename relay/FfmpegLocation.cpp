#include "relay/FfmpegLocation.h"

#include <sys/stat.h>
#include <unistd.h>

namespace {
bool IsExecutableFile(const std::string& path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}
}  // namespace

std::string FfmpegLocation::TriedText() const
{
    std::string text;
    for (const std::string& path : m_tried)
        text += (text.empty() ? "" : "、") + path;
    return text;
}

FfmpegLocation FfmpegLocation::Find(const std::string& programDir, const char* pathVariable)
{
    FfmpegLocation found;
    std::vector<std::string> candidates{programDir + "/ffmpeg"};
    // Only absolute PATH entries: an empty or relative one would depend on the current folder.
    const std::string path = pathVariable ? pathVariable : "";
    for (std::size_t begin = 0; begin <= path.size();) {
        std::size_t end = path.find(':', begin);
        if (end == std::string::npos)
            end = path.size();
        std::string dir = path.substr(begin, end - begin);
        while (dir.size() > 1 && dir.back() == '/')
            dir.pop_back();
        if (!dir.empty() && dir.front() == '/')
            candidates.push_back((dir == "/" ? "" : dir) + "/ffmpeg");
        begin = end + 1;
    }
    for (const std::string& candidate : candidates) {
        bool seen = false;
        for (const std::string& tried : found.m_tried)
            seen = seen || tried == candidate;
        if (seen)
            continue;
        found.m_tried.push_back(candidate);
        if (IsExecutableFile(candidate)) {
            found.m_strPath = candidate;
            break;
        }
    }
    return found;
}
