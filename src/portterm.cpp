// SPDX-License-Identifier: MIT
// portterm: a terminal on a serial line.  Reads portrc, opens the device it
// names, and relays bytes both ways until the user types Ctrl-B.
//
// After the split the child (the sending process) copies the keyboard to
// the device and the parent (the receiving process) copies the device to
// the screen.  The child's end reaches the parent as SIGCHLD; the parent's
// end reaches the child as the hang-up of a pipe that only the parent holds.

#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "lines.h"
#include "settings.h"

const char* MODEMDEVICE;
int MODEMFD = -1; // the device as opened: blocking, read by the parent
int LINEFD = -1;  // the device again, non-blocking, written by the child
volatile sig_atomic_t STOP = 0;

const int QUIT_KEY = 0x02; // Ctrl-B

// After the quit key, a line that has taken nothing for this long is held
// and what it has not taken is dropped.
const long HELD_LINE_MS = 1000;

// The receiving loop tests STOP and then blocks in read(): a SIGCHLD that
// lands between the two would leave that read waiting for the device.  So
// the handler also makes the device non-blocking, and a read that starts
// after it returns at once.  The loop restores blocking reads when the
// child turns out to be alive still.
extern "C" void child_handler(int)
{
    int saved_errno = errno;
    STOP = 1;
    fcntl(MODEMFD, F_SETFL, O_NONBLOCK);
    errno = saved_errno;
}

namespace {

// A description of fd's file of this process's own, opened with flags.
// O_NONBLOCK on a shared description would reach the other process (and,
// for the screen, the shell); on this one it reaches nobody else.
int open_own(int fd, int flags)
{
    // Not printf: its formatter would be the largest thing this program
    // brings into memory.
    char path[32] = "/proc/self/fd/";
    *std::to_chars(path + strlen(path), path + sizeof path - 1, fd).ptr = '\0';
    return open(path, flags | O_NOCTTY);
}

// A shell hands over the three standard descriptors open and SIGPIPE at its
// default; a script or a service manager may not.  A closed descriptor would
// be taken by the next file opened: the device, read as the keyboard or
// written as the screen, or a refused device, written with its message.
// /dev/null holds its place.  An ignored SIGPIPE would keep the receiving
// process writing to a reader that has gone.
void take_inheritance()
{
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) < 0 && open("/dev/null", O_RDWR) < 0) {
            perror("/dev/null");
            exit(-1);
        }
    }
    (void)signal(SIGPIPE, SIG_DFL); // cannot fail: a valid signal
}

// Reports, on standard error, why MODEMDEVICE cannot be used.  Its control
// characters are shown as a backslash and three octal digits: a portrc
// must not drive the user's terminal through the message.
void report_device()
{
    int error = errno;
    char* shown = static_cast<char*>(malloc(4 * strlen(MODEMDEVICE) + 1));
    if (shown != nullptr) {
        char* to = shown;
        for (const char* c = MODEMDEVICE; *c != '\0'; ++c) {
            auto byte = static_cast<unsigned char>(*c);
            if (byte < 0x20 || byte == 0x7f) {
                *to++ = '\\';
                *to++ = static_cast<char>('0' + (byte >> 6));
                *to++ = static_cast<char>('0' + (byte >> 3 & 7));
                *to++ = static_cast<char>('0' + (byte & 7));
            } else {
                *to++ = *c;
            }
        }
        *to = '\0';
    }
    errno = error;
    perror(shown != nullptr ? shown : "device");
    free(shown);
}

// Opens MODEMDEVICE twice, or reports why not and ends with status -1
// before any setting has changed.  Only a terminal will do: anything else
// would be read and written as if it were one.  The lock keeps a second
// terminal program off the port; it goes with the last close.
void open_device()
{
    // No O_NONBLOCK: on a port that waits for the carrier the open waits
    // too, until setup_lines switches CLOCAL on.
    MODEMFD = open(MODEMDEVICE, O_RDWR | O_NOCTTY);
    if (MODEMFD < 0 || !isatty(MODEMFD) ||
        flock(MODEMFD, LOCK_EX | LOCK_NB) != 0 ||
        (LINEFD = open_own(MODEMFD, O_WRONLY | O_NONBLOCK)) < 0) {
        report_device();
        exit(-1);
    }
}

long now_ms()
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000 + t.tv_nsec / 1000000;
}

// Keys read from the keyboard that the device has not taken yet, in order:
// bytes[sent] to bytes[held - 1].
struct waiting_keys {
    char* bytes = nullptr;
    size_t sent = 0;
    size_t held = 0;
    size_t room = 0;
};

// Room kept free behind the waiting keys for a read of the keyboard.
const size_t KEY_READ = 4096;

// Makes room for a read of the keyboard behind the waiting keys.  False
// when there is none and memory for it cannot be had: the keyboard then
// waits until the line takes some.
bool make_room(waiting_keys& w)
{
    if (w.sent == w.held)
        w.sent = w.held = 0;
    if (w.room - w.held >= KEY_READ)
        return true;
    // Short of room: the keys already sent make way before memory grows.
    if (w.sent > 0) {
        memmove(w.bytes, w.bytes + w.sent, w.held - w.sent);
        w.held -= w.sent;
        w.sent = 0;
        if (w.room - w.held >= KEY_READ)
            return true;
    }
    size_t room = 2 * (w.held + KEY_READ);
    char* bytes = static_cast<char*>(realloc(w.bytes, room));
    if (bytes == nullptr)
        return w.room > w.held;
    w.bytes = bytes;
    w.room = room;
    return true;
}

// Passes the waiting keys to the device, one byte per write, as far as the
// line takes them now.  A byte the device refuses for good (it hung up) is
// dropped, so that a dead line does not hold the rest.
void send_waiting(waiting_keys& w)
{
    while (w.sent < w.held) {
        ssize_t n = write(LINEFD, w.bytes + w.sent, 1);
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            return;
        ++w.sent;
    }
}

// Reads what the keyboard has, up to the quit key, behind the waiting
// keys.  True when the keys end: the quit key, or end of input or a dead
// terminal, after which nobody is left to type it.  Keys after the quit
// key are never sent.
bool read_keys(waiting_keys& w)
{
    char* keys = w.bytes + w.held;
    ssize_t n = read(STDIN_FILENO, keys, w.room - w.held);
    if (n < 0 && (errno == EINTR || errno == EAGAIN))
        return false;
    if (n <= 0)
        return true;
    char* quit = static_cast<char*>(memchr(keys, QUIT_KEY, n));
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
void send_rest(int parent, waiting_keys& w)
{
    size_t left_before = 0;
    long give_up = 0;
    for (;;) {
        send_waiting(w);
        size_t left = w.held - w.sent + unsent_output();
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
                                 {parent, POLLIN, 0}};
        if (poll(wait, 2, 100) > 0 && wait[1].revents != 0)
            break;
    }
    tcflush(LINEFD, TCOFLUSH);
}

// Puts both terminals back and ends the sending process.
[[noreturn]] void end_sending()
{
    restore_port(MODEMFD);
    restore_stdin();
    close(LINEFD);
    close(MODEMFD);
    // _exit: the stdio buffers copied from the parent are not ours to flush.
    _exit(0);
}

// The keyboard is read while the line holds the keys back, so that the
// quit key is seen whatever the line does; the keys wait, in order, until
// the device takes them.  parent hangs up when the receiving process ends,
// for whatever reason: then nobody shows the device's answers, and the
// keys typed from then on are the shell's.
[[noreturn]] void relay_keyboard_to_device(int parent)
{
    close(STDOUT_FILENO);
    waiting_keys w;
    bool quit = false;
    while (!quit) {
        bool room = make_room(w);
        struct pollfd wait[3] = {{room ? STDIN_FILENO : -1, POLLIN, 0},
                                 {w.sent < w.held ? LINEFD : -1, POLLOUT, 0},
                                 {parent, POLLIN, 0}};
        if (poll(wait, 3, -1) < 0)
            continue;
        if (wait[2].revents != 0) {
            tcflush(LINEFD, TCOFLUSH);
            end_sending();
        }
        if (wait[0].revents != 0)
            quit = read_keys(w);
        send_waiting(w);
    }
    send_rest(parent, w);
    end_sending();
}

// Waits until fd (none when -1) is ready for events, the limit (none when
// null) has passed, or a SIGCHLD has set STOP.  SIGCHLD is blocked outside
// the wait itself, so one that comes just before it still cuts it short.
void wait_unless_stopped(int fd, short events, const struct timespec* limit)
{
    sigset_t chld, old;
    sigemptyset(&chld);
    sigaddset(&chld, SIGCHLD);
    sigprocmask(SIG_BLOCK, &chld, &old);
    if (!STOP) {
        struct pollfd ready = {fd, events, 0};
        ppoll(&ready, 1, limit, &old);
    }
    sigprocmask(SIG_SETMASK, &old, nullptr);
}

// Puts the device and the screen back and ends the receiving process.  A
// child killed by a signal put nothing back, and the screen may be another
// terminal than the keyboard: both are settled here.  After a normal end
// this applies the same settings again.  error is the errno of a write to
// standard output that failed for good, reported once the terminals are
// back, or 0.
[[noreturn]] void end_receiving(int error)
{
    restore_port(MODEMFD);
    restore_stdout();
    if (error == 0)
        exit(0);
    errno = error;
    perror("standard output");
    exit(-1);
}

// Called when STOP is set: a SIGCHLD, from the child's end or from
// someone else.  Ends the receiving process when the child has ended.
void check_child(pid_t child)
{
    STOP = 0;
    fcntl(MODEMFD, F_SETFL, 0);
    if (waitpid(child, nullptr, WNOHANG) == child)
        end_receiving(0);
}

// Writes one byte to the screen.  A screen that holds output back (stopped
// with Ctrl-S, or read slowly) is waited for, but the child's end still
// ends the wait and the program.  Output that fails for good (a full disk,
// a reader gone while SIGPIPE is blocked) ends the program: going on would
// drop every byte from then on while the end reported success.
void write_screen(int screen, pid_t child, unsigned char byte)
{
    for (;;) {
        ssize_t n = write(screen, &byte, 1);
        if (n == 1)
            return;
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            end_receiving(errno);
        if (n < 0 && errno == EAGAIN)
            wait_unless_stopped(screen, POLLOUT, nullptr);
        if (STOP)
            check_child(child);
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

[[noreturn]] void relay_device_to_screen(pid_t child)
{
    close(STDIN_FILENO);
    int screen = open_screen();
    for (;;) {
        if (STOP) {
            check_child(child);
            continue;
        }
        unsigned char byte;
        if (read(MODEMFD, &byte, 1) == 1) {
            write_screen(screen, child, byte);
        } else {
            // Nothing read: a hung-up or failing device.  A short pause
            // keeps a dead line from spinning the processor.
            const struct timespec pause = {0, 100'000'000};
            wait_unless_stopped(-1, 0, &pause);
        }
    }
}

} // namespace

int main()
{
    take_inheritance();
    char* cnf_lines[3];
    cnf_port(cnf_lines);
    MODEMDEVICE = cnf_lines[0];
    open_device();

    // Held open by the parent alone: the child sees it hang up when the
    // parent ends, however it ends.
    int parent_alive[2];
    if (pipe(parent_alive) != 0) {
        perror("pipe");
        exit(-1);
    }

    setup_lines(MODEMFD, cnf_lines);

    // SIGCHLD is blocked across the split and the handler is in place
    // before it, so a child that ends at once is still noticed.
    struct sigaction action = {};
    action.sa_handler = child_handler;
    sigemptyset(&action.sa_mask);
    // Without SA_RESTART a blocked device read returns at the signal.
    // SA_NOCLDSTOP: a stop or continue of the child is no end.
    action.sa_flags = SA_NOCLDSTOP;
    sigset_t chld, old;
    sigemptyset(&chld);
    sigaddset(&chld, SIGCHLD);
    sigprocmask(SIG_BLOCK, &chld, &old);
    // SIGCHLD is unblocked after the split even when the parent left it
    // blocked: the child's end must reach the receiving process.
    sigdelset(&old, SIGCHLD);
    sigaction(SIGCHLD, &action, nullptr);

    pid_t child = fork();
    if (child < 0) {
        perror("fork");
        restore_port(MODEMFD);
        restore_stdin();
        restore_stdout();
        close(MODEMFD);
        exit(-1);
    }
    if (child == 0) {
        (void)signal(SIGCHLD, SIG_DFL); // cannot fail: a valid signal
        sigprocmask(SIG_SETMASK, &old, nullptr);
        close(parent_alive[1]);
        relay_keyboard_to_device(parent_alive[0]);
    }
    close(parent_alive[0]);
    close(LINEFD);
    sigprocmask(SIG_SETMASK, &old, nullptr);
    relay_device_to_screen(child);
}
