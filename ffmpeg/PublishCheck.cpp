#include "ffmpeg/PublishCheck.h"

#include "ffmpeg/PublishAddress.h"

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <map>
#include <random>

namespace {

using PublishClock = std::chrono::steady_clock;

enum class Io { Ok, Closed, TimedOut, Cancelled };

// Waits for events on fd in short slices, so that a cancel is seen within 50 ms.
Io WaitFor(int fd, short events, PublishClock::time_point deadline, const std::atomic<bool>* cancel)
{
    for (;;) {
        if (cancel && *cancel)
            return Io::Cancelled;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - PublishClock::now()).count();
        if (left <= 0)
            return Io::TimedOut;
        pollfd p { fd, events, 0 };
        if (::poll(&p, 1, static_cast<int>(std::min<long long>(left, 50))) > 0)
            return Io::Ok;
    }
}

// A connected socket, read and written with one deadline and the check's cancel flag; closed
// with the link.
class RtmpLink {
public:
    RtmpLink(int fd, PublishClock::time_point deadline, const std::atomic<bool>* cancel)
        : m_fd(fd)
        , m_deadline(deadline)
        , m_cancel(cancel)
    {
    }
    ~RtmpLink() { ::close(m_fd); }
    RtmpLink(const RtmpLink&) = delete;
    RtmpLink& operator=(const RtmpLink&) = delete;

    Io Wait(short events) { return WaitFor(m_fd, events, m_deadline, m_cancel); }
    Io Send(const std::string& bytes)
    {
        for (std::size_t sent = 0; sent < bytes.size();) {
            if (const Io io = Wait(POLLOUT); io != Io::Ok)
                return io;
            const ssize_t n = ::send(m_fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (n < 0 && errno != EAGAIN && errno != EINTR)
                return Io::Closed;
            sent += n > 0 ? static_cast<std::size_t>(n) : 0;
        }
        return Io::Ok;
    }
    Io Read(std::size_t count, std::string& out)
    {
        out.clear();
        while (out.size() < count) {
            if (const Io io = Wait(POLLIN); io != Io::Ok)
                return io;
            char buf[4096];
            const ssize_t n = ::recv(m_fd, buf, std::min(sizeof buf, count - out.size()), 0);
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR))
                return Io::Closed;
            out.append(buf, static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
        }
        return Io::Ok;
    }

private:
    int m_fd;
    PublishClock::time_point m_deadline;
    const std::atomic<bool>* m_cancel;
};

unsigned Big(const std::string& bytes, std::size_t at, int count)
{
    unsigned value = 0;
    for (int i = 0; i < count; ++i)
        value = value << 8 | static_cast<unsigned char>(bytes[at + i]);
    return value;
}

std::string Amf0String(const std::string& text, bool typed = true)
{
    return (typed ? std::string(1, '\x02') : std::string()) + char(text.size() >> 8) + char(text.size() & 0xff) + text;
}

// The connect command to app, as a message of chunk stream 3 in chunks of 128 bytes.
std::string ConnectMessage(const PublishAddress& a)
{
    std::string body = Amf0String("connect") + std::string("\x00\x3f\xf0\0\0\0\0\0\0", 9) + '\x03'; // transaction 1
    const std::string host = a.host.find(':') != std::string::npos ? "[" + a.host + "]" : a.host;
    for (const auto& [key, value] : { std::pair<std::string, std::string> { "app", a.app }, { "type", "nonprivate" },
             { "flashVer", "FMLE/3.0 (compatible; FMSc/1.0)" },
             { "tcUrl", "rtmp://" + host + ":" + std::to_string(a.port) + "/" + a.app } })
        body += Amf0String(key, false) + Amf0String(value);
    body += std::string("\0\0\x09", 3);
    std::string message
        = { '\x03', 0, 0, 0, char(body.size() >> 16), char(body.size() >> 8), char(body.size()), 20, 0, 0, 0, 0 };
    for (std::size_t at = 0; at < body.size(); at += 128)
        message += (at ? std::string(1, '\xc3') : std::string()) + body.substr(at, 128);
    return message;
}

// Reads the server's messages until the answer to connect: "_result" or "_error" (empty when
// the link ended first).
Io AnswerToConnect(RtmpLink& link, std::string& answer)
{
    struct Partial {
        unsigned length = 0, type = 0;
        bool extended = false;
        std::string body;
    };
    std::map<unsigned, Partial> streams;
    std::size_t chunkSize = 128;
    std::string b;
    for (;;) {
        if (const Io io = link.Read(1, b); io != Io::Ok)
            return io;
        const int fmt = static_cast<unsigned char>(b[0]) >> 6;
        unsigned csid = b[0] & 0x3f;
        if (csid < 2) {
            if (const Io io = link.Read(csid + 1, b); io != Io::Ok)
                return io;
            csid = 64 + static_cast<unsigned char>(b[0]) + (csid ? 256u * static_cast<unsigned char>(b[1]) : 0);
        }
        Partial& s = streams[csid];
        static const int kHeader[] = { 11, 7, 3, 0 };
        if (const Io io = link.Read(kHeader[fmt], b); io != Io::Ok)
            return io;
        if (fmt < 3)
            s.extended = Big(b, 0, 3) == 0xffffff;
        if (fmt < 2)
            s.length = Big(b, 3, 3), s.type = static_cast<unsigned char>(b[6]);
        if (s.extended && link.Read(4, b) != Io::Ok)
            return Io::Closed;
        if (const Io io = link.Read(std::min<std::size_t>(chunkSize, s.length - s.body.size()), b); io != Io::Ok)
            return io;
        s.body += b;
        if (s.body.size() < s.length)
            continue;
        const std::string body = std::move(s.body);
        s.body.clear();
        if (s.type == 1 && body.size() >= 4)
            chunkSize = std::max(1u, Big(body, 0, 4) & 0x7fffffff);
        const std::size_t at = s.type == 17 ? 1 : 0; // an AMF3 command starts with one byte more
        if ((s.type == 20 || s.type == 17) && body.size() >= at + 3 && body[at] == '\x02') {
            const std::string name = body.substr(at + 3, Big(body, at + 1, 2));
            if (name == "_result" || name == "_error") {
                answer = name;
                return Io::Ok;
            }
        }
    }
}

std::string WhyNoConnection(int error)
{
    return error == ECONNREFUSED                        ? "连接被拒绝"
        : error == ETIMEDOUT                            ? "连接超时"
        : error == ENETUNREACH || error == EHOSTUNREACH ? "网络不可达"
                                                        : "无法连接";
}

} // namespace

std::string PublishCheck::Text() const
{
    return "发布地址 " + shown + "：" + (problem.empty() ? "服务器可以连接，应用名可用" : problem);
}

PublishCheck CheckPublishSide(const std::string& address, int limitMs, const std::atomic<bool>* cancel)
{
    const PublishAddress a = ParsePublishAddress(address);
    PublishCheck check { a.shown, a.problem };
    if (!check.Ok())
        return check;
    const std::string where
        = (a.host.find(':') != std::string::npos ? "[" + a.host + "]" : a.host) + ":" + std::to_string(a.port);
    addrinfo hints {};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(a.host.c_str(), std::to_string(a.port).c_str(), &hints, &found) != 0 || !found) {
        check.problem = "服务器地址无法解析：" + a.host;
        return check;
    }
    const auto deadline = PublishClock::now() + std::chrono::milliseconds(limitMs);
    int fd = -1, error = ETIMEDOUT;
    for (addrinfo* ai = found; ai && fd < 0 && PublishClock::now() < deadline; ai = ai->ai_next) {
        fd = ::socket(ai->ai_family, ai->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, ai->ai_protocol);
        if (fd < 0)
            continue;
        if (::connect(fd, ai->ai_addr, ai->ai_addrlen) == 0 || errno == EINPROGRESS) {
            socklen_t size = sizeof error;
            if (const Io io = WaitFor(fd, POLLOUT, deadline, cancel); io != Io::Ok)
                error = io == Io::Cancelled ? ECANCELED : ETIMEDOUT;
            else if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0)
                error = errno;
        } else {
            error = errno;
        }
        if (error != 0)
            ::close(fd), fd = -1;
    }
    ::freeaddrinfo(found);
    if (fd < 0) {
        check.problem
            = error == ECANCELED ? "检测已取消" : "服务器端口不通：" + where + "（" + WhyNoConnection(error) + "）";
        return check;
    }
    RtmpLink link(fd, deadline, cancel);
    // The plain handshake: C0 and C1 (time, zeros, random), S0, S1 and S2 back, S1 echoed as C2.
    std::string c1(1536, '\0');
    std::mt19937 random(std::random_device {}());
    std::generate(c1.begin() + 8, c1.end(), [&] { return static_cast<char>(random()); });
    std::string s0s1, s2, answer;
    Io io = link.Send('\x03' + c1);
    if (io == Io::Ok)
        io = link.Read(1 + 1536, s0s1);
    if (io == Io::Ok && s0s1[0] != '\x03')
        io = Io::Closed;
    if (io == Io::Ok)
        io = link.Read(1536, s2);
    if (io != Io::Ok) {
        check.problem = io == Io::Cancelled ? "检测已取消" : "该端口不是 RTMP 服务：" + where;
        return check;
    }
    io = link.Send(s0s1.substr(1) + ConnectMessage(a));
    if (io == Io::Ok)
        io = AnswerToConnect(link, answer);
    // A server refuses an application it does not have with _error, or (nginx) by hanging up.
    if (io == Io::Cancelled)
        check.problem = "检测已取消";
    else if (io == Io::TimedOut)
        check.problem = "服务器没有回应应用名 " + a.app + " 的连接请求：" + where;
    else if (answer != "_result")
        check.problem = "服务器上没有这个应用名：" + a.app;
    return check;
}
