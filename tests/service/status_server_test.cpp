#include "service/StatusServer.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace {

// One request on a connection of its own to 127.0.0.1: everything the server sends until it
// closes (empty when refused; reads give up after five seconds).
std::string Exchange(int port, const std::string& request)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const timeval timeout{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string all;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0
        && ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) == ssize_t(request.size())) {
        char buffer[4096];
        for (ssize_t n; (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;)
            all.append(buffer, size_t(n));
    }
    ::close(fd);
    return all;
}

bool GetsOk(int port, const std::string& path)
{
    return Exchange(port, "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n").rfind("HTTP/1.1 200 OK", 0) == 0;
}

class StatusServerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_server.Start("127.0.0.1", 0)) << m_server.ErrorText();
        m_port = m_server.Port();
        m_server.Publish({{1, "门口 \"东\"\\1", true, true, 800, 0, 2, 0.5}});
    }

    StatusServer m_server;
    int m_port = 0;
};

// Each request on its own connection; after each one, the server must still answer.
TEST_F(StatusServerTest, AnswersRoutesAndRejectsEverythingElse)
{
    const struct { std::string request, statusLine, bodyPart; } cases[] = {
        {"GET /metrics HTTP/1.1\r\n\r\n", "HTTP/1.1 200 OK",
         "camrelay_channel_up{id=\"1\",name=\"门口 \\\"东\\\"\\\\1\"} 1\n"},
        {"GET /status?x=1 HTTP/1.1\r\n\r\n", "HTTP/1.1 200 OK", "\"name\":\"门口 \\\"东\\\"\\\\1\""},
        {"GET / HTTP/1.1\r\n\r\n", "HTTP/1.1 404 Not Found", "404 Not Found"},
        {"POST /metrics HTTP/1.1\r\nContent-Length: 2\r\n\r\nab", "HTTP/1.1 404", ""},
        {"POST /metrics HTTP/1.1\r\nContent-Length: 5000\r\n\r\n" + std::string(5000, 'b'), "HTTP/1.1 413", ""},
        {"GARBAGE\r\n\r\n", "HTTP/1.1 400 Bad Request", ""},
        {"GET /" + std::string(10000, 'a') + " HTTP/1.1\r\n\r\n", "HTTP/1.1 414", ""},
    };
    for (const auto& c : cases) {
        const std::string answer = Exchange(m_port, c.request);
        EXPECT_EQ(answer.rfind(c.statusLine, 0), 0u) << c.request.substr(0, 40) << "\n" << answer;
        EXPECT_NE(answer.find(c.bodyPart), std::string::npos) << c.request.substr(0, 40) << "\n" << answer;
        EXPECT_TRUE(GetsOk(m_port, "/metrics")) << "after " << c.request.substr(0, 40);
    }
}

// A port already taken (also by another instance of this server), or a bad address or port:
// Start says why and fails; once the port is free again it can be bound at once.
TEST_F(StatusServerTest, StartFailsClearlyAndRebindsAfterStop)
{
    const std::string port = std::to_string(m_port);
    const struct { std::string address; int port; std::string message; } cases[] = {
        {"127.0.0.1", m_port, "127.0.0.1:" + port + " 已被占用"},
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
    ASSERT_TRUE(GetsOk(m_port, "/metrics"));

    // The answered connections linger in TIME_WAIT; a restart must still get the port.
    m_server.Stop();
    ASSERT_TRUE(m_server.Start("127.0.0.1", m_port)) << m_server.ErrorText();
    EXPECT_TRUE(GetsOk(m_port, "/status"));
}

}  // namespace
