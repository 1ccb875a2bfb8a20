#include "settings/InstanceLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
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
