#pragma once
#include <string>
#include <utility>
#include <vector>

// Accessor of config.ini in the data folder: one section, "SET DEFAULT VALUE".
// Every read sees the current file (a parse cache is validated against the file's device,
// inode, size and modification time), every write replaces the file atomically (temporary
// file in the same folder, flushed, renamed). A write that cannot be made (the file is empty,
// half-written or without the section, the disk is full) is kept in memory, per file, for the
// whole process: reads see its values, and every later write or SavePending tries it again.
// Cheap to construct; callers make one where they need it. Reads and the unsaved state may be
// asked from any thread; writes belong to the owner thread (the GUI thread or the service loop).
class ConfigStore {
public:
    using KeyValues = std::vector<std::pair<std::string, std::string>>;  // (key, value)

    explicit ConfigStore(const std::string& dir);  // the data folder that holds config.ini

    // Value of key (names compare without regard to case), UTF-8; empty when the file,
    // the section or the key is missing. Cut to its first 259 characters.
    std::string GetValue(const std::string& key) const;

    // Writes value under key. Note the order: value first. Returns whether the file was
    // replaced. A failed write leaves the old file whole and keeps the value (see above).
    bool SetValue(const std::string& value, const std::string& key) const;

    // Writes every pair, and whatever earlier writes kept, in one atomic replace of the file
    // (later pairs win for the same key). An invalid key or value refuses the whole batch
    // and keeps nothing.
    bool SetValues(const KeyValues& keyValues) const;

    // Writes what earlier writes kept; true when nothing is kept any more.
    bool SavePending() const;
    // While writes are kept: that the change is in force but not saved, why, and that it is
    // written as soon as it can be, in a sentence for the operator. Empty when all is saved.
    std::string UnsavedWarning() const;

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
    bool WriteKept(KeyValues writes) const;  // caller holds the lock of the kept writes

    std::string m_strIniPath;
};
