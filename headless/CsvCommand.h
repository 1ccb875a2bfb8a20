#pragma once
#include <string>

// What the command line asks of a CSV import or export.
struct CsvOptions {
    std::string m_strImport;        // --import-csv FILE ("-": standard input)
    std::string m_strExport;        // --export-csv FILE ("-": standard output)
    std::string m_strDir;           // --dir; empty: the default data folder
    std::string m_strProgramDir;    // where a bundled ffmpeg would be, and the portable folder
    bool m_bCheck = false;          // --check: every source checked before storing
    bool m_bDryRun = false;         // --dry-run: the report only, nothing stored
    bool m_bWithPasswords = false;  // --with-passwords: the export keeps the passwords
};

// The channel list's CSV import and export from the command line, without a window. The import
// prints one line per row; SIGINT or SIGTERM during the checks cancels them and stores nothing.
namespace CsvCommand {
// Import: 0 when every row was stored (or, with --dry-run, could be), 1 when some were refused
// or the file could not be written, 2 for an unreadable file. Export: 0, or 2 when the
// settings cannot be read or the file cannot be written.
int Run(const CsvOptions& options);
}  // namespace CsvCommand
