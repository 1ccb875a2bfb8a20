#pragma once
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "service/ChannelStatus.h"

namespace httplib {
class Server;
}

// The status endpoint: serves GET /metrics (Prometheus text) and GET /status (JSON) from the
// latest published snapshot, on its own accept thread and a small worker pool; everything
// else is answered 404, a malformed request 400. Start, Stop and the destructor belong to the
// owner's thread; Publish may be called from any thread and never waits on a client. Stop()
// returns once every server thread has ended (at most about two seconds with a stalled client).
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
    bool Running() const { return m_thread.joinable(); }
    int Port() const { return m_nPort; }   // the bound port while running
    const std::string& ErrorText() const { return m_error; }

    // Replaces the snapshot served from now on. Seconds since progress keep counting from the
    // moment of publishing, so an owner that falls silent shows as ageing, not as fresh.
    void Publish(std::vector<ChannelStatus> channels);

private:
    struct Snapshot {
        std::vector<ChannelStatus> channels;
        std::chrono::steady_clock::time_point taken;
    };
    // A copy of the latest snapshot with its ages brought up to now.
    std::vector<ChannelStatus> Current() const;
    bool Fail(std::string text);

    std::unique_ptr<httplib::Server> m_server;
    std::thread m_thread;              // the accept loop; the worker pool lives inside it
    int m_nPort = 0;
    std::string m_error;
    mutable std::mutex m_mutex;        // guards m_snapshot only, held for a pointer swap or copy
    std::shared_ptr<const Snapshot> m_snapshot;
};
