#pragma once
#include <QApplication>

#include <string>

class MainWindow;
struct StartupOptions;

// The application object: owns the QApplication and runs the main window modally; the process
// lives as long as that window. It settles the data folder and takes its one-instance lock
// first. SIGTERM, SIGINT and SIGHUP (read from the SignalPipe) close the window like its close
// box, so every child is stopped before the process ends; one that arrives while the window is
// being built ends the program as soon as it stands, with nothing started. (Formerly CRelayApp.)
class RelayApp {
public:
    RelayApp(int& argc, char** argv);
    int Run(const StartupOptions& options);

    // False when Qt would find no display to open: no DISPLAY or WAYLAND_DISPLAY and no
    // platform chosen (QT_QPA_PLATFORM or -platform).
    static bool DisplayAvailable(int argc, char** argv);

private:
    void OnSignal();
    int Refuse(const std::string& text, int exitCode);

    QApplication m_app;
    MainWindow* m_pDlg = nullptr;
};
