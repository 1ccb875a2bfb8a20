#include "platform/SecretMask.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <mutex>
#include <set>
#include <vector>

namespace {

// The secrets of the channels' addresses (RememberSecretsOf), blanked wherever they appear.
// Shorter ones are left to the address rules: blanking every "abc" in every line would garble
// the lines. None holds '*', so a blanked line never shows a secret again.
constexpr std::size_t kMinSecret = 4, kMaxSecrets = 4096;
std::mutex g_secretsMutex;
std::set<std::string, std::less<>> g_secrets;
// Pieces of passwords that ffmpeg takes for a host name (see RememberSecretsOf): blanked where a
// host name stands, whatever their length.
std::set<std::string, std::less<>> g_misreadHosts;

bool IsBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v';
}

// c is one of set (never the terminating '\0', which text may hold).
bool OneOf(const char* set, char c)
{
    return c != '\0' && std::strchr(set, c);
}

bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}

// host[:port] (a name, an IPv4 address or [IPv6], then a port of digits). An authority that
// ended the free text's word may end in a quote or ':' ("from 'rtsp://cam:554':").
bool LooksLikeHost(std::string_view authority, bool endOfWord)
{
    while (endOfWord && !authority.empty() && OneOf("'\"<>:,;)", authority.back()))
        authority.remove_suffix(1);
    std::size_t i = 0;
    if (authority.starts_with('[') && (i = authority.find(']')) == std::string_view::npos)
        return false;
    const std::size_t colon = authority.find(':', i);
    if (colon == std::string_view::npos)
        return true;
    return colon + 1 < authority.size() &&
           std::all_of(authority.begin() + colon + 1, authority.end(), [](char c) { return c == ':' || IsDigit(c); });
}

// The user-info of the address whose "://" ends at start, as [start, returned '@'); npos without
// one. It ends at the last '@' before the host, whatever it holds: an '@', '?', '#', '/', a quote
// or a blank in a password is still the password. Where the authority (up to "/?#", and in free
// text a blank) is host[:port], the address has no user-info and a later '@' is in its path.
// Otherwise the user-info runs to an '@' (the authority's last; else the first after it before
// end, which is the next address or the line's end) and on to the last '@' before the next '/'
// (or blank in free text): a quoted address in free text is followed by more text.
std::size_t UserInfoEnd(std::string_view text, std::size_t start, std::size_t end, bool freeText)
{
    const auto stop = [&](std::size_t from, const char* set) {
        std::size_t at = from;
        while (at < end && !OneOf(set, text[at]) && !(freeText && IsBlank(text[at])))
            ++at;
        return at;
    };
    const std::size_t authEnd = stop(start, "/?#");
    const std::string_view authority = text.substr(start, authEnd - start);
    std::size_t atSign = authority.rfind('@');
    if (atSign != std::string_view::npos)
        atSign += start;
    else if (LooksLikeHost(authority, authEnd == end || !OneOf("/?#", text[authEnd])) ||
             (atSign = text.substr(0, end).find('@', authEnd)) == std::string_view::npos)
        return std::string_view::npos;
    return text.substr(0, stop(atSign, "/")).rfind('@');
}

// user:*** for a user-info with a password, *** for one without a colon (a token).
std::string MaskedUserInfo(std::string_view info)
{
    const std::size_t colon = info.find(':');
    if (colon == std::string_view::npos)
        return "***";
    return std::string(info.substr(0, colon + 1)) + (colon + 1 == info.size() ? "" : "***");
}

// Query parameters that carry a secret, matched without regard to case.
bool SecretKey(std::string_view key)
{
    static const char* const keys[] = {"password", "pass", "pwd", "passwd", "token", "key", "secret", "auth"};
    return std::any_of(std::begin(keys), std::end(keys), [&](const char* k) {
        return key.size() == std::strlen(k) &&
               std::equal(key.begin(), key.end(), k, [](char a, char b) { return std::tolower(static_cast<unsigned char>(a)) == b; });
    });
}

// Calls found(begin, end) for the value of every password-like parameter after '?', '&' or ';'.
// A value ends at '&', ';', '#', a quote, '<', '>', a blank, or a ':' that ends the text or
// precedes a blank (ffmpeg's "URL: error").
template <typename Found>
void ForEachSecretValue(std::string_view text, Found found)
{
    for (std::size_t at = text.find_first_of("?&;"); at != std::string_view::npos; at = text.find_first_of("?&;", at + 1)) {
        const std::size_t eq = text.find('=', at + 1);
        if (eq == std::string_view::npos || !SecretKey(text.substr(at + 1, eq - at - 1)))
            continue;
        std::size_t end = eq + 1;
        while (end < text.size() && !OneOf("&;#'\"<>", text[end]) && !IsBlank(text[end]) &&
               !(text[end] == ':' && (end + 1 == text.size() || IsBlank(text[end + 1]))))
            ++end;
        if (end > eq + 1)
            found(eq + 1, end);
        at = end - 1;
    }
}

}  // namespace

namespace {

// The user-info of url (see UserInfoEnd); empty when it has none.
std::string_view UserInfoOf(std::string_view url)
{
    const std::size_t scheme = url.find("://");
    if (scheme == std::string_view::npos)
        return {};
    const std::size_t start = scheme + 3, atSign = UserInfoEnd(url, start, url.size(), false);
    return atSign == std::string_view::npos ? std::string_view() : url.substr(start, atSign - start);
}

}  // namespace

bool UserInfoMisread(std::string_view url)
{
    return UserInfoOf(url).find_first_of("/?#") != std::string_view::npos;
}

void RememberSecretsOf(std::string_view url)
{
    std::vector<std::string> secrets;
    std::string misreadHost;
    if (const std::string_view info = UserInfoOf(url); !info.empty()) {
        const std::size_t colon = info.find(':');
        secrets.emplace_back(colon == std::string_view::npos ? info : info.substr(colon + 1));
        // ffmpeg ends the authority at the user-info's first '/', '?' or '#' and takes what
        // follows its last '@' before that for the host: a piece of the password, which it
        // prints ("Failed to resolve hostname ss", "tcp://ss:1935?tcp_nodelay=0").
        const std::string_view cut = info.substr(0, info.find_first_of("/?#"));
        if (const std::size_t at = cut.rfind('@'); cut.size() < info.size() && at != std::string_view::npos)
            misreadHost = cut.substr(at + 1, cut.find(':', at) - at - 1);
    }
    ForEachSecretValue(url, [&](std::size_t begin, std::size_t end) { secrets.emplace_back(url.substr(begin, end - begin)); });
    std::lock_guard<std::mutex> lock(g_secretsMutex);
    for (std::string& secret : secrets)
        if (secret.size() >= kMinSecret && secret.find('*') == std::string::npos && g_secrets.size() < kMaxSecrets)
            g_secrets.insert(std::move(secret));
    if (!misreadHost.empty() && misreadHost.find('*') == std::string::npos && g_misreadHosts.size() < kMaxSecrets)
        g_misreadHosts.insert(std::move(misreadHost));
}

namespace {

std::string MaskOnce(std::string_view input)
{
    std::string text(input);
    {
        std::lock_guard<std::mutex> lock(g_secretsMutex);
        for (const std::string& secret : g_secrets)
            for (std::size_t at = 0; (at = text.find(secret, at)) != std::string::npos; at += 3)
                text.replace(at, secret.size(), "***");
        const auto hostChar = [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || OneOf("-._", c); };
        for (const std::string& host : g_misreadHosts)
            for (const char* before : {"hostname ", "://"})
                for (std::size_t at = 0; (at = text.find(std::string(before) + host, at)) != std::string::npos;) {
                    at += std::strlen(before);
                    if (at + host.size() == text.size() || !hostChar(text[at + host.size()]))
                        text.replace(at, host.size(), "***");
                }
    }
    std::string out;
    out.reserve(text.size());
    std::size_t done = 0;
    for (std::size_t at = text.find("://"); at != std::string::npos; at = text.find("://", at + 3)) {
        const std::size_t start = at + 3;
        if (start < done)
            continue;  // inside a user-info already masked
        const std::size_t end = std::min({text.find("://", start), text.find('\n', start), text.size()});
        const std::size_t atSign = UserInfoEnd(text, start, end, true);
        if (atSign == std::string::npos || atSign == start)
            continue;  // no user-info, or an empty one: nothing to mask
        out.append(text, done, start - done).append(MaskedUserInfo(std::string_view(text).substr(start, atSign - start)));
        done = atSign;
    }
    out.append(text, done);
    std::string masked;
    masked.reserve(out.size());
    done = 0;
    ForEachSecretValue(out, [&](std::size_t begin, std::size_t end) {
        masked.append(out, done, begin - done).append("***");
        done = end;
    });
    return masked.append(out, done);
}

}  // namespace

std::string MaskPasswords(std::string_view input)
{
    // A masked value can end an address earlier than the text around it did, and a second look
    // may then find more to mask: mask until nothing changes, so that masking masked text is a
    // no-op (three rounds suffice for any text seen; a fourth would only mask more).
    std::string text = MaskOnce(input);
    for (int round = 0; round < 3; ++round) {
        std::string again = MaskOnce(text);
        if (again == text)
            break;
        text = std::move(again);
    }
    return text;
}
