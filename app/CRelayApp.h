#pragma once
#include <QApplication>

// The application object: owns the QApplication and runs the main window modally; the process
// lives as long as that window. SIGTERM, SIGINT and SIGHUP close the window like its close box,
// so every child is stopped before the process ends.
class CRelayApp {
public:
    CRelayApp(int& argc, char** argv);
    int Run();

private:
    QApplication m_app;
};
