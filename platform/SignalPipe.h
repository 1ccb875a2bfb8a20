#pragma once

// The process's termination and reload signals (SIGTERM, SIGINT, SIGHUP) as bytes on a pipe:
// the handler only writes the signal number, and an event loop reads it on its own thread, so
// a signal never interrupts a settings write half-way. Installed first thing in main(), before
// anything slow, so an early signal waits in the pipe until start-up is safe to end instead of
// killing the process. Process-wide; Install() once.
class SignalPipe {
public:
    // Also ignores SIGPIPE. Returns false when the pipe could not be made (the signals then
    // keep their default action).
    static bool Install();
    // The read end (non-blocking, close-on-exec), -1 before Install().
    static int ReadFd();
    // True when a signal is waiting, without taking it.
    static bool Pending();
    // What the waiting signals ask for: to stop (SIGTERM, SIGINT) and to re-read the settings
    // (SIGHUP). Both may be set; a stop is meant to win.
    struct Requests {
        bool m_bStop = false;
        bool m_bReload = false;
    };
    // Takes every waiting signal.
    static Requests Take();
};

// Opens /dev/null on any of descriptors 0, 1 and 2 that is closed, so that files, pipes and
// display connections opened later never land on them (a status line written to "standard
// error" would otherwise go into whatever took descriptor 2). Call before anything else.
void ReopenClosedStandardStreams();
