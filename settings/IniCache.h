#pragma once
#include "settings/IniFile.h"

#include <functional>
#include <memory>
#include <string>
#include <sys/types.h>

// Process-wide cache of parsed INI files, keyed by path. Every use first checks the file's
// device, inode, size and change times (nanoseconds), so a file changed by anyone is read
// again. All members are static; one mutex guards the cache and serialises updates.
class IniCache {
public:
    // The current contents of path; an empty document when it is missing or unreadable.
    static std::shared_ptr<const IniFile> Load(const std::string& path);

    // Applies edit to the current contents and replaces the file atomically. Returns false,
    // writing nothing, when the file exists but cannot be read (writing then would drop
    // its contents), when edit returns false, or when the replace fails.
    static bool Update(const std::string& path, const std::function<bool(IniFile&)>& edit);

    // Drops the kept parse of path when its file has at least minBytes, and hands the freed
    // memory back to the system; the next Load or Update reads the file again and keeps that.
    // For moments after which the file is rarely needed for a while (the end of start-up).
    static void Release(const std::string& path, off_t minBytes);

    // Why the file at path cannot be read, in a sentence for the user; empty when it can be, or
    // when it is missing (a fresh folder has none). Never opens anything but a regular file.
    static std::string Problem(const std::string& path);

    // Successful replaces made by Update in this process.
    static long ReplaceCount();
};
