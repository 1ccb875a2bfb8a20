#include "service/ConsoleAccess.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
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

}  // namespace ConsoleAccess
