#include "web/ConnectionTable.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <microhttpd.h>

namespace {

// The client's address as text.
std::string ClientAddress(MHD_Connection* connection)
{
    const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    char text[INET6_ADDRSTRLEN] = "?";
    if (info && info->client_addr) {
        const sockaddr* address = info->client_addr;
        const void* bytes = address->sa_family == AF_INET6
                                ? static_cast<const void*>(&reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr)
                                : static_cast<const void*>(&reinterpret_cast<const sockaddr_in*>(address)->sin_addr);
        ::inet_ntop(address->sa_family, bytes, text, sizeof text);
    }
    return text;
}

}  // namespace

bool IsLoopback(const sockaddr* address)
{
    if (address->sa_family == AF_INET)
        return (ntohl(reinterpret_cast<const sockaddr_in*>(address)->sin_addr.s_addr) >> 24) == 127;
    const in6_addr& ip = reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr;
    return IN6_IS_ADDR_LOOPBACK(&ip) || (IN6_IS_ADDR_V4MAPPED(&ip) && ip.s6_addr[12] == 127);
}

void ConnectionTable::Opened(MHD_Connection* connection)
{
    Link link;
    const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
    link.fd = info ? info->connect_fd : -1;
    link.address = ClientAddress(connection);
    // Unknown counts as loopback, whose rule is the stricter.
    sockaddr_storage local = {};
    socklen_t size = sizeof local;
    link.loopback = link.fd < 0 || ::getsockname(link.fd, reinterpret_cast<sockaddr*>(&local), &size) != 0 ||
                    IsLoopback(reinterpret_cast<sockaddr*>(&local));
    link.since = std::chrono::steady_clock::now();
    m_links[connection] = link;
    Admit(link.address);
}

ConnectionTable::Link ConnectionTable::Received(MHD_Connection* connection)
{
    auto found = m_links.find(connection);
    if (found == m_links.end() || found->second.received)
        return {};
    found->second.received = true;
    found->second.since = std::chrono::steady_clock::now();
    return found->second;
}

void ConnectionTable::SetWaiting(MHD_Connection* connection, bool waiting)
{
    if (auto found = m_links.find(connection); found != m_links.end()) {
        found->second.waiting = waiting;
        if (!waiting)
            found->second.since = std::chrono::steady_clock::now();
    }
}

void ConnectionTable::CloseOverdue(std::chrono::steady_clock::time_point now)
{
    for (auto& [connection, link] : m_links)
        if (!link.closing && !link.waiting && now - link.since > kDeadline)
            Close(link);
}

// At worst the newcomer itself is closed.
void ConnectionTable::Admit(const std::string& address)
{
    unsigned all = 0, same = 0;
    for (const auto& [connection, link] : m_links)
        if (!link.closing) {
            ++all;
            same += link.address == address;
        }
    while (all > kConnections || same > kPerAddress) {
        const bool sameAddress = same > kPerAddress;
        Link* oldest = nullptr;
        for (auto& [connection, link] : m_links)
            if (!link.closing && !link.received && (!sameAddress || link.address == address) &&
                (!oldest || link.since < oldest->since))
                oldest = &link;
        if (!oldest)
            return;
        Close(*oldest);
        --all;
        same -= oldest->address == address;
    }
}

void ConnectionTable::Close(Link& link)
{
    if (link.fd >= 0)
        ::shutdown(link.fd, SHUT_RDWR);
    link.closing = true;
}
