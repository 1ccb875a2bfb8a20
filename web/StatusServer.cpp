#include "web/StatusServer.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <microhttpd.h>

#include "platform/StatusLog.h"
#include "web/RequestBody.h"
#include "web/StatusFormat.h"

namespace {

// Scrapes are rare and small. These bounds keep what any client can take small too. The
// library's own bounds are a little above the table's: past those a newcomer closes the oldest
// connection still sending its request, which the library lets go on its next turn.
constexpr unsigned kLibraryConnections = ConnectionTable::kConnections + 8;
constexpr unsigned kLibraryPerAddress = ConnectionTable::kPerAddress + 4;
constexpr auto kDeadlineCheck = std::chrono::milliseconds(250);
constexpr unsigned kIdleSeconds = 5;          // the library's: a connection without traffic is closed
constexpr std::size_t kConnectionMemory = 8 * 1024;   // request line, headers and answer headers
constexpr int kMaxHeaders = 100;

const char kPrefix[] = "状态服务未启动：";

std::string HostPort(const std::string& address, int port)
{
    bool ipv6 = address.find(':') != std::string::npos;
    return (ipv6 ? "[" + address + "]" : address) + ":" + std::to_string(port);
}

// The server thread takes none of the process's asynchronous signals: termination and reload
// belong to the owner, whichever way it waits for them. SIGPIPE is blocked too, so that a
// scraper hanging up mid-answer costs an EPIPE here even if the owner restores its default.
// The library's thread inherits the mask of the thread that starts it; the caller's own mask
// is given back afterwards.
sigset_t BlockSignalsOnThisThread()
{
    sigset_t set, old;
    sigemptyset(&set);
    for (int sig : {SIGPIPE, SIGHUP, SIGINT, SIGTERM, SIGQUIT, SIGCHLD, SIGUSR1, SIGUSR2})
        sigaddset(&set, sig);
    pthread_sigmask(SIG_BLOCK, &set, &old);
    return old;
}

}  // namespace

// The library calls OnRequest up to three times a request: once the headers are in (the state
// is null), once for each piece of a body, and once the request is complete. The state is the
// request's RequestBody, freed by OnCompleted, which the library calls for every request it has handed
// to OnRequest, also when the client goes away. A request whose answer comes later is
// suspended; once its answer is in, the library calls OnRequest once more for it, and the answer
// is sent.
struct StatusServer::Callbacks {
    static MHD_Result OnRequest(void* self, MHD_Connection* connection, const char* url, const char* method,
                                const char* version, const char* data, std::size_t* bodySize, void** state) noexcept
    {
        try {
            RequestBody* body = static_cast<RequestBody*>(*state);
            if (!body) {
                // HTTP/1.1 requires a Host header. libmicrohttpd 1.0 answers its absence itself
                // with 400; answering so here too keeps 0.9 the same (HTTP/1.0 may omit it).
                if (version && std::strcmp(version, MHD_HTTP_VERSION_1_1) == 0 &&
                    !MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_HOST))
                    return Send(connection, Error(MHD_HTTP_BAD_REQUEST));
                // Stated lengths are refused before any of the body is read.
                const char* length = MHD_lookup_connection_value(connection, MHD_HEADER_KIND,
                                                                 MHD_HTTP_HEADER_CONTENT_LENGTH);
                if (MHD_get_connection_values(connection, MHD_HEADER_KIND, nullptr, nullptr) > kMaxHeaders)
                    return Send(connection, Error(MHD_HTTP_REQUEST_HEADER_FIELDS_TOO_LARGE));
                if (length && std::strtoull(length, nullptr, 10) > RequestBody::Limit(method, url))
                    return Send(connection, Error(MHD_HTTP_CONTENT_TOO_LARGE));
                *state = new RequestBody(connection, method, url);
                return MHD_YES;
            }
            if (*bodySize != 0) {
                if (!body->Take(data, *bodySize))
                    return MHD_NO;   // a chunked body too long: hang up
                *bodySize = 0;
                return MHD_YES;
            }
            if (body->Malformed())
                return Send(connection, Error(MHD_HTTP_BAD_REQUEST));
            return Complete(*static_cast<StatusServer*>(self), connection, method, url, body->Fields());
        } catch (...) {
            return MHD_NO;   // out of memory, say: this connection is closed, the server runs on
        }
    }

    // The library's notices of a connection opened and closed (the latter before its socket is
    // closed, so that a descriptor found in the table is still this connection's).
    static void OnConnection(void* self, MHD_Connection* connection, void**, MHD_ConnectionNotificationCode code) noexcept
    {
        try {
            Waiting& waiting = *static_cast<StatusServer*>(self)->m_waiting;
            std::lock_guard<std::mutex> lock(waiting.mutex);
            if (code == MHD_CONNECTION_NOTIFY_CLOSED)
                waiting.links.Closed(connection);
            else
                waiting.links.Opened(connection);
        } catch (...) {
        }
    }

    // Closes every connection past its deadline until the server stops; a connection waiting
    // for its answer has none.
    static void KeepDeadlines(const std::shared_ptr<Waiting>& waiting)
    {
        std::unique_lock<std::mutex> lock(waiting->mutex);
        while (waiting->open) {
            waiting->sent.wait_for(lock, kDeadlineCheck);
            waiting->links.CloseOverdue(std::chrono::steady_clock::now());
        }
    }

    static MHD_Result Complete(StatusServer& server, MHD_Connection* connection, const char* method, const char* url,
                               const std::map<std::string, std::string>& form)
    {
        const std::shared_ptr<Waiting> waiting = server.m_waiting;
        ConnectionTable::Link link;
        {
            std::unique_lock<std::mutex> lock(waiting->mutex);
            link = waiting->links.Received(connection);
            if (auto found = waiting->connections.find(connection); found != waiting->connections.end()) {
                if (!found->second.second)
                    return MHD_YES;   // still waiting (the library should not have asked)
                // Kept, as answered (ticket 0), until the library says the answer went out.
                const Answer answer = std::move(*found->second.second);
                found->second = {0, std::nullopt};
                lock.unlock();
                return Send(connection, answer);
            }
        }
        const auto header = [connection](const char* name) {
            const char* value = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, name);
            return value ? std::string_view(value) : std::string_view();
        };
        const char* since = MHD_lookup_connection_value(connection, MHD_GET_ARGUMENT_KIND, "since");
        const Request request{method,
                              url,
                              header(MHD_HTTP_HEADER_HOST),
                              header(MHD_HTTP_HEADER_AUTHORIZATION),
                              since ? std::string_view(since) : std::string_view(),
                              link.address,
                              link.loopback,
                              &form};
        Answer answer = server.Respond(request);
        if (!answer.later)
            return Send(connection, answer);
        std::uint64_t ticket;
        {
            std::lock_guard<std::mutex> lock(waiting->mutex);
            ticket = ++waiting->tickets;
            waiting->connections[connection] = {ticket, std::nullopt};
            waiting->links.SetWaiting(connection, true);
        }
        MHD_suspend_connection(connection);
        answer.later([waiting, connection, ticket](Answer late) { Deliver(*waiting, connection, ticket, std::move(late)); });
        return MHD_YES;
    }

    // From any thread: the answer of a suspended request; dropped when the server has stopped
    // or the request was already answered.
    // The library is called without the lock held: it may hold a lock of its own while it calls
    // OnCompleted, which takes ours. Stop waits for a resume in progress before it stops the library.
    static void Deliver(Waiting& waiting, MHD_Connection* connection, std::uint64_t ticket, Answer answer)
    {
        {
            std::lock_guard<std::mutex> lock(waiting.mutex);
            auto found = waiting.connections.find(connection);
            if (!waiting.open || found == waiting.connections.end() || found->second.first != ticket ||
                found->second.second)
                return;
            found->second.second = std::move(answer);
            ++waiting.resuming;
            waiting.links.SetWaiting(connection, false);
        }
        MHD_resume_connection(connection);
        std::lock_guard<std::mutex> lock(waiting.mutex);
        --waiting.resuming;
        waiting.sent.notify_all();
    }

    static void OnCompleted(void* self, MHD_Connection* connection, void** state, MHD_RequestTerminationCode) noexcept
    {
        delete static_cast<RequestBody*>(*state);
        *state = nullptr;
        Waiting& waiting = *static_cast<StatusServer*>(self)->m_waiting;
        std::lock_guard<std::mutex> lock(waiting.mutex);
        if (waiting.connections.erase(connection) != 0)
            waiting.sent.notify_all();
    }

    // One request per connection: every answer closes it, so nothing waits for a next request.
    // The console's page may only run its own script and be shown in no frame; nothing is cached.
    static MHD_Result Send(MHD_Connection* connection, const Answer& answer)
    {
        MHD_Response* response = MHD_create_response_from_buffer(
            answer.body.size(), const_cast<char*>(answer.body.data()), MHD_RESPMEM_MUST_COPY);
        if (!response)
            return MHD_NO;
        const std::pair<const char*, const char*> headers[] = {
            {MHD_HTTP_HEADER_CONTENT_TYPE, answer.contentType}, {MHD_HTTP_HEADER_CONNECTION, "close"},
            {"Content-Security-Policy", "default-src 'self'"}, {"X-Content-Type-Options", "nosniff"},
            {"X-Frame-Options", "DENY"}, {"Referrer-Policy", "no-referrer"}, {MHD_HTTP_HEADER_CACHE_CONTROL, "no-store"}};
        for (const auto& [name, value] : headers)
            MHD_add_response_header(response, name, value);
        if (answer.header)
            MHD_add_response_header(response, answer.header, answer.value.c_str());
        const MHD_Result queued = MHD_queue_response(connection, answer.status, response);
        MHD_destroy_response(response);
        return queued;
    }
};

StatusServer::Answer StatusServer::Error(unsigned status)
{
    return {status, std::to_string(status) + " " + MHD_get_reason_phrase_for(status) + "\n", "text/plain; charset=utf-8"};
}

StatusServer::StatusServer()
    : m_snapshot(std::make_shared<Snapshot>(Snapshot{{}, std::chrono::steady_clock::now()})),
      // A thousand revisions a second would be needed to reach the next run's first.
      m_changes(static_cast<std::uint64_t>(std::time(nullptr)) * 1000)
{
}

StatusServer::~StatusServer()
{
    Stop();
}

bool StatusServer::Fail(std::string text)
{
    m_error = kPrefix + text;
    return false;
}

bool StatusServer::Start(const std::string& requested, int port)
{
    if (m_daemon)
        return Fail("已在运行");
    m_error.clear();
    m_warning.clear();
    if (port < 0 || port > 65535)
        return Fail("端口 " + std::to_string(port) + " 无效");
    // Numeric addresses only, so that starting never waits on a name lookup.
    const std::string address = requested == "localhost" ? "127.0.0.1" : requested;
    addrinfo hints = {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV | AI_PASSIVE;
    addrinfo* found = nullptr;
    if (address.empty() || getaddrinfo(address.c_str(), std::to_string(port).c_str(), &hints, &found) != 0)
        return Fail("地址“" + requested + "”无效");
    std::unique_ptr<addrinfo, void (*)(addrinfo*)> owned(found, freeaddrinfo);

    // The socket is made here rather than by the library, so that a failure says why. No
    // SO_REUSEPORT: a second instance on the same port must fail, not share the scrapes.
    // SO_REUSEADDR only lets a restart rebind while old connections linger in TIME_WAIT.
    const int fd = ::socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    const int yes = 1;
    if (fd < 0 || ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes) != 0
        || ::bind(fd, found->ai_addr, found->ai_addrlen) != 0 || ::listen(fd, 64) != 0) {
        const int error = errno;
        if (fd >= 0)
            ::close(fd);
        const std::string where = HostPort(requested, port);
        if (error == EADDRINUSE)
            return Fail(where + " 已被占用");
        if (error == EACCES)
            return Fail("无权使用 " + where);
        if (error == EADDRNOTAVAIL)
            return Fail("本机没有地址 " + requested);
        return Fail("无法监听 " + where + "（" + std::strerror(error) + "）");
    }
    sockaddr_storage bound = {};
    socklen_t size = sizeof bound;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &size);
    const int boundPort = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                                            : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);

    const sigset_t callerMask = BlockSignalsOnThisThread();
    m_waiting = std::make_shared<Waiting>();
    m_started = std::chrono::steady_clock::now();
    m_bLoopback = IsLoopback(found->ai_addr);
    m_daemon = MHD_start_daemon(
        MHD_USE_EPOLL_INTERNAL_THREAD | MHD_ALLOW_SUSPEND_RESUME | (found->ai_family == AF_INET6 ? MHD_USE_IPv6 : 0),
        0, nullptr, nullptr, &Callbacks::OnRequest, this,
        MHD_OPTION_NOTIFY_COMPLETED, &Callbacks::OnCompleted, this,
        MHD_OPTION_NOTIFY_CONNECTION, &Callbacks::OnConnection, this,
        MHD_OPTION_LISTEN_SOCKET, fd,
        MHD_OPTION_CONNECTION_LIMIT, kLibraryConnections,
        MHD_OPTION_PER_IP_CONNECTION_LIMIT, kLibraryPerAddress,
        MHD_OPTION_CONNECTION_TIMEOUT, kIdleSeconds,
        MHD_OPTION_CONNECTION_MEMORY_LIMIT, kConnectionMemory,
        MHD_OPTION_END);
    if (m_daemon)
        m_deadlines = std::thread(&Callbacks::KeepDeadlines, m_waiting);
    pthread_sigmask(SIG_SETMASK, &callerMask, nullptr);
    if (!m_daemon) {
        ::close(fd);
        return Fail("无法监听 " + HostPort(requested, boundPort));
    }
    m_nPort = boundPort;
    if (!m_bLoopback)
        m_warning = "警告：状态服务监听 " + HostPort(requested, boundPort) +
                    "，不只是本机：能连到这个地址的任何人都可以在网页控制台、/metrics 和 /status 读到各信号的名称、"
                    "状态、码率、失败原因和日志" +
                    (m_console.token.empty() ? std::string() : "，持有控制令牌者还可以运行、暂停、添加、编辑、删除和导入信号");
    return true;
}

bool StatusServer::StartAndSay(const std::string& address, int port)
{
    const bool started = Start(address, port);
    if (!m_console.log)
        return started;
    if (!started) {
        m_console.log->Write(m_error, StatusLog::kWarning);
        return false;
    }
    m_console.log->Write("状态服务: http://" + HostPort(address, m_nPort) + "/（网页控制台" +
                         (m_console.token.empty() ? "，只读" : "，可用控制令牌运行、暂停和管理信号") + "）");
    if (!m_warning.empty()) {
        std::fprintf(stderr, "CamRelay: %s\n", m_warning.c_str());
        m_console.log->Write(m_warning, StatusLog::kWarning);
    }
    return true;
}

void StatusServer::Stop()
{
    if (!m_daemon)
        return;
    // A CSV check still running ends within its step and answers its request.
    std::thread csvCheck;
    {
        std::lock_guard<std::mutex> lock(m_csvMutex);
        m_csvStop = true;
        csvCheck = std::move(m_csvThread);
    }
    if (csvCheck.joinable())
        csvCheck.join();
    // The library must not be stopped with suspended connections: each is given its answer and
    // a moment to send it, and a late answer being delivered is waited for.
    Waiting& waiting = *m_waiting;
    std::vector<MHD_Connection*> suspended;
    std::unique_lock<std::mutex> lock(waiting.mutex);
    waiting.open = false;
    waiting.sent.notify_all();
    for (auto& [connection, due] : waiting.connections) {
        if (due.first != 0 && !due.second) {
            due.second = Error(MHD_HTTP_SERVICE_UNAVAILABLE);
            suspended.push_back(connection);
        }
    }
    lock.unlock();
    for (MHD_Connection* connection : suspended)
        MHD_resume_connection(connection);
    lock.lock();
    waiting.sent.wait(lock, [&] { return waiting.resuming == 0; });
    waiting.sent.wait_for(lock, std::chrono::milliseconds(500), [&] { return waiting.connections.empty(); });
    lock.unlock();
    m_deadlines.join();
    MHD_stop_daemon(m_daemon);   // closes every connection and the listening socket, joins the thread
    m_daemon = nullptr;
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
