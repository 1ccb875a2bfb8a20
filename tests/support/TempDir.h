#pragma once
#include <string>

// A fresh private folder under $TMPDIR (or /tmp), removed with everything in it (read-only
// folders included, symbolic links not followed) when the object goes out of scope. Not
// copyable. Use from one thread.
class TempDir {
public:
    explicit TempDir(const std::string& prefix = "camrelay-test");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    // Full path without a trailing slash; empty if the folder could not be made.
    const std::string& Path() const { return m_path; }
    // Path() + "/" + name.
    std::string File(const std::string& name) const { return m_path + "/" + name; }
    bool Valid() const { return !m_path.empty(); }

private:
    std::string m_path;
};
