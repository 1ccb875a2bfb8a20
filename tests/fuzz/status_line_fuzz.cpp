// The status-line reader over cut lines: a status line of any shape ffmpeg prints (classic or
// "KiB" sizes, copy runs without frame=, wide size and time fields, N/A), after other output
// and cut by reads anywhere, gives exactly its own bitrate once, or nothing before it is
// whole. Arbitrary output must never make it fault.
#include "relay/OutputMonitor.h"

#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace {

constexpr std::size_t kControl = 16;

std::uint64_t Read(const std::uint8_t* p, int bytes)
{
    std::uint64_t v = 0;
    for (int i = 0; i < bytes; ++i)
        v = v << 8 | p[i];
    return v;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string raw(reinterpret_cast<const char*>(data), size);
    {   // Anything at all, in two reads.
        OutputLineReader reader;
        reader.Feed(std::string_view(raw).substr(0, size / 2));
        reader.Feed(std::string_view(raw).substr(size / 2));
        ParseStatusLine(raw);
    }
    if (size < kControl)
        return 0;

    // The status line, printed with ffmpeg's own formats.
    const std::uint8_t flags = data[0];
    const std::uint64_t sizeKb = Read(data + 1, 5) % 1000000000000ULL;
    const std::uint64_t tenths = Read(data + 6, 4) % 1000000000ULL;
    const unsigned hours = data[10] * 3u;
    char line[256];
    std::string status = (flags & 1) ? "" : "frame=12345 fps= 25 q=28.0 ";
    status += (flags & 2) ? "Lsize=" : "size=";
    if (flags & 4)
        status += "N/A";
    else
        std::snprintf(line, sizeof line, "%8llu%s", static_cast<unsigned long long>(sizeKb), (flags & 8) ? "KiB" : "kB"),
            status += line;
    std::snprintf(line, sizeof line, " time=%02u:%02u:%02u.%02u bitrate=", hours, data[11] % 60u, data[11] % 60u, 7u);
    status += line;
    long long expected;
    if (flags & 16) {
        status += "N/A";
        expected = 0;
    } else {
        std::snprintf(line, sizeof line, "%6.1fkbits/s", static_cast<double>(tenths) / 10.0);
        status += line;
        expected = static_cast<long long>(tenths / 10);
        if (expected > INT_MAX)
            expected = INT_MAX;
    }
    status += (flags & 32) ? " speed=1.01x elapsed=0:00:05.00" : " speed=N/A";

    // Other output before it, without '=' so that it never reads as a status line.
    std::string text(raw.substr(kControl));
    for (char& c : text)
        if (c == '=')
            c = '_';
    text += (flags & 64) ? "\r" : "\n";
    text += status + ((flags & 128) ? "\n" : "\r");

    std::vector<std::size_t> cuts = {0, Read(data + 12, 2) % (text.size() + 1), Read(data + 14, 2) % (text.size() + 1),
                                     text.size()};
    if (cuts[1] > cuts[2])
        std::swap(cuts[1], cuts[2]);
    OutputLineReader reader;
    std::vector<int> posts;
    for (std::size_t i = 0; i + 1 < cuts.size(); ++i) {
        const ProgressReading r = reader.Feed(std::string_view(text).substr(cuts[i], cuts[i + 1] - cuts[i]));
        if (r.hasSize != r.post)
            std::abort();
        if (r.post)
            posts.push_back(r.kbps);
    }
    if (posts.size() != 1 || posts[0] != expected) {
        std::fprintf(stderr, "status line \"%s\": %zu readings, first %d\n", status.c_str(), posts.size(),
                     posts.empty() ? -1 : posts[0]);
        std::abort();
    }
    return 0;
}
