#include "relay/StatusLog.h"

#include "relay/SignalPipe.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <system_error>

namespace {

// Writes all of text to fd as far as fd takes it without waiting; the rest is dropped.
void WriteWithoutWaiting(int fd, const std::string& text)
{
    std::size_t done = 0;
    while (done < text.size()) {
        pollfd out{fd, POLLOUT, 0};
        if (::poll(&out, 1, 0) != 1 || !(out.revents & POLLOUT))
            return;
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        done += static_cast<std::size_t>(n);
    }
}

}  // namespace

StatusLog::StatusLog(std::string filePath, int errFd) : m_strPath(std::move(filePath)), m_errFd(errFd)
{
    if (m_errFd == STDERR_FILENO)
        ReopenClosedStandardStreams();  // too late only if the program's main() did not call it
    m_bJournal = IsJournalStream(m_errFd);
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
}

std::string StatusLog::Stamp()
{
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    ::localtime_r(&now, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local);
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

void StatusLog::Write(std::string_view line)
{
    Entry entry;
    entry.stamped = Stamp() + " ";
    entry.bare = entry.stamped.size();
    entry.stamped.append(line);
    entry.stamped.push_back('\n');
    {
        std::lock_guard<std::mutex> lock(m_mutex);
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
    for (const Entry& entry : batch)
        err.append(entry.stamped, m_bJournal ? entry.bare : 0);
    WriteWithoutWaiting(m_errFd, err);
    if (m_strPath.empty())
        return;
    // Someone may have removed or moved the file: lines then go to a new one at the path.
    struct stat st{};
    if (m_fileFd >= 0 && (::stat(m_strPath.c_str(), &st) != 0 || st.st_ino != m_fileIno))
        CloseFile();
    for (const Entry& entry : batch)
        WriteFile(entry.stamped);
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
    m_fileFd = ::open(m_strPath.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, 0644);
    if (m_fileFd < 0)
        return false;
    struct stat st{};
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
