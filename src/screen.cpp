// SPDX-License-Identifier: MIT
#include "screen.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "device.h"
#include "lines.h"

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
    fcntl(MODEMFD, F_SETFL, O_NONBLOCK); // none while the device is away
    errno = saved_errno;
}

namespace {

// The most read from the device at once.
const size_t BLOCK = 4096;

// While the device is away its path is tried this often.
const struct timespec RETRY = {0, 200'000'000};

// Waits until fd (none when -1) is ready for events, the limit (none when
// null) has passed, the device hangs up, or a SIGCHLD has set STOP.
// SIGCHLD is blocked outside the wait itself, so one that comes just before
// it still cuts it short.  Returns what the device reported.
short wait_unless_stopped(int fd, short events, const struct timespec* limit)
{
    sigset_t chld, old;
    sigemptyset(&chld);
    sigaddset(&chld, SIGCHLD);
    sigprocmask(SIG_BLOCK, &chld, &old);
    struct pollfd ready[2] = {{fd, events, 0}, {MODEMFD, 0, 0}};
    if (!STOP)
        ppoll(ready, 2, limit, &old);
    sigprocmask(SIG_SETMASK, &old, nullptr);
    return ready[1].revents;
}

// Keys of a pipe or a file that the sending process never sent, as it said
// at its end.
size_t UNSENT = 0;

// Puts the device and the screen back and ends the receiving process.  The
// screen may be another terminal than the keyboard: it is settled here.
// After a normal end this applies the same settings again.  error is the
// errno of a write to standard output that failed for good, reported once
// the terminals are back, or 0.  ended is the child's wait status, when it
// has ended: a child killed by a signal put nothing back, and its end is no
// success; nor is a script's keys left unsent.
[[noreturn]] void end_receiving(int error, int ended = 0)
{
    bool killed = WIFSIGNALED(ended);
    if (MODEMFD >= 0) {
        if (killed)
            tcflush(MODEMFD, TCOFLUSH); // else the child has settled it
        restore_port(MODEMFD);
    }
    restore_stdout();
    if (killed) {
        restore_stdin();
        psignal(WTERMSIG(ended), "keyboard");
        exit(128 + WTERMSIG(ended));
    }
    if (error == 0 && UNSENT > 0)
        say_unsent(UNSENT);
    if (error == 0)
        exit(UNSENT > 0 ? -1 : 0);
    errno = error;
    perror("standard output");
    exit(-1);
}

// The device has gone: let go of it at once, tell the sending process,
// which may not have seen it, and say so.
void device_gone(int channel, int error)
{
    drop_device(MODEMFD);
    send_gone(channel, error);
    say_gone(error);
}

// Called when STOP is set.  Takes what the child has said: that the device
// it held has gone (a write of its failed for good), or, last, what it did
// not send.  Ends the receiving process when the child has ended: its notes
// came before its end, and are all taken first.
void check_child(pid_t child, int channel)
{
    STOP = 0;
    if (MODEMFD >= 0)
        fcntl(MODEMFD, F_SETFL, 0);
    int status = 0;
    bool ended = waitpid(child, &status, WNOHANG) == child;
    device_note note;
    int fd;
    while (take_note(channel, note, fd) == 1) {
        if (fd >= 0)
            close(fd); // the child hands nothing over
        UNSENT += note.unsent;
        if (!ended && note.number == DEVICE_NUMBER && MODEMFD >= 0)
            device_gone(channel, note.error);
    }
    if (ended)
        end_receiving(0, status);
}

// Writes what was read from the device to the screen, all of it.  A
// screen that holds output back (stopped with Ctrl-S, or read slowly) keeps
// the rest and is waited for, but the child's end still ends the wait and
// the program, and a device that goes meanwhile is let go.  Output that
// fails for good (a full disk, a reader gone while SIGPIPE is blocked) ends
// the program: going on would drop every byte from then on while the end
// reported success.
void write_screen(int screen, pid_t child, int channel, const char* bytes,
                  size_t size)
{
    while (size > 0) {
        ssize_t n = write(screen, bytes, size);
        if (n > 0) {
            bytes += n;
            size -= n;
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            end_receiving(errno);
        if (n < 0 && errno == EAGAIN &&
            (wait_unless_stopped(screen, POLLOUT, nullptr) &
             (POLLHUP | POLLERR)) != 0)
            device_gone(channel, EIO);
        if (STOP)
            check_child(child, channel);
    }
}

// The screen as written by the receiving process: a description of its
// own, non-blocking, so that a stopped screen cannot hold a write forever.
// A regular file never holds a write, and keeps its own offset and append
// mode: it is written as it is, as is anything that cannot be reopened.
int open_screen()
{
    struct stat out;
    if (fstat(STDOUT_FILENO, &out) == 0 && S_ISREG(out.st_mode))
        return STDOUT_FILENO;
    int screen = open_own(STDOUT_FILENO, O_WRONLY | O_NONBLOCK);
    return screen >= 0 ? screen : STDOUT_FILENO;
}

} // namespace

// A read returns as soon as the device has a byte (VMIN 1, VTIME 0), and
// takes what it has up to a block: a byte on its own goes at once, and a
// fast line costs a read and a write per block, not per byte.  The device's
// end of file, or an error other than an interruption, is its departure: a
// hang-up, an adapter unplugged.  The loop then waits for the device, and
// relays again once it is back.
void relay_device_to_screen(pid_t child, int channel)
{
    keep_if_terminal(STDIN_FILENO);
    int screen = open_screen();
    static char block[BLOCK];
    for (;;) {
        if (STOP) {
            check_child(child, channel);
        } else if (MODEMFD < 0) {
            if (!REOPENABLE || !take_device_back(channel))
                wait_unless_stopped(-1, 0, REOPENABLE ? &RETRY : nullptr);
        } else {
            ssize_t n = read(MODEMFD, block, sizeof block);
            if (n > 0)
                write_screen(screen, child, channel, block, n);
            else if (n == 0 || (errno != EINTR && errno != EAGAIN))
                device_gone(channel, n == 0 ? EIO : errno);
        }
    }
}
