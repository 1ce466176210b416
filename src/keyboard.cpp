// SPDX-License-Identifier: MIT
#include "keyboard.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <poll.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include "device.h"
#include "lines.h"

const int QUIT_KEY = 0x02;
const long HELD_LINE_MS = 1000;

namespace {

long now_ms()
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000 + t.tv_nsec / 1000000;
}

// The most keys that wait for the line.  What the keyboard brings beyond
// them waits where it is, in the terminal or the pipe, until the line takes
// some; only a terminal whose line has taken nothing for HELD_LINE_MS is
// read meanwhile, its keys dropped, so that the quit key is still seen.
const size_t KEYS_MAX = size_t{1} << 20;

// Keys read from the keyboard that the device has not taken yet, in order:
// bytes[sent] to bytes[held - 1].  full_since: when the store was found
// full with the line taking nothing since, or 0.  It lives in static
// storage, which starts at zero: only the memory that keys have used is
// ever touched.
struct waiting_keys {
    char bytes[KEYS_MAX];
    size_t sent;
    size_t held;
    long full_since;
};

// Below this much room behind the waiting keys, those already sent make
// way: a read of the keyboard takes up to this much.
const size_t KEY_READ = 4096;

// Makes room for a read of the keyboard behind the waiting keys.  False
// when the store is full.
bool make_room(waiting_keys& w)
{
    if (w.sent == w.held)
        w.sent = w.held = 0;
    if (KEYS_MAX - w.held < KEY_READ && w.sent > 0) {
        memmove(w.bytes, w.bytes + w.sent, w.held - w.sent);
        w.held -= w.sent;
        w.sent = 0;
    }
    return w.held < KEYS_MAX;
}

// Puts both terminals back and ends the sending process.
[[noreturn]] void end_sending()
{
    if (LINEFD >= 0) {
        restore_port(LINEFD);
        close(LINEFD);
    }
    restore_stdin();
    // _exit: the stdio buffers copied from the parent are not ours to flush.
    _exit(0);
}

// The receiving process has ended, for whatever reason: nobody shows the
// device's answers, and the keys typed from then on are the shell's.  It
// may have ended without putting the screen back, which is another terminal
// than the keyboard when the keyboard is redirected.  (While it runs, the
// screen is its own: restarted here, it would let the receiving process
// read on from a device that echoes again.)
[[noreturn]] void end_with_receiver()
{
    if (LINEFD >= 0)
        tcflush(LINEFD, TCOFLUSH);
    restore_stdout();
    end_sending();
}

// The device has gone, as this process found: it lets it go at once with
// the keys that waited for it, and tells the receiving process.  That one
// may be blocked in a read of a device that fails only its writes: a
// SIGCHLD cuts the read short.
void let_go(waiting_keys& w, pid_t receiver, int channel, int error)
{
    drop_device(LINEFD);
    w.sent = w.held = 0;
    send_gone(channel, error);
    if (getppid() == receiver)
        kill(receiver, SIGCHLD);
}

// Takes what the receiving process says of the device: that the one held
// has gone, or that it is back, handed over with its saved settings.  Keys
// that waited for the device before either never reach it.
void take_notes(waiting_keys& w, int channel)
{
    device_note note;
    int fd;
    int taken;
    while ((taken = take_note(channel, note, fd)) == 1) {
        if (fd < 0 && note.number != DEVICE_NUMBER)
            continue; // about a device let go already
        // LINEFD and port_saved change together, unseen by end_handler.
        sigset_t old = hold_end_signals();
        if (LINEFD >= 0)
            drop_device(LINEFD);
        w.sent = w.held = 0;
        if (fd >= 0) {
            LINEFD = fd;
            DEVICE_NUMBER = note.number;
            port_saved = note.saved;
        }
        sigprocmask(SIG_SETMASK, &old, nullptr);
    }
    if (taken < 0)
        end_with_receiver();
}

// Passes the waiting keys to the device, as many as the line takes now, in
// one write: what it leaves waits for the next.  A write that fails for good
// is the device's departure.
void send_waiting(waiting_keys& w, pid_t receiver, int channel)
{
    if (LINEFD < 0 || w.sent == w.held)
        return;
    ssize_t n = write(LINEFD, w.bytes + w.sent, w.held - w.sent);
    if (n >= 0)
        w.sent += n;
    else if (errno != EAGAIN && errno != EINTR)
        let_go(w, receiver, channel, errno);
}

// Reads what the keyboard has, up to the quit key, behind the waiting keys
// when keep is true, or to be dropped.  True when the keys end: the quit
// key, or end of input or a dead terminal, after which nobody is left to
// type it.  Keys after the quit key are never sent.
bool read_keys(waiting_keys& w, bool keep)
{
    static char dropped[KEY_READ];
    char* keys = keep ? w.bytes + w.held : dropped;
    ssize_t n =
        read(STDIN_FILENO, keys, keep ? KEYS_MAX - w.held : sizeof dropped);
    if (n < 0 && (errno == EINTR || errno == EAGAIN))
        return false;
    if (n <= 0)
        return true;
    char* quit = static_cast<char*>(memchr(keys, QUIT_KEY, n));
    if (keep)
        w.held += quit != nullptr ? quit - keys : n;
    return quit != nullptr;
}

// Output the kernel holds for the device, not yet sent down the line.
size_t unsent_output()
{
    int count = 0;
    return ioctl(LINEFD, TIOCOUTQ, &count) == 0 && count > 0 ? count : 0;
}

// After the quit key the keys typed before it still go, while the line
// takes them.  A line that has taken nothing for HELD_LINE_MS is held (XOFF,
// CTS low, a device that is off): what is left is dropped, the kernel's
// unsent output with it, since the last close of a serial port waits for
// that output up to its closing delay, typically 30 s.
void send_rest(waiting_keys& w, pid_t receiver, int channel)
{
    size_t left_before = 0;
    long give_up = 0;
    while (LINEFD >= 0) {
        send_waiting(w, receiver, channel);
        size_t left = LINEFD < 0 ? 0 : w.held - w.sent + unsent_output();
        if (left == 0)
            return;
        if (give_up == 0 || left < left_before) {
            left_before = left;
            give_up = now_ms() + HELD_LINE_MS;
        } else if (now_ms() >= give_up) {
            break;
        }
        // Polled every 100 ms: the kernel tells nobody when its output
        // queue shrinks.
        struct pollfd wait[2] = {{w.sent < w.held ? LINEFD : -1, POLLOUT, 0},
                                 {channel, POLLIN, 0}};
        if (poll(wait, 2, 100) > 0 && wait[1].revents != 0)
            break;
    }
    if (LINEFD >= 0)
        tcflush(LINEFD, TCOFLUSH);
}

} // namespace

// The keyboard is read while the line holds the keys back, so that the
// quit key is seen whatever the line does; the keys wait, in order, until
// the device takes them.  A terminal is read too, its keys dropped, while
// the device is away or the line has held a full store for HELD_LINE_MS.
// A pipe or a file is not read then: what it holds waits for the line.  A
// pipe whose writer has gone is the end of input; while the device is
// away, only once nothing is left in it.
void relay_keyboard_to_device(pid_t receiver, int channel)
{
    keep_if_terminal(STDOUT_FILENO);
    const bool terminal = isatty(STDIN_FILENO);
    // False while the device is away after a pipe has hung up with keys
    // left in it: its hang-up would wake every poll.
    bool watched = true;
    static waiting_keys w;
    bool quit = false;
    while (!quit) {
        bool away = LINEFD < 0;
        watched = watched || !away;
        bool room = make_room(w);
        if (room || w.full_since == 0)
            w.full_since = room ? 0 : now_ms();
        long held_ms = room ? 0 : now_ms() - w.full_since;
        bool reading =
            away ? terminal : room || (terminal && held_ms >= HELD_LINE_MS);
        struct pollfd wait[3] = {
            {watched && (reading || !terminal) ? STDIN_FILENO : -1,
             static_cast<short>(reading ? POLLIN : 0), 0},
            {LINEFD, static_cast<short>(w.sent < w.held ? POLLOUT : 0), 0},
            {channel, POLLIN, 0}};
        int timeout = reading || !terminal
                          ? -1
                          : static_cast<int>(HELD_LINE_MS - held_ms);
        if (poll(wait, 3, timeout) < 0)
            continue;
        if (wait[2].revents & (POLLHUP | POLLERR))
            end_with_receiver();
        if (wait[1].revents & (POLLHUP | POLLERR))
            let_go(w, receiver, channel, EIO);
        // Notes first: keys typed while the device was away were read and
        // dropped as they came, and those that come with its return are
        // meant for it.
        if (wait[2].revents & POLLIN)
            take_notes(w, channel);
        if (wait[0].revents != 0 && !reading) {
            int unread = 0;
            quit = !away || ioctl(STDIN_FILENO, FIONREAD, &unread) != 0 ||
                   unread == 0;
            watched = false;
        } else if (wait[0].revents != 0) {
            quit = read_keys(w, LINEFD >= 0 && w.held < KEYS_MAX);
        }
        send_waiting(w, receiver, channel);
    }
    send_rest(w, receiver, channel);
    end_sending();
}
