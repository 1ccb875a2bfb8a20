#pragma once
#include <string>
#include <vector>

// What the command line asks for. Parsed before any display is opened, so that --help,
// --version and a wrong option answer on a machine without one.
struct StartupOptions {
    std::string m_strDir;                      // --dir: folder of config.ini; empty: the default folder
    bool m_bHeadless = false;                  // --headless: run the channels without a window
    int m_nStatusPort = 0;                     // --status-port: 0 when the endpoint is off
    std::string m_strStatusBind = "127.0.0.1"; // --status-bind: address of the endpoint
    std::vector<std::string> m_statusHosts;    // --status-host: names accepted from other machines
    std::string m_strControlToken;             // read from --control-token-file: the console's commands
    std::string m_strProbeUrl;                 // --probe URL: check one source and exit
    bool m_bProbeTcp = false;                  // --tcp (with --probe)
    std::string m_strProbeFrame;               // --frame FILE (with --probe)
    std::string m_strProbePublish;             // --publish URL (with --probe): checked, never published to
    bool m_bProbeAll = false;                  // --probe-all: check every stored channel's source and exit
    std::string m_strImportCsv;                // --import-csv FILE: add the file's channels and exit
    std::string m_strExportCsv;                // --export-csv FILE: write the channels as CSV and exit
    bool m_bCsvCheck = false;                  // --check (with --import-csv)
    bool m_bCsvDryRun = false;                 // --dry-run (with --import-csv)
    bool m_bCsvPasswords = false;              // --with-passwords (with --export-csv)
    int m_nExitCode = -1;                      // >= 0: already answered (help, version, error): exit with it

    // Exit status of a command line that cannot be used.
    static constexpr int kExitUsage = 2;

    // Prints help or version on standard output, or an error with a short usage line on
    // standard error (also for a control token file that cannot be used), and sets
    // m_nExitCode in those cases. Qt's own window options
    // (-platform, -style, ...) are let through for the QApplication.
    static StartupOptions Parse(int& argc, char** argv);
};
