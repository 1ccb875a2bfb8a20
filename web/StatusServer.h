#pragma once
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

#include "web/ChannelStatus.h"
#include "web/ConnectionTable.h"
#include "web/ConsoleHost.h"
#include "web/StatusChanges.h"

struct MHD_Connection;
struct MHD_Daemon;
class StatusLog;

// The status endpoint and web console: serves GET /metrics (Prometheus text), GET /status (JSON)
// from the latest published snapshot, the console's page (/, /console.css, /console.js) and its
// JSON API (/api/...); everything else is answered 404, a malformed request 400. One event
// thread serves every connection, so a slow client holds no thread: what only the owner can
// answer (a row's details, a command) or a preview picture is waited for with the connection
// suspended, never on the thread. Each connection has a fixed memory budget: a request line or
// headers that outgrow it are answered 414 or 431, more than 100 headers 431, a body over 1 KiB
// 413 (16 KiB for the channel form's routes, whose form-encoded fields are read). At most 64 connections at once (16 from one address); a client gets 5 s to send its whole
// request and 5 s again to take its answer, however it trickles. A connection beyond either
// bound closes the oldest one still sending its request, so that a scrape, which sends its
// request at once, is answered while slow clients fill the server. A connection that arrives
// over loopback must name this machine (or a name given to AcceptHostNames) in its Host; one
// from elsewhere, when names were given, one of them or an IP address; else it is refused 421.
// Readers without the control token see rtmp addresses with their stream key masked, and may
// keep only a few requests waiting on the owner, so that commands always find a place. Every
// answer carries a strict Content-Security-Policy and no-store. Start, Stop, UseConsole,
// AcceptHostNames, SetFrameProvider and the destructor belong to the owner's thread; Publish may
// be called from any thread and never waits on a client. Stop() returns promptly, also with
// stalled clients and requests still waiting for their answer.
class StatusServer {
public:
    // Limits of the console's waiting requests.
    static constexpr int kMaxOwnerRequests = 8;       // submitted to the owner, unanswered
    static constexpr int kMaxReaderRequests = 4;      // of those, without the token (details)
    static constexpr int kReaderRequestsPerAddress = 2;
    static constexpr int kMaxPreviews = 2;            // preview checks at once
    static constexpr std::chrono::seconds kPreviewPeriod{10};  // per channel

    // What the console needs of its owner. Without a host the console's page and /status still
    // work; details and commands answer 503. The host and the log must stay valid until Stop.
    struct Console {
        ConsoleHost* host = nullptr;
        std::string token;      // the control token; empty: the console is read-only (403)
        std::string dataDir;    // shown in the page's header
        std::string face;       // "headless" or "window"
        StatusLog* log = nullptr;  // /api/log serves its recent lines; refused tokens are logged
    };

    StatusServer();
    ~StatusServer();   // Stop()
    StatusServer(const StatusServer&) = delete;
    StatusServer& operator=(const StatusServer&) = delete;

    // Before Start.
    void UseConsole(Console console) { m_console = std::move(console); }
    // The preview pictures of GET /api/channels/{id}/frame.jpg; without one it answers 404.
    void SetFrameProvider(FrameProvider provider) { m_frames = std::move(provider); }
    // The channel form's checks of POST /api/check, within the previews' limits; without one it
    // answers 404.
    void SetAddressCheck(AddressCheck check) { m_addressCheck = std::move(check); }
    // The CSV import's check of POST /api/import-csv with check=1, one at a time on a thread of
    // the server's; without one such a request answers 404.
    void SetCsvCheck(CsvCheck check) { m_csvCheck = std::move(check); }
    // The host names (lower case) by which this endpoint may be reached from other machines.
    void AcceptHostNames(std::vector<std::string> names) { m_hostNames = std::move(names); }

    // Binds address:port (an IPv4 or IPv6 address or "localhost"; port 0 takes a free one)
    // and starts serving. False with ErrorText() set when the address is bad, the port is in
    // use or the server is already started; the program is expected to run on without it.
    bool Start(const std::string& address, int port);
    // Start, and say in the console's log where the endpoint is, or why it is not there; the
    // warning of a bind beyond this machine also goes to standard error. As Start.
    bool StartAndSay(const std::string& address, int port);
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
    struct Answer {
        Answer() = default;
        Answer(unsigned status_, std::string body_, const char* contentType_ = "application/json",
               const char* header_ = nullptr, std::string value_ = {})
            : status(status_), body(std::move(body_)), contentType(contentType_), header(header_), value(std::move(value_))
        {
        }
        unsigned status = 200;
        std::string body;
        const char* contentType = "application/json";
        const char* header = nullptr;   // one more header (Retry-After, WWW-Authenticate)
        std::string value;
        // Set when the answer comes later: called once with the function that delivers it.
        std::function<void(std::function<void(Answer)>)> later;
    };
    struct Request {
        std::string_view method, path, host, authorization;
        std::string_view since;       // the query's "since" (the page's last revision); null data: none
        std::string address;          // the client's
        bool loopback = true;         // arrived on a loopback address of this machine
        const std::map<std::string, std::string>* form = nullptr;   // a form-encoded body's fields
    };
    struct Snapshot {
        std::vector<ChannelStatus> channels;
        std::chrono::steady_clock::time_point taken;
    };
    // A channel's preview: the running check, or the last one's answer.
    struct Preview {
        bool running = false;
        std::chrono::steady_clock::time_point finished;   // of the last check
        std::optional<FrameAnswer> last;
        std::time_t at = 0;
    };
    // What outlives a run of the server for the answers still due: a late answer of the owner
    // or of a check finds it closed and is dropped.
    struct Waiting {
        std::mutex mutex;
        std::condition_variable sent;   // a suspended connection was answered, or the server stops
        bool open = true;
        ConnectionTable links;
        std::uint64_t tickets = 0;
        // Suspended connections, by ticket, with their answer once it has come.
        std::unordered_map<MHD_Connection*, std::pair<std::uint64_t, std::optional<Answer>>> connections;
        int resuming = 0;               // answers being handed to the library
        int ownerRequests = 0;
        int readerRequests = 0;
        std::unordered_map<std::string, int> readersByAddress;
        int previewsRunning = 0;   // of the channels' previews and the form's checks
        std::unordered_map<int, Preview> previews;
        // The pictures of the form's last checks, by the random name only their requester got.
        std::deque<std::pair<std::string, std::string>> checkFrames;
    };

    // A plain-text answer of status with its reason phrase.
    static Answer Error(unsigned status);
    // A copy of the latest snapshot with its ages brought up to now.
    std::vector<ChannelStatus> Current() const;
    bool Fail(std::string text);

    // The route table and its answers (StatusRoutes.cpp); called on the server thread.
    Answer Respond(const Request& request);
    StatusFormat::StatusHeader Header() const;
    Answer StatusAnswer() const;
    Answer PageStatusAnswer(std::string_view since);
    Answer LogAnswer() const;
    Answer CommandAnswer(const Request& request, std::string_view action);
    // reader: asked without the token, so limited and masked; address: the client's.
    Answer OwnerAnswer(ConsoleRequest request, bool reader = false, const std::string& address = {});
    Answer PreviewAnswer(int id);
    Answer CheckAnswer(const Request& request);
    // The channel list as CSV (GET /api/channels.csv, with passwords /api/channels-with-passwords.csv)
    // and the check of a CSV import (StatusRoutes.cpp).
    Answer CsvExportAnswer(bool withPasswords) const;
    Answer CsvCheckAnswer(const Request& request);
    Answer CheckFrame(std::string_view name) const;
    std::string CheckJson(int id) const;
    bool Authorized(const Request& request, Answer& refusal);
    bool HoldsToken(const Request& request) const;
    bool HostAccepted(const Request& request) const;
    bool Listed(int id) const;
    struct Callbacks;   // the library's entry points, defined beside it

    MHD_Daemon* m_daemon = nullptr;    // owns the listening socket and the event thread
    int m_nPort = 0;
    bool m_bLoopback = true;
    std::string m_error;
    std::string m_warning;
    Console m_console;
    std::vector<std::string> m_hostNames;
    std::thread m_deadlines;           // closes connections past their deadline
    FrameProvider m_frames;
    AddressCheck m_addressCheck;
    CsvCheck m_csvCheck;
    std::mutex m_csvMutex;             // guards m_csvThread and m_csvStop's setting
    std::thread m_csvThread;           // the running CSV check, joined by the next one and by Stop
    std::atomic<bool> m_csvBusy{false}, m_csvStop{false};
    std::chrono::steady_clock::time_point m_started;
    std::shared_ptr<Waiting> m_waiting = std::make_shared<Waiting>();
    // Refused tokens: logged at most once a minute, with how many were not (server thread).
    std::chrono::steady_clock::time_point m_lastRefusalLog;
    int m_unloggedRefusals = -1;       // -1: none logged yet
    mutable std::mutex m_mutex;        // guards m_snapshot only, held for a pointer swap or copy
    std::shared_ptr<const Snapshot> m_snapshot;
    // The page's form of /status, brought up to the snapshot it last took when a page asks.
    std::mutex m_changesMutex;
    std::shared_ptr<const Snapshot> m_changesTaken;
    StatusChanges m_changes;
};
