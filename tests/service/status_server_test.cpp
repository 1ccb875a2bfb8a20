#include "service/StatusServer.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>
#include <vector>

namespace {

// A connection of its own to 127.0.0.1 that has sent `request` (reads give up after five
// seconds); when refused, a socket that reads nothing.
int Connect(int port, const std::string& request)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const timeval timeout{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    sockaddr_in to{AF_INET, htons(static_cast<uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
    if (::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0)
        ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    return fd;
}

// Everything the server sends until it closes; the descriptor is closed.
std::string Answer(int fd)
{
    std::string all;
    char buffer[4096];
    for (ssize_t n; (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;)
        all.append(buffer, size_t(n));
    ::close(fd);
    return all;
}

std::string Repeat(const std::string& piece, int times)
{
    return times <= 0 ? "" : Repeat(piece + piece, times / 2) + (times % 2 ? piece : "");
}

bool GetsOk(int port, const std::string& path)
{
    return Answer(Connect(port, "GET " + path + " HTTP/1.1\r\n\r\n")).rfind("HTTP/1.1 200 OK", 0) == 0;
}

class StatusServerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_server.Start("127.0.0.1", 0)) << m_server.ErrorText();
        m_server.Publish({{1, "门口 \"东\"\\1", true, true, 800, 0, 2, 0.5}});
    }

    StatusServer m_server;
};

// Each request on its own connection; after each one, the server must still answer. A body
// excerpt is there exactly once (ranges never repeat it). A request that never ends (its line or
// its headers flooded) is cut off at the server's bound, long before the client has sent 64 MiB.
TEST_F(StatusServerTest, AnswersRoutesAndRejectsEverythingElse)
{
    const struct { std::string request, statusLine, bodyPart, flood = ""; } cases[] = {
        {"GET /metrics HTTP/1.1\r\n\r\n", "HTTP/1.1 200 OK",
         "camrelay_channel_up{id=\"1\",name=\"门口 \\\"东\\\"\\\\1\"} 1\n"},
        {"GET /status?x=1 HTTP/1.1\r\n\r\n", "HTTP/1.1 200 OK", "\"name\":\"门口 \\\"东\\\"\\\\1\""},
        {"GET / HTTP/1.1\r\n\r\n", "HTTP/1.1 404 Not Found", "\r\n\r\n404 Not Found\n"},
        {"POST /metrics HTTP/1.1\r\nContent-Length: 2\r\n\r\nab", "HTTP/1.1 404", "\r\n\r\n"},
        {"POST /metrics HTTP/1.1\r\nContent-Length: 5000\r\n\r\n" + std::string(5000, 'b'), "HTTP/1.1 413", "\r\n\r\n"},
        {"GARBAGE X\r\n\r\n", "HTTP/1.1 400 Bad Request", "\r\n\r\n"},
        {"GET /" + std::string(10000, 'a') + " HTTP/1.1\r\n\r\n", "HTTP/1.1 414", "\r\n\r\n"},
        {"GET /", "HTTP/1.1 414", "\r\n\r\n", std::string(65536, 'a')},
        {"GET /metrics HTTP/1.1\r\n" + Repeat("a:\r\n", 101) + "\r\n", "HTTP/1.1 431", "\r\n\r\n"},
        {"GET / HTTP/1.1\r\n", "HTTP/1.1 431", "\r\n\r\n", Repeat("a:b\r\n", 13000)},
        {"GET /status HTTP/1.1\r\nRange: bytes=0-" + Repeat(",0-", 99) + "\r\n\r\n", "HTTP/1.1 200 OK", "\"name\""},
    };
    for (const auto& c : cases) {
        const int fd = Connect(m_server.Port(), c.request);
        size_t sent = 0;
        while (!c.flood.empty() && sent < (64u << 20) && ::send(fd, c.flood.data(), c.flood.size(), MSG_NOSIGNAL) > 0)
            sent += c.flood.size();
        const std::string answer = Answer(fd), where = c.request.substr(0, 40) + "\n" + answer.substr(0, 400);
        EXPECT_LT(sent, 64u << 20) << where;
        EXPECT_EQ(answer.rfind(c.statusLine, 0), 0u) << where;
        const size_t at = answer.find(c.bodyPart);
        EXPECT_TRUE(at != std::string::npos && at == answer.rfind(c.bodyPart)) << where;
        EXPECT_TRUE(GetsOk(m_server.Port(), "/metrics")) << "after " << where;
    }
}

// Past 16 connections from one address a new one is closed at once. Once one of the 16 goes, a
// scrape is answered while the other 15, stalled mid-request, stay connected.
TEST_F(StatusServerTest, StalledAndSurplusConnectionsHoldNoScrape)
{
    std::vector<int> held;
    for (int i = 0; i < 20; ++i)
        held.push_back(Connect(m_server.Port(), i < 16 ? "GET /metrics HTTP/1.1\r\n" : ""));
    char byte;
    EXPECT_EQ(::recv(held.back(), &byte, 1, 0), 0);
    ::shutdown(held[0], SHUT_RDWR);
    bool answered = false;   // a retry, should the server not yet have seen that one go
    for (int i = 0; i < 50 && !(answered = GetsOk(m_server.Port(), "/metrics")); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_TRUE(answered);
    EXPECT_EQ(std::count_if(held.begin() + 1, held.begin() + 16,
                            [&byte](int fd) { return ::recv(fd, &byte, 1, MSG_DONTWAIT) < 0; }), 15);
    for (int fd : held)
        ::close(fd);
}

// A port already taken (also by another instance of this server), or a bad address or port:
// Start says why and fails; once the port is free again it can be bound at once.
TEST_F(StatusServerTest, StartFailsClearlyAndRebindsAfterStop)
{
    const int port = m_server.Port();
    const struct { std::string address; int port; std::string message; } cases[] = {
        {"127.0.0.1", port, "127.0.0.1:" + std::to_string(port) + " 已被占用"},
        {"999.1.1.1", 0, "地址“999.1.1.1”无效"},
        {"192.0.2.1", 0, "本机没有地址 192.0.2.1"},
        {"127.0.0.1", 65536, "端口 65536 无效"},
    };
    for (const auto& c : cases) {
        StatusServer other;
        EXPECT_FALSE(other.Start(c.address, c.port)) << c.address;
        EXPECT_EQ(other.ErrorText(), "状态服务未启动：" + c.message);
    }
    EXPECT_FALSE(m_server.Start("127.0.0.1", 0));   // already running
    ASSERT_TRUE(GetsOk(m_server.Port(), "/metrics"));

    // The answered connections linger in TIME_WAIT; a restart must still get the port.
    m_server.Stop();
    ASSERT_TRUE(m_server.Start("127.0.0.1", port)) << m_server.ErrorText();
    EXPECT_TRUE(GetsOk(m_server.Port(), "/status"));
}

}  // namespace
