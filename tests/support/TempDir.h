#pragma once
#include <string>

// A fresh private folder under $TMPDIR (or /tmp), removed with everything in it when the object
// goes out of scope. Not copyable; movable. Use from one thread.
class TempDir {
public:
    explicit TempDir(const std::string& prefix = "camrelay-test");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    TempDir(TempDir&& other) noexcept;
    TempDir& operator=(TempDir&& other) noexcept;

    // Full path without a trailing slash; empty if the folder could not be made.
    const std::string& Path() const { return m_path; }
    // Path() + "/" + name.
    std::string File(const std::string& name) const;
    bool Valid() const { return !m_path.empty(); }

private:
    std::string m_path;
};

// Deletes a file or folder tree without following symbolic links; true if nothing is left.
bool RemoveTree(const std::string& path);
