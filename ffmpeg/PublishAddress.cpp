#include "ffmpeg/PublishAddress.h"

#include "platform/SecretMask.h"

#include <charconv>

namespace {
const char kRtmpPrefix[] = "rtmp://";
const char kPublishShape[] = "：应为 rtmp://服务器/应用名/流名称";
} // namespace

PublishAddress ParsePublishAddress(const std::string& address)
{
    PublishAddress a;
    if (address.rfind(kRtmpPrefix, 0) != 0) {
        a.problem = std::string("发布地址须以 ") + kRtmpPrefix + " 开头";
        a.shown = MaskPasswords(address);
        return a;
    }
    const std::size_t authority = sizeof kRtmpPrefix - 1;
    const std::size_t pathAt = std::min(address.find_first_of("/?#", authority), address.size());
    // The query goes with the stream name: a '/' in a token is no path segment.
    const std::size_t queryAt = std::min(address.find_first_of("?#", pathAt), address.size());
    std::string server = address.substr(authority, pathAt - authority);
    if (const std::size_t at = server.rfind('@'); at != std::string::npos)
        server.erase(0, at + 1);
    std::string portText;
    if (!server.empty() && server[0] == '[') {
        const std::size_t close = server.find(']');
        a.host = server.substr(1, close == std::string::npos ? std::string::npos : close - 1);
        if (close != std::string::npos && close + 1 < server.size() && server[close + 1] == ':')
            portText = server.substr(close + 2);
    } else {
        const std::size_t colon = server.rfind(':');
        a.host = server.substr(0, colon);
        if (colon != std::string::npos)
            portText = server.substr(colon + 1);
    }
    if (server.size() > a.host.size() + (server.starts_with('[') ? 2 : 0)) {
        const auto [end, error] = std::from_chars(portText.data(), portText.data() + portText.size(), a.port);
        if (error != std::errc() || end != portText.data() + portText.size() || a.port < 1 || a.port > 65535)
            a.port = 0;
    }
    std::string path = address.substr(pathAt, queryAt - pathAt);
    if (!path.empty() && path[0] == '/')
        path.erase(0, 1);
    const std::size_t last = path.rfind('/');
    const std::string lastSegment = last == std::string::npos ? path : path.substr(last + 1);
    // ffmpeg connects to the first segment, or the first two when there are three or more.
    const std::size_t first = path.find('/');
    const std::size_t second = first == std::string::npos ? first : path.find('/', first + 1);
    const std::size_t appEnd = second != std::string::npos && path.find(':', first) > second ? second : first;
    if (appEnd != std::string::npos)
        a.app = path.substr(0, appEnd), a.stream = path.substr(appEnd + 1) + address.substr(queryAt);

    if (a.host.empty())
        a.problem = std::string("发布地址缺少服务器") + kPublishShape;
    else if (a.port == 0)
        a.problem = std::string("发布地址的端口无效") + kPublishShape;
    else if (path.empty())
        a.problem = std::string("发布地址缺少应用名和流名称") + kPublishShape;
    else if (last == std::string::npos || lastSegment.empty())
        a.problem = std::string("发布地址缺少流名称") + kPublishShape;
    else if (a.app.empty())
        a.problem = std::string("发布地址缺少应用名") + kPublishShape;
    // Shown up to the application; the stream name, or else the query, is the publishing key.
    const std::size_t keyAt = appEnd != std::string::npos ? pathAt + 2 + appEnd : std::min(queryAt + 1, address.size());
    a.shown = MaskPasswords(address.substr(0, keyAt) + (keyAt < address.size() ? "***" : ""));
    return a;
}

std::string PublishAddressProblem(const std::string& address)
{
    return ParsePublishAddress(address).problem;
}
