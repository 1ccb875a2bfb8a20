#pragma once
#include <string>

// Exit status of a second instance that found its folder in use.
constexpr int kExitFolderInUse = 3;

// Keeps one CamRelay per data folder: an advisory lock (flock) on ".CamRelay.lock" in the
// folder, held for the lifetime of the object. The kernel drops it when the process ends in any
// way, so a crashed instance never blocks the next. The descriptor is close-on-exec: relay
// children never hold it. Not copyable.
class InstanceLock {
public:
    InstanceLock() = default;
    ~InstanceLock();
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;

    enum class Result { Acquired, InUse, Failed };
    // Takes the lock without waiting. A folder where the lock file cannot be created (read
    // only) is locked through the folder itself. Failed leaves the reason in Error().
    Result Acquire(const std::string& dir);
    void Release();
    const std::string& Error() const { return m_strError; }

    static constexpr const char* kFileName = ".CamRelay.lock";

private:
    int m_fd = -1;
    std::string m_strError;
};

// The data folder of this run (the --dir option, or resolved from the program's folder and the
// environment), locked against a second instance for as long as `lock` lives. Shared by the
// window and the service so both refuse the same way.
struct ClaimedDataDir {
    std::string m_strPath;
    int m_nExitCode = -1;     // >= 0: the run must end with this status, m_strMessage says why
    std::string m_strMessage;
    // The run goes on, but the user should know: the folder could not be locked (no protection
    // against a second instance), config.ini cannot be read (see IniCache::Problem).
    std::string m_strWarning;
};
ClaimedDataDir ClaimDataDir(const std::string& dirOption, const std::string& programDir, InstanceLock& lock);
