#include "settings/DataDir.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

bool IsDirectory(const std::string& path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The rule the settings writes follow: a folder without any write bit is read-only also for
// root, whom access() would let through.
bool IsWritableFolder(const std::string& path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH))
           && ::faccessat(AT_FDCWD, path.c_str(), W_OK | X_OK, AT_EACCESS) == 0;
}

// Creates path and any missing parents with mode 0700 (the settings hold camera passwords).
bool MakeFolders(const std::string& path, std::string& error)
{
    for (std::size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
        const std::string part = path.substr(0, slash);
        if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
            error = "无法创建目录 " + part + "：" + std::strerror(errno);
            return false;
        }
        if (slash == std::string::npos)
            break;
    }
    if (!IsDirectory(path)) {
        error = path + " 不是目录";
        return false;
    }
    return true;
}

// dir (absolute) is the root folder or lies in one that the system's packages and the
// administrator own.
bool IsSystemFolder(const std::string& dir)
{
    const std::string top = dir.substr(1, dir.find('/', 1) - 1);
    for (const char* system : {"", "usr", "bin", "sbin", "opt", "etc"})
        if (top == system)
            return true;
    return top.compare(0, 3, "lib") == 0;
}

DataDir Created(std::string path, bool create = true)
{
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    DataDir dir;
    if (!create || MakeFolders(path, dir.m_strError))
        dir.m_strPath = std::move(path);
    return dir;
}

}  // namespace

DataDir DataDir::FromOption(const std::string& dir)
{
    if (dir.empty())
        return {{}, "目录为空"};
    if (dir.front() == '/')
        return Created(dir);
    char cwd[4096];
    if (!::getcwd(cwd, sizeof cwd))
        return {{}, std::string("无法取得当前目录：") + std::strerror(errno)};
    return Created(std::string(cwd) + "/" + dir);
}

DataDir DataDir::Resolve(const std::string& programDir, const char* xdgConfigHome, const char* home, bool create)
{
    if (IsPortable(programDir, ::access((programDir + "/config.ini").c_str(), F_OK) == 0, IsWritableFolder(programDir)))
        return {programDir, {}};
    if (xdgConfigHome && xdgConfigHome[0] == '/')
        return Created(std::string(xdgConfigHome) + "/CamRelay", create);
    std::string base = home && home[0] == '/' ? home : "";
    if (base.empty())
        if (const passwd* user = ::getpwuid(::geteuid()); user && user->pw_dir && user->pw_dir[0] == '/')
            base = user->pw_dir;
    if (base.empty())
        return {{}, "找不到配置目录：未设置HOME"};
    return Created(base + "/.config/CamRelay", create);
}

bool DataDir::IsPortable(const std::string& programDir, bool hasConfigIni, bool writable)
{
    return hasConfigIni || (writable && programDir.starts_with('/') && !IsSystemFolder(programDir));
}
