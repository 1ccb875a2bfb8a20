#include "ffmpeg/FfmpegLocation.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>

namespace {
bool IsExecutableFile(const std::string& path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

// The first executable `name` in dirs, then in the absolute PATH entries; every place looked
// at, once, in order.
FfmpegLocation Search(std::vector<std::string> dirs, const char* name, const char* pathVariable)
{
    FfmpegLocation found;
    // Only absolute PATH entries: an empty or relative one would depend on the current folder.
    const std::string path = pathVariable ? pathVariable : "";
    for (std::size_t begin = 0; begin <= path.size();) {
        const std::size_t end = std::min(path.find(':', begin), path.size());
        std::string dir = path.substr(begin, end - begin);
        if (!dir.empty() && dir.front() == '/')
            dirs.push_back(dir);
        begin = end + 1;
    }
    for (std::string dir : dirs) {
        while (dir.size() > 1 && dir.back() == '/')
            dir.pop_back();
        const std::string candidate = (dir == "/" ? "" : dir) + "/" + name;
        if (std::find(found.m_tried.begin(), found.m_tried.end(), candidate) != found.m_tried.end())
            continue;
        found.m_tried.push_back(candidate);
        if (IsExecutableFile(candidate)) {
            found.m_strPath = candidate;
            break;
        }
    }
    return found;
}

std::string Folder(const std::string& file)
{
    const std::size_t slash = file.rfind('/');
    return slash == std::string::npos ? std::string() : slash == 0 ? "/" : file.substr(0, slash);
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
    return Search({programDir}, "ffmpeg", pathVariable);
}

FfmpegLocation FfmpegLocation::FindProbe(const FfmpegLocation& ffmpeg, const char* pathVariable)
{
    std::vector<std::string> dirs;
    if (ffmpeg.Found()) {
        dirs.push_back(Folder(ffmpeg.m_strPath));
        char real[PATH_MAX];
        if (::realpath(ffmpeg.m_strPath.c_str(), real))
            dirs.push_back(Folder(real));
    }
    return Search(std::move(dirs), "ffprobe", pathVariable);
}
