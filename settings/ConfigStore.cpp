#include "settings/ConfigStore.h"

#include "settings/ConfigSection.h"
#include "settings/IniCache.h"
#include "settings/IniFile.h"

#include <unistd.h>

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
