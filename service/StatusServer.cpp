#include "service/StatusServer.h"

#include <fcntl.h>
#include <netdb.h>
#include <signal.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include <httplib.h>

#include "service/StatusFormat.h"

namespace {

// Scrapes are rare and small: a few workers, short timeouts and one request per connection,
// so that a client that connects and stalls holds one worker for a second or two at most.
constexpr std::size_t kWorkers = 4;
constexpr time_t kIdleSeconds = 1;       // waiting for the request to begin
constexpr time_t kIoSeconds = 2;         // each read or write once it has begun
constexpr std::size_t kMaxBody = 1024;   // no route takes a body

const char kPrefix[] = "状态服务未启动：";

std::string HostPort(const std::string& address, int port)
{
    bool ipv6 = address.find(':') != std::string::npos;
    return (ipv6 ? "[" + address + "]" : address) + ":" + std::to_string(port);
}

// The body of an error answer (the status line already carries the same words).
const char* Reason(int status)
{
    switch (status) {
    case 400: return "Bad Request";
    case 404: return "Not Found";
    case 413: return "Payload Too Large";
    case 414: return "URI Too Long";
    default: return "Error";
    }
}

// The server threads take none of the process's asynchronous signals: termination and reload
// belong to the owner, whichever way it waits for them. SIGPIPE is blocked too, so that a
// scraper hanging up mid-answer costs an EPIPE here even if the owner restores its default
// (the library itself sets it to ignored, process-wide, when a server is built).
void BlockSignalsOnThisThread()
{
    sigset_t set;
    sigemptyset(&set);
    for (int sig : {SIGPIPE, SIGHUP, SIGINT, SIGTERM, SIGQUIT, SIGCHLD, SIGUSR1, SIGUSR2})
        sigaddset(&set, sig);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

}  // namespace

StatusServer::StatusServer()
    : m_snapshot(std::make_shared<Snapshot>(Snapshot{{}, std::chrono::steady_clock::now()}))
{
}

StatusServer::~StatusServer()
{
    Stop();
}

bool StatusServer::Fail(std::string text)
{
    m_error = kPrefix + text;
    m_server.reset();
    return false;
}

bool StatusServer::Start(const std::string& requested, int port)
{
    if (m_server) {
        m_error = std::string(kPrefix) + "已在运行";
        return false;
    }
    m_error.clear();
    if (port < 0 || port > 65535)
        return Fail("端口 " + std::to_string(port) + " 无效");
    // Numeric addresses only, so that starting never waits on a name lookup.
    const std::string address = requested == "localhost" ? "127.0.0.1" : requested;
    addrinfo hints = {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST | AI_PASSIVE;
    addrinfo* found = nullptr;
    if (address.empty() || getaddrinfo(address.c_str(), nullptr, &hints, &found) != 0)
        return Fail("地址“" + requested + "”无效");
    freeaddrinfo(found);

    m_server = std::make_unique<httplib::Server>();
    httplib::Server& server = *m_server;
    server.new_task_queue = [] { return new httplib::ThreadPool(kWorkers); };
    server.set_keep_alive_max_count(1);
    server.set_keep_alive_timeout(kIdleSeconds);
    server.set_read_timeout(kIoSeconds, 0);
    server.set_write_timeout(kIoSeconds, 0);
    server.set_payload_max_length(kMaxBody);
    // The library's default sets SO_REUSEPORT, which would let a second instance bind the
    // same port without an error and share the scrapes. SO_REUSEADDR only lets a restart
    // rebind while old connections linger in TIME_WAIT.
    server.set_socket_options([](int fd) {
        int yes = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        fcntl(fd, F_SETFD, FD_CLOEXEC);
    });
    server.Get("/metrics", [this](const httplib::Request&, httplib::Response& res) {
        res.set_content(StatusFormat::Metrics(Current(), CAMRELAY_VERSION),
                        StatusFormat::kMetricsContentType);
    });
    server.Get("/status", [this](const httplib::Request&, httplib::Response& res) {
        res.set_content(StatusFormat::Json(Current(), CAMRELAY_VERSION),
                        StatusFormat::kJsonContentType);
    });
    server.set_error_handler([](const httplib::Request&, httplib::Response& res) {
        res.set_content(std::to_string(res.status) + " " + Reason(res.status) + "\n", "text/plain; charset=utf-8");
    });

    errno = 0;
    int bound = port;
    bool ok = port == 0 ? (bound = server.bind_to_any_port(address)) > 0
                        : server.bind_to_port(address, port);
    if (!ok) {
        const int error = errno;
        const std::string where = HostPort(requested, port);
        if (error == EADDRINUSE)
            return Fail(where + " 已被占用");
        if (error == EACCES)
            return Fail("无权使用 " + where);
        if (error == EADDRNOTAVAIL)
            return Fail("本机没有地址 " + requested);
        return Fail("无法监听 " + where + (error ? std::string("（") + std::strerror(error) + "）" : ""));
    }
    m_nPort = bound;

    // Stop() only takes effect once the accept loop runs, so Start returns after that.
    auto ended = std::make_shared<std::atomic<bool>>(false);
    m_thread = std::thread([&server, ended] {
        BlockSignalsOnThisThread();   // inherited by the worker pool it creates
        server.listen_after_bind();
        ended->store(true);
    });
    while (!server.is_running() && !ended->load())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (ended->load()) {
        m_thread.join();
        return Fail("无法监听 " + HostPort(requested, m_nPort));
    }
    return true;
}

void StatusServer::Stop()
{
    if (!m_server)
        return;
    m_server->stop();
    if (m_thread.joinable())
        m_thread.join();
    m_server.reset();
    m_nPort = 0;
}

void StatusServer::Publish(std::vector<ChannelStatus> channels)
{
    std::shared_ptr<const Snapshot> next =
        std::make_shared<Snapshot>(Snapshot{std::move(channels), std::chrono::steady_clock::now()});
    std::lock_guard<std::mutex> lock(m_mutex);
    m_snapshot.swap(next);
    // The old snapshot is freed after the lock is released, when `next` goes out of scope.
}

std::vector<ChannelStatus> StatusServer::Current() const
{
    std::shared_ptr<const Snapshot> snapshot;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        snapshot = m_snapshot;
    }
    std::vector<ChannelStatus> channels = snapshot->channels;
    const double age = std::chrono::duration<double>(std::chrono::steady_clock::now() - snapshot->taken).count();
    for (ChannelStatus& c : channels)
        if (c.secondsSinceProgress)
            *c.secondsSinceProgress += age;
    return channels;
}
