#pragma once
#include <chrono>
#include <string>
#include <unordered_map>

struct MHD_Connection;
struct sockaddr;

// True for an address of this machine's loopback (127.x.x.x, ::1, or 127.x.x.x mapped to IPv6).
bool IsLoopback(const sockaddr* address);

// The status server's open connections and their bounds: at most 64 at once and 16 from one
// address, each with 5 s to send its whole request and 5 s again to take its answer. A newcomer
// past either bound closes the oldest connection still sending its request (from that address
// when that bound is passed), so that a scrape, which sends its request at once, is answered
// while slow clients fill the server. A connection is closed by shutting its socket: the library
// sees the end of the stream on its next turn and lets it go. Not locked: its owner's lock
// guards every call.
class ConnectionTable {
public:
    static constexpr unsigned kConnections = 64;   // of the process's descriptors; the rest relay
    static constexpr unsigned kPerAddress = 16;
    static constexpr std::chrono::seconds kDeadline{5};   // to send the request; to take the answer

    // An open connection, from the library's notice of it until it closes.
    struct Link {
        int fd = -1;
        std::string address;          // the client's
        bool loopback = true;         // arrived on a loopback address of this machine
        bool received = false;        // the whole request is in
        bool waiting = false;         // suspended until its answer comes
        bool closing = false;         // shut down here, not yet closed by the library
        std::chrono::steady_clock::time_point since;   // opened, or its answer due
    };

    // The library's notice of a new connection: noted with its client, and the bounds kept.
    void Opened(MHD_Connection* connection);
    // Before the library closes its socket, so that a descriptor in the table is still its own.
    void Closed(MHD_Connection* connection) { m_links.erase(connection); }
    // The whole request is in: from now on its answer is due. The connection as noted (a default
    // one, loopback and without address, when it is unknown or this was said before).
    Link Received(MHD_Connection* connection);
    // Suspended until its answer comes, which has no deadline; false: answered, due from now.
    void SetWaiting(MHD_Connection* connection, bool waiting);
    // Closes every connection past its deadline.
    void CloseOverdue(std::chrono::steady_clock::time_point now);

private:
    void Admit(const std::string& address);
    static void Close(Link& link);

    std::unordered_map<MHD_Connection*, Link> m_links;
};
