// trcmdnix.cpp - the stop signals of the trace command on Linux: SIGINT and
// SIGTERM are blocked and delivered through a signalfd, so the follow loop
// sleeps in poll on that descriptor and ends cleanly (exit handlers, leak
// check, status 0) however the signal falls between two polls.
#include "trcmd.h"

#include <cerrno>
#include <csignal>
#include <poll.h>
#include <sys/signalfd.h>
#include <unistd.h>

int trcmd_stop_signals_open(void)
{
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGTERM);
    sigset_t before;
    if (sigprocmask(SIG_BLOCK, &stops, &before))
        return -1;
    int fd = signalfd(-1, &stops, SFD_CLOEXEC | SFD_NONBLOCK);
    // Without the descriptor nobody would see them: they must end the
    // program by their default action again.
    if (fd < 0)
        sigprocmask(SIG_SETMASK, &before, nullptr);
    return fd;
}

void trcmd_stop_signals_close(int fd)
{
    if (fd >= 0)
        close(fd);
}

int trcmd_stop_signals_wait(void* param, int msecs)
{
    pollfd stop = {*static_cast<int*>(param), POLLIN, 0};
    int ready;
    do
        ready = poll(&stop, 1, msecs);
    while (ready < 0 && errno == EINTR);
    return ready == 0;
}
