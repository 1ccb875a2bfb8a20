#pragma once
#include <string>

// What happened to a row of the engine, as the faces are told. Each face decides what an event
// looks like: the window turns it into cell texts, the service into nothing (the engine writes
// the log itself). Owner thread only.
struct RowEvent {
    enum class Kind {
        Appended,             // a new row: m_text its name, m_state, m_transCode, m_size its cells
        Renamed,              // m_text: the new name
        Starting,             // stored and started (or queued) to run
        ReencodesVideo,       // the line being launched re-encodes video
        Live,                 // m_value: the output bitrate in kbps
        // From Refused to Restarting: no child relays any more (RowCells relies on the order).
        Refused,              // m_text: why it did not start (a refused line, no ffmpeg, no pipe)
        Stalled,              // m_value: seconds without progress; its child was ended
        Failing,              // m_value: failures in a row; relaunched
        RetryingEveryMinute,  // m_value: failures in a row; over the limit, retried once a minute
        GaveUp,               // m_value: failures in a row; no longer relaunched
        StandIn,              // m_text: the bitrate cell while a stand-in is published for the camera
        Paused,               // stopped and stored paused
        Deleted,              // stopped and marked deleted
        Restarting,           // stopped to be started again at once (its settings changed)
        Degraded,             // m_text: why a live row does badly; empty: it does well again
    };
    Kind m_kind;
    int m_value = 0;
    std::string m_text;
    std::string m_state, m_transCode, m_size;  // Appended only: the stored texts of those cells
};

// The face that shows the engine's channels: the main window or the headless service.
class RelayView {
public:
    virtual ~RelayView() = default;
    virtual void OnRowEvent(int row, const RowEvent& event) = 0;
    // A message for the operator (the window's message box, the service's log).
    virtual void ShowMessage(const std::string& text) = 0;
    // A warning the engine has already written to the log: a face that has more than the log
    // (the window's message box) shows it there too.
    virtual void ShowLoggedWarning(const std::string&) {}
};
