#pragma once
#include <functional>
#include <string>
#include <vector>

class RelayEngine;

// A request of the web console that only the engine's owner thread may carry out.
struct ConsoleRequest {
    enum class Kind { Details, Run, Pause, RunAll, PauseAll, Reload };
    Kind kind = Kind::Details;
    int id = -1;                   // the channel id of config.ini, for Details, Run and Pause
    std::string check = "null";    // Details: the channel's last source check, as JSON
};

// The answer to a request: an HTTP status and a JSON object.
struct ConsoleReply {
    unsigned status = 200;
    std::string json;
};

// What the status server needs of the program that owns the engine (the window or the
// service). Submit is called on the server's thread and must not wait: the owner carries the
// request out on its own thread, in the order submitted, and calls reply there exactly once. A
// request the owner can no longer carry out (it is closing) may be dropped unanswered; the
// server answers its client when it stops.
class ConsoleHost {
public:
    virtual ~ConsoleHost() = default;
    virtual void Submit(ConsoleRequest request, std::function<void(ConsoleReply)> reply) = 0;
    // Whether this face re-reads config.ini on request (the service does, the window does not).
    virtual bool CanReload() const = 0;
};

// What the source check gave for a channel's preview: a JPEG picture (empty when it got none),
// the check's report as lines for the operator (camera passwords masked) and, without a
// picture, why not in one Chinese sentence.
struct FrameAnswer {
    std::string jpeg;
    std::vector<std::string> report;
    std::string error;
};

// Starts a source check of channel id and calls done once with its answer, from any thread,
// within about ten seconds. Called on the server's thread: it must hand the work elsewhere and
// return at once.
using FrameProvider = std::function<void(int id, std::function<void(FrameAnswer)> done)>;

class SourceChecks;
// The previews of both faces: a source check of the channel as config.ini in dataDir stores it,
// run by checks (which must outlive the server that calls the provider).
FrameProvider SourceCheckFrames(SourceChecks& checks, std::string dataDir);

// The owner-thread side shared by both faces: what a face gives besides its engine.
struct ConsoleFace {
    RelayEngine& engine;
    std::function<int()> reload;        // re-reads config.ini, returns the changes; null: cannot
};

// Carries request out on the engine as the window's menu does (the same operations, stored
// words and log lines, each command's line naming the source 网页). Owner thread only.
ConsoleReply CarryOut(const ConsoleRequest& request, const ConsoleFace& face);
