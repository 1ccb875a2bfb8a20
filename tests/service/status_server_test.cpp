#include "web/StatusServer.h"

#include "platform/StatusLog.h"
#include "support/ProcessProbe.h"
#include "support/TempDir.h"
#include "web/ConsoleAccess.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <thread>
#include <vector>

namespace {

// A connection of its own to 127.0.0.1 from 127.0.0.`from` that has sent `request` (reads give
// up after five seconds); when refused, a socket that reads nothing.
int Connect(int port, std::string request, int from = 1)
{
    // Every HTTP/1.1 client names the host; a request marked "X-Without-Host" does not.
    const std::size_t end = request.find("\r\n");
    if (end != std::string::npos && end >= 8 && request.compare(end - 8, 8, "HTTP/1.1") == 0 &&
        request.find("\r\nHost:") == std::string::npos && request.find("X-Without-Host") == std::string::npos)
        request.insert(end + 2, "Host: 127.0.0.1:" + std::to_string(port) + "\r\n");
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const timeval timeout{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    const sockaddr_in source{AF_INET, 0, {htonl(INADDR_LOOPBACK - 1 + static_cast<uint32_t>(from))}, {}};
    ::bind(fd, reinterpret_cast<const sockaddr*>(&source), sizeof source);
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

bool GetsOk(int port, const std::string& path, int from = 1)
{
    return Answer(Connect(port, "GET " + path + " HTTP/1.1\r\n\r\n", from)).rfind("HTTP/1.1 200 OK", 0) == 0;
}

// Whether the server has closed fd (or sent something).
bool Ended(int fd)
{
    char byte;
    const ssize_t n = ::recv(fd, &byte, 1, MSG_DONTWAIT | MSG_PEEK);
    return n >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK);
}

const std::string kToken = "s3cret-token-0123456789";

// The owner answers at once with what it was asked (the request's kind and id, and the check it
// was given) and a publish address; details wait, when held, until the test answers them; the
// preview checks wait until the test finishes them.
struct FakeOwner : ConsoleHost {
    void Submit(ConsoleRequest r, std::function<void(ConsoleReply)> reply) override
    {
        if (holdDetails && r.kind == ConsoleRequest::Kind::Details) {
            std::lock_guard<std::mutex> lock(mutex);
            held.push_back(std::move(reply));
            return;
        }
        reply({200, "{\"kind\":" + std::to_string(int(r.kind)) + ",\"id\":" + std::to_string(r.id) + ",\"check\":" +
                        r.check + ",\"to\":\"rtmp://h/live/KEY1\"}"});
    }
    bool CanReload() const override { return true; }
    std::size_t Held() { return Size(held); }
    std::size_t Checks() { return Size(checks); }
    std::size_t Size(const auto& list)
    {
        std::lock_guard<std::mutex> lock(mutex);
        return list.size();
    }

    std::atomic<bool> holdDetails = false;
    std::vector<std::function<void(ConsoleReply)>> held;
    std::mutex mutex;
    std::vector<std::pair<int, std::function<void(FrameAnswer)>>> checks;  // started, unfinished
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
        ChannelStatus failed{2, "b"};
        failed.lastFailure = ChannelStatus::Failure{1, "io", "推流失败", "'rtmp://h/app/KEY2': I/O error"};
        m_server.Publish({{1, "门口 \"东\"\\1", true, true, 800, 0, 2, 0.5}, failed, {3, "c"}});
        m_log.Write("推流到 rtmps://h/app/KEY3?k=1，失败");
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
        {host("[::1]x:" + port), "HTTP/1.1 421", "只接受以本机地址访问"},
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
        {"GET /api/channels/1/details HTTP/1.1\r\n\r\n", "HTTP/1.1 200 OK", "{\"kind\":0,\"id\":1,\"check\":null,"},
        // A stream key is masked for readers without the token, wherever it is shown.
        {"GET /api/channels/1/details HTTP/1.1\r\n\r\n", "HTTP/1.1 200 OK", "\"to\":\"rtmp://h/live/***\"}"},
        {"GET /api/channels/1/details HTTP/1.1\r\nAuthorization: Bearer " + kToken + "\r\n\r\n", "HTTP/1.1 200 OK",
         "\"to\":\"rtmp://h/live/KEY1\"}"},
        {"GET /status HTTP/1.1\r\n\r\n", "HTTP/1.1 200 OK", "'rtmp://h/app/***': I/O error"},
        {"GET /status?since=0 HTTP/1.1\r\n\r\n", "HTTP/1.1 200 OK", "\"ids\":[1,2,3],\"changes\":{\n\"name\":{\"1\":"},
        {"GET /status?since=x HTTP/1.1\r\n\r\n", "HTTP/1.1 200 OK", "\"full\":true"},
        {"GET /status HTTP/1.1\r\nAuthorization: Bearer " + kToken + "\r\n\r\n", "HTTP/1.1 200 OK", "/app/KEY2'"},
        {"GET /api/log HTTP/1.1\r\n\r\n", "HTTP/1.1 200 OK", "推流到 rtmps://h/app/***，失败"},
        {"GET /api/channels/9/details HTTP/1.1\r\n\r\n", "HTTP/1.1 404", "没有编号为 9 的信号"},
        {"POST /metrics HTTP/1.1\r\nContent-Length: 2\r\n\r\nab", "HTTP/1.1 404", "\r\n\r\n"},
        {"POST /metrics HTTP/1.1\r\nContent-Length: 5000\r\n\r\n" + std::string(5000, 'b'), "HTTP/1.1 413", "\r\n\r\n"},
        {"GET /x\r\n\r\n", "HTTP/1.1 400 Bad Request", "\r\n\r\n"},
        {"GET /status HTTP/1.1\r\nX-Without-Host: 1\r\n\r\n", "HTTP/1.1 400 Bad Request", "\r\n\r\n"},
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

    // A port already taken (also by another instance of this server), or a bad address or port:
    // Start says why and fails.
    const int bound = m_server.Port();
    const struct { std::string address; int port; std::string message; } refusals[] = {
        {"127.0.0.1", bound, "127.0.0.1:" + port + " 已被占用"},
        {"999.1.1.1", 0, "地址“999.1.1.1”无效"},
        {"192.0.2.1", 0, "本机没有地址 192.0.2.1"},
        {"127.0.0.1", 65536, "端口 65536 无效"},
    };
    for (const auto& c : refusals) {
        StatusServer other;
        EXPECT_FALSE(other.Start(c.address, c.port)) << c.address;
        EXPECT_EQ(other.ErrorText(), "状态服务未启动：" + c.message);
    }
    EXPECT_FALSE(m_server.Start("127.0.0.1", 0));   // already running

    // Without a token file the console is read-only and, without a source check, has no previews.
    // The answered connections linger in TIME_WAIT; a restart must still get the port.
    m_server.Stop();
    m_server.UseConsole({&m_owner, "", "", "window", nullptr});
    m_server.SetFrameProvider(nullptr);
    ASSERT_TRUE(m_server.Start("127.0.0.1", bound)) << m_server.ErrorText();
    m_server.Publish({{1, "a"}});
    port = std::to_string(m_server.Port());
    EXPECT_NE(Answer(Connect(m_server.Port(), post("/api/run-all", "Bearer " + kToken))).find("403 Forbidden"), std::string::npos);
    EXPECT_NE(Get("/status").find("\"control\":false"), std::string::npos) << "the page would offer commands";
    const std::string frame = Get("/api/channels/1/frame.jpg");
    EXPECT_TRUE(frame.starts_with("HTTP/1.1 404") && frame.find("预览不可用") != std::string::npos) << frame;

    // Bound beyond this machine, a connection that arrives over loopback keeps the Host rule;
    // the operator's names are accepted too.
    m_server.Stop();
    m_server.AcceptHostNames({"relay1"});
    ASSERT_TRUE(m_server.Start("0.0.0.0", 0));
    EXPECT_NE(m_server.Warning().find("不只是本机"), std::string::npos) << "bound beyond this machine without a warning";
    port = std::to_string(m_server.Port());
    EXPECT_TRUE(Get("/api/log").starts_with("HTTP/1.1 200"));
    for (const std::string name : {"evil.example:", "192.0.2.1:"})
        EXPECT_TRUE(Answer(Connect(m_server.Port(), host(name + port))).starts_with("HTTP/1.1 421")) << name;
    EXPECT_TRUE(Answer(Connect(m_server.Port(), host("Relay1:" + port))).starts_with("HTTP/1.1 200"));
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
TEST(ConsoleAccess, ReadsTheTokenFileAndEndpointOptionsAndMasksStreamKeys)
{
    TempDir dir;
    const struct { std::string content; mode_t mode; std::string token, error; } cases[] = {
        {kToken + "\n", 0600, kToken, ""},
        {kToken, 0400, kToken, ""},
        {kToken, 0640, "", "的权限是 0640"},
        {"short\n", 0600, "", "16 到 256"},
        {std::string(15, 'k'), 0600, "", "16 到 256"},
        {std::string(16, 'k') + "\n", 0600, std::string(16, 'k'), ""},
        {std::string(256, 'k') + "\r\n", 0600, std::string(256, 'k'), ""},
        {std::string(257, 'k'), 0600, "", "16 到 256"},
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

    // The endpoint's command-line values, and what a reader without the token sees of an address.
    for (const auto& [text, port] : std::vector<std::pair<std::string, int>>{
             {"1", 1}, {"65535", 65535}, {"0", 0}, {"65536", 0}, {"-1", 0}, {"80x", 0}, {"", 0}})
        EXPECT_EQ(ConsoleAccess::PortNumber(text), port) << text;
    std::string error;
    const std::vector<std::string> names = ConsoleAccess::HostNames("Relay1.example,cam-2", error);
    EXPECT_EQ(names, (std::vector<std::string>{"relay1.example", "cam-2"})) << error;
    for (const char* bad : {"", "a,,b", "a b", "a/b"}) {
        std::string refusal;
        EXPECT_TRUE(ConsoleAccess::HostNames(bad, refusal).empty() && !refusal.empty()) << bad;
    }
    EXPECT_TRUE(ConsoleAccess::NamedHost("RELAY1.example:9310", names));
    EXPECT_FALSE(ConsoleAccess::NamedHost("relay1.example.evil:9310", names));
    EXPECT_TRUE(ConsoleAccess::AddressHost("192.0.2.1:9310") && ConsoleAccess::AddressHost("[fe80::1]"));
    EXPECT_FALSE(ConsoleAccess::AddressHost("192.0.2.1.evil:9310") || ConsoleAccess::AddressHost("evil:1"));

    const std::pair<std::string, std::string> masks[] = {
        {"to 'rtmp://h:1935/live/KEY': I/O error", "to 'rtmp://h:1935/live/***': I/O error"},
        {"RTMPS://u:p/x@h/app/KEY/?sig=1/2 next", "RTMPS://u:p/x@h/app/*** next"},
        {"推流 rtmp://h/live/KEY，失败", "推流 rtmp://h/live/***，失败"},
        {"{\"a\":\"rtmp://h/app\",\"b\":\"rtmp://h/\"}", "{\"a\":\"rtmp://h/***\",\"b\":\"rtmp://h/\"}"},
        {"rtsp://h/live/KEY rtmpx rtmp", "rtsp://h/live/KEY rtmpx rtmp"},
    };
    for (const auto& [text, masked] : masks)
        EXPECT_EQ(ConsoleAccess::MaskStreamKeys(text), masked);
}

// Clients that trickle (a header line, or a byte of a body, every half second) fill the server:
// 40 from other addresses, 20 from the scraper's own, 15 more from others and a body: more than
// it takes (each newcomer past either bound closes the oldest). Each scrape is answered all the same, from that address or from
// another, while the others stay connected, and none outlasts the deadline for its request
// however steadily it sends.
TEST_F(StatusServerTest, TricklingClientsHoldNoScrape)
{
    std::vector<int> held;
    for (int i = 0; i < 76; ++i)
        held.push_back(Connect(m_server.Port(), i == 75 ? "POST /api/run-all HTTP/1.1\r\nContent-Length: 99\r\n\r\n"
                                                        : "GET /metrics HTTP/1.1\r\n", i < 40 ? i + 2 : i < 60 ? 1 : i - 18));
    const auto start = std::chrono::steady_clock::now();
    const auto open = [&](std::size_t from = 0, std::size_t to = 76) {
        return std::count_if(held.begin() + from, held.begin() + to, [](int fd) { return !Ended(fd); });
    };
    EXPECT_TRUE(ProcessProbe::WaitUntil([&] { return open(40, 60) == 16 && open() == 64; }, std::chrono::seconds(3)))
        << open(40, 60) << " from the scraper's address, " << open() << " in all";
    int scrapes = 0, answered = 0;
    while (open() > 0 && std::chrono::steady_clock::now() - start < std::chrono::seconds(15)) {
        for (std::size_t i = 0; i < held.size(); ++i)
            ::send(held[i], i == 75 ? "b" : "X-Slow: 1\r\n", i == 75 ? 1 : 11, MSG_NOSIGNAL | MSG_DONTWAIT);
        scrapes += 2;
        answered += GetsOk(m_server.Port(), "/metrics") + GetsOk(m_server.Port(), "/metrics", 200);
        if (scrapes == 2) {
            EXPECT_GE(open(), 60) << "only the oldest tricklers are closed";
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
    EXPECT_EQ(answered, scrapes);
    EXPECT_EQ(open(), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    for (int fd : held)
        ::close(fd);
}

// Readers without the token keep at most 2 details waiting per address and 4 in all, so that a
// command always finds a place; each is answered once the owner answers.
TEST_F(StatusServerTest, ReadersLeavePlacesForCommands)
{
    m_owner.holdDetails = true;
    std::vector<int> waiting;
    std::string answers;   // w: waits for the owner, b: 503 at once
    for (int from : {1, 1, 1, 2, 2, 2, 3, 3, 3}) {
        const std::size_t before = m_owner.Held();
        const int fd = Connect(m_server.Port(), "GET /api/channels/1/details HTTP/1.1\r\n\r\n", from);
        ASSERT_TRUE(ProcessProbe::WaitUntil([&] { return m_owner.Held() > before || Ended(fd); }, std::chrono::seconds(10)));
        if (m_owner.Held() > before) {
            waiting.push_back(fd);
            answers += 'w';
        } else {
            answers += Answer(fd).starts_with("HTTP/1.1 503") ? 'b' : '?';
        }
    }
    EXPECT_EQ(answers, "wwbwwbbbb");
    for (int i = 0; i < 5; ++i)
        EXPECT_TRUE(Answer(Connect(m_server.Port(), "POST /api/channels/1/pause HTTP/1.1\r\nAuthorization: Bearer " +
                                                         kToken + "\r\n\r\n")).starts_with("HTTP/1.1 200"));
    for (std::size_t i = 0; i < m_owner.held.size(); ++i)
        m_owner.held[i]({200, "{}"});
    for (int fd : waiting)
        EXPECT_TRUE(Answer(fd).starts_with("HTTP/1.1 200"));
}

}  // namespace
