#include "web/ConsoleAccess.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>

namespace ConsoleAccess {

std::string ReadTokenFile(const std::string& path, std::string& error)
{
    const std::string where = "控制令牌文件 " + path + " ";
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    struct stat st{};
    if (fd < 0 || ::fstat(fd, &st) != 0) {
        error = where + "无法读取（" + std::strerror(errno) + "）";
        if (fd >= 0)
            ::close(fd);
        return {};
    }
    std::string token(258, '\0');
    const ssize_t n = S_ISREG(st.st_mode) ? ::read(fd, token.data(), token.size()) : -1;
    ::close(fd);
    if (!S_ISREG(st.st_mode) || n < 0) {
        error = where + "不是可读的普通文件";
        return {};
    }
    if ((st.st_mode & 077) != 0) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
        error = where + "的权限是 " + mode + "，组或其他用户也能访问：请改为只有所有者可读写（chmod 600）";
        return {};
    }
    token.resize(static_cast<std::size_t>(n));
    while (!token.empty() && (token.back() == '\n' || token.back() == '\r'))
        token.pop_back();
    bool visible = true;
    for (unsigned char c : token)
        visible = visible && c > 0x20 && c < 0x7f;
    if (!visible || token.size() < 16 || token.size() > 256) {
        error = where + "须只含一个 16 到 256 个可见 ASCII 字符（不含空格）的令牌";
        return {};
    }
    return token;
}

bool TokensEqual(std::string_view given, std::string_view expected)
{
    // Every byte of expected is looked at, whatever differs and wherever.
    unsigned char differ = given.size() != expected.size();
    for (std::size_t i = 0; i < expected.size(); ++i)
        differ |= static_cast<unsigned char>(expected[i] ^ (i < given.size() ? given[i] : 0));
    return differ == 0;
}

std::string_view BearerToken(std::string_view authorization)
{
    constexpr std::string_view scheme = "bearer ";
    if (authorization.size() <= scheme.size())
        return {};
    for (std::size_t i = 0; i < scheme.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(authorization[i])) != scheme[i])
            return {};
    authorization.remove_prefix(scheme.size());
    while (!authorization.empty() && authorization.front() == ' ')
        authorization.remove_prefix(1);
    return authorization;
}

bool LoopbackHost(std::string_view host, int port)
{
    if (host.empty())
        return false;
    std::string_view name = host, portText;
    if (!host.empty() && host.front() == '[') {
        const std::size_t close = host.find(']');
        if (close == std::string_view::npos)
            return false;
        name = host.substr(1, close - 1);
        portText = host.substr(close + 1);
        if (!portText.empty() && portText.front() != ':')
            return false;
    } else if (const std::size_t colon = host.find(':'); colon != std::string_view::npos) {
        name = host.substr(0, colon);
        portText = host.substr(colon);
    }
    if (!portText.empty()) {
        portText.remove_prefix(1);
        if (portText.empty() || portText.size() > 5 || portText != std::to_string(port))
            return false;
    } else if (port != 80) {
        return false;
    }
    const std::string text(name);
    in_addr v4{};
    in6_addr v6{};
    if (::inet_pton(AF_INET, text.c_str(), &v4) == 1)
        return (ntohl(v4.s_addr) >> 24) == 127;
    if (host.front() == '[')
        return ::inet_pton(AF_INET6, text.c_str(), &v6) == 1 && IN6_IS_ADDR_LOOPBACK(&v6);
    if (text.size() != 9)
        return false;
    for (std::size_t i = 0; i < text.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(text[i])) != "localhost"[i])
            return false;
    return true;
}

namespace {
bool SameNoCase(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

// Where an address ends in a log line, a JSON string or ffmpeg's quotes. Bytes beyond ASCII end
// it too: the log's own sentences follow an address with Chinese punctuation.
bool EndsAddress(char c)
{
    const auto u = static_cast<unsigned char>(c);
    return u <= 0x20 || u >= 0x7f || c == '"' || c == '\'' || c == '<' || c == '>' || c == '\\' || c == '`';
}

// The name of a Host header without its port; an IPv6 address keeps its brackets.
std::string_view HostName(std::string_view host)
{
    if (!host.empty() && host.front() == '[')
        return host.substr(0, std::min(host.find(']'), host.size() - 1) + 1);
    return host.substr(0, host.find(':'));
}
}  // namespace

bool NamedHost(std::string_view host, const std::vector<std::string>& names)
{
    const std::string_view name = HostName(host);
    return std::any_of(names.begin(), names.end(), [name](const std::string& n) { return SameNoCase(n, name); });
}

bool AddressHost(std::string_view host)
{
    const std::string_view name = HostName(host);
    in_addr v4{};
    in6_addr v6{};
    if (name.size() > 2 && name.front() == '[' && name.back() == ']')
        return ::inet_pton(AF_INET6, std::string(name.substr(1, name.size() - 2)).c_str(), &v6) == 1;
    return ::inet_pton(AF_INET, std::string(name).c_str(), &v4) == 1;
}

std::vector<std::string> HostNames(std::string_view text, std::string& error)
{
    std::vector<std::string> names;
    for (std::size_t from = 0; from <= text.size();) {
        const std::size_t comma = std::min(text.find(',', from), text.size());
        std::string name(text.substr(from, comma - from));
        const bool valid = !name.empty() && std::all_of(name.begin(), name.end(), [](char c) {
            return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.';
        });
        if (!valid) {
            error = "--status-host 须为以逗号分隔的主机名（字母、数字、“-”和“.”），“" + name + "”不是";
            return {};
        }
        std::transform(name.begin(), name.end(), name.begin(), [](char c) { return char(std::tolower(c)); });
        names.push_back(std::move(name));
        from = comma + 1;
    }
    return names;
}

int PortNumber(std::string_view text)
{
    int port = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), port);
    return error == std::errc() && end == text.data() + text.size() && port >= 1 && port <= 65535 ? port : 0;
}

std::string MaskStreamKeys(std::string text)
{
    for (std::size_t at = 0; at + 4 <= text.size();) {
        if (!SameNoCase(std::string_view(text).substr(at, 4), "rtmp")) {
            ++at;
            continue;
        }
        std::size_t p = at + 4;
        while (p < text.size() && std::isalpha(static_cast<unsigned char>(text[p])))
            ++p;
        if (text.compare(p, 3, "://") != 0) {
            at = p;
            continue;
        }
        p += 3;
        std::size_t end = p;
        while (end < text.size() && !EndsAddress(text[end]))
            ++end;
        // The path begins after the host (and after any user-info); the key is its last
        // segment before the query, trailing slashes aside; the query goes with it.
        const std::size_t userInfo = text.rfind('@', end - 1);
        const std::size_t host = userInfo != std::string::npos && userInfo >= p ? userInfo + 1 : p;
        const std::size_t path = std::min(text.find('/', host), end);
        std::size_t stop = std::min(text.find_first_of("?#", path), end);
        while (stop > path + 1 && text[stop - 1] == '/')
            --stop;
        if (stop > path + 1) {
            const std::size_t key = text.rfind('/', stop - 1) + 1;
            text.replace(key, end - key, "***");
            end = key + 3;
        }
        at = end;
    }
    return text;
}

}  // namespace ConsoleAccess
