#include "settings/InstanceLock.h"

#include "settings/AtomicFile.h"
#include "settings/DataDir.h"
#include "settings/IniCache.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

InstanceLock::~InstanceLock()
{
    Release();
}

InstanceLock::Result InstanceLock::Acquire(const std::string& dir)
{
    Release();
    const std::string path = dir + "/" + kFileName;
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        m_strError = dir + "：" + std::strerror(errno);
        return Result::Failed;
    }
    int rc;
    while ((rc = ::flock(fd, LOCK_EX | LOCK_NB)) != 0 && errno == EINTR) {
    }
    if (rc != 0) {
        const int error = errno;
        ::close(fd);
        if (error == EWOULDBLOCK)
            return Result::InUse;
        m_strError = path + "：" + std::strerror(error);
        return Result::Failed;
    }
    m_fd = fd;
    return Result::Acquired;
}

void InstanceLock::Release()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

ClaimedDataDir ClaimDataDir(const std::string& dirOption, const std::string& programDir, InstanceLock& lock)
{
    const DataDir dir = dirOption.empty()
                            ? DataDir::Resolve(programDir, std::getenv("XDG_CONFIG_HOME"), std::getenv("HOME"))
                            : DataDir::FromOption(dirOption);
    ClaimedDataDir claim;
    if (dir.m_strPath.empty()) {
        claim.m_nExitCode = 1;
        claim.m_strMessage = "无法使用配置目录：" + dir.m_strError;
        return claim;
    }
    claim.m_strPath = dir.m_strPath;
    switch (lock.Acquire(dir.m_strPath)) {
    case InstanceLock::Result::InUse:
        claim.m_nExitCode = kExitFolderInUse;
        claim.m_strMessage = "该目录已有CamRelay在运行：" + dir.m_strPath;
        break;
    case InstanceLock::Result::Failed:  // a file system without locks: run on, unprotected
        claim.m_strWarning = "无法锁定目录，不能防止重复运行：" + lock.Error();
        break;
    case InstanceLock::Result::Acquired:
        // No other instance can be writing config.ini now: whatever temporary file of ours is
        // in the folder was left by an interrupted write, however recent (a crash loop that
        // restarts within seconds would otherwise pile them up).
        AtomicFile::RemoveStaleTemporaries(claim.m_strPath + "/config.ini", 0);
        break;
    }
    if (claim.m_nExitCode < 0) {
        // Read as missing later on, it would start the program with no channel and no word why.
        const std::string problem = IniCache::Problem(claim.m_strPath + "/config.ini");
        if (!problem.empty())
            claim.m_strWarning += (claim.m_strWarning.empty() ? "" : "；") + problem;
    }
    return claim;
}
