#include "TempDir.h"

#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <utility>
#include <vector>

TempDir::TempDir(const std::string& prefix)
{
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/" + prefix + "-XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (::mkdtemp(buf.data()))
        m_path = buf.data();
}

TempDir::~TempDir()
{
    if (!m_path.empty())
        RemoveTree(m_path);
}

TempDir::TempDir(TempDir&& other) noexcept : m_path(std::exchange(other.m_path, {})) {}

TempDir& TempDir::operator=(TempDir&& other) noexcept
{
    if (this != &other) {
        if (!m_path.empty())
            RemoveTree(m_path);
        m_path = std::exchange(other.m_path, {});
    }
    return *this;
}

std::string TempDir::File(const std::string& name) const
{
    return m_path + "/" + name;
}

bool RemoveTree(const std::string& path)
{
    std::error_code ec;
    if (std::filesystem::is_directory(std::filesystem::symlink_status(path, ec)))
        std::filesystem::permissions(path, std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ec);
    ec.clear();
    // remove_all does not follow symlinks; a test may have made folders read-only, so open them up first.
    for (auto it = std::filesystem::recursive_directory_iterator(
             path, std::filesystem::directory_options::skip_permission_denied, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        if (it->is_directory(ec) && !it->is_symlink(ec))
            std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                         std::filesystem::perm_options::add, ec);
    }
    ec.clear();
    std::filesystem::remove_all(path, ec);
    return !std::filesystem::exists(std::filesystem::symlink_status(path, ec));
}
