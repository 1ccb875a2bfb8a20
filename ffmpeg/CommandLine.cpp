#include "ffmpeg/CommandLine.h"

// Follows the Universal C runtime's parse_cmdline for the arguments after the program
// name (the line starts with a blank, so the program name it would see is empty):
//   - blanks and tabs separate arguments outside quotes; a zero byte ends the line;
//   - 2n backslashes + quote: n backslashes, and the quote toggles quoting;
//   - 2n+1 backslashes + quote: n backslashes and a literal quote;
//   - backslashes not followed by a quote are literal;
//   - inside quotes, "" gives one literal quote and quoting stays on (the runtimes since
//     2008 do this; the older msvcrt left quoting after the literal quote);
//   - "" standing alone outside quotes is an empty argument.
std::vector<std::string> SplitCommandLine(const std::string& line)
{
    std::vector<std::string> args;
    const char* p = line.c_str();
    for (;;) {
        while (*p == ' ' || *p == '\t')
            ++p;
        if (*p == '\0')
            break;

        std::string arg;
        bool inQuotes = false;
        for (;;) {
            bool copy = true;
            std::size_t backslashes = 0;
            while (*p == '\\') {
                ++p;
                ++backslashes;
            }
            if (*p == '"') {
                if (backslashes % 2 == 0) {
                    if (inQuotes && p[1] == '"') {
                        ++p;             // doubled quote inside quotes: one literal quote
                    } else {
                        copy = false;
                        inQuotes = !inQuotes;
                    }
                }
                backslashes /= 2;
            }
            arg.append(backslashes, '\\');
            if (*p == '\0' || (!inQuotes && (*p == ' ' || *p == '\t')))
                break;
            if (copy)
                arg += *p;
            ++p;
        }
        args.push_back(std::move(arg));
    }
    return args;
}

namespace {

// An argument as the line prints it: bare, or in quotes when it holds blanks or quotes or is
// empty, with backslashes doubled where they stand before a quote.
std::string Printed(const std::string& arg)
{
    if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos)
        return arg;
    std::string out = "\"";
    std::size_t backslashes = 0;
    for (char c : arg) {
        if (c == '\\') {
            ++backslashes;
        } else {
            if (c == '"')
                out.append(backslashes + 1, '\\');
            backslashes = 0;
        }
        out += c;
    }
    return out.append(backslashes, '\\') + "\"";
}

}  // namespace

std::string JoinCommandLine(const std::vector<std::string>& args)
{
    std::string line = " ";
    for (const std::string& arg : args)
        line += Printed(arg) + " ";
    return line;
}
