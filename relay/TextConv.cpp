#include "relay/TextConv.h"

#include "settings/TextCodec.h"

// UTF-16 <-> UTF-8 by hand: the core must not depend on a locale or on iconv being
// configured, and both directions replace every ill-formed sequence by U+FFFD.

namespace {

constexpr char32_t kReplacement = 0xFFFD;


void AppendUtf16(std::u16string& out, char32_t cp)
{
    if (cp < 0x10000) {
        out += static_cast<char16_t>(cp);
    } else {
        cp -= 0x10000;
        out += static_cast<char16_t>(0xD800 + (cp >> 10));
        out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
    }
}

std::string Utf16ToUtf8(const char16_t* text, std::size_t count)
{
    std::string out;
    out.reserve(count * 3);
    for (std::size_t i = 0; i < count; ++i) {
        char32_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF) {
            if (i + 1 < count && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
                c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
                ++i;
            } else {
                c = kReplacement;  // high surrogate without its pair
            }
        } else if (c >= 0xDC00 && c <= 0xDFFF) {
            c = kReplacement;      // lone low surrogate
        }
        TextCodec::AppendUtf8(out, c);
    }
    return out;
}

// Decodes one UTF-8 sequence at s[i]; on an ill-formed sequence consumes its maximal
// valid prefix (at least one byte) and yields U+FFFD, as the Unicode standard recommends.
char32_t DecodeUtf8(const unsigned char* s, std::size_t count, std::size_t& i)
{
    const unsigned char b0 = s[i++];
    if (b0 < 0x80)
        return b0;
    int extra = 0;
    char32_t cp = 0;
    unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        extra = 1; cp = b0 & 0x1F;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        extra = 2; cp = b0 & 0x0F;
        if (b0 == 0xE0) lo = 0xA0;       // no overlong forms
        if (b0 == 0xED) hi = 0x9F;       // no surrogates
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        extra = 3; cp = b0 & 0x07;
        if (b0 == 0xF0) lo = 0x90;
        if (b0 == 0xF4) hi = 0x8F;       // nothing above U+10FFFF
    } else {
        return kReplacement;
    }
    for (int k = 0; k < extra; ++k) {
        if (i >= count)
            return kReplacement;
        const unsigned char b = s[i];
        const unsigned char bLo = k == 0 ? lo : 0x80, bHi = k == 0 ? hi : 0xBF;
        if (b < bLo || b > bHi)
            return kReplacement;         // the offending byte starts the next sequence
        cp = (cp << 6) | (b & 0x3F);
        ++i;
    }
    return cp;
}

}  // namespace

std::string WideToNarrow(const char16_t* text)
{
    if (!text)
        return {};
    std::size_t n = 0;
    while (text[n] != 0)
        ++n;
    return Utf16ToUtf8(text, n);
}

std::string WideToNarrow(const std::u16string& text)
{
    // Same as the terminated form: text after an embedded zero is not converted.
    return WideToNarrow(text.c_str());
}

std::u16string NarrowToWide(const char* bytes, std::size_t count)
{
    std::u16string out;
    if (!bytes || count == 0)
        return out;
    const auto* s = reinterpret_cast<const unsigned char*>(bytes);
    out.reserve(count);
    std::size_t i = 0;
    while (i < count) {
        if (s[i] == 0)
            break;                       // a zero byte ends the text
        AppendUtf16(out, DecodeUtf8(s, count, i));
    }
    if (!out.empty() && out.front() == 0xFEFF)
        out.erase(0, 1);                 // one leading byte-order mark is dropped
    return out;
}

std::u16string NarrowToWide(const std::string& text)
{
    return NarrowToWide(text.data(), text.size());
}
