#pragma once
#include "engine/RelayEngine.h"
#include "engine/RelaySession.h"
#include "ffmpeg/SourceChecks.h"
#include "web/ConsoleHost.h"
#include "web/StatusServer.h"

#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

// What the command line asks of the service.
struct HeadlessOptions {
    std::string m_strDir;                       // --dir; empty: the default data folder
    std::string m_strProgramDir;                // where the program (and a bundled ffmpeg) is
    int m_nStatusPort = 0;                      // 0: no status endpoint
    std::string m_strStatusBind = "127.0.0.1";
    std::vector<std::string> m_statusHosts;     // Host names accepted from other machines
    std::string m_strControlToken;              // the web console's commands; empty: read-only
};

// The program without a window: the same engine and session as the main window, a view that
// leaves its events to the status log, and one thread that waits in poll() on the signal pipe
// and on the monitors' readings until the engine's next deadline (supervision every 5 s, one
// queued start a second, "全部运行" four a second). SIGTERM and SIGINT stop every child and end the loop;
// SIGHUP reloads config.ini. Readings (monitor threads) and the web console's requests (the
// status server's thread) are queued to the loop's thread through an eventfd.
class HeadlessService : public RelayView, public MonitorSink, public ConsoleHost {
public:
    // Settles the data folder and its lock, then runs until a stop signal. The exit status:
    // 0 after a stop, 1 when the folder cannot be used, 3 when another instance holds it.
    static int Main(const HeadlessOptions& options);

    HeadlessService(const std::string& dataDir, const std::string& programDir);
    ~HeadlessService() override;
    HeadlessService(const HeadlessService&) = delete;
    HeadlessService& operator=(const HeadlessService&) = delete;

    // Starts the endpoint with its console (commands with the token; empty: read-only); on
    // failure the reason goes to the log and the service runs on.
    // hosts: the Host names accepted from other machines.
    void StartStatus(const std::string& address, int port, const std::string& token = {},
                     std::vector<std::string> hosts = {});
    // The loop; returns 0 once a stop signal has been handled.
    int Run();

    // RelayView: the engine logs every event itself and keeps the rows' texts; a message box
    // becomes a log line.
    void OnRowEvent(int, const RowEvent&) override {}
    void ShowMessage(const std::string& text) override;
    // MonitorSink: called on monitor threads.
    void PostProgress(int row, const ProgressSample& sample) override;
    void PostOutputEnded(int row) override;
    // ConsoleHost: called on the status server's thread.
    void Submit(ConsoleRequest request, std::function<void(ConsoleReply)> reply) override;
    bool CanReload() const override { return true; }

private:
    void Wake();
    void DrainQueues();
    void Publish();
    int Reload();

    int m_wakeFd = -1;  // eventfd: readings or requests are waiting
    std::mutex m_mutex;
    std::vector<std::pair<int, ProgressSample>> m_readings;  // guarded by m_mutex
    std::vector<std::function<void()>> m_requests;  // the console's, guarded by m_mutex
    RelayEngine m_engine;  // after the queue: its monitors post into it until they are joined
    RelaySession m_session;
    int m_nNextId = 0;      // where the console's next added channel is looked for
    SourceChecks m_checks;  // the console's previews
    StatusServer m_status;
};
