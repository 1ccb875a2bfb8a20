#include "settings/IniCache.h"

#include "settings/AtomicFile.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#ifdef __GLIBC__
#include <malloc.h>
#endif
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>

namespace {

// Larger files are certainly not a config file of ours; reading them could exhaust memory.
constexpr off_t kMaxFileSize = 64 << 20;
constexpr std::size_t kMaxEntries = 16;

enum class ReadStatus { Ok, Missing, Unreadable };

struct Entry {
    struct stat st;
    std::shared_ptr<IniFile> doc;  // handed out only as const; edited only when unshared
};

std::mutex g_mutex;
std::unordered_map<std::string, Entry> g_cache;
std::atomic<long> g_replaces{0};

bool SameFile(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
        a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec &&
        a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}


void Remember(const std::string& path, const struct stat& st, std::shared_ptr<IniFile> doc)
{
    if (g_cache.size() >= kMaxEntries && !g_cache.count(path))
        g_cache.clear();
    g_cache[path] = Entry{st, std::move(doc)};
}

// Reads the whole file straight into out, sized from the expected length, so that a large
// file is neither copied chunk by chunk nor reallocated as it grows.
bool ReadAll(int fd, off_t expected, std::string& out)
{
    std::size_t have = 0;
    out.resize(static_cast<std::size_t>(expected) + 1);  // one byte more notices growth at once
    for (;;) {
        if (have == out.size()) {
            if (out.size() > static_cast<std::size_t>(kMaxFileSize))
                return false;
            out.resize(out.size() * 2);
        }
        const ssize_t n = read(fd, out.data() + have, out.size() - have);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (n == 0)
            break;
        have += static_cast<std::size_t>(n);
    }
    out.resize(have);
    return have <= static_cast<std::size_t>(kMaxFileSize);
}

// Caller holds g_mutex.
ReadStatus LoadLocked(const std::string& path, std::shared_ptr<IniFile>& doc)
{
    doc = nullptr;
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        g_cache.erase(path);
        return errno == ENOENT || errno == ENOTDIR ? ReadStatus::Missing : ReadStatus::Unreadable;
    }
    if (!S_ISREG(st.st_mode) || st.st_size > kMaxFileSize)
        return ReadStatus::Unreadable;
    if (const auto it = g_cache.find(path); it != g_cache.end() && SameFile(it->second.st, st)) {
        doc = it->second.doc;
        return ReadStatus::Ok;
    }

    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return errno == ENOENT ? ReadStatus::Missing : ReadStatus::Unreadable;
    std::string bytes;
    bool ok = false;
    struct stat before, after;
    // Someone writing the file in place while we read: read again.
    for (int attempt = 0; attempt < 3 && !ok; ++attempt) {
        ok = fstat(fd, &before) == 0 && lseek(fd, 0, SEEK_SET) == 0 && ReadAll(fd, before.st_size, bytes) &&
            fstat(fd, &after) == 0 && SameFile(before, after);
    }
    close(fd);
    if (!ok)
        return ReadStatus::Unreadable;
    auto parsed = std::make_shared<IniFile>(IniFile::Parse(std::move(bytes)));
    Remember(path, after, parsed);
    doc = std::move(parsed);
    return ReadStatus::Ok;
}

}  // namespace

std::shared_ptr<const IniFile> IniCache::Load(const std::string& path)
{
    static const auto empty = std::make_shared<const IniFile>();
    std::lock_guard lock(g_mutex);
    std::shared_ptr<IniFile> doc;
    LoadLocked(path, doc);
    return doc ? std::shared_ptr<const IniFile>(std::move(doc)) : empty;
}

bool IniCache::Update(const std::string& path, const std::function<bool(IniFile&)>& edit)
{
    std::lock_guard lock(g_mutex);
    std::shared_ptr<IniFile> current;
    const ReadStatus status = LoadLocked(path, current);
    if (status == ReadStatus::Unreadable)
        return false;
    // Edit the cached document itself when no reader holds it (a large file need not be
    // copied); it leaves the cache now and comes back only as what was written.
    g_cache.erase(path);
    std::shared_ptr<IniFile> doc;
    if (current && current.use_count() == 1)
        doc = std::move(current);
    else
        doc = std::make_shared<IniFile>(current ? *current : IniFile());
    if (!edit(*doc))
        return false;
    struct stat st;
    // Written as it is produced, so that a large file is not also held whole as one string.
    const IniFile& written = *doc;
    const auto produce = [&written](const AtomicFile::Writer& write) { return written.Serialize(write); };
    if (!AtomicFile::Replace(path, produce, &st))
        return false;
    ++g_replaces;
    Remember(path, st, std::move(doc));
    return true;
}

void IniCache::Release(const std::string& path, off_t minBytes)
{
    {
        std::lock_guard lock(g_mutex);
        const auto it = g_cache.find(path);
        if (it == g_cache.end() || it->second.st.st_size < minBytes)
            return;
        g_cache.erase(it);  // a reader still holding the document keeps it until it lets go
    }
#ifdef __GLIBC__
    // The document's large blocks came from the heap once glibc had raised its mapping
    // threshold; without a trim the process would keep their pages resident.
    malloc_trim(0);
#endif
}

std::string IniCache::Problem(const std::string& path)
{
    const std::string name = path.substr(path.rfind('/') + 1);
    struct stat st;
    if (lstat(path.c_str(), &st) != 0)
        return errno == ENOENT ? "" : "无法读取 " + name + "：" + std::strerror(errno);
    if (S_ISLNK(st.st_mode) && stat(path.c_str(), &st) != 0)
        return name + " 是指向无法使用位置的链接（" + std::strerror(errno) + "），信号设置无法读取：" + path;
    if (!S_ISREG(st.st_mode))
        return name + " 不是普通文件，信号设置无法读取：" + path;
    if (st.st_size > kMaxFileSize)
        return name + " 过大（超过 64 MB），信号设置不予读取：" + path;
    // O_NONBLOCK: should a FIFO take the file's place after the check, opening it does not wait.
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return "无法读取 " + name + "：" + std::strerror(errno);
    close(fd);
    return {};
}

long IniCache::ReplaceCount()
{
    return g_replaces.load();
}
