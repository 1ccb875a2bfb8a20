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

// A write that keeps finding the file changed before its rename gives up after this many tries.
constexpr int kUpdateAttempts = 5;

struct Entry {
    struct stat st;
    std::shared_ptr<IniFile> doc;  // handed out only as const; edited only when unshared
    IniCache::End end = IniCache::End::Whole;
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


void Remember(const std::string& path, const struct stat& st, std::shared_ptr<IniFile> doc, IniCache::End end)
{
    if (g_cache.size() >= kMaxEntries && !g_cache.count(path))
        g_cache.clear();
    g_cache[path] = Entry{st, std::move(doc), end};
}

IniCache::End EndOf(std::string_view bytes)
{
    if (bytes.empty())
        return IniCache::End::Empty;
    const bool utf16 = bytes.starts_with("\xFF\xFE");
    const bool whole = utf16 ? bytes.size() % 2 == 0 && bytes.ends_with(std::string_view("\n\0", 2)) : bytes.back() == '\n';
    return whole ? IniCache::End::Whole : IniCache::End::InsideLine;
}

// A failed write in a sentence for the user, with the usual causes in Chinese.
std::string WriteProblem(const std::string& path, int error)
{
    const char* cause = error == ENOSPC ? "磁盘空间已满"
                        : error == EDQUOT ? "超出磁盘配额"
                        : error == EROFS ? "文件系统只读"
                        : error == EACCES || error == EPERM ? "没有写入权限"
                        : error == ENOENT ? "所在目录不存在"
                        : error == EIO ? "磁盘读写错误"
                                       : nullptr;
    return "无法写入 " + path + "：" + (cause ? cause : std::strerror(error));
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

// Caller holds g_mutex. *read gets the figures of the file as read (when Ok), *end how it ends.
ReadStatus LoadLocked(const std::string& path, std::shared_ptr<IniFile>& doc, struct stat* read = nullptr,
                      IniCache::End* end = nullptr)
{
    doc = nullptr;
    if (end)
        *end = IniCache::End::Whole;
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        g_cache.erase(path);
        return errno == ENOENT || errno == ENOTDIR ? ReadStatus::Missing : ReadStatus::Unreadable;
    }
    if (!S_ISREG(st.st_mode) || st.st_size > kMaxFileSize)
        return ReadStatus::Unreadable;
    if (const auto it = g_cache.find(path); it != g_cache.end() && SameFile(it->second.st, st)) {
        doc = it->second.doc;
        if (read)
            *read = it->second.st;
        if (end)
            *end = it->second.end;
        return ReadStatus::Ok;
    }

    // O_NONBLOCK: should a FIFO take the file's place after the check, opening it does not wait.
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
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
    const IniCache::End ending = EndOf(bytes);
    auto parsed = std::make_shared<IniFile>(IniFile::Parse(std::move(bytes)));
    Remember(path, after, parsed, ending);
    doc = std::move(parsed);
    if (read)
        *read = after;
    if (end)
        *end = ending;
    return ReadStatus::Ok;
}

}  // namespace

std::shared_ptr<const IniFile> IniCache::Load(const std::string& path, End* end)
{
    static const auto empty = std::make_shared<const IniFile>();
    std::lock_guard lock(g_mutex);
    std::shared_ptr<IniFile> doc;
    LoadLocked(path, doc, nullptr, end);
    return doc ? std::shared_ptr<const IniFile>(std::move(doc)) : empty;
}

bool IniCache::Update(const std::string& path, const std::function<bool(IniFile&)>& edit, std::string* problem,
                      const Guard& guard)
{
    const auto refuse = [problem](std::string why) {
        if (problem)
            *problem = std::move(why);
        return false;
    };
    std::lock_guard lock(g_mutex);
    for (int attempt = 0; attempt < kUpdateAttempts; ++attempt) {
        std::shared_ptr<IniFile> current;
        struct stat read {};
        End end = End::Whole;
        const ReadStatus status = LoadLocked(path, current, &read, &end);
        if (status == ReadStatus::Unreadable) {
            const std::string why = Problem(path);
            return refuse(why.empty() ? "无法读取 " + path : why);
        }
        if (std::string why = EndProblem(path, end); !why.empty())
            return refuse(std::move(why));
        if (guard)
            if (std::string why = guard(current.get()); !why.empty())
                return refuse(std::move(why));
        // Edit the cached document itself when no reader holds it (a large file need not be
        // copied); it leaves the cache now and comes back only as what was written.
        g_cache.erase(path);
        std::shared_ptr<IniFile> doc;
        if (current && current.use_count() == 1)
            doc = std::move(current);
        else
            doc = std::make_shared<IniFile>(current ? *current : IniFile());
        if (!edit(*doc))
            return refuse({});
        // Someone else's write between our read and our rename (an editor saving in place or
        // renaming its copy over the file) would be undone by the rename: start again from it.
        const bool existed = status == ReadStatus::Ok;
        const auto stillCurrent = [&read, existed](const struct stat* now) {
            return existed ? now && SameFile(*now, read) : !now;
        };
        struct stat st;
        // Written as it is produced, so that a large file is not also held whole as one string.
        const IniFile& written = *doc;
        const auto produce = [&written](const AtomicFile::Writer& write) { return written.Serialize(write); };
        if (AtomicFile::Replace(path, produce, &st, stillCurrent)) {
            ++g_replaces;
            Remember(path, st, std::move(doc), End::Whole);
            return true;
        }
        if (errno != ECANCELED)
            return refuse(WriteProblem(path, errno));
    }
    return refuse(path + " 一直在被其他程序改写，未能写入");
}

std::string IniCache::EndProblem(const std::string& path, End end)
{
    switch (end) {
    case End::Empty:
        return path + " 为空";
    case End::InsideLine:
        return path + " 最后一行不完整（可能正在写入）";
    case End::Whole:
        break;
    }
    return {};
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
