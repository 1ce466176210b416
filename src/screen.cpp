// SPDX-License-Identifier: MIT
#include "screen.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "channel.h"
#include "device.h"
#include "keyboard.h"
#include "lines.h"
#include "messages.h"
#include "watch.h"

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

// The screen and standard error as this process writes them; the
// keyboard, when a terminal, as it reads it to drop keys: descriptions of
// their own, non-blocking, where they can be had.
int SCREEN = STDOUT_FILENO;
int ERRFD = STDERR_FILENO;
int KEYBOARD = -1;

// What was read from the device and the screen has not taken yet:
// BLOCK_READ[shown] to BLOCK_READ[held - 1].
char BLOCK_READ[BLOCK];
size_t shown, held;

// Why the device went, while its line waits for the rest of its block to
// be shown: no byte of it may follow the line.  0 when nothing waits.
int GONE = 0;

// Keys of a pipe or a file that the sending process never sent, as it said
// at its end.
size_t UNSENT = 0;

// The sending process holds the device handed over last, or has not yet
// said that it let it go: a read of the keyboard may be under way there,
// for that device.  The device is taken back only once it has said so.
bool SENDER_HOLDS = true;

// The quit key, or the keyboard's end, came while the device was away: the
// sending process is told by the channel's hang-up, and its end ends this
// one.
bool QUITTING = false;

// Waits until fd (none when -1) is ready for events, the limit (none when
// null) has passed, the device hangs up, keys (none when -1) has keys, or a
// SIGCHLD has set STOP.
// SIGCHLD is blocked outside the wait itself, so one that comes just before
// it still cuts it short.  Returns what the device reported.
short wait_unless_stopped(int fd, short events, const struct timespec* limit,
                          int keys = -1)
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

// Puts the device and the screen back and ends the receiving process.  The
// screen may be another terminal than the keyboard: it is settled here.
// After a normal end this applies the same settings again.  error is the
// errno of a write to standard output that failed for good, reported once
// the terminals are back, or 0.  ended is the child's wait status, when it
// has ended: a child killed by a signal put nothing back, and its end is no
// success; nor is a script's keys left unsent.  The lines still to say are
// said then, the last ones with them, as far as standard error takes them
// at once: the screen, restarted, takes them; a standard error that takes
// nothing does not hold the end.
[[noreturn]] void end_receiving(int error, int ended = 0)
{
    bool killed = WIFSIGNALED(ended);
    if (MODEMFD >= 0) {
        if (killed)
            tcflush(MODEMFD, TCOFLUSH); // else the child has settled it
        restore_port(MODEMFD);
    }
    restore_stdout();
    if (killed)
        restore_stdin();
    if (GONE != 0)
        say_gone(GONE);
    if (killed)
        say_line("keyboard", {strsignal(WTERMSIG(ended))});
    else if (error == 0 && UNSENT > 0)
        say_unsent(UNSENT);
    struct pollfd out = {ERRFD, POLLOUT, 0};
    for (int tries = 0; write_lines(ERRFD) == EAGAIN && tries < 10; ++tries)
        poll(&out, 1, 50);
    if (killed)
        exit(128 + WTERMSIG(ended));
    if (error == 0)
        exit(UNSENT > 0 ? -1 : 0);
    errno = error;
    report_error("standard output");
    exit(-1);
}

// The device has gone: let go of it at once and tell the sending process,
// which may not have seen it.  Its line waits for the rest of its block.
void device_gone(int channel, int error)
{
    drop_device(MODEMFD);
    send_gone(channel, DEVICE_NUMBER, error);
    GONE = error;
    if (REOPENABLE)
        watch_path();
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
        if (note.number == DEVICE_NUMBER && MODEMFD >= 0)
            device_gone(channel, note.error);
        if (note.number == DEVICE_NUMBER)
            SENDER_HOLDS = false;
    }
    if (ended)
        end_receiving(0, status);
}

// Waits for fd to take output, as a screen stopped with Ctrl-S or read
// slowly holds it back; the child's end still ends the wait and the
// program, and a device that goes meanwhile is let go.
void wait_for_output(int fd, int channel)
{
    if (wait_unless_stopped(fd, POLLOUT, nullptr) & (POLLHUP | POLLERR))
        device_gone(channel, EIO);
}

// Writes the rest of the block read from the device to the screen, as much
// as it takes now.  Output that fails for good (a full disk, a reader gone
// while SIGPIPE is blocked) ends the program: going on would drop every
// byte from then on while the end reported success.
void show_block(int channel)
{
    ssize_t n = write(SCREEN, BLOCK_READ + shown, held - shown);
    if (n > 0)
        shown += n;
    else if (n < 0 && errno == EAGAIN)
        wait_for_output(SCREEN, channel);
    else if (n < 0 && errno != EINTR)
        end_receiving(errno);
}

// Reads and drops what the keyboard, a terminal, holds unread: keys typed
// while the device is away, or before it came back, perhaps while the
// sending process was stopped, are not meant for it.  True when the quit
// key is among them, or the keyboard has ended.  A terminal this process
// may not reopen (another user's) is read only when it has keys, while
// nobody else reads it, and flushed at a return: a read of the description
// it shares could wait for the next key.
bool quit_among_unread_keys(bool at_return)
{
    struct pollfd keys_ready = {KEYBOARD, POLLIN, 0};
    if (KEYBOARD == STDIN_FILENO && at_return)
        tcflush(STDIN_FILENO, TCIFLUSH);
    if (KEYBOARD < 0 || (KEYBOARD == STDIN_FILENO &&
                         (at_return || poll(&keys_ready, 1, 0) != 1)))
        return false;
    char keys[4096];
    ssize_t n;
    do {
        n = read(KEYBOARD, keys, sizeof keys);
        if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN))
            return true; // hung up: nobody is left to type
        if (n > 0 && memchr(keys, QUIT_KEY, n) != nullptr)
            return true;
    } while (KEYBOARD != STDIN_FILENO && (n > 0 || errno == EINTR));
    return false;
}

// The quit key while the device is away: the sending process, which holds
// nothing to drain, ends at the channel's hang-up.  One that does not end
// within HELD_LINE_MS (stopped) is not waited for.
void quit_while_away(int channel)
{
    QUITTING = true;
    shutdown(channel, SHUT_RDWR); // a socket of ours: cannot fail
    struct timespec limit = {static_cast<time_t>(HELD_LINE_MS / 1000),
                             static_cast<long>(HELD_LINE_MS % 1000 * 1000000)};
    wait_unless_stopped(-1, 0, &limit);
    if (!STOP) {
        restore_stdin();
        end_receiving(0);
    }
}

// While the device is away: tries its path when the watch says it may be
// back, and otherwise waits for that, for a key, or for the child.  A path
// that is never opened again waits for a key or the child alone.  Only the
// keyboard's reader takes the device back: while the sending process may
// still read it for the device that went, this waits for its word.  What
// the keyboard holds from before the return is dropped here, before the
// device is handed over: the sending process may take the device later
// than the user types after reading that it is back.
void wait_for_device(int channel)
{
    if (SENDER_HOLDS && !QUITTING) {
        wait_unless_stopped(-1, 0, nullptr);
    } else if (QUITTING || quit_among_unread_keys(false)) {
        quit_while_away(channel); // again when a stray SIGCHLD cut it short
    } else if (!REOPENABLE) {
        wait_unless_stopped(KEYBOARD, POLLIN, nullptr);
    } else if (path_due()) {
        int error = take_device_back();
        if (path_tried(error) && error != 0)
            say_why(error);
        if (error == 0 && quit_among_unread_keys(true))
            quit_while_away(channel);
        else if (error == 0) {
            hand_device_over(channel);
            SENDER_HOLDS = true;
        }
    } else {
        int64_t ms = until_try_ms(); // at most a few seconds
        struct timespec limit = {static_cast<time_t>(ms / 1000),
                                 static_cast<long>(ms % 1000 * 1000000)};
        wait_unless_stopped(watch_fd(), POLLIN, &limit, KEYBOARD);
    }
}

// fd as this process writes it: a description of its own, non-blocking, so
// that a stopped screen cannot hold a write forever.  A regular file never
// holds a write, and keeps its own offset and append mode: it is written as
// it is, as is anything that cannot be reopened.
int open_output(int fd)
{
    struct stat out;
    if (fstat(fd, &out) == 0 && S_ISREG(out.st_mode))
        return fd;
    int own = open_own(fd, O_WRONLY | O_NONBLOCK);
    return own >= 0 ? own : fd;
}

} // namespace

// One thing at a time, in this order, so that what the user sees keeps its
// order: the end of the sending process, the rest of a block for the
// screen, the lines to say, the device's return while it is away, and then
// the next block from the device.  A read returns as soon as the device has
// a byte (VMIN 1, VTIME 0), and takes what it has up to a block: a byte on
// its own goes at once, and a fast line costs a read and a write per block,
// not per byte.  The device's end of file, or an error other than an
// interruption, is its departure: a hang-up, an adapter unplugged.
void relay_device_to_screen(pid_t child, int channel)
{
    keep_if_terminal(STDIN_FILENO);
    SCREEN = open_output(STDOUT_FILENO);
    ERRFD = open_output(STDERR_FILENO);
    if (isatty(STDIN_FILENO)) {
        KEYBOARD = open_own(STDIN_FILENO, O_RDONLY | O_NONBLOCK);
        KEYBOARD = KEYBOARD >= 0 ? KEYBOARD : STDIN_FILENO;
    }
    for (;;) {
        if (STOP) {
            check_child(child, channel);
        } else if (shown < held) {
            show_block(channel);
        } else if (GONE != 0) {
            say_gone(GONE);
            GONE = 0;
        } else if (lines_waiting()) {
            if (write_lines(ERRFD) == EAGAIN)
                wait_for_output(ERRFD, channel);
        } else if (MODEMFD < 0) {
            wait_for_device(channel);
        } else {
            ssize_t n = read(MODEMFD, BLOCK_READ, sizeof BLOCK_READ);
            shown = 0;
            held = n > 0 ? n : 0;
            if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN))
                device_gone(channel, n == 0 ? EIO : errno);
        }
    }
}
