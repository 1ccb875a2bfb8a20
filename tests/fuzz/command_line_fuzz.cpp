// The command-line splitter: any line splits without fault and is stable under re-quoting, and
// any list of arguments, quoted by the C runtime's rules, splits back into exactly that list.
#include "relay/CommandLine.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

// The standard quoting for the C runtime: quotes only where needed; inside them, backslashes
// are doubled where they stand before a quote or the closing quote.
std::string Quote(const std::string& arg)
{
    if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos)
        return arg;
    std::string out = "\"";
    std::size_t backslashes = 0;
    for (char c : arg) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        out.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
        backslashes = 0;
        out += c;
    }
    out.append(backslashes * 2, '\\');
    return out + '"';
}

// Quotes and joins the arguments; aborts unless the line splits back into exactly them.
void CheckRoundTrip(const std::vector<std::string>& args)
{
    std::string line;
    for (const std::string& arg : args)
        line += " " + Quote(arg);
    if (SplitCommandLine(line) != args)
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    CheckRoundTrip(SplitCommandLine(text));   // the input as a line
    // The input as a list of arguments separated by zero bytes (which no argument can hold).
    std::vector<std::string> list(1);
    for (char c : text) {
        if (c == '\0')
            list.emplace_back();
        else
            list.back() += c;
    }
    CheckRoundTrip(list);
    return 0;
}
