#pragma once
#include "engine/RelayEngine.h"
#include "settings/ChannelStore.h"

#include <set>
#include <string>
#include <vector>

class ConfigStore;

// The global switches of config.ini as read at start-up.
struct GlobalFlags {
    int m_nNextId = 0;
    bool m_bAutoRun = false;
};

// What a reload does with one known row.
enum class ReloadAction { Keep, Start, Stop, Delete, Restart };

// A known row as the program runs it, and what config.ini now says of the same channel.
struct ReloadRow {
    bool m_bDeleted = false;   // deleted in this run
    bool m_bActive = false;    // started (running, retrying or given up) or waiting to start
    std::string m_strLaunchedLine;
};
struct ReloadStored {
    // Only explicit words change a channel: a channel whose keys are gone, cut short or
    // without a state word the program knows is left as it is.
    enum class Says { Nothing, Running, Paused, Deleted };
    Says m_says = Says::Nothing;
    std::string m_strLine;     // the argument line it would run now; empty when refused
};

// Pure: stored running and not active (or deleted in this run) starts; active and stored
// paused stops; marked deleted deletes; active with a changed line restarts; everything
// else, including a file that says nothing about the channel, is kept.
ReloadAction DecideReload(const ReloadRow& row, const ReloadStored& stored);

// What the main window and the headless service share around the engine: the start-up read of
// the global switches, the one path by which rows are appended (the start-up scan, the import,
// the reload), the start queue, the reload of config.ini and the stop at the end. Owner thread
// only; borrows the engine, which outlives it.
class RelaySession {
public:
    // keepRetryingByDefault: keep-retrying when config.ini has no m_bKeepRetrying key (a service
    // exists to keep its channels running); a stored 0 is respected either way.
    explicit RelaySession(RelayEngine& engine, bool keepRetryingByDefault = false)
        : m_engine(engine), m_bKeepRetryingByDefault(keepRetryingByDefault) {}

    // Reads nextId and m_bAutoRun, and hands the switches (RTSP over TCP, keep-retrying, the
    // stall timeout) to the engine.
    GlobalFlags LoadFlags();
    // The start-up scan with renumbering: one row per listed channel. Channels stored
    // "运行中" are queued when startRunning is set; config.ini is linted first. Returns how many
    // were queued.
    int LoadChannels(bool startRunning);
    // Appends a row for channel id with the texts of its cells.
    int AppendRow(int id, const RowCells& cells, bool stopped);
    // Re-reads config.ini without renumbering: rows change as DecideReload says, channels
    // stored under ids no row has are appended (and queued when stored running), the switches
    // and the stall timeout are read again, the file is linted. One log line per change;
    // returns how many.
    int Reload();
    // Stops every child; stored state words stay, so the next start resumes the same channels.
    void Shutdown() { m_engine.StopAllChannels(); }

private:
    void ReadSwitches(const ConfigStore& store);
    // Lints config.ini: logs each finding the previous lint did not have, keeps them all for the
    // status endpoint.
    void Lint(const ConfigStore& store);
    int AppendListed(const ScannedChannel& channel);

    RelayEngine& m_engine;
    bool m_bKeepRetryingByDefault;
    std::set<std::string> m_lintFindings;  // of the latest lint
};
