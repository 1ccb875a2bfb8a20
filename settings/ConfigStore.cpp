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
#include <mutex>
#include <unordered_map>

namespace {

// Writes that could not be made yet, per config.ini path, and why.
struct Kept {
    ConfigStore::KeyValues writes;
    std::string problem;
};
std::mutex g_keptMutex;
std::unordered_map<std::string, Kept> g_kept;

bool SameKey(std::string_view a, std::string_view b)
{
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return (x >= 'A' && x <= 'Z' ? x + 32 : x) == (y >= 'A' && y <= 'Z' ? y + 32 : y);
    });
}

// Adds the pairs to writes, a later value replacing the one kept for the same key.
void Merge(ConfigStore::KeyValues& writes, const ConfigStore::KeyValues& more)
{
    for (const auto& pair : more) {
        const auto same = [&pair](const auto& kept) { return SameKey(kept.first, pair.first); };
        if (const auto it = std::find_if(writes.begin(), writes.end(), same); it != writes.end())
            it->second = pair.second;
        else
            writes.push_back(pair);
    }
}

}  // namespace

ConfigStore::ConfigStore(const std::string& dir) : m_strIniPath(dir + "/config.ini") {}

std::string ConfigStore::GetValue(const std::string& key) const
{
    {
        // A value kept for a later write is the one in force.
        std::lock_guard lock(g_keptMutex);
        if (const auto it = g_kept.find(m_strIniPath); it != g_kept.end())
            for (const auto& [keptKey, value] : it->second.writes)
                if (SameKey(keptKey, key)) {  // read as the file will give it back once written
                    IniFile doc;
                    doc.SetValue(kConfigSection, key, value);
                    return IniFile::Parse(doc.Serialize()).GetValue(kConfigSection, key);
                }
    }
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
    std::lock_guard lock(g_keptMutex);
    KeyValues writes;
    if (const auto it = g_kept.find(m_strIniPath); it != g_kept.end())
        writes = it->second.writes;
    Merge(writes, keyValues);
    return WriteKept(std::move(writes));
}

bool ConfigStore::WriteKept(KeyValues writes) const
{
    std::string problem;
    // The checks of a reload: a file that says nothing whole about the settings is not
    // rewritten, or what is not yet in it (an editor still saving it) would be lost for good.
    const auto guard = [this](const IniFile* doc) {
        return !doc || doc->HasSection(kConfigSection) ? std::string()
                                                       : m_strIniPath + " 中没有 [" + kConfigSection + "] 节";
    };
    const bool written = IniCache::Update(m_strIniPath, [&writes](IniFile& doc) {
        for (const auto& [key, value] : writes)
            if (!doc.SetValue(kConfigSection, key, value))
                return false;
        return true;
    }, &problem, guard);
    if (written)
        g_kept.erase(m_strIniPath);
    else
        g_kept[m_strIniPath] = Kept{std::move(writes), problem.empty() ? "无法写入 " + m_strIniPath : problem};
    return written;
}

bool ConfigStore::SavePending() const
{
    std::lock_guard lock(g_keptMutex);
    const auto it = g_kept.find(m_strIniPath);
    return it == g_kept.end() || WriteKept(it->second.writes);
}

std::string ConfigStore::UnsavedWarning() const
{
    std::lock_guard lock(g_keptMutex);
    const auto it = g_kept.find(m_strIniPath);
    if (it == g_kept.end())
        return {};
    return "更改已生效，但未能保存到 config.ini：" + it->second.problem + "；更改暂存在程序中，待文件完整且可以写入时自动保存";
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
    IniCache::End end = IniCache::End::Whole;
    const std::shared_ptr<const IniFile> doc = IniCache::Load(m_strIniPath, &end);
    if (std::string problem = IniCache::EndProblem(m_strIniPath, end); !problem.empty())
        return problem;
    if (doc->Keys(kConfigSection).empty())
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
