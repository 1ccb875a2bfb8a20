#pragma once
#include <functional>
#include <string>
#include <string_view>
#include <sys/stat.h>

// Replaces a file's contents all at once: a temporary file beside it is written, flushed to
// disk and renamed over it, so that readers and a crash see either the old or the new file.
// Stateless apart from the test hook; safe from any thread.
class AtomicFile {
public:
    // Takes the next piece of the new contents; false when it could not be written.
    using Writer = std::function<bool(std::string_view)>;
    // Hands the new contents to the writer piece by piece; false when it cannot make them.
    using Producer = std::function<bool(const Writer&)>;

    // Says whether the file (described by now; null: there is none) is still the one the new
    // contents were made from. Asked just before the rename; false abandons the write.
    using StillCurrent = std::function<bool(const struct stat* now)>;

    // Returns false, leaving the old file whole and no temporary file behind, when anything
    // fails or when the file or its folder is not writable (errno says why: EACCES for a
    // read-only file or folder, ECANCELED when stillCurrent said no). A new file gets mode
    // 0600, an existing one keeps its mode (and owner, where allowed). A symbolic link is
    // followed and the file it points to is replaced. On success *written (if given)
    // describes the new file.
    static bool Replace(const std::string& path, std::string_view bytes, struct stat* written = nullptr);
    // The same with contents written as they are produced, so that a large file is never held
    // whole in memory a second time. A producer that fails leaves the old file as it was.
    static bool Replace(const std::string& path, const Producer& produce, struct stat* written = nullptr,
                        const StillCurrent& stillCurrent = {});

    // Removes what an interrupted Replace of path left behind: regular files named like its
    // temporary files (".<name>.XXXXXX", six letters or digits, beside the file a link at path
    // points to), owned by us or by the file's owner, last written at least minAgeSeconds ago,
    // so that a write still in progress in another process is left alone. Returns how many.
    static int RemoveStaleTemporaries(const std::string& path, int minAgeSeconds = 60);

    // Tests: make every following Replace fail after writing this many bytes of the
    // temporary file (as a full disk would); a negative count turns the failure off.
    static void SetWriteFailureForTest(long afterBytes);
};
