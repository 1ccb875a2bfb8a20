#pragma once
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "service/ChannelStatus.h"

struct MHD_Daemon;

// The status endpoint: serves GET /metrics (Prometheus text) and GET /status (JSON) from the
// latest published snapshot; everything else is answered 404, a malformed request 400. One
// event thread serves every connection, so a slow client holds no thread. Each connection has a
// fixed memory budget: a request line or headers that outgrow it are answered 414 or 431, more
// than 100 headers 431, a body over 1 KiB 413. At most 64 connections at once (16 from one
// address), each closed after 5 s without traffic, so the descriptors stay with relaying.
// Range headers are ignored: every answer is the whole body. Start, Stop and the destructor
// belong to the owner's thread; Publish may be called from any thread and never waits on a
// client. Stop() returns promptly, also with stalled clients.
class StatusServer {
public:
    StatusServer();
    ~StatusServer();   // Stop()
    StatusServer(const StatusServer&) = delete;
    StatusServer& operator=(const StatusServer&) = delete;

    // Binds address:port (an IPv4 or IPv6 address or "localhost"; port 0 takes a free one)
    // and starts serving. False with ErrorText() set when the address is bad, the port is in
    // use or the server is already started; the program is expected to run on without it.
    bool Start(const std::string& address, int port);
    void Stop();
    bool Running() const { return m_daemon != nullptr; }
    int Port() const { return m_nPort; }   // the bound port while running
    const std::string& ErrorText() const { return m_error; }
    // After a successful Start on an address other machines may reach (not loopback): one line
    // saying what that exposes, for the owner to print and log. Empty on loopback.
    const std::string& Warning() const { return m_warning; }

    // Replaces the snapshot served from now on. Seconds since progress keep counting from the
    // moment of publishing, so an owner that falls silent shows as ageing, not as fresh.
    void Publish(std::vector<ChannelStatus> channels);

private:
    struct Snapshot {
        std::vector<ChannelStatus> channels;
        std::chrono::steady_clock::time_point taken;
    };
    struct Answer {
        unsigned status;
        std::string body;
        const char* contentType;
    };
    // A copy of the latest snapshot with its ages brought up to now.
    std::vector<ChannelStatus> Current() const;
    bool Fail(std::string text);

    // The route table and its answers; called on the server thread.
    Answer Respond(std::string_view method, std::string_view path) const;
    Answer MetricsAnswer() const;
    Answer StatusAnswer() const;
    struct Callbacks;   // the library's entry points, defined beside it

    MHD_Daemon* m_daemon = nullptr;    // owns the listening socket and the event thread
    int m_nPort = 0;
    std::string m_error;
    std::string m_warning;
    mutable std::mutex m_mutex;        // guards m_snapshot only, held for a pointer swap or copy
    std::shared_ptr<const Snapshot> m_snapshot;
};
