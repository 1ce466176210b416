// SPDX-License-Identifier: MIT
#include "stop.h"

#include <cerrno>
#include <fcntl.h>
#include <poll.h>

#include "modem.h"

volatile sig_atomic_t STOP = 0;

// The receiving loop tests STOP and then blocks in read(): a SIGCHLD that
// lands between the two would leave that read waiting for the device.  So
// the handler also makes the device non-blocking, and a read that starts
// after it returns at once.  The loop restores blocking reads when the
// child turns out to be alive still.
extern "C" void child_handler(int)
{
    int saved_errno = errno;
    STOP = 1;
    // A connection is waited on instead: its description is shared.
    if (LINEKIND == line_kind::terminal)
        fcntl(MODEMFD, F_SETFL, O_NONBLOCK); // none while the device is away
    errno = saved_errno;
}

// SIGCHLD is blocked outside the wait itself, so one that comes just before
// it still cuts it short.
short wait_unless_stopped(int fd, short events, const struct timespec* limit,
                          int keys)
{
    sigset_t chld, old;
    sigemptyset(&chld);
    sigaddset(&chld, SIGCHLD);
    sigprocmask(SIG_BLOCK, &chld, &old);
    struct pollfd ready[3] = {
        {fd, events, 0}, {MODEMFD, 0, 0}, {keys, POLLIN, 0}};
    if (!STOP)
        ppoll(ready, 3, limit, &old);
    sigprocmask(SIG_SETMASK, &old, nullptr);
    return ready[1].revents;
}
