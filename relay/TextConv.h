#pragma once
#include <cstddef>
#include <string>

// Conversions between wide text (UTF-16, as the windows hold it) and narrow text
// (UTF-8 on this platform: the argument line, settings in memory, child output).
// Exact; invalid input is replaced, never crashes. A leading byte-order mark is dropped
// by NarrowToWide, and a zero byte ends the text there.
std::string WideToNarrow(const char16_t* text);
std::string WideToNarrow(const std::u16string& text);
std::u16string NarrowToWide(const char* bytes, std::size_t count);
std::u16string NarrowToWide(const std::string& text);
