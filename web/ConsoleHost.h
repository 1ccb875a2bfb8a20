#pragma once
#include <functional>
#include <map>
#include <string>
#include <vector>

class RelayEngine;
class RelaySession;

// A request of the web console that only the engine's owner thread may carry out.
struct ConsoleRequest {
    enum class Kind { Details, Run, Pause, RunAll, PauseAll, Reload, Settings, Add, Edit, Delete, ImportCsv };
    Kind kind = Kind::Details;
    int id = -1;                   // the channel id of config.ini, for the commands of one channel
    std::string check = "null";    // Details: the channel's last source check, as JSON
    std::map<std::string, std::string> form = {};   // Add, Edit, ImportCsv: the form's fields
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
// The same for an address not stored yet: the channel form's fields "source" and "from" (the
// channel whose stored password a masked address stands for).
// The web console's check of a CSV import before it is confirmed: judges the file's rows and checks
// every good row's source (a few at once, minutes for hundreds), then answers the report as
// JSON. Runs on a thread of the server's; stop() true asks it to end early.
using CsvCheck = std::function<std::string(const std::string& csv, const std::function<bool()>& stop)>;

using AddressCheck = std::function<void(std::map<std::string, std::string> form, std::function<void(FrameAnswer)> done)>;

class SourceChecks;
// The previews of both faces: a source check of the channel as config.ini in dataDir stores it,
// run by checks (which must outlive the server that calls the provider).
FrameProvider SourceCheckFrames(SourceChecks& checks, std::string dataDir);
// The channel form's checks, on checks' slots -1 and -2 (never a channel's id).
AddressCheck SourceCheckAddresses(SourceChecks& checks, std::string dataDir);
class FfmpegLocation;
// The CSV import's check for both faces: the rows judged against config.ini in dataDir as it is
// then, and their sources checked with ffmpeg's ffprobe.
CsvCheck CsvImportCheck(const FfmpegLocation& ffmpeg, std::string dataDir);

// The owner-thread side shared by both faces: what a face gives besides its engine.
struct ConsoleFace {
    RelayEngine& engine;
    std::function<int()> reload;        // re-reads config.ini, returns the changes; null: cannot
    RelaySession* session = nullptr;    // appends added channels; null: no Add
    int* nextId = nullptr;              // the face's next channel id, advanced by Add
};

// Carries request out on the engine as the window's menu does (the same operations, stored
// words and log lines, each command's line naming the source 网页); the channel form's add and
// edit as the wizard's import and 编辑, with its rules and sentences. Owner thread only.
ConsoleReply CarryOut(const ConsoleRequest& request, const ConsoleFace& face);
