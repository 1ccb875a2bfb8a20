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
    // How the bytes of a file that was read end: nothing at all, inside a line (an editor or a
    // copy still writing it; every line we write ends with a line break), or after a line.
    enum class End { Empty, InsideLine, Whole };

    // The current contents of path; an empty document when it is missing or unreadable. *end
    // (if given) says how the bytes ended; Whole for a missing or unreadable file.
    static std::shared_ptr<const IniFile> Load(const std::string& path, End* end = nullptr);

    // Why a document read from a file may not be rewritten, in a sentence for the user; empty
    // when it may. Gets the parse of the file, or null when there is none (a fresh folder).
    using Guard = std::function<std::string(const IniFile* doc)>;

    // Applies edit to the current contents and replaces the file atomically. Returns false,
    // writing nothing, and says why in *problem (a sentence for the user; empty when edit
    // returned false), when the file exists but cannot be read, is empty or ends inside a line
    // (writing then would make the part not yet there lost for good), when guard refuses it,
    // when edit returns false, or when the replace fails. When the file changes between the
    // read and the rename, the edit is made again on the new contents, a few times at most,
    // so that what another program wrote meanwhile is kept.
    static bool Update(const std::string& path, const std::function<bool(IniFile&)>& edit,
                       std::string* problem = nullptr, const Guard& guard = {});
    // The sentence for a file whose bytes end so; empty for Whole.
    static std::string EndProblem(const std::string& path, End end);

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
