// SPDX-License-Identifier: MIT
#include "keyboard.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "channel.h"
#include "device.h"
#include "lines.h"

const int QUIT_KEY = 0x02;
const int64_t HELD_LINE_MS = 1000;

namespace {

// The most keys that wait for the line.  What the keyboard brings beyond
// them waits where it is, in the terminal or the pipe, until the line takes
// some; only a terminal whose line has taken nothing for HELD_LINE_MS is
// read meanwhile, its keys dropped, so that the quit key is still seen.
const size_t KEYS_MAX = size_t{1} << 20;

// What standard input has come to.  A pipe whose writer has gone is not
// ended while keys are left in it: they go, as the line takes them.
enum input_state { RUNNING, HUNG_UP, ENDED };

// Keys read from the keyboard that the device has not taken yet, in order:
// bytes[sent] to bytes[held - 1].  left and held_from: what was left for the
// line when it last took some, and since when (0: no count runs).  It lives
// in static storage, which starts at zero: only the memory that keys have
// used is ever touched.
struct waiting_keys {
    char bytes[KEYS_MAX];
    size_t sent;
    size_t held;
    input_state input;
    size_t left;
    int64_t held_from;
};

// Below this much room behind the waiting keys, those already sent make
// way: a read of the keyboard takes up to this much.
const size_t KEY_READ = 4096;

// True when standard input is a terminal: a user, who can type the quit key
// again.  A pipe or a file is a script's, whose keys that never reach the
// device are counted in UNSENT, said at the end and make it a failure.
bool TERMINAL;
size_t UNSENT;

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

// Drops the waiting keys, and more (what the kernel or a pipe still held);
// a script's count as unsent.
void drop_keys(waiting_keys& w, size_t more = 0)
{
    if (!TERMINAL)
        UNSENT += w.held - w.sent + more;
    w.sent = w.held = 0;
    w.held_from = 0;
}

// How long the line has taken nothing of what is left for it, in ms.
int64_t held_ms(waiting_keys& w, size_t left)
{
    int64_t now = now_ms();
    if (w.held_from == 0 || left < w.left) {
        w.left = left;
        w.held_from = now;
    }
    return now - w.held_from;
}

// Output the kernel holds for the device, not yet sent down the line.
size_t unsent_output()
{
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
    if (UNSENT > 0)
        send_unsent(channel, UNSENT);
    // _exit: the stdio buffers copied from the parent are not ours to flush.
    _exit(0);
}

// Ends without waiting for the line: what waits for it is dropped, the
// kernel's unsent output with it, since the last close of a serial port
// waits for that output up to its closing delay, typically 30 s.  A
// pseudo-terminal reports no such output, and a flush would drop what its
// other side has taken but not yet read.  unread: what a pipe still holds
// for the line.
[[noreturn]] void end_dropping(waiting_keys& w, int channel, size_t unread)
{
    size_t queued = unsent_output();
    if (queued > 0)
        tcflush(LINEFD, TCOFLUSH);
    drop_keys(w, queued + unread);
    end_sending(channel);
}

// The receiving process has ended, for whatever reason: nobody shows the
// device's answers, and the keys typed from then on are the shell's.  It
// may have ended without putting the screen back, which is another terminal
// than the keyboard when the keyboard is redirected.  (While it runs, the
// screen is its own: restarted here, it would let the receiving process
// read on from a device that echoes again.)
[[noreturn]] void end_with_receiver(int channel)
{
    if (LINEFD >= 0)
        tcflush(LINEFD, TCOFLUSH);
    restore_stdout();
    end_sending(channel);
}

// The device has gone, as this process found or was told: it lets it go
// at once with the keys that waited for it, and tells the receiving
// process, which takes the device back only once it knows that no read of
// the keyboard is under way here for the device that went: a key read then
// would be lost, typed after the device was back.  That process may be
// blocked in a read of a device that fails only its writes: a SIGCHLD cuts
// the read short.
void let_go(waiting_keys& w, pid_t receiver, int channel, int error)
{
    drop_device(LINEFD);
    drop_keys(w);
    send_gone(channel, DEVICE_NUMBER, error);
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
keys_end read_keys(waiting_keys& w, bool keep)
{
    static char dropped[KEY_READ];
    char* keys = keep ? w.bytes + w.held : dropped;
    ssize_t n =
        read(STDIN_FILENO, keys, keep ? KEYS_MAX - w.held : sizeof dropped);
    if (n < 0 && (errno == EINTR || errno == EAGAIN))
        return GOING_ON;
    if (n <= 0)
        return QUIT;
    char* quit = static_cast<char*>(memchr(keys, QUIT_KEY, n));
    if (keep)
        w.held += quit != nullptr ? quit - keys : n;
    if (quit == nullptr)
        return GOING_ON;
    // A double tap, or a paste, brings both in one read.
    bool again = TERMINAL && memchr(quit + 1, QUIT_KEY, keys + n - quit - 1);
    return again ? QUIT_TWICE : QUIT;
}

// Takes what the receiving process says of the device: that the one held
// has gone, which is answered, or that it is back, handed over with its
// saved settings.  Keys that waited for the device before either never
// reach it.  True when a note came.
bool take_notes(waiting_keys& w, pid_t receiver, int channel)
{
    device_note note;
    int fd;
    int taken;
    bool any = false;
    while ((taken = take_note(channel, note, fd)) == 1) {
        if (fd < 0 && (note.number != DEVICE_NUMBER || LINEFD < 0))
            continue; // about a device let go already
        any = true;
        if (fd < 0) {
            let_go(w, receiver, channel, note.error);
            continue;
        }
        // LINEFD and port_saved change together, unseen by end_handler.
        sigset_t old = hold_end_signals();
        if (LINEFD >= 0)
            drop_device(LINEFD);
        drop_keys(w);
        LINEFD = fd;
        DEVICE_NUMBER = note.number;
        port_saved = note.saved;
        sigprocmask(SIG_SETMASK, &old, nullptr);
    }
    if (taken < 0)
        end_with_receiver(channel);
    return any;
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

} // namespace

// The keyboard is read while the line holds the keys back, so that the
// quit key is seen whatever the line does; the keys wait, in order, until
// the device takes them.  A pipe or a file is read only while there is room
// for its keys and a device to take them: what it holds waits for the line,
// and none of it is ever read to be dropped.  A terminal is read too, its
// keys dropped, while the line has held a full store for HELD_LINE_MS, and
// after the quit key, when a second one, or the terminal's end, ends at
// once.  While the device is away the receiving process alone reads the
// terminal, and drops what is typed: a read here could not tell the keys
// typed before its return from those typed after.
//
// After the quit key or the end of the input the keys before it still go,
// while the line takes them.  A line that has taken nothing for
// HELD_LINE_MS then is held (XOFF, CTS low, a device that is off): what is
// left is dropped, and the program ends.  The same holds from the hang-up
// of a pipe with keys left in it, which are read on as the line takes them.
void relay_keyboard_to_device(pid_t receiver, int channel)
{
    keep_if_terminal(STDOUT_FILENO);
    TERMINAL = isatty(STDIN_FILENO);
    static waiting_keys w;
    for (;;) {
        const bool away = LINEFD < 0;
        const bool room = make_room(w);
        const bool ending = w.input != RUNNING;
        const size_t unread = w.input == HUNG_UP ? unread_input() : 0;
        size_t left = w.held - w.sent;
        if (ending && !away)
            left += unsent_output() + unread;
        if (w.input == ENDED && (away || left == 0))
            end_sending(channel);
        // A device gone for good: a script's keys have nowhere to go.
        if (away && !REOPENABLE && !TERMINAL)
            end_dropping(w, channel, unread_input());
        int64_t held = 0;
        if (away || (room && !ending))
            w.held_from = 0;
        else
            held = held_ms(w, left);
        if (ending && held >= HELD_LINE_MS)
            end_dropping(w, channel, unread);

        bool keep = !away && room && w.input != ENDED;
        bool drop =
            TERMINAL && (w.input == ENDED || (!room && held >= HELD_LINE_MS));
        // A pipe that waits, and a terminal while the device is away (the
        // receiving process reads it then), are watched for their end alone.
        bool watch = (!TERMINAL || away) && w.input == RUNNING;
        short events = keep || drop ? POLLIN : 0;
        int timeout = -1;
        if (ending && !away && left > 0)
            timeout = 100; // the kernel tells nobody when its queue shrinks
        else if (TERMINAL && events == 0 && !away)
            timeout = static_cast<int>(HELD_LINE_MS - held);
        struct pollfd wait[3] = {
            {events != 0 || watch ? STDIN_FILENO : -1, events, 0},
            {LINEFD, static_cast<short>(w.sent < w.held ? POLLOUT : 0), 0},
            {channel, POLLIN, 0}};
        if (poll(wait, 3, timeout) < 0)
            continue;
        if (wait[2].revents & (POLLHUP | POLLERR))
            end_with_receiver(channel);
        // The device gone or back: what is read next is read for it.
        if (wait[1].revents & (POLLHUP | POLLERR)) {
            let_go(w, receiver, channel, EIO);
            continue;
        }
        if ((wait[2].revents & POLLIN) && take_notes(w, receiver, channel))
            continue;
        if (wait[0].revents != 0 && events == 0) {
            w.input = TERMINAL || unread_input() == 0 ? ENDED : HUNG_UP;
            w.held_from = 0;
        } else if (wait[0].revents != 0) {
            keys_end end = read_keys(w, keep);
            if (end == QUIT_TWICE || (end == QUIT && w.input == ENDED))
                end_dropping(w, channel, 0); // the quit key again
            if (end == QUIT) {
                w.input = ENDED;
                w.held_from = 0;
            }
        }
        send_waiting(w, receiver, channel);
    }
}
