#pragma once
#include <condition_variable>
#include <cstddef>
#include <ctime>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <thread>
#include <vector>

// The program's status log: one line per event, stamped with the local date and time, written
// to standard error and appended to a log file that is capped at kMaxFileBytes with one older
// generation ("<file>.1"). Write() only queues the line (bounded; a line that does not fit is
// dropped), so neither the GUI thread nor a monitor ever waits for a disk or a pipe; one writer
// thread, owned by this object and joined by its destructor, does the writing and drops what
// it cannot write at once: it never waits for a reader of standard error (pipe, terminal,
// socket) and writes the file only when the path is a regular file, so the destructor always
// returns. Safe from any thread.
class StatusLog {
public:
    static constexpr std::size_t kMaxFileBytes = 1024 * 1024;
    static constexpr std::size_t kMaxQueued = 2000;
    static constexpr std::size_t kRecentLines = 200;

    // filePath empty: standard error only. errFd is the descriptor of standard error (tests
    // pass a pipe); when the systemd journal is standard error (JOURNAL_STREAM names its device
    // and inode) the lines go there without a stamp, since the journal stamps them itself.
    explicit StatusLog(std::string filePath, int errFd = 2);
    ~StatusLog();  // writes what is queued (bounded by the queue), then joins the writer
    StatusLog(const StatusLog&) = delete;
    StatusLog& operator=(const StatusLog&) = delete;

    // Syslog priorities of a line: the journal files it under them (journalctl -p warning).
    static constexpr int kError = 3, kWarning = 4, kInfo = 6;
    // Queues line; any password in an address it holds is masked first, and control characters
    // are written out ("\x1b", "\u009b") so that they never reach a terminal.
    void Write(std::string_view line, int priority = kInfo);
    // Waits until every line queued so far has been handled (tests and the program's end).
    void Flush();
    // The last kRecentLines lines, stamped and masked, oldest first: those of this run, after
    // the end of the file as earlier runs left it. Safe from any thread.
    std::vector<std::string> Recent() const;

    // Why lines cannot go to the file, as found at construction (a sentence for the user; empty
    // when they can). Such lines are dropped silently, so the program says this once itself.
    const std::string& FileProblem() const { return m_strFileProblem; }

    // "2024-05-01T12:00:03": the local time of when (by default now), to the second, in format.
    static std::string Stamp(std::time_t when = std::time(nullptr), const char* format = "%Y-%m-%dT%H:%M:%S");
    // True when fd is the stream JOURNAL_STREAM ("<device>:<inode>") names.
    static bool IsJournalStream(int fd);

private:
    struct Entry {
        std::string stamped;  // for the file (and standard error outside the journal)
        std::size_t bare = 0; // offset of the unstamped text within stamped
        int priority = kInfo;
    };
    void Run();
    void WriteEntries(std::deque<Entry>& batch);
    void WriteErr(const std::string& text);
    ssize_t WriteSome(int fd, const char* data, std::size_t size) const;
    void WriteFile(const std::string& text);
    bool OpenFile();
    void CloseFile();

    std::string m_strPath;
    std::string m_strFileProblem;
    int m_errFd;
    bool m_bJournal;
    bool m_bErrSocket = false;
    int m_ownErrFd = -1;         // non-blocking description of standard error, when it has one
    bool m_bErrMidLine = false;  // the last write to standard error stopped inside a line
    int m_fileFd = -1;
    unsigned long long m_fileIno = 0;
    std::size_t m_fileSize = 0;

    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    std::condition_variable m_idle;
    std::deque<Entry> m_queue;
    std::deque<std::string> m_recent;
    unsigned long long m_queued = 0;   // lines accepted so far
    unsigned long long m_handled = 0;  // lines the writer has finished with
    bool m_bStop = false;
    std::thread m_writer;
};
