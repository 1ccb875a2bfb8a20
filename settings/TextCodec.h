#pragma once
#include <cstddef>
#include <string>
#include <string_view>

// Conversions between UTF-8 (the text of the program) and the encodings config.ini may be
// stored in: UTF-16LE and GB18030 (a superset of GBK, through glibc iconv). Stateless;
// the iconv handles are per thread, so every function may be called from any thread.
class TextCodec {
public:
    // Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
    static bool IsValidUtf8(std::string_view bytes);

    // Each returns false (and leaves out unspecified) when the input is not valid.
    static bool Gb18030ToUtf8(std::string_view in, std::string& out);
    // With replace, unpaired surrogates and a last odd byte become U+FFFD, out always holds
    // the text and the result still tells whether the input was valid.
    static bool Utf16LeToUtf8(std::string_view in, std::string& out, bool replace = false);
    // Bytes that are valid in neither UTF-8 nor GB18030 (a damaged line): decoded the way that
    // needs fewer U+FFFD replacement characters, so that what can be read of them is read.
    static void DamagedToUtf8(std::string_view in, std::string& out);
    // Valid UTF-8 as it is; each byte that starts no valid sequence becomes U+FFFD (counted in
    // *replaced), so the result is always valid UTF-8.
    static std::string ToValidUtf8(std::string_view in, std::size_t* replaced = nullptr);
    // The input must be valid UTF-8.
    static std::string Utf8ToUtf16Le(std::string_view utf8);

    // Appends code point cp (at most U+10FFFF, no surrogate) as UTF-8.
    static void AppendUtf8(std::string& out, char32_t cp);

    // Length in bytes of the longest prefix of valid UTF-8 text that needs at most
    // maxUnits UTF-16 code units; a surrogate pair is never split.
    static std::size_t Utf16PrefixBytes(std::string_view utf8, std::size_t maxUnits);
};
