#include "platform/StatusLog.h"

#include "platform/SecretMask.h"
#include "platform/SignalPipe.h"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <system_error>

namespace {

// The most one write() to standard error carries. Up to this size a write to a pipe is atomic
// (all of it or nothing), so lines of other writers never land inside one of ours; and on a
// Linux pipe POLLOUT means a free buffer page, which takes this much without waiting.
constexpr std::size_t kChunk = PIPE_BUF;

// A non-blocking description of its own for the pipe, FIFO or terminal behind fd. Setting
// O_NONBLOCK on fd would change the description it shares with other writers (the shell, the
// parent, a child), which may not expect it. -1 where it cannot be had: no /proc, a pipe of
// another user, nobody reading.
int ReopenNonBlocking(int fd, const struct stat& st)
{
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    const int own = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    struct stat ownSt{};
    if (own >= 0 && (::fstat(own, &ownSt) != 0 || ownSt.st_dev != st.st_dev || ownSt.st_ino != st.st_ino)) {
        ::close(own);
        return -1;
    }
    return own;
}

// Why path cannot take the log's lines, without creating or opening anything but a regular file.
std::string FileProblemOf(const std::string& path)
{
    struct stat st{};
    if (::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode))
        return "日志文件不是普通文件，日志只写到标准错误：" + path;
    int error = 0;
    if (S_ISREG(st.st_mode)) {
        const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
        error = fd < 0 ? errno : 0;
        if (fd >= 0)
            ::close(fd);
    } else {
        const std::size_t slash = path.rfind('/');
        const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash + 1);
        error = errno != ENOENT || ::access(dir.c_str(), W_OK | X_OK) != 0 ? errno : 0;
    }
    return error ? "无法写入日志文件（" + std::string(std::strerror(error)) + "），日志只写到标准错误：" + path : "";
}

// The last lines of the regular file at path (from its last 64 KiB), for the log's recent lines.
std::deque<std::string> TailLines(const std::string& path, std::size_t count)
{
    std::deque<std::string> lines;
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    struct stat st{};
    if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        if (fd >= 0)
            ::close(fd);
        return lines;
    }
    const off_t from = std::max<off_t>(0, st.st_size - 64 * 1024);
    std::string text(static_cast<std::size_t>(st.st_size - from), '\0');
    const ssize_t n = ::pread(fd, text.data(), text.size(), from);
    ::close(fd);
    text.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    // A first line cut by the 64 KiB window is left out.
    std::size_t start = from > 0 ? text.find('\n') + 1 : 0;
    for (std::size_t end; start < text.size() && (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        lines.push_back(MaskPasswords(text.substr(start, end - start)));
        if (lines.size() > count)
            lines.pop_front();
    }
    return lines;
}

// text with its control characters spelled out, so that a channel's name cannot move the
// cursor, recolour or retitle a terminal that shows the log, nor start a line of its own:
// C0 controls, DEL and bytes that are no UTF-8 as \xHH ("\x1b"), C1 controls (U+0080 to U+009F,
// which some terminals obey) as \uHHHH ("\u009b"). Valid UTF-8, Chinese included, is kept.
std::string EscapeControls(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    char code[8];
    for (std::size_t i = 0; i < text.size();) {
        const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
        const unsigned char c = byte(i);
        const std::size_t length = c < 0x80 ? 1 : c >= 0xC2 && c < 0xE0 ? 2 : c >= 0xE0 && c < 0xF0 ? 3 : c >= 0xF0 && c <= 0xF4 ? 4 : 0;
        bool valid = length > 0 && i + length <= text.size();
        for (std::size_t k = 1; valid && k < length; ++k)
            valid = (byte(i + k) & 0xC0) == 0x80;
        // No overlong forms, no surrogates, nothing past U+10FFFF.
        valid = valid && !(c == 0xE0 && byte(i + 1) < 0xA0) && !(c == 0xED && byte(i + 1) >= 0xA0) &&
                !(c == 0xF0 && byte(i + 1) < 0x90) && !(c == 0xF4 && byte(i + 1) >= 0x90);
        if (!valid || (length == 1 && (c < 0x20 || c == 0x7F))) {
            std::snprintf(code, sizeof code, "\\x%02x", c);
            out += code, ++i;
        } else if (c == 0xC2 && byte(i + 1) < 0xA0) {
            std::snprintf(code, sizeof code, "\\u%04x", byte(i + 1));
            out += code, i += 2;
        } else {
            out.append(text, i, length), i += length;
        }
    }
    return out;
}

}  // namespace

StatusLog::StatusLog(std::string filePath, int errFd) : m_strPath(std::move(filePath)), m_errFd(errFd)
{
    if (m_errFd == STDERR_FILENO)
        ReopenClosedStandardStreams();  // too late only if the program's main() did not call it
    m_bJournal = IsJournalStream(m_errFd);
    if (!m_strPath.empty()) {
        m_strFileProblem = FileProblemOf(m_strPath);
        m_recent = TailLines(m_strPath, kRecentLines);
    }
    struct stat st{};
    if (m_errFd >= 0 && ::fstat(m_errFd, &st) == 0) {
        m_bErrSocket = S_ISSOCK(st.st_mode);
        if (S_ISFIFO(st.st_mode) || ::isatty(m_errFd))
            m_ownErrFd = ReopenNonBlocking(m_errFd, st);
    }
    try {
        m_writer = std::thread([this] { Run(); });
    } catch (const std::system_error&) {
        // No writer: every line is dropped, and the program goes on without its log.
    }
}

StatusLog::~StatusLog()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bStop = true;
    }
    m_wake.notify_all();
    if (m_writer.joinable())
        m_writer.join();
    CloseFile();
    if (m_ownErrFd >= 0)
        ::close(m_ownErrFd);
}

std::string StatusLog::Stamp(std::time_t when, const char* format)
{
    std::tm local{};
    ::localtime_r(&when, &local);
    char text[32];
    std::strftime(text, sizeof text, format, &local);
    return text;
}

bool StatusLog::IsJournalStream(int fd)
{
    const char* value = std::getenv("JOURNAL_STREAM");
    struct stat st{};
    if (!value || ::fstat(fd, &st) != 0)
        return false;
    unsigned long long device = 0, inode = 0;
    char extra = 0;
    if (std::sscanf(value, "%llu:%llu%c", &device, &inode, &extra) != 2)
        return false;
    return device == static_cast<unsigned long long>(st.st_dev) && inode == static_cast<unsigned long long>(st.st_ino);
}

void StatusLog::Write(std::string_view line, int priority)
{
    Entry entry;
    entry.stamped = Stamp() + " ";
    entry.bare = entry.stamped.size();
    entry.priority = priority;
    entry.stamped.append(EscapeControls(MaskPasswords(line)));
    entry.stamped.push_back('\n');
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_recent.emplace_back(entry.stamped, 0, entry.stamped.size() - 1);
        if (m_recent.size() > kRecentLines)
            m_recent.pop_front();
        if (!m_writer.joinable() || m_queue.size() >= kMaxQueued)
            return;  // dropped: the caller never waits for the writer
        m_queue.push_back(std::move(entry));
        ++m_queued;
    }
    m_wake.notify_one();
}

void StatusLog::Flush()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    const unsigned long long target = m_queued;
    m_idle.wait(lock, [&] { return m_handled >= target || !m_writer.joinable(); });
}

std::vector<std::string> StatusLog::Recent() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return {m_recent.begin(), m_recent.end()};
}

void StatusLog::Run()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        m_wake.wait(lock, [&] { return m_bStop || !m_queue.empty(); });
        if (m_queue.empty())
            return;  // stopping, and nothing left to write
        std::deque<Entry> batch;
        batch.swap(m_queue);
        lock.unlock();
        WriteEntries(batch);
        lock.lock();
        m_handled += batch.size();
        m_idle.notify_all();
    }
}

void StatusLog::WriteEntries(std::deque<Entry>& batch)
{
    std::string err;
    for (const Entry& entry : batch) {
        if (m_bJournal)  // the journal's own prefix: it stamps the line itself
            err.append("<" + std::to_string(entry.priority) + ">").append(entry.stamped, entry.bare);
        else
            err.append(entry.stamped);
    }
    WriteErr(err);
    if (m_strPath.empty())
        return;
    // Someone may have removed or moved the file: lines then go to a new one at the path.
    struct stat st{};
    if (m_fileFd >= 0 && (::stat(m_strPath.c_str(), &st) != 0 || st.st_ino != m_fileIno))
        CloseFile();
    for (const Entry& entry : batch)
        WriteFile(entry.stamped);
}

void StatusLog::WriteErr(const std::string& text)
{
    const int fd = m_ownErrFd >= 0 ? m_ownErrFd : m_errFd;
    if (fd < 0)
        return;
    // A line cut short last time is ended first, so that the next one starts a line of its own.
    const std::string out = m_bErrMidLine ? "\n" + text : text;
    std::size_t done = 0;
    while (done < out.size()) {
        // Whole lines up to kChunk bytes; a longer line goes in pieces of kChunk.
        std::size_t end = done;
        for (std::size_t next; end < out.size() && (next = out.find('\n', end)) != std::string::npos &&
                               next + 1 - done <= kChunk;)
            end = next + 1;
        if (end == done)
            end = std::min(out.size(), done + kChunk);
        const ssize_t n = WriteSome(fd, out.data() + done, end - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;  // no room now: the rest is dropped
        done += static_cast<std::size_t>(n);
    }
    if (done > 0)
        m_bErrMidLine = out[done - 1] != '\n';
}

ssize_t StatusLog::WriteSome(int fd, const char* data, std::size_t size) const
{
    // A socket (the journal's stream) is told per call not to wait, leaving its flags alone.
    if (m_bErrSocket)
        return ::send(fd, data, size, MSG_DONTWAIT | MSG_NOSIGNAL);
    // Without a non-blocking description of our own: only into room poll() reports, and no
    // more than kChunk, which a pipe with POLLOUT takes at once. A regular file never waits.
    if (fd != m_ownErrFd) {
        pollfd room{fd, POLLOUT, 0};
        if (::poll(&room, 1, 0) != 1 || !(room.revents & POLLOUT) || (room.revents & POLLERR))
            return 0;
    }
    return ::write(fd, data, size);
}

void StatusLog::WriteFile(const std::string& text)
{
    if (m_fileFd < 0 && !OpenFile())
        return;  // a read-only or missing folder: the line is dropped, the next one tries again
    if (m_fileSize > 0 && m_fileSize + text.size() > kMaxFileBytes) {
        CloseFile();
        ::rename(m_strPath.c_str(), (m_strPath + ".1").c_str());
        if (!OpenFile())
            return;
    }
    const ssize_t n = ::write(m_fileFd, text.data(), text.size());
    if (n > 0)
        m_fileSize += static_cast<std::size_t>(n);
}

bool StatusLog::OpenFile()
{
    // Only a regular file (also behind a link) is written; anything else at the path is left
    // alone and the file's lines are dropped. Opening a FIFO for writing waits for a reader, for
    // good, and opening a device may act on it. O_NONBLOCK covers a FIFO put there after the check.
    struct stat st{};
    if (::stat(m_strPath.c_str(), &st) == 0 && !S_ISREG(st.st_mode))
        return false;
    m_fileFd = ::open(m_strPath.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, 0644);
    if (m_fileFd < 0)
        return false;
    if (::fstat(m_fileFd, &st) != 0 || !S_ISREG(st.st_mode)) {
        CloseFile();
        return false;
    }
    m_fileIno = static_cast<unsigned long long>(st.st_ino);
    m_fileSize = static_cast<std::size_t>(st.st_size);
    return true;
}

void StatusLog::CloseFile()
{
    if (m_fileFd >= 0)
        ::close(m_fileFd);
    m_fileFd = -1;
}
