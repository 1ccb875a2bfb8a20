#pragma once
#include <string>
#include <utility>
#include <vector>

// Accessor of config.ini in the data folder: one section, "SET DEFAULT VALUE".
// Holds no values: every read sees the current file (a parse cache is validated against
// the file's device, inode, size and modification time), every write replaces the file
// atomically (temporary file in the same folder, flushed, renamed). Cheap to construct;
// callers make one where they need it. Owner thread only (the GUI thread or the service loop).
class ConfigStore {
public:
    using KeyValues = std::vector<std::pair<std::string, std::string>>;  // (key, value)

    explicit ConfigStore(const std::string& dir);  // the data folder that holds config.ini

    // Value of key (names compare without regard to case), UTF-8; empty when the file,
    // the section or the key is missing. Cut to its first 259 characters.
    std::string GetValue(const std::string& key) const;

    // Writes value under key. Note the order: value first. Returns whether the file was
    // replaced; callers of the settings ignore it, as a failed write leaves the old file whole.
    bool SetValue(const std::string& value, const std::string& key) const;

    // Writes every pair in one atomic replace of the file (later pairs win for the same key).
    bool SetValues(const KeyValues& keyValues) const;

    // Every key of the section, in file order (first spelling of duplicates).
    std::vector<std::string> Keys() const;
    // Why the file cannot be taken as the operator's settings as they stand: it is missing,
    // not a regular file, unreadable, empty, without the section, or ends inside a line (an
    // editor or a copy still writing it). Empty when it can.
    std::string ReadProblem() const;

    const std::string& IniPath() const { return m_strIniPath; }

    // The folder of /proc/self/exe, resolved, without a trailing '/'.
    static std::string ExecutableDir();
    // How many times any ConfigStore of this process replaced a file (for benchmarks).
    static long ReplaceCount();

private:
    std::string m_strIniPath;
};
