#include "settings/ConfigStore.h"

#include "settings/ConfigSection.h"
#include "settings/IniCache.h"
#include "settings/IniFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

ConfigStore::ConfigStore() : ConfigStore(ExecutableDir()) {}

ConfigStore::ConfigStore(std::string moduleDir)
    : m_strModuleDir(std::move(moduleDir)),
      m_strSection(kConfigSection),
      m_strIniPath(m_strModuleDir + "/config.ini")
{
}

ConfigStore::~ConfigStore() = default;

std::string ConfigStore::GetValue(const std::string& key) const
{
    return IniCache::Load(m_strIniPath)->GetValue(m_strSection, key);
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
            if (!doc.SetValue(m_strSection, key, value))
                return false;
        return true;
    });
}

std::vector<std::string> ConfigStore::Keys() const
{
    return IniCache::Load(m_strIniPath)->Keys(m_strSection);
}

std::string ConfigStore::ReadProblem() const
{
    if (::access(m_strIniPath.c_str(), F_OK) != 0 && errno == ENOENT)
        return "找不到 " + m_strIniPath;
    if (std::string problem = IniCache::Problem(m_strIniPath); !problem.empty())
        return problem;
    // Non-blocking: the file may have been swapped for a FIFO since the check.
    const int fd = ::open(m_strIniPath.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return m_strIniPath + " 无法读取：" + std::strerror(errno);
    std::string bytes;
    char buffer[65536];
    ssize_t n = 0;
    while ((n = ::read(fd, buffer, sizeof buffer)) > 0 || (n < 0 && errno == EINTR))
        if (n > 0)
            bytes.append(buffer, static_cast<std::size_t>(n));
    const int error = errno;
    ::close(fd);
    if (n < 0)
        return m_strIniPath + " 无法读取：" + std::strerror(error);
    if (bytes.find_first_not_of(" \t\r\n", 0) == std::string::npos)
        return m_strIniPath + " 为空";
    // Every line we write ends with a line break (UTF-16 files with "\n\0").
    const bool utf16 = bytes.size() >= 2 && bytes[0] == '\xFF' && bytes[1] == '\xFE';
    const bool whole = utf16 ? bytes.size() % 2 == 0 && bytes.compare(bytes.size() - 2, 2, std::string("\n\0", 2)) == 0
                             : bytes.back() == '\n';
    if (!whole)
        return m_strIniPath + " 最后一行不完整（可能正在写入）";
    if (IniFile::Parse(std::move(bytes)).Keys(m_strSection).empty())
        return m_strIniPath + " 中没有 [" + m_strSection + "] 节";
    return {};
}

std::string ConfigStore::ExecutableDir()
{
    std::string path(256, '\0');
    for (;;) {
        const ssize_t n = readlink("/proc/self/exe", path.data(), path.size());
        if (n < 0)
            return ".";
        if (static_cast<std::size_t>(n) < path.size()) {
            path.resize(static_cast<std::size_t>(n));
            break;
        }
        path.resize(path.size() * 2);  // possibly cut short: try a larger buffer
    }
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return path.substr(0, slash);
}

long ConfigStore::ReplaceCount()
{
    return IniCache::ReplaceCount();
}
