#include "platform/SignalPipe.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <initializer_list>

namespace {
int g_signalPipe[2] = {-1, -1};

void OnSignal(int sig)
{
    const int saved = errno;
    const char byte = static_cast<char>(sig);
    [[maybe_unused]] const ssize_t n = ::write(g_signalPipe[1], &byte, 1);
    errno = saved;
}
}  // namespace

bool SignalPipe::Install()
{
    ::signal(SIGPIPE, SIG_IGN);
    if (g_signalPipe[0] >= 0)
        return true;
    if (::pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return false;
    struct sigaction action = {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int sig : {SIGTERM, SIGINT, SIGHUP})
        ::sigaction(sig, &action, nullptr);
    return true;
}

int SignalPipe::ReadFd()
{
    return g_signalPipe[0];
}

bool SignalPipe::Pending()
{
    pollfd in{g_signalPipe[0], POLLIN, 0};
    return g_signalPipe[0] >= 0 && ::poll(&in, 1, 0) == 1 && (in.revents & POLLIN);
}

SignalPipe::Requests SignalPipe::Take()
{
    Requests requests;
    char buffer[16];
    ssize_t n;
    while (g_signalPipe[0] >= 0 && (n = ::read(g_signalPipe[0], buffer, sizeof buffer)) > 0)
        for (ssize_t i = 0; i < n; ++i)
            (buffer[i] == SIGHUP ? requests.m_bReload : requests.m_bStop) = true;
    return requests;
}

void ReopenClosedStandardStreams()
{
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        // open() returns the lowest free descriptor: this one, as the lower ones are open.
        const int opened = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (opened >= 0 && opened != fd) {
            ::dup2(opened, fd);
            ::close(opened);
        }
    }
}
