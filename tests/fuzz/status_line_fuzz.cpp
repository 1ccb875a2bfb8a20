// The status-line reader over arbitrary child output, cut into two reads anywhere: it must never
// fault (the run has AddressSanitizer and UBSan). The exact reading of every shape of status
// line, after other output and cut at every byte, is pinned by the relay tests.
#include "relay/OutputMonitor.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const std::size_t cut = size ? data[0] % (size + 1) : 0;
    OutputLineReader reader;
    reader.Feed(text.substr(0, cut));
    reader.Feed(text.substr(cut));
    ParseStatusLine(std::string(text));
    return 0;
}
