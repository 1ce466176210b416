// SPDX-License-Identifier: MIT
#include "keyboard.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "channel.h"
#include "clock.h"
#include "connection.h"
#include "device.h"
#include "ends.h"
#include "keys.h"
#include "lines.h"

const int QUIT_KEY = 0x02;
const int64_t STALL_MS = 1000;

namespace {

// What a read of the keyboard takes when its keys are dropped.
const size_t KEY_READ = 4096;

// What standard input has come to.  A pipe whose writer has gone is not
// ended while keys are left in it: they go, as the line takes them.
enum input_state { RUNNING, HUNG_UP, ENDED };

// The sending process, but for the keys that wait (keys.h).
struct sending {
    input_state input;
    // What was left for the line when it last took some, and since when
    // (0: no count runs).
    size_t left;
    int64_t stalled_from;
    // A terminal is a user's, who can type the quit key again; a pipe or a
    // file is a script's, whose unsent keys are said and fail the run.
    bool terminal;
    size_t unsent;
    int device_number; // of the device held, as it was handed over
};
sending S;

// Drops the waiting keys, and more (what the kernel or a pipe still held);
// a script's count as unsent.
void drop_keys(size_t more = 0)
{
    size_t dropped = drop_waiting_keys() + more;
    if (!S.terminal)
        S.unsent += dropped;
    S.stalled_from = 0;
}

// How long the line has taken nothing of what is left for it, in ms.
int64_t stalled_ms(size_t left)
{
    int64_t now = now_ms();
    if (S.stalled_from == 0 || left < S.left) {
        S.left = left;
        S.stalled_from = now;
    }
    return now - S.stalled_from;
}

// Output the kernel holds for the device, not yet sent down the line; for
// a connection, the keys taken that wait here.
size_t unsent_output()
{
    if (LINEKIND != line_kind::terminal)
        return LINEFD >= 0 ? unsent_keys() : 0;
    int count = 0;
    return LINEFD >= 0 && ioctl(LINEFD, TIOCOUTQ, &count) == 0 && count > 0
               ? count
               : 0;
}

// What standard input holds unread: a pipe's bytes, a terminal's keys.
size_t unread_input()
{
    int count = 0;
    return ioctl(STDIN_FILENO, FIONREAD, &count) == 0 && count > 0 ? count : 0;
}

// Puts both terminals back and ends the sending process; a script's keys
// that were not sent are told to the receiving process, which says so.
[[noreturn]] void end_sending(int channel)
{
    if (LINEFD >= 0) {
        restore_port(LINEFD);
        close(LINEFD);
    }
    restore_stdin();
    if (S.unsent > 0)
        send_unsent(channel, S.unsent);
    // The stdio buffers copied from the parent are not ours to flush.
    _exit(0);
}

// Ends without waiting for the line: what waits is dropped, and what a pipe
// still holds for it (unread) counted.  The last close of a serial port
// waits for the kernel's unsent output up to its closing delay, typically
// 30 s: it is dropped too.  A pseudo-terminal reports no such output, and
// its flush would drop what its other side has taken but not read yet.
[[noreturn]] void end_dropping(int channel, size_t unread)
{
    size_t queued = unsent_output();
    if (queued > 0)
        flush_output(LINEFD);
    drop_keys(queued + unread);
    end_sending(channel);
}

// The receiving process has ended, however: nobody shows the device's
// answers, and the keys typed from now on are the shell's.  The screen it
// may have left raw (another terminal when the keyboard is redirected) is
// put back here, and only here: while it runs, the screen is its own.
[[noreturn]] void end_with_receiver(int channel)
{
    if (LINEFD >= 0)
        flush_output(LINEFD);
    restore_stdout();
    end_sending(channel);
}

// The device has gone, as this process found or was told: it is let go at
// once with the keys that waited for it.  The receiving process takes it
// back only once told so: a key read here for the device that went would
// be lost.  It may be blocked reading a device that fails only its writes:
// a SIGCHLD cuts the read short.
void let_go(pid_t receiver, int channel, int error)
{
    drop_device(LINEFD);
    drop_keys();
    forget_output();
    send_gone(channel, S.device_number, error);
    if (getppid() == receiver)
        kill(receiver, SIGCHLD);
}

// How the keys read end: not at all, at the quit key (or the end of input
// or a dead terminal, after which nobody is left to type it), or, on a
// terminal, at a second quit key as well.
enum keys_end { GOING_ON, QUIT, QUIT_TWICE };

// Reads what the keyboard has, up to the quit key, behind the waiting keys
// when keep is true, or to be dropped.  Keys after the quit key are never
// sent.
keys_end read_keys(bool keep)
{
    static char dropped[KEY_READ];
    size_t size = sizeof dropped;
    char* keys = keep ? key_room(size) : dropped;
    ssize_t n = read(STDIN_FILENO, keys, size);
    if (n < 0 && (errno == EINTR || errno == EAGAIN))
        return GOING_ON;
    if (n <= 0)
        return QUIT;
    char* quit = static_cast<char*>(memchr(keys, QUIT_KEY, n));
    if (keep)
        keys_read(quit != nullptr ? quit - keys : n);
    if (quit == nullptr)
        return GOING_ON;
    // A double tap, or a paste, brings both in one read.
    bool again = S.terminal && memchr(quit + 1, QUIT_KEY, keys + n - quit - 1);
    return again ? QUIT_TWICE : QUIT;
}

// Takes what the receiving process says of the device: that the one held
// has gone, which is answered, or that it is back, handed over with its
// saved settings.  Keys that waited for the device before either never
// reach it.  True when a note came.
bool take_notes(pid_t receiver, int channel)
{
    device_note note;
    int fd;
    int taken;
    bool any = false;
    while ((taken = take_note(channel, note, fd)) == 1) {
        switch (note.kind) {
        case device_note::GONE:
            if (note.number != S.device_number || LINEFD < 0)
                break; // a device let go already
            any = true;
            let_go(receiver, channel, note.error);
            break;
        case device_note::HANDED_OVER: {
            any = true;
            // LINEFD and port_saved change together, unseen by the end
            // handler.
            sigset_t old = block_end_signals();
            if (LINEFD >= 0)
                drop_device(LINEFD);
            drop_keys();
            forget_output();
            LINEKIND = note.line;
            LINEFD = fd;
            S.device_number = note.number;
            port_saved = note.saved;
            sigprocmask(SIG_SETMASK, &old, nullptr);
            break;
        }
        case device_note::UNSENT:
            break; // the receiving process counts nothing
        case device_note::ANSWER:
            if (note.number == S.device_number && LINEFD >= 0)
                owe_answer(note.verb, note.option);
            break;
        }
    }
    if (taken < 0)
        end_with_receiver(channel);
    return any;
}

// Passes the waiting keys to the device, as many as the line takes now, in
// one write: what it leaves waits for the next.  A write that fails for good
// is the device's departure.
void send_waiting(pid_t receiver, int channel)
{
    bool connected = LINEKIND != line_kind::terminal;
    if (LINEFD < 0 || (keys_waiting() == 0 && !(connected && output_waiting())))
        return;
    ssize_t n = connected ? send_keys(LINEFD, waiting_keys(), keys_waiting())
                          : write(LINEFD, waiting_keys(), keys_waiting());
    if (n >= 0)
        keys_sent(n);
    else if (errno != EAGAIN && errno != EINTR)
        let_go(receiver, channel, errno);
}

} // namespace

// The rules, one a line:
// - the keyboard is read while the line holds keys back: Ctrl-B is seen;
// - keys wait, in order, until the line takes them: KEYS_MAX at most;
// - a pipe or a file is read only into room, for a device: none dropped;
// - a terminal is read to drop keys once a full store's line has stalled;
// - while the device is away only the receiving process reads a terminal;
// - after Ctrl-B, or the input's end, the keys before it go as taken;
// - once the input has ended, a line stalled for STALL_MS drops the rest;
// - a second Ctrl-B, or the terminal's end after the first, ends at once.
void relay_keyboard_to_device(pid_t receiver, int channel)
{
    keep_if_terminal(STDOUT_FILENO);
    S.terminal = isatty(STDIN_FILENO);
    for (;;) {
        const bool away = LINEFD < 0;
        const bool room = make_room();
        const bool ending = S.input != RUNNING;
        const size_t unread = S.input == HUNG_UP ? unread_input() : 0;
        size_t left = keys_waiting();
        if (ending && !away)
            left += unsent_output() + unread;
        if (S.input == ENDED && (away || left == 0))
            end_sending(channel);
        // A device gone for good: a script's keys have nowhere to go.
        if (away && !REOPENABLE && !S.terminal)
            end_dropping(channel, unread_input());
        int64_t stalled = 0;
        if (away || (room && !ending))
            S.stalled_from = 0;
        else
            stalled = stalled_ms(left);
        if (ending && stalled >= STALL_MS)
            end_dropping(channel, unread);

        bool keep = !away && room && S.input != ENDED;
        bool drop =
            S.terminal && (S.input == ENDED || (!room && stalled >= STALL_MS));
        // A pipe that waits, and a terminal while the device is away (the
        // receiving process reads it then), are watched for their end alone.
        bool watch = (!S.terminal || away) && S.input == RUNNING;
        short events = keep || drop ? POLLIN : 0;
        int timeout = -1;
        if (ending && !away && left > 0)
            timeout = 100; // the kernel tells nobody when its queue shrinks
        else if (S.terminal && events == 0 && !away)
            timeout = static_cast<int>(STALL_MS - stalled);
        // A connection's hang-up is seen by the receiving process, and by
        // a write here: it is watched only for room to write.
        bool output = keys_waiting() > 0 ||
                      (LINEKIND != line_kind::terminal && output_waiting());
        bool line = LINEKIND == line_kind::terminal || output;
        struct pollfd wait[3] = {
            {events != 0 || watch ? STDIN_FILENO : -1, events, 0},
            {line ? LINEFD : -1, static_cast<short>(output ? POLLOUT : 0), 0},
            {channel, POLLIN, 0}};
        if (poll(wait, 3, timeout) < 0)
            continue;
        if (wait[2].revents & (POLLHUP | POLLERR))
            end_with_receiver(channel);
        // The device gone or back: what is read next is read for it.
        if (LINEKIND == line_kind::terminal &&
            (wait[1].revents & (POLLHUP | POLLERR))) {
            let_go(receiver, channel, EIO);
            continue;
        }
        if ((wait[2].revents & POLLIN) && take_notes(receiver, channel))
            continue;
        if (wait[0].revents != 0 && events == 0) {
            S.input = S.terminal || unread_input() == 0 ? ENDED : HUNG_UP;
            S.stalled_from = 0;
        } else if (wait[0].revents != 0) {
            keys_end end = read_keys(keep);
            if (end == QUIT_TWICE || (end == QUIT && S.input == ENDED))
                end_dropping(channel, 0); // the quit key again
            if (end == QUIT) {
                S.input = ENDED;
                S.stalled_from = 0;
            }
        }
        send_waiting(receiver, channel);
    }
}
