// The command-line splitter: the input as a line splits without fault, and the input as a list
// of arguments (separated by zero bytes, which no argument can hold), quoted by the C runtime's
// rules, splits back into exactly that list.
#include "ffmpeg/CommandLine.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    SplitCommandLine(std::string(reinterpret_cast<const char*>(data), size));
    std::vector<std::string> args(1);
    for (std::size_t i = 0; i < size; ++i)
        data[i] == 0 ? args.emplace_back() : args.back() += static_cast<char>(data[i]);
    // The standard quoting: quotes only where needed; inside them, backslashes are doubled
    // where they stand before a quote or the closing quote.
    std::string line;
    for (const std::string& arg : args) {
        if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos) {
            line += " " + arg;
            continue;
        }
        line += " \"";
        std::size_t backslashes = 0;
        for (char c : arg) {
            if (c == '"')
                line.append(backslashes + 1, '\\');
            backslashes = c == '\\' ? backslashes + 1 : 0;
            line += c;
        }
        line.append(backslashes, '\\');
        line += '"';
    }
    if (SplitCommandLine(line) != args)
        std::abort();
    return 0;
}
