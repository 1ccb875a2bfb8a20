// The status-line reader over arbitrary child output, cut into two reads: it never faults (the
// run has AddressSanitizer and UBSan) and posts a bitrate only for a status line. The exact
// reading of every shape of status line, cut at every byte, is pinned by the relay tests.
#include "relay/OutputMonitor.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const std::size_t cut = size ? data[0] % (size + 1) : 0;
    OutputLineReader reader;
    for (const std::string_view part : {text.substr(0, cut), text.substr(cut)}) {
        const ProgressReading r = reader.Feed(part);
        if (r.post != r.hasSize)
            std::abort();
    }
    ParseStatusLine(std::string(text));
    return 0;
}
