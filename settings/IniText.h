#pragma once
// The text rules config.ini's reader and writer share: blanks, quotes, and key names compared
// without regard to ASCII case. For settings/IniFile*.cpp only.
#include <cstdint>
#include <string_view>

namespace IniText {

// The blanks the profile reader trims: space, tab, CR, VT, FF. Tested by comparison rather
// than with find_first_not_of, which scans the set with memchr for every character.
inline bool IsBlank(char c)
{
    return c == ' ' || (c >= '\t' && c <= '\r' && c != '\n');
}

inline std::string_view Trim(std::string_view s)
{
    std::size_t b = 0, e = s.size();
    while (b < e && IsBlank(s[b]))
        ++b;
    while (e > b && IsBlank(s[e - 1]))
        --e;
    return s.substr(b, e - b);
}

inline char FoldChar(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// Hash and comparison of key names without regard to ASCII case, without making folded copies.
inline std::uint64_t FoldHash(std::string_view s)
{
    std::uint64_t h = 14695981039346656037ull;
    for (char c : s) {
        h ^= static_cast<unsigned char>(FoldChar(c));
        h *= 1099511628211ull;
    }
    // FNV leaves the low bits, which pick the slot, poorly mixed for keys that differ only in
    // a digit or two ("417+Name", "418+Name"): fold the high bits in.
    h ^= h >> 33;
    h *= 0xff51afd7ed558ccdull;
    h ^= h >> 33;
    return h;
}

inline bool FoldEqual(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    if (a == b)
        return true;  // the usual case: the file spells the name as the program does
    for (std::size_t i = 0; i < a.size(); ++i)
        if (FoldChar(a[i]) != FoldChar(b[i]))
            return false;
    return true;
}

inline bool IsQuote(char c)
{
    return c == '"' || c == '\'';
}

}  // namespace IniText
