#include "ffmpeg/OutputMonitor.h"

#include "platform/Clock.h"
#include "settings/ChannelStore.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cmath>
#include <optional>
#include <chrono>
#include <cstdint>
#include <system_error>
#include <utility>

namespace {

constexpr std::size_t kReadSize = 4096;
constexpr int kPauseMs = 2000;
constexpr int kFirstPauseMs = 600;   // after a child's first status line: ffmpeg prints one every 500 ms
// The bitrate value of a status line starts this far after the 's' of "size=" and fits in
// this many characters (fixed-width fields of the transcoder's status line).
constexpr std::size_t kBitrateOffset = 41;
constexpr std::size_t kBitrateWidth = 13;
// A partial line carried over to the next read is cut at this length.
constexpr std::size_t kMaxCarry = 1024;


bool IsStatusLine(std::string_view line)
{
    return line.find("size=") != std::string_view::npos &&
           (line.find("time=") != std::string_view::npos ||
            line.find("bitrate=") != std::string_view::npos);
}

// "time=HH:MM:SS.cc" (hours of any width) in milliseconds; -1 for "N/A" and for the negative
// time ffmpeg prints before its first output packet.
std::int64_t OutputTimeMs(std::string_view line)
{
    const std::size_t at = line.find("time=");
    if (at == std::string_view::npos)
        return -1;
    std::int64_t fields[3] = {0, 0, 0};
    std::size_t i = at + 5;
    for (int f = 0; f < 3; ++f, ++i) {
        const std::size_t start = i;
        for (; i < line.size() && line[i] >= '0' && line[i] <= '9' && i - start < 9; ++i)
            fields[f] = fields[f] * 10 + (line[i] - '0');
        if (i == start || (f < 2 && (i >= line.size() || line[i] != ':')))
            return -1;
    }
    std::int64_t ms = (fields[0] * 3600 + fields[1] * 60 + fields[2]) * 1000;
    if (i - 1 < line.size() && line[i - 1] == '.')   // hundredths
        for (int scale = 100; scale > 0 && i < line.size() && line[i] >= '0' && line[i] <= '9'; scale /= 10, ++i)
            ms += (line[i] - '0') * scale;
    return ms;
}

// The number after "key=" (spaces allowed before it, "x" after a speed); none for "N/A" or no key.
std::optional<double> FieldValue(std::string_view line, std::string_view key)
{
    const std::size_t at = line.find(key);
    if (at == std::string_view::npos)
        return std::nullopt;
    std::size_t i = at + key.size();
    while (i < line.size() && line[i] == ' ')
        ++i;
    double value = 0;
    const auto [end, ec] = std::from_chars(line.data() + i, line.data() + line.size(), value);
    if (ec != std::errc() || end == line.data() + i || !std::isfinite(value) || value < 0)
        return std::nullopt;
    return value;
}

enum class WaitResult { Readable, Woken, TimedOut };

// Waits for data on fd (none when fd < 0; only its hang-up with hangupOnly) or the wake signal,
// at most timeoutMs (-1: no limit). A poll failure counts as a wake: the monitor ends.
WaitResult WaitFor(int fd, int wakeFd, int timeoutMs, bool hangupOnly = false)
{
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        pollfd fds[2] = {{wakeFd, POLLIN, 0}, {fd, static_cast<short>(hangupOnly ? 0 : POLLIN), 0}};
        int wait = -1;
        if (timeoutMs >= 0) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - Clock::now()).count();
            wait = left > 0 ? static_cast<int>(left) : 0;
        }
        int r = ::poll(fds, fd >= 0 ? 2 : 1, wait);
        if (r < 0) {
            if (errno == EINTR)
                continue;
            return WaitResult::Woken;   // nothing sensible left to wait on
        }
        if (fds[0].revents != 0)
            return WaitResult::Woken;   // Stop() wins over pending data
        if (r > 0 && fd >= 0)
            return WaitResult::Readable;
        if (r == 0)
            return WaitResult::TimedOut;
    }
}

}   // namespace

// ---------------------------------------------------------------------------------------

void OutputTail::Append(std::string line)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_capacity == 0)
        return;
    if (m_lines.size() < m_capacity) {
        m_lines.push_back(std::move(line));
        return;
    }
    m_lines[m_oldest] = std::move(line);
    m_oldest = (m_oldest + 1) % m_capacity;
}

std::vector<std::string> OutputTail::Lines() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<std::string> lines(m_lines.begin() + static_cast<std::ptrdiff_t>(m_oldest), m_lines.end());
    lines.insert(lines.end(), m_lines.begin(), m_lines.begin() + static_cast<std::ptrdiff_t>(m_oldest));
    return lines;
}

void OutputTail::Clear()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_lines.clear();
    m_oldest = 0;
}

// ---------------------------------------------------------------------------------------

ProgressReading ParseStatusLine(std::string_view line)
{
    ProgressReading reading;
    if (!IsStatusLine(line))
        return reading;
    reading.hasSize = true;
    const std::size_t size = line.find("size=");
    // "196kB" and "196KiB" alike, in 1,024 bytes
    if (const auto kib = FieldValue(line.substr(size), "size="); kib && *kib < 1e15)
        reading.bytes = static_cast<std::int64_t>(*kib * 1024);
    reading.timeMs = OutputTimeMs(line.substr(size));
    const auto count = [&](std::string_view key, std::int64_t none) {
        const auto value = FieldValue(line, key);
        // A count past what 64 bits hold is no count (and converting it would be undefined).
        return value && *value < 9e18 ? static_cast<std::int64_t>(*value) : none;
    };
    reading.frames = count("frame=", -1);
    reading.dropped = count("drop=", 0);
    reading.duplicated = count("dup=", 0);
    reading.fps = FieldValue(line, "fps=").value_or(-1);
    reading.speed = FieldValue(line, "speed=").value_or(-1);

    // Preferred: the "bitrate=" field, wherever the columns fell (a "KiB" size, a size or
    // time field grown wider on a long run, no "frame=" in a copy run).
    const std::size_t field = line.find("bitrate=", size);
    if (field != std::string_view::npos) {
        reading.post = true;
        reading.kbps = DecimalValue(line.substr(std::min(line.find_first_not_of(" \t", field + 8), line.size())));
        return reading;
    }

    // Fallback: the fixed column of the classic status line.
    const std::size_t at = size + kBitrateOffset;
    const std::string_view part = at < line.size() ? line.substr(at, kBitrateWidth) : std::string_view();
    if (part.size() > 3) {
        reading.post = true;
        reading.kbps = DecimalValue(part);
    }
    return reading;
}

bool ProgressClock::Advances(const ProgressReading& reading)
{
    const bool moved = reading.bytes > m_bytes || reading.timeMs > m_timeMs;
    m_bytes = std::max(m_bytes, reading.bytes);
    m_timeMs = std::max(m_timeMs, reading.timeMs);
    return moved;
}

std::optional<int> RateMeter::Rate(const ProgressReading& reading)
{
    if (reading.bytes < 0 || reading.timeMs < 0)
        return reading.post ? std::optional<int>(reading.kbps) : std::nullopt;
    if (m_bytes <= 0 || reading.timeMs < m_timeMs) {
        // The starting point: the first line with output (or the time went back: a new start).
        if (reading.bytes > 0)
            m_bytes = reading.bytes, m_timeMs = reading.timeMs;
        return std::nullopt;
    }
    const std::int64_t ms = reading.timeMs - m_timeMs;
    const std::int64_t bytes = std::max<std::int64_t>(0, reading.bytes - m_bytes);
    m_bytes = reading.bytes, m_timeMs = reading.timeMs;
    // Bits per millisecond are kbit/s. An output whose time stands still relays nothing.
    return ms > 0 ? static_cast<int>(std::min<std::int64_t>((bytes * 8 + ms / 2) / ms, INT32_MAX)) : 0;
}

std::int64_t MissedPackets(std::string_view line)
{
    constexpr std::string_view kMissed = "RTP: missed ";
    const std::size_t at = line.find(kMissed);
    if (at == std::string_view::npos)
        return 0;
    std::int64_t n = 0;
    const char* start = line.data() + at + kMissed.size();
    const auto [end, ec] = std::from_chars(start, line.data() + line.size(), n);
    return ec == std::errc() && n > 0 && std::string_view(end, line.data() + line.size() - end).starts_with(" packet") ? n : 0;
}

ProgressReading OutputLineReader::Feed(std::string_view chunk)
{
    ProgressReading reading;
    m_last = {};
    for (char c : chunk) {
        if (c == '\r' || c == '\n') {
            EndLine(true, reading);
        } else {
            m_carry.push_back(c);
            if (m_carry.size() >= kMaxCarry)
                EndLine(false, reading);
        }
    }
    return reading;
}

void OutputLineReader::Flush()
{
    ProgressReading ignored;
    EndLine(false, ignored);
}

// The one place where a line of the child's output is told apart: a status line gives the
// reading (the first whole one of a read counts), any other line goes to the tail.
void OutputLineReader::EndLine(bool terminated, ProgressReading& reading)
{
    const bool continuation = m_bContinues;
    const bool whole = terminated && !continuation;
    m_bContinues = !terminated;
    if (IsStatusLine(m_carry)) {
        if (whole && !reading.hasSize)
            reading = ParseStatusLine(m_carry);
        else if (whole)
            m_last = ParseStatusLine(m_carry);
    } else if (!m_carry.empty() && !continuation) {
        m_lostPackets += MissedPackets(m_carry);
        // An over-long line is kept as its first piece: the rest alone would read as a line of
        // its own (the tail of ffmpeg's "configuration:" line would pass for a message).
        if (m_tail)
            m_tail->Append(m_carry);
    }
    m_carry.clear();
}

// ---------------------------------------------------------------------------------------

// What the owner and its thread share: the wake-up eventfd (closed by the last of the two to
// let go) and the stop flag.
struct OutputMonitor::Shared {
    int wakeFd = -1;
    std::atomic<bool> stopRequested{false};

    ~Shared()
    {
        if (wakeFd >= 0)
            ::close(wakeFd);
    }
};

namespace {

// The read loop of one child's output; returns when the monitor should end: true at the end of
// the output.
bool MonitorOutput(const MonitorContext& ctx, int wakeFd, OutputLineReader& lines)
{
    auto running = [&] { return !ctx.m_pRunning || ctx.m_pRunning->load(); };
    if (ctx.m_readFd < 0 || !running())
        return false;
    char buffer[kReadSize];
    ProgressClock progress;
    RateMeter rate;
    for (;;) {
        if (WaitFor(ctx.m_readFd, wakeFd, -1) != WaitResult::Readable)
            return false;
        ssize_t n = ::read(ctx.m_readFd, buffer, sizeof buffer);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n <= 0)
            return true;   // end of file: the child and every copy of the write end are gone
        const std::string_view chunk(buffer, static_cast<std::size_t>(n));
        const ProgressReading reading = lines.Feed(chunk);
        if (reading.bytes >= 0 && ctx.m_pOutputBytes)
            ctx.m_pOutputBytes->store(reading.bytes, std::memory_order_relaxed);
        if (reading.hasSize && progress.Advances(reading) && ctx.m_pLastProgress)
            ctx.m_pLastProgress->store(ctx.m_clock->SteadyNs(), std::memory_order_relaxed);  // the watchdog's clock
        // The first line of a child is only where its rate starts: a later one of the same read
        // gives the first rate at once.
        std::optional<int> kbps = reading.hasSize ? rate.Rate(reading) : std::nullopt;
        const ProgressReading& posted = kbps || !lines.Later().hasSize ? reading : lines.Later();
        if (!kbps && lines.Later().hasSize)
            kbps = rate.Rate(posted);
        if (kbps && ctx.m_pOwner) {
            ProgressSample sample{*kbps, ctx.m_clock->SteadyNs(), posted.timeMs, posted.frames, posted.fps,
                                  posted.speed, posted.dropped, posted.duplicated, lines.LostPackets(), ctx.m_nOutput};
            ctx.m_pOwner->PostProgress(ctx.m_nRow, sample);
        }
        // Pace the updates; the child's end shows up as end of file on the next read. After the
        // first line of a child, only until its next line: its first rate comes soon.
        // The child's end cuts it short: what it printed last is read at once.
        const int pause = reading.hasSize && !kbps ? kFirstPauseMs : kPauseMs;
        if (reading.hasSize && WaitFor(ctx.m_readFd, wakeFd, pause, true) == WaitResult::Woken)
            return false;
        if (!running())
            return false;
    }
}

// What a child printed last is usually why it ended: when the monitor ends during its pause or
// on a cleared run bit, whatever is already waiting in the pipe still goes to the tail
// (bounded, without waiting and without posting a bitrate).
void DrainIntoTail(int fd, OutputLineReader& lines)
{
    char buffer[kReadSize];
    for (std::size_t total = 0; fd >= 0 && total < 16 * kReadSize;) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 0) != 1 || !(p.revents & (POLLIN | POLLHUP)))
            return;
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0)
            return;
        lines.Feed(std::string_view(buffer, static_cast<std::size_t>(n)));
        total += static_cast<std::size_t>(n);
    }
}

void MonitorThreadProc(const MonitorContext& ctx, int wakeFd)
{
    OutputLineReader lines(ctx.m_tail);
    const bool ended = MonitorOutput(ctx, wakeFd, lines);
    DrainIntoTail(ctx.m_readFd, lines);
    lines.Flush();
    if (ctx.m_readFd >= 0)
        ::close(ctx.m_readFd);
    if (ended && ctx.m_pOwner && ctx.m_nOutput < 0)   // the tail holds the child's last words by now
        ctx.m_pOwner->PostOutputEnded(ctx.m_nRow);
}

}   // namespace

OutputMonitor::OutputMonitor(MonitorContext ctx) : m_shared(std::make_shared<Shared>())
{
    m_shared->wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m_shared->wakeFd >= 0) {
        try {
            // The thread keeps its own copy of the context and of the shared state.
            m_thread = std::thread([shared = m_shared, ctx] {
                MonitorThreadProc(ctx, shared->wakeFd);
            });
            m_bStarted = true;
            return;
        } catch (const std::system_error&) {
        }
    }
    // No thread: the read end is still ours to close. The child then writes into a closed
    // pipe instead of filling it and blocking.
    if (ctx.m_readFd >= 0)
        ::close(ctx.m_readFd);
}

OutputMonitor::~OutputMonitor()
{
    Stop();
    Join();
}

void OutputMonitor::Stop()
{
    if (m_shared->stopRequested.exchange(true) || m_shared->wakeFd < 0)
        return;
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t ignored = ::write(m_shared->wakeFd, &one, sizeof one);
}

void OutputMonitor::Join()
{
    if (!m_thread.joinable())
        return;
    // A sink that destroys its monitor from the monitor thread cannot join itself.
    if (m_thread.get_id() == std::this_thread::get_id())
        m_thread.detach();
    else
        m_thread.join();
}

// ---------------------------------------------------------------------------------------

bool IsBannerLine(std::string_view line)
{
    const std::size_t start = line.find_first_not_of(" \t");
    if (start == std::string_view::npos)
        return false;
    line.remove_prefix(start);
    for (std::string_view head : {"ffmpeg version", "built with", "configuration:"})
        if (line.substr(0, head.size()) == head)
            return true;
    // "libavutil      57. 28.100 / 57. 28.100"
    if (line.substr(0, 3) != "lib" || line.find(" / ") == std::string_view::npos)
        return false;
    const std::size_t gap = line.find(' ');
    const std::size_t version = line.find_first_not_of(' ', gap);
    return version != std::string_view::npos && line[version] >= '0' && line[version] <= '9';
}

std::vector<std::string> WithoutBanner(std::vector<std::string> lines, std::size_t keep)
{
    std::erase_if(lines, [](const std::string& line) { return IsBannerLine(line); });
    if (lines.size() > keep)
        lines.erase(lines.begin(), lines.end() - static_cast<std::ptrdiff_t>(keep));
    return lines;
}
