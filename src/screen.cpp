// SPDX-License-Identifier: MIT
#include "screen.h"

#include <algorithm>
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
#include "clock.h"
#include "connection.h"
#include "device.h"
#include "keyboard.h"
#include "lines.h"
#include "messages.h"
#include "node.h"
#include "stop.h"
#include "watch.h"

namespace {

// The most read from the device at once.
const size_t BLOCK = 4096;

// The receiving process.
struct receiving {
    // The screen and standard error as written here, and the keyboard,
    // when a terminal, as read here to drop keys: descriptions of their own,
    // non-blocking, where they can be had.
    int screen = STDOUT_FILENO;
    int errfd = STDERR_FILENO;
    int keyboard = -1;
    // What was read from the device: block[shown] to block[size - 1] is
    // not on the screen yet.
    char block[BLOCK];
    size_t shown = 0;
    size_t size = 0;
    // Why the device went, while its line waits for the rest of the block:
    // no byte of it may follow the line.  0 when no such line waits.
    int gone = 0;
    // Keys of a pipe or a file that the sending process never sent, as it
    // said at its end.
    size_t unsent = 0;
    // The sending process has not said yet that it let the device go: it
    // may be reading the keyboard for it, and the device is not taken back.
    bool sender_has_device = true;
    // The quit key, or the keyboard's end, came while the device was away.
    bool quitting = false;
};
receiving R;

struct timespec after_ms(int64_t ms)
{
    return {static_cast<time_t>(ms / 1000),
            static_cast<long>(ms % 1000 * 1000000)};
}

// Puts the device and the screen back and ends the receiving process,
// which may hold another terminal as the screen than the keyboard.
// ended: the child's wait status, once it has ended.  A child killed by a
// signal put nothing back, and its end is no success; nor is a script's
// keys left unsent.  error: the errno of a write to standard output that
// failed for good, reported once the terminals are back, or 0.
// The last lines go as far as standard error takes them at once: a
// standard error that takes nothing does not hold the end.
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
    if (R.gone != 0)
        say_gone(R.gone);
    char count[24];
    if (killed)
        say_line("keyboard", {strsignal(WTERMSIG(ended))});
    else if (error == 0 && R.unsent > 0)
        say_line(MODEMDEVICE, {decimal(R.unsent, count),
                               " bytes of standard input not sent"});
    struct pollfd out = {R.errfd, POLLOUT, 0};
    for (int tries = 0; write_lines(R.errfd) == EAGAIN && tries < 10; ++tries)
        poll(&out, 1, 50);
    if (killed)
        exit(128 + WTERMSIG(ended));
    if (error == 0)
        exit(R.unsent > 0 ? -1 : 0);
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
    R.gone = error;
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
    if (MODEMFD >= 0 && LINEKIND == line_kind::terminal)
        fcntl(MODEMFD, F_SETFL, 0);
    int status = 0;
    bool ended = waitpid(child, &status, WNOHANG) == child;
    device_note note;
    int fd;
    while (take_note(channel, note, fd) == 1) {
        switch (note.kind) {
        case device_note::GONE:
            if (note.number != DEVICE_NUMBER)
                break; // about a device let go already
            if (MODEMFD >= 0)
                device_gone(channel, note.error);
            R.sender_has_device = false;
            break;
        case device_note::UNSENT:
            R.unsent += note.unsent;
            break;
        case device_note::HANDED_OVER:
            close(fd); // the child hands nothing over
            break;
        case device_note::ANSWER:
            break; // the child owes nothing
        }
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
        device_gone(channel, LINEKIND == line_kind::terminal
                                 ? EIO
                                 : connection_error(MODEMFD));
}

// Writes the rest of the block read from the device to the screen, as much
// as it takes now.  Output that fails for good (a full disk, a reader gone
// while SIGPIPE is blocked) ends the program: going on would drop every
// byte from then on while the end reported success.
void show_block(int channel)
{
    ssize_t n = write(R.screen, R.block + R.shown, R.size - R.shown);
    if (n > 0) {
        R.shown += n;
        screen_moved();
    } else if (n < 0 && errno == EAGAIN) {
        wait_for_output(R.screen, channel);
    } else if (n < 0 && errno != EINTR) {
        end_receiving(errno);
    }
}

// Reads and drops the keys a terminal holds unread: typed while the device
// was away, or before it came back, they are not meant for it.  True when
// the quit key is among them, or the keyboard has ended.
// A terminal that cannot be reopened (another user's) is read through the
// description shared with the sending process, where a read could wait for
// the next key: only when it has keys, and never at a return, when that
// process may read it; it is flushed then instead.
bool quit_among_unread_keys(bool at_return)
{
    struct pollfd keys_ready = {R.keyboard, POLLIN, 0};
    if (R.keyboard == STDIN_FILENO && at_return)
        tcflush(STDIN_FILENO, TCIFLUSH);
    if (R.keyboard < 0 || (R.keyboard == STDIN_FILENO &&
                           (at_return || poll(&keys_ready, 1, 0) != 1)))
        return false;
    char keys[4096];
    ssize_t n;
    do {
        n = read(R.keyboard, keys, sizeof keys);
        if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN))
            return true; // hung up: nobody is left to type
        if (n > 0 && memchr(keys, QUIT_KEY, n) != nullptr)
            return true;
    } while (R.keyboard != STDIN_FILENO && (n > 0 || errno == EINTR));
    return false;
}

// The quit key while the device is away: the sending process, which holds
// nothing to drain, ends at the channel's hang-up.  One that does not end
// within STALL_MS (stopped) is not waited for.
void quit_while_away(int channel)
{
    R.quitting = true;
    shutdown(channel, SHUT_RDWR); // a socket of ours: cannot fail
    struct timespec limit = after_ms(STALL_MS);
    wait_unless_stopped(-1, 0, &limit);
    if (!STOP) {
        restore_stdin();
        end_receiving(0);
    }
}

// A wait of a connection's while the device is away: Ctrl-B, the end of
// the keyboard or of the sending process gives the connection up.
bool wait_returning(int fd, short events, int64_t deadline)
{
    struct timespec limit = after_ms(std::max<int64_t>(deadline - now_ms(), 0));
    wait_unless_stopped(fd, events, &limit, R.keyboard);
    if (!STOP && quit_among_unread_keys(false))
        R.quitting = true;
    return !STOP && !R.quitting;
}

// The next block from the device: a terminal's read returns as soon as it
// has a byte; a connection, which is never made to block or not, is
// waited on.  Returns what read returns.
ssize_t read_device(int channel)
{
    if (LINEKIND == line_kind::terminal)
        return read(MODEMFD, R.block, sizeof R.block);
    ssize_t n = read_connection(MODEMFD, R.block, sizeof R.block);
    int error = errno;
    pass_answers(channel, DEVICE_NUMBER);
    if (n < 0 && error == EAGAIN)
        wait_unless_stopped(MODEMFD, POLLIN, nullptr);
    errno = error;
    return n;
}

// While the device is away: tries its path when the watch says it may be
// back, and otherwise waits for that, for a key, or for the child; a path
// never opened again waits for a key or the child alone.  What the keyboard
// holds from before the return is dropped before the device is handed
// over: the sending process may take it later than the user types after
// reading that it is back.
void wait_for_device(int channel)
{
    if (R.sender_has_device && !R.quitting) {
        wait_unless_stopped(-1, 0, nullptr);
    } else if (R.quitting || quit_among_unread_keys(false)) {
        quit_while_away(channel); // again when a stray SIGCHLD cut it short
    } else if (!REOPENABLE) {
        wait_unless_stopped(R.keyboard, POLLIN, nullptr);
    } else if (path_due()) {
        why_not why = take_device_back(wait_returning);
        if (why.kind != reason::none && (STOP || R.quitting))
            return; // given up: tried again, if need be, when due
        if (why.kind != reason::none && time_to_say(why))
            say_why(why);
        if (why.kind != reason::none)
            return;
        path_back();
        if (quit_among_unread_keys(true)) {
            quit_while_away(channel);
            return;
        }
        hand_device_over(channel);
        R.sender_has_device = true;
    } else {
        struct timespec limit = after_ms(until_try_ms()); // a few s at most
        wait_unless_stopped(watch_fd(), POLLIN, &limit, R.keyboard);
    }
}

// fd as written here: a description of its own, non-blocking, so that a
// stopped screen cannot hold a write forever.  A regular file (it keeps its
// offset and append mode) is written as it is, as is what cannot be reopened.
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
    R.screen = open_output(STDOUT_FILENO);
    R.errfd = open_output(STDERR_FILENO);
    if (isatty(STDIN_FILENO)) {
        R.keyboard = open_own(STDIN_FILENO, O_RDONLY | O_NONBLOCK);
        R.keyboard = R.keyboard >= 0 ? R.keyboard : STDIN_FILENO;
    }
    for (;;) {
        if (STOP) {
            check_child(child, channel);
        } else if (R.shown < R.size) {
            show_block(channel);
        } else if (R.gone != 0) {
            say_gone(R.gone);
            R.gone = 0;
        } else if (lines_waiting()) {
            if (write_lines(R.errfd) == EAGAIN)
                wait_for_output(R.errfd, channel);
        } else if (MODEMFD < 0) {
            wait_for_device(channel);
        } else {
            ssize_t n = read_device(channel);
            R.shown = 0;
            R.size = n > 0 ? n : 0;
            int closed = LINEKIND == line_kind::terminal ? EIO : CLOSED;
            if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN))
                device_gone(channel, n == 0 ? closed : errno);
        }
    }
}
