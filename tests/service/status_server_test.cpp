#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "service/StatusServer.h"

namespace {

// A raw client socket to 127.0.0.1, closed with the object.
class Socket {
public:
    explicit Socket(int port)
    {
        m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        timeval timeout{5, 0};
        setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(static_cast<uint16_t>(port));
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        m_connected = ::connect(m_fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0;
    }
    ~Socket() { ::close(m_fd); }
    bool Connected() const { return m_connected; }
    void Send(const std::string& bytes) { ASSERT_EQ(::send(m_fd, bytes.data(), bytes.size(), MSG_NOSIGNAL), ssize_t(bytes.size())); }
    // Everything the server sends until it closes (or five seconds pass).
    std::string ReadAll()
    {
        std::string all;
        char buffer[4096];
        ssize_t n;
        while ((n = ::recv(m_fd, buffer, sizeof buffer, 0)) > 0)
            all.append(buffer, size_t(n));
        return all;
    }
    // True while the server keeps the connection open without having answered.
    bool StillWaiting()
    {
        char byte;
        return ::recv(m_fd, &byte, 1, MSG_DONTWAIT) < 0 && errno == EAGAIN;
    }

private:
    int m_fd = -1;
    bool m_connected = false;
};

std::string Exchange(int port, const std::string& request)
{
    Socket socket(port);
    if (!socket.Connected())
        return "(no connection)";
    socket.Send(request);
    return socket.ReadAll();
}

std::string Get(int port, const std::string& path)
{
    return Exchange(port, "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
}

bool StartsWith(const std::string& text, const std::string& head)
{
    return text.compare(0, head.size(), head) == 0;
}

class StatusServerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_server.Start("127.0.0.1", 0)) << m_server.ErrorText();
        m_port = m_server.Port();
        ChannelStatus a{1, "门口 \"东\"\\1", true, true, 800, 0, 2, 0.5};
        ChannelStatus b{2, "仓库", true, false, 0, 3, 5, std::nullopt};
        m_server.Publish({a, b});
    }

    StatusServer m_server;
    int m_port = 0;
};

// Each request on its own connection; after each one, the server must still answer.
TEST_F(StatusServerTest, AnswersRoutesAndRejectsEverythingElse)
{
    struct Case {
        std::string request, statusLine, bodyPart;
    } cases[] = {
        {"GET /metrics HTTP/1.1\r\n\r\n", "HTTP/1.1 200 OK",
         "camrelay_channel_up{id=\"1\",name=\"门口 \\\"东\\\"\\\\1\"} 1\n"},
        {"GET /metrics HTTP/1.0\r\n\r\n", "HTTP/1.1 200 OK", "Content-Type: text/plain; version=0.0.4"},
        {"GET /status?x=1 HTTP/1.1\r\n\r\n", "HTTP/1.1 200 OK", "\"name\":\"门口 \\\"东\\\"\\\\1\""},
        {"GET /status HTTP/1.1\r\n\r\n", "HTTP/1.1 200 OK", "\"seconds_since_progress\":null}"},
        {"GET / HTTP/1.1\r\n\r\n", "HTTP/1.1 404 Not Found", "404 Not Found"},
        {"GET /metrics/x HTTP/1.1\r\n\r\n", "HTTP/1.1 404", ""},
        {"POST /metrics HTTP/1.1\r\nContent-Length: 2\r\n\r\nab", "HTTP/1.1 404", ""},
        {"POST /metrics HTTP/1.1\r\nContent-Length: 5000\r\n\r\n" + std::string(5000, 'b'), "HTTP/1.1 413", ""},
        {"GARBAGE\r\n\r\n", "HTTP/1.1 400 Bad Request", ""},
        {"GET /metrics HTTP/9.9\r\n\r\n", "HTTP/1.1 400", ""},
        {std::string("\x16\x03\x01\x02\x00\x01\xfc\r\n\r\n", 11), "HTTP/1.1 400", ""},   // a TLS hello
        {"GET /" + std::string(10000, 'a') + " HTTP/1.1\r\n\r\n", "HTTP/1.1 414", ""},
    };
    for (const Case& c : cases) {
        const std::string answer = Exchange(m_port, c.request);
        EXPECT_TRUE(StartsWith(answer, c.statusLine)) << c.request.substr(0, 40) << "\n" << answer;
        EXPECT_NE(answer.find(c.bodyPart), std::string::npos) << c.request.substr(0, 40) << "\n" << answer;
        EXPECT_TRUE(StartsWith(Get(m_port, "/metrics"), "HTTP/1.1 200 OK")) << "after " << c.request.substr(0, 40);
    }
}

// Clients that connect and stall (sending nothing, or half a request line) hold a worker
// each; another client is answered while they are still connected.
TEST_F(StatusServerTest, StalledClientsDoNotHoldUpOthers)
{
    Socket silent(m_port), half(m_port);
    ASSERT_TRUE(silent.Connected() && half.Connected());
    half.Send("GET /metr");
    EXPECT_TRUE(StartsWith(Get(m_port, "/status"), "HTTP/1.1 200 OK"));
    EXPECT_TRUE(silent.StillWaiting());
    EXPECT_TRUE(half.StillWaiting());
    // Stop does not wait for them beyond the server's timeouts.
    m_server.Stop();
    EXPECT_FALSE(Socket(m_port).Connected());
}

// A port already taken (also by another instance of this server), or a bad address or port:
// Start says why and fails; once the port is free again it can be bound at once.
TEST_F(StatusServerTest, StartFailsClearlyAndRebindsAfterStop)
{
    const std::string port = std::to_string(m_port);
    struct Case {
        std::string address;
        int port;
        std::string message;
    } cases[] = {
        {"127.0.0.1", m_port, "127.0.0.1:" + port + " 已被占用"},
        {"localhost", m_port, "localhost:" + port + " 已被占用"},
        {"999.1.1.1", 0, "地址“999.1.1.1”无效"},
        {"camera.example", 0, "地址“camera.example”无效"},
        {"", 0, "地址“”无效"},
        {"192.0.2.1", 0, "本机没有地址 192.0.2.1"},
        {"127.0.0.1", 65536, "端口 65536 无效"},
        {"127.0.0.1", -1, "端口 -1 无效"},
    };
    for (const Case& c : cases) {
        StatusServer other;
        EXPECT_FALSE(other.Start(c.address, c.port)) << c.address;
        EXPECT_EQ(other.ErrorText(), "状态服务未启动：" + c.message);
        EXPECT_FALSE(other.Running());
    }
    EXPECT_FALSE(m_server.Start("127.0.0.1", 0));   // already running
    ASSERT_TRUE(StartsWith(Get(m_port, "/metrics"), "HTTP/1.1 200 OK"));

    // The answered connections linger in TIME_WAIT; a restart must still get the port.
    m_server.Stop();
    EXPECT_FALSE(m_server.Running());
    ASSERT_TRUE(m_server.Start("127.0.0.1", m_port)) << m_server.ErrorText();
    EXPECT_TRUE(StartsWith(Get(m_port, "/status"), "HTTP/1.1 200 OK"));
}

}  // namespace
