#pragma once
#include <string>
#include <string_view>

// The whole content of a file (empty when it cannot be read), and a file replaced by bytes.
std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, std::string_view bytes);

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

private:
    std::string m_path;
};
