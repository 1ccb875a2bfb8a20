#include "platform/LoopbackPorts.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

std::vector<int> FreeLoopbackUdpPorts(int count)
{
    // All sockets stay bound until every port is read, so the system hands out distinct ones.
    std::vector<int> sockets, ports;
    for (int i = 0; i < count; ++i) {
        const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (fd < 0)
            break;
        sockets.push_back(fd);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        if (::bind(fd, reinterpret_cast<sockaddr*>(&address), size) != 0
            || ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0)
            break;
        ports.push_back(ntohs(address.sin_port));
    }
    for (const int fd : sockets)
        ::close(fd);
    if (static_cast<int>(ports.size()) != count)
        ports.clear();
    return ports;
}
