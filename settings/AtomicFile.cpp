#include "settings/AtomicFile.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

namespace {

std::atomic<long> g_failAfterBytes{-1};

constexpr mode_t kAnyWrite = S_IWUSR | S_IWGRP | S_IWOTH;

// Writable for us: access() alone is not enough, since it ignores mode bits for root.
bool Writable(const std::string& path, const struct stat& st, int how)
{
    return (st.st_mode & kAnyWrite) != 0 && access(path.c_str(), how) == 0;
}

// Writes all of bytes; total counts the bytes written to this file so far (for the test hook).
bool WriteAll(int fd, std::string_view bytes, std::size_t& total)
{
    const long limit = g_failAfterBytes.load();
    std::size_t done = 0;
    while (done < bytes.size()) {
        std::size_t chunk = bytes.size() - done;
        if (limit >= 0) {
            if (total >= static_cast<std::size_t>(limit)) {
                errno = ENOSPC;
                return false;
            }
            chunk = std::min(chunk, static_cast<std::size_t>(limit) - total);
        }
        const ssize_t n = write(fd, bytes.data() + done, chunk);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        done += static_cast<std::size_t>(n);
        total += static_cast<std::size_t>(n);
    }
    return true;
}

// The file a write of path replaces: path itself, or the file a symbolic link there points
// to. Empty for a dangling link.
std::string WriteTarget(const std::string& path)
{
    struct stat st;
    if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode))
        return path;
    std::error_code error;
    const std::filesystem::path target = std::filesystem::canonical(path, error);
    return error ? std::string() : target.string();
}

// The folder and the name of a path ("." for a bare name).
std::pair<std::string, std::string> SplitPath(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return {".", path};
    return {slash == 0 ? "/" : path.substr(0, slash), path.substr(slash + 1)};
}

constexpr std::size_t kTempSuffix = 6;  // the XXXXXX that mkostemp fills with letters and digits

// Whether target is still the file the new contents were made from, asked just before the
// rename. Another program's save can still slip in between the two: the window is a stat long.
bool StillCurrentNow(const std::string& target, const AtomicFile::StillCurrent& stillCurrent)
{
    struct stat now;
    const bool exists = stat(target.c_str(), &now) == 0;
    if (stillCurrent(exists ? &now : nullptr))
        return true;
    errno = ECANCELED;
    return false;
}

}  // namespace

int AtomicFile::RemoveStaleTemporaries(const std::string& path, int minAgeSeconds)
{
    const std::string target = WriteTarget(path);
    if (target.empty())
        return 0;
    const auto [dir, base] = SplitPath(target);
    const std::string prefix = "." + base + ".";
    struct stat fileSt;
    const bool haveFile = stat(target.c_str(), &fileSt) == 0;
    DIR* folder = opendir(dir.c_str());
    if (!folder)
        return 0;
    const int dfd = dirfd(folder);
    const time_t now = time(nullptr);
    int removed = 0;
    while (const dirent* entry = readdir(folder)) {
        const std::string_view name = entry->d_name;
        if (name.size() != prefix.size() + kTempSuffix || !name.starts_with(prefix))
            continue;
        bool ours = true;
        for (const char c : name.substr(prefix.size()))
            ours = ours && ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'));
        struct stat st;
        if (!ours || fstatat(dfd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode))
            continue;
        if (st.st_uid != geteuid() && !(haveFile && st.st_uid == fileSt.st_uid))
            continue;
        if (now - st.st_mtime >= minAgeSeconds && unlinkat(dfd, entry->d_name, 0) == 0)
            ++removed;
    }
    closedir(folder);
    return removed;
}

void AtomicFile::SetWriteFailureForTest(long afterBytes)
{
    g_failAfterBytes.store(afterBytes);
}

bool AtomicFile::Replace(const std::string& path, std::string_view bytes, struct stat* written)
{
    return Replace(path, [bytes](const Writer& write) { return write(bytes); }, written);
}

bool AtomicFile::Replace(const std::string& path, const Producer& produce, struct stat* written,
                         const StillCurrent& stillCurrent)
{
    const auto refuse = [](int error) {
        errno = error;
        return false;
    };
    const std::string target = WriteTarget(path);
    if (target.empty())
        return refuse(ENOENT);  // a dangling link: nowhere sensible to write
    struct stat st;
    bool exists = stat(target.c_str(), &st) == 0;
    if (!exists && errno != ENOENT)
        return false;
    if (exists && !S_ISREG(st.st_mode))
        return refuse(EINVAL);
    if (exists && !Writable(target, st, W_OK))
        return refuse(EACCES);  // a read-only config.ini stays as it is

    const auto [dir, base] = SplitPath(target);
    struct stat dirSt;
    if (stat(dir.c_str(), &dirSt) != 0)
        return false;
    if (!Writable(dir, dirSt, W_OK | X_OK))
        return refuse(EACCES);

    std::string tmp = (dir == "/" ? "" : dir) + "/." + base + ".XXXXXX";
    const int fd = mkostemp(tmp.data(), O_CLOEXEC);
    if (fd < 0)
        return false;
    auto fail = [&](bool open) {
        const int saved = errno;
        if (open)
            close(fd);
        unlink(tmp.c_str());
        errno = saved;
        return false;
    };

    if (fchmod(fd, exists ? (st.st_mode & 07777) : 0600) != 0)
        return fail(true);
    // Only root may give a file away; otherwise the new file is ours.
    if (exists && (st.st_uid != geteuid() || st.st_gid != getegid()) && fchown(fd, st.st_uid, st.st_gid) != 0) {
    }
    struct stat result;
    std::size_t total = 0;
    int writeErrno = 0;
    bool produced = false;
    try {
        produced = produce([fd, &total, &writeErrno](std::string_view piece) {
            if (WriteAll(fd, piece, total))
                return true;
            writeErrno = errno;
            return false;
        });
    } catch (...) {
        fail(true);  // no descriptor or half-written temporary file outlives a failed producer
        throw;
    }
    if (!produced) {
        errno = writeErrno != 0 ? writeErrno : EIO;
        return fail(true);
    }
    if (fsync(fd) != 0 || fstat(fd, &result) != 0)
        return fail(true);
    if (close(fd) != 0)
        return fail(false);
    if ((stillCurrent && !StillCurrentNow(target, stillCurrent)) || rename(tmp.c_str(), target.c_str()) != 0)
        return fail(false);

    // Make the rename itself durable; a failure here cannot be undone and is not reported.
    const int dfd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        fsync(dfd);
        close(dfd);
    }
    // The rename changed the inode's ctime; take the fresh figures if the file is still ours.
    struct stat now;
    if (stat(target.c_str(), &now) == 0 && now.st_dev == result.st_dev && now.st_ino == result.st_ino &&
        now.st_size == result.st_size && now.st_mtim.tv_sec == result.st_mtim.tv_sec &&
        now.st_mtim.tv_nsec == result.st_mtim.tv_nsec)
        result = now;
    if (written)
        *written = result;
    return true;
}
