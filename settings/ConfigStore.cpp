#include "settings/ConfigStore.h"

#include "settings/ConfigSection.h"
#include "settings/IniCache.h"
#include "settings/IniFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

ConfigStore::ConfigStore(const std::string& dir) : m_strIniPath(dir + "/config.ini") {}

std::string ConfigStore::GetValue(const std::string& key) const
{
    return IniCache::Load(m_strIniPath)->GetValue(kConfigSection, key);
}

bool ConfigStore::SetValue(const std::string& value, const std::string& key) const
{
    return SetValues({{key, value}});
}

bool ConfigStore::SetValues(const KeyValues& keyValues) const
{
    // A line break or NUL in a key or value would smuggle extra lines into the file, and an
    // '=' or leading '[' in a key would change how it reads back: refuse the whole batch.
    for (const auto& [key, value] : keyValues)
        if (!IniFile::IsValidKey(key) || !IniFile::IsValidValue(value))
            return false;
    if (keyValues.empty())
        return true;
    return IniCache::Update(m_strIniPath, [&](IniFile& doc) {
        for (const auto& [key, value] : keyValues)
            if (!doc.SetValue(kConfigSection, key, value))
                return false;
        return true;
    });
}

std::vector<std::string> ConfigStore::Keys() const
{
    return IniCache::Load(m_strIniPath)->Keys(kConfigSection);
}

std::string ConfigStore::ReadProblem() const
{
    if (::access(m_strIniPath.c_str(), F_OK) != 0 && errno == ENOENT)
        return "找不到 " + m_strIniPath;
    if (std::string problem = IniCache::Problem(m_strIniPath); !problem.empty())
        return problem;
    // Only the file's ends are read here (non-blocking: it may have become a FIFO since the
    // check); the section is looked for in the cache's parse, which the caller reads next anyway.
    const int fd = ::open(m_strIniPath.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return m_strIniPath + " 无法读取：" + std::strerror(errno);
    struct stat st {};
    char head[2] = {}, tail[2] = {};
    const bool read = ::fstat(fd, &st) == 0 && (st.st_size == 0 || (::pread(fd, head, 2, 0) >= 1 &&
                                                                   ::pread(fd, tail, 2, std::max<off_t>(st.st_size - 2, 0)) >= 1));
    const int error = errno;
    ::close(fd);
    if (!read)
        return m_strIniPath + " 无法读取：" + std::strerror(error);
    if (st.st_size == 0)
        return m_strIniPath + " 为空";
    // Every line we write ends with a line break (UTF-16 files with "\n\0").
    const bool utf16 = head[0] == '\xFF' && head[1] == '\xFE';
    const bool whole = utf16 ? st.st_size % 2 == 0 && tail[0] == '\n' && tail[1] == '\0'
                             : tail[st.st_size >= 2 ? 1 : 0] == '\n';
    if (!whole)
        return m_strIniPath + " 最后一行不完整（可能正在写入）";
    if (IniCache::Load(m_strIniPath)->Keys(kConfigSection).empty())
        return m_strIniPath + " 中没有 [" + kConfigSection + "] 节";
    return {};
}

std::string ConfigStore::ExecutableDir()
{
    std::error_code error;
    const std::string path = std::filesystem::read_symlink("/proc/self/exe", error).string();
    const std::size_t slash = path.rfind('/');
    return error || slash == std::string::npos ? "." : path.substr(0, slash);
}

long ConfigStore::ReplaceCount()
{
    return IniCache::ReplaceCount();
}
