#include "service/StatusServer.h"

#include "relay/StatusLog.h"
#include "service/ConsoleAccess.h"
#include "support/ProcessProbe.h"
#include "support/TempDir.h"

#include <arpa/inet.h>
#include <sys/stat.h>
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

const std::string kToken = "s3cret-token-0123456789";

// The owner answers at once with what it was asked (the request's kind and id, and the check it
// was given); the preview checks wait until the test finishes them.
struct FakeOwner : ConsoleHost {
    void Submit(ConsoleRequest r, std::function<void(ConsoleReply)> reply) override
    {
        reply({200, "{\"kind\":" + std::to_string(int(r.kind)) + ",\"id\":" + std::to_string(r.id) + ",\"check\":" +
                        r.check + "}"});
    }
    bool CanReload() const override { return true; }

    std::mutex mutex;
    std::vector<std::pair<int, std::function<void(FrameAnswer)>>> checks;  // started, unfinished
    std::size_t Checks()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return checks.size();
    }
    void Finish(std::size_t i, FrameAnswer answer)
    {
        std::function<void(FrameAnswer)> done;
        {
            std::lock_guard<std::mutex> lock(mutex);
            done = checks.at(i).second;
        }
        done(std::move(answer));
    }
};

class StatusServerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_server.UseConsole({&m_owner, kToken, "/srv/站点", "headless", &m_log});
        m_server.SetFrameProvider([this](int id, std::function<void(FrameAnswer)> done) {
            std::lock_guard<std::mutex> lock(m_owner.mutex);
            m_owner.checks.emplace_back(id, std::move(done));
        });
        ASSERT_TRUE(m_server.Start("127.0.0.1", 0)) << m_server.ErrorText();
        m_server.Publish({{1, "门口 \"东\"\\1", true, true, 800, 0, 2, 0.5}, {2, "b"}, {3, "c"}});
    }
    std::string Get(const std::string& path) { return Answer(Connect(m_server.Port(), "GET " + path + " HTTP/1.1\r\n\r\n")); }

    FakeOwner m_owner;
    StatusLog m_log{"", -1};
    StatusServer m_server;
};

// Each request on its own connection; after each one, the server must still answer. A body
// excerpt is there exactly once (ranges never repeat it). A request that never ends (its line or
// its headers flooded) is cut off at the server's bound, long before the client has sent 64 MiB.
TEST_F(StatusServerTest, AnswersRoutesAndRejectsEverythingElse)
{
    std::string port = std::to_string(m_server.Port());
    const auto post = [&](const std::string& path, const std::string& authorization) {
        return "POST " + path + " HTTP/1.1\r\nHost: localhost:" + port + "\r\n" +
               (authorization.empty() ? "" : "Authorization: " + authorization + "\r\n") + "\r\n";
    };
    const auto host = [&](const std::string& name) { return "GET /status HTTP/1.1\r\nHost: " + name + "\r\n\r\n"; };
    const struct { std::string request, statusLine, bodyPart, flood = ""; } cases[] = {
        {"GET /metrics HTTP/1.1\r\n\r\n", "HTTP/1.1 200 OK",
         "camrelay_channel_up{id=\"1\",name=\"门口 \\\"东\\\"\\\\1\"} 1\n"},
        {"GET /status?x=1 HTTP/1.1\r\n\r\n", "HTTP/1.1 200 OK", "\"name\":\"门口 \\\"东\\\"\\\\1\""},
        {"GET /nothing HTTP/1.1\r\n\r\n", "HTTP/1.1 404 Not Found", "\r\n\r\n404 Not Found\n"},
        // The page, its script and every data answer: no inline script, no frame, no cache.
        {"GET / HTTP/1.1\r\n\r\n", "HTTP/1.1 200 OK", "Content-Security-Policy: default-src 'self'\r\n"},
        {"GET /console.js HTTP/1.1\r\n\r\n", "HTTP/1.1 200 OK", "X-Frame-Options: DENY\r\n"},
        {"GET /status HTTP/1.1\r\n\r\n", "HTTP/1.1 200 OK", "Cache-Control: no-store\r\n"},
        {"GET /metrics HTTP/1.1\r\n\r\n", "HTTP/1.1 200 OK", "X-Content-Type-Options: nosniff\r\n"},
        {"GET /status HTTP/1.1\r\n\r\n", "HTTP/1.1 200 OK", "\"data_dir\":\"/srv/站点\",\"face\":\"headless\""},
        // Only this machine's names with the bound port: another name is a rebinding page.
        {host("localhost:" + port), "HTTP/1.1 200 OK", "\"control\":true,\"reload\":true,\"preview\":true"},
        {host("127.0.0.2:" + port), "HTTP/1.1 200 OK", "\"channels\""},
        {host("[::1]:" + port), "HTTP/1.1 200 OK", "\"channels\""},
        {host("evil.example:" + port), "HTTP/1.1 421", "只接受以本机地址访问"},
        {host("127.0.0.1"), "HTTP/1.1 421", "只接受以本机地址访问"},
        {host("127.0.0.1:" + std::to_string(m_server.Port() ^ 1)), "HTTP/1.1 421", "只接受以本机地址访问"},
        {host("localhost.evil.example:" + port), "HTTP/1.1 421", "只接受以本机地址访问"},
        // Commands with the token only (compared whole: a prefix, a longer one or another
        // scheme is no token); each is carried out by the owner; a refusal is logged once.
        {post("/api/pause-all", ""), "HTTP/1.1 401", "WWW-Authenticate: Bearer"},
        {post("/api/pause-all", "Bearer " + kToken.substr(0, kToken.size() - 1)), "HTTP/1.1 401", "控制令牌不对"},
        {post("/api/pause-all", "Bearer " + kToken + "x"), "HTTP/1.1 401", "控制令牌不对"},
        {post("/api/pause-all", "Basic " + kToken), "HTTP/1.1 401", "控制令牌不对"},
        {"GET /api/log HTTP/1.1\r\n\r\n", "HTTP/1.1 200 OK", "网页命令被拒绝：控制令牌不对（来自 127.0.0.1）"},
        {post("/api/pause-all", "bearer " + kToken), "HTTP/1.1 200 OK", "{\"kind\":4,\"id\":-1"},
        {post("/api/channels/1/pause", "Bearer " + kToken), "HTTP/1.1 200 OK", "{\"kind\":2,\"id\":1"},
        {post("/api/channels/x1/run", "Bearer " + kToken), "HTTP/1.1 404", "没有这个命令"},
        {"POST /api/run-all HTTP/1.1\r\nAuthorization: Bearer " + kToken + "\r\nContent-Length: 1025\r\n\r\n" +
             std::string(1025, 'b'), "HTTP/1.1 413", "\r\n\r\n"},
        {"GET /api/channels/1/details HTTP/1.1\r\n\r\n", "HTTP/1.1 200 OK", "{\"kind\":0,\"id\":1,\"check\":null}"},
        {"GET /api/channels/9/details HTTP/1.1\r\n\r\n", "HTTP/1.1 404", "没有编号为 9 的信号"},
        {"POST /metrics HTTP/1.1\r\nContent-Length: 2\r\n\r\nab", "HTTP/1.1 404", "\r\n\r\n"},
        {"POST /metrics HTTP/1.1\r\nContent-Length: 5000\r\n\r\n" + std::string(5000, 'b'), "HTTP/1.1 413", "\r\n\r\n"},
        {"GARBAGE X\r\n\r\n", "HTTP/1.1 400 Bad Request", "\r\n\r\n"},
        {"GET /" + std::string(10000, 'a') + " HTTP/1.1\r\n\r\n", "HTTP/1.1 414", "\r\n\r\n"},
        {"GET /", "HTTP/1.1 414", "\r\n\r\n", std::string(65536, 'a')},
        {"GET /metrics HTTP/1.1\r\n" + Repeat("a:\r\n", 101) + "\r\n", "HTTP/1.1 431", "\r\n\r\n"},
        {"GET / HTTP/1.1\r\n", "HTTP/1.1 431", "\r\n\r\n", Repeat("a:b\r\n", 13000)},
        {"GET /status HTTP/1.1\r\nRange: bytes=0-" + Repeat(",0-", 99) + "\r\n\r\n", "HTTP/1.1 200 OK", "\"name\":\"b\""},
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

    // Without a token file the console is read-only and, without a source check, has no previews.
    m_server.Stop();
    m_server.UseConsole({&m_owner, "", "", "window", nullptr});
    m_server.SetFrameProvider(nullptr);
    ASSERT_TRUE(m_server.Start("127.0.0.1", 0));
    m_server.Publish({{1, "a"}});
    port = std::to_string(m_server.Port());
    EXPECT_NE(Answer(Connect(m_server.Port(), post("/api/run-all", "Bearer " + kToken))).find("403 Forbidden"), std::string::npos);
    const std::string frame = Get("/api/channels/1/frame.jpg");
    EXPECT_TRUE(frame.starts_with("HTTP/1.1 404") && frame.find("预览不可用") != std::string::npos) << frame;
}

// A channel's preview: one check at a time and one per period after it ends, also when it took
// the whole period (a second look gets the kept answer, or 429 while the first runs), two checks
// at most (503); neither holds up a scrape; the check's report reaches the details. Stopping answers a request still waiting for its check.
TEST_F(StatusServerTest, PreviewsAreLimitedPerChannelAndInAll)
{
    const int first = Connect(m_server.Port(), "GET /api/channels/1/frame.jpg HTTP/1.1\r\n\r\n");
    ASSERT_TRUE(ProcessProbe::WaitUntil([&] { return m_owner.Checks() == 1; }, std::chrono::seconds(5)));
    EXPECT_TRUE(Get("/api/channels/1/frame.jpg").starts_with("HTTP/1.1 429"));
    const int second = Connect(m_server.Port(), "GET /api/channels/2/frame.jpg HTTP/1.1\r\n\r\n");
    ASSERT_TRUE(ProcessProbe::WaitUntil([&] { return m_owner.Checks() == 2; }, std::chrono::seconds(5)));
    EXPECT_TRUE(Get("/api/channels/3/frame.jpg").starts_with("HTTP/1.1 503"));
    EXPECT_TRUE(GetsOk(m_server.Port(), "/status"));

    std::this_thread::sleep_for(StatusServer::kPreviewPeriod);   // checks as long as the period
    m_owner.Finish(0, {"\xff\xd8jpeg", {"视频 h264 640x360"}, ""});
    const std::string picture = Answer(first);
    EXPECT_TRUE(picture.starts_with("HTTP/1.1 200") && picture.ends_with("\r\n\r\n\xff\xd8jpeg")) << picture;
    EXPECT_NE(picture.find("Content-Type: image/jpeg"), std::string::npos);
    EXPECT_TRUE(Get("/api/channels/1/frame.jpg").ends_with("\xff\xd8jpeg")) << "the kept picture";
    m_owner.Finish(1, {"", {}, "摄像头拒绝连接"});
    EXPECT_TRUE(Answer(second).starts_with("HTTP/1.1 502"));
    EXPECT_TRUE(Get("/api/channels/2/frame.jpg").starts_with("HTTP/1.1 502")) << "the kept failure";
    EXPECT_NE(Get("/api/channels/1/details").find("\"frame\":true,\"error\":\"\",\"report\":[\"视频 h264 640x360\"]"),
              std::string::npos);
    EXPECT_EQ(m_owner.Checks(), 2u) << "no second check within the period";

    const int waiting = Connect(m_server.Port(), "GET /api/channels/3/frame.jpg HTTP/1.1\r\n\r\n");
    ASSERT_TRUE(ProcessProbe::WaitUntil([&] { return m_owner.Checks() == 3; }, std::chrono::seconds(5)));
    m_server.Stop();
    EXPECT_TRUE(Answer(waiting).starts_with("HTTP/1.1 503"));
    m_owner.Finish(2, {"late", {}, ""});   // after the stop: dropped
}

// The token file must be private to its owner and hold one plausible token.
TEST(ConsoleAccess, ReadsOnlyAPrivateTokenFile)
{
    TempDir dir;
    const struct { std::string content; mode_t mode; std::string token, error; } cases[] = {
        {kToken + "\n", 0600, kToken, ""},
        {kToken, 0400, kToken, ""},
        {kToken, 0640, "", "的权限是 0640"},
        {"short\n", 0600, "", "16 到 256"},
        {"two words and more\n", 0600, "", "16 到 256"},
    };
    for (const auto& c : cases) {
        const std::string path = dir.File("token");
        ::unlink(path.c_str());
        WriteFile(path, c.content);
        ::chmod(path.c_str(), c.mode);
        std::string error;
        EXPECT_EQ(ConsoleAccess::ReadTokenFile(path, error), c.token) << c.content;
        EXPECT_NE(error.find(c.error), std::string::npos) << error;
        EXPECT_EQ(error.empty(), c.error.empty()) << error;
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
