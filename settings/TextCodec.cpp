#include "settings/TextCodec.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <iconv.h>

namespace {

// Length of the UTF-8 sequence at s[i] and its code point, or 0 when it is not valid.
std::size_t DecodeUtf8(std::string_view s, std::size_t i, char32_t& cp)
{
    const auto b0 = static_cast<unsigned char>(s[i]);
    if (b0 < 0x80) {
        cp = b0;
        return 1;
    }
    std::size_t len;
    char32_t min;
    if ((b0 & 0xE0) == 0xC0) {
        len = 2;
        cp = b0 & 0x1F;
        min = 0x80;
    } else if ((b0 & 0xF0) == 0xE0) {
        len = 3;
        cp = b0 & 0x0F;
        min = 0x800;
    } else if ((b0 & 0xF8) == 0xF0) {
        len = 4;
        cp = b0 & 0x07;
        min = 0x10000;
    } else {
        return 0;
    }
    if (i + len > s.size())
        return 0;
    for (std::size_t k = 1; k < len; ++k) {
        const auto b = static_cast<unsigned char>(s[i + k]);
        if ((b & 0xC0) != 0x80)
            return 0;
        cp = (cp << 6) | (b & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        return 0;
    return len;
}


// One iconv handle per thread and direction, opened on first use and reset before each call.
class IconvHandle {
public:
    IconvHandle(const char* to, const char* from) : m_cd(iconv_open(to, from)) {}
    ~IconvHandle()
    {
        if (m_cd != reinterpret_cast<iconv_t>(-1))
            iconv_close(m_cd);
    }
    IconvHandle(const IconvHandle&) = delete;
    IconvHandle& operator=(const IconvHandle&) = delete;

    // With replace, a byte that starts no valid sequence becomes U+FFFD and the conversion goes
    // on after it; returns false then only when iconv is missing. *replaced counts them.
    bool Convert(std::string_view in, std::string& out, std::size_t* replaced = nullptr)
    {
        out.clear();
        if (m_cd == reinterpret_cast<iconv_t>(-1))
            return false;
        iconv(m_cd, nullptr, nullptr, nullptr, nullptr);
        char* src = const_cast<char*>(in.data());
        std::size_t srcLeft = in.size();
        char buf[4096];
        while (srcLeft > 0) {
            char* dst = buf;
            std::size_t dstLeft = sizeof buf;
            const std::size_t r = iconv(m_cd, &src, &srcLeft, &dst, &dstLeft);
            out.append(buf, dst - buf);
            if (r == static_cast<std::size_t>(-1) && errno != E2BIG) {
                if (!replaced)
                    return false;  // EILSEQ or a sequence cut short at the end (EINVAL)
                out += "\xEF\xBF\xBD";
                ++*replaced;
                ++src, --srcLeft;
                iconv(m_cd, nullptr, nullptr, nullptr, nullptr);
            }
        }
        char* dst = buf;
        std::size_t dstLeft = sizeof buf;
        if (iconv(m_cd, nullptr, nullptr, &dst, &dstLeft) == static_cast<std::size_t>(-1))
            return false;
        out.append(buf, dst - buf);
        return true;
    }

private:
    iconv_t m_cd;
};

IconvHandle& Gb18030Decoder()
{
    thread_local IconvHandle handle("UTF-8", "GB18030");
    return handle;
}

}  // namespace

bool TextCodec::IsValidUtf8(std::string_view bytes)
{
    char32_t cp;
    for (std::size_t i = 0; i < bytes.size();) {
        // Plain ASCII runs dominate config files: eight bytes at a time where none has its high bit.
        std::uint64_t word;
        if (bytes.size() - i >= sizeof word) {
            std::memcpy(&word, bytes.data() + i, sizeof word);
            if ((word & 0x8080808080808080ull) == 0) {
                i += sizeof word;
                continue;
            }
        }
        if (static_cast<unsigned char>(bytes[i]) < 0x80) {
            ++i;
            continue;
        }
        const std::size_t n = DecodeUtf8(bytes, i, cp);
        if (n == 0)
            return false;
        i += n;
    }
    return true;
}

bool TextCodec::Gb18030ToUtf8(std::string_view in, std::string& out)
{
    return Gb18030Decoder().Convert(in, out);
}

bool TextCodec::Utf16LeToUtf8(std::string_view in, std::string& out, bool replace)
{
    out.clear();
    bool valid = in.size() % 2 == 0;
    if (!valid && !replace)
        return false;
    out.reserve(in.size());
    for (std::size_t i = 0; i + 1 < in.size(); i += 2) {
        char32_t u = static_cast<unsigned char>(in[i]) | (static_cast<unsigned char>(in[i + 1]) << 8);
        const char32_t lo = i + 3 < in.size()
            ? static_cast<unsigned char>(in[i + 2]) | (static_cast<unsigned char>(in[i + 3]) << 8) : 0;
        if (u >= 0xD800 && u <= 0xDBFF && lo >= 0xDC00 && lo <= 0xDFFF) {
            u = 0x10000 + ((u - 0xD800) << 10) + (lo - 0xDC00);
            i += 2;
        } else if (u >= 0xD800 && u <= 0xDFFF) {
            valid = false;  // a surrogate without its partner
            if (!replace)
                return false;
            u = 0xFFFD;
        }
        TextCodec::AppendUtf8(out, u);
    }
    if (in.size() % 2 != 0)
        TextCodec::AppendUtf8(out, 0xFFFD);
    return valid;
}

void TextCodec::DamagedToUtf8(std::string_view in, std::string& out)
{
    // GB18030 where it decodes, unless reading the bytes as UTF-8 needs fewer replacements.
    std::size_t gbReplaced = 0;
    const bool converted = Gb18030Decoder().Convert(in, out, &gbReplaced);
    std::size_t utf8Replaced = 0;
    std::string utf8 = ToValidUtf8(in, &utf8Replaced);
    if (!converted || utf8Replaced <= gbReplaced)
        out.swap(utf8);
}

std::string TextCodec::ToValidUtf8(std::string_view in, std::size_t* replaced)
{
    std::string out;
    out.reserve(in.size());
    char32_t cp;
    for (std::size_t i = 0; i < in.size();) {
        const std::size_t n = DecodeUtf8(in, i, cp);
        if (n == 0 && replaced)
            ++*replaced;
        AppendUtf8(out, n == 0 ? 0xFFFD : cp);
        i += n == 0 ? 1 : n;
    }
    return out;
}

std::string TextCodec::Utf8ToUtf16Le(std::string_view utf8)
{
    std::string out;
    out.reserve(utf8.size() * 2);
    auto put = [&out](char32_t u) {
        out += static_cast<char>(u & 0xFF);
        out += static_cast<char>(u >> 8);
    };
    char32_t cp;
    for (std::size_t i = 0; i < utf8.size();) {
        const std::size_t n = DecodeUtf8(utf8, i, cp);
        if (n == 0) {
            cp = 0xFFFD;
            i += 1;
        } else {
            i += n;
        }
        if (cp >= 0x10000) {
            put(0xD800 + ((cp - 0x10000) >> 10));
            put(0xDC00 + ((cp - 0x10000) & 0x3FF));
        } else {
            put(cp);
        }
    }
    return out;
}

std::size_t TextCodec::Utf16PrefixBytes(std::string_view utf8, std::size_t maxUnits)
{
    if (utf8.size() <= maxUnits)
        return utf8.size();  // no byte makes more than one unit, so nothing is cut
    std::size_t units = 0;
    std::size_t i = 0;
    char32_t cp;
    while (i < utf8.size()) {
        std::size_t n = DecodeUtf8(utf8, i, cp);
        std::size_t need = 1;
        if (n == 0)
            n = 1;  // a stray byte counts as one unit
        else if (n == 4)
            need = 2;  // outside the BMP: a surrogate pair
        if (units + need > maxUnits)
            break;
        units += need;
        i += n;
    }
    return i;
}

void TextCodec::AppendUtf8(std::string& out, char32_t cp)
{
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}
