// SPDX-License-Identifier: MIT
#include "device.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <initializer_list>
#include <iterator>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/uio.h>
#include <unistd.h>

#include "lines.h"
#include "settings.h"

const char* MODEMDEVICE;
int MODEMFD = -1;
int LINEFD = -1;
int DEVICE_NUMBER = 0;
bool REOPENABLE = true;

namespace {

// The major numbers of pseudo-terminals' terminal side.
const unsigned PTY_FIRST_MAJOR = 136, PTY_LAST_MAJOR = 143;

// Why the device could not be opened when it was last tried, 0 before the
// first try after it went: the line that says it has gone stands for the
// first reason, and each new one after it is said once.
int LAST_REASON = 0;

// The length of the valid UTF-8 sequence at s, of at most left bytes, or 0.
size_t utf8_length(const unsigned char* s, size_t left)
{
    if (s[0] < 0x80)
        return 1;
    size_t n = s[0] >= 0xf0 ? 4 : s[0] >= 0xe0 ? 3 : s[0] >= 0xc2 ? 2 : 0;
    if (n == 0 || n > left || s[0] > 0xf4)
        return 0;
    // The second byte's range rules out overlong forms, surrogates and
    // values beyond U+10FFFF.
    unsigned low = s[0] == 0xe0 ? 0xa0 : s[0] == 0xf0 ? 0x90 : 0x80;
    unsigned high = s[0] == 0xed ? 0x9f : s[0] == 0xf4 ? 0x8f : 0xbf;
    if (s[1] < low || s[1] > high)
        return 0;
    for (size_t k = 2; k < n; ++k)
        if (s[k] < 0x80 || s[k] > 0xbf)
            return 0;
    return n;
}

// MODEMDEVICE as messages show it: its control characters as a backslash
// and three octal digits, so that a portrc cannot drive the user's terminal
// through a message.  They are C0 and DEL, and C1, which 8-bit terminals
// take as ESC [ and the like: bytes 0x80 to 0x9F outside a UTF-8 sequence,
// and the sequences of U+0080 to U+009F.  Other UTF-8 stays as it is.  A
// path longer than PATH_MAX, which names no file, is cut there, with "...".
const char* shown_device()
{
    static char shown[4 * size_t{PATH_MAX} + sizeof "..."];
    if (shown[0] != '\0')
        return shown;
    const auto* path = reinterpret_cast<const unsigned char*>(MODEMDEVICE);
    size_t length = strnlen(MODEMDEVICE, PATH_MAX + 1);
    size_t end = std::min<size_t>(length, PATH_MAX);
    char* to = shown;
    for (size_t i = 0; i < end;) {
        size_t n = utf8_length(path + i, end - i);
        bool control = n == 0   ? path[i] <= 0x9f
                       : n == 1 ? path[i] < 0x20 || path[i] == 0x7f
                                : path[i] == 0xc2 && path[i + 1] <= 0x9f;
        for (size_t stop = i + std::max<size_t>(n, 1); i < stop; ++i) {
            if (control) {
                *to++ = '\\';
                *to++ = static_cast<char>('0' + (path[i] >> 6));
                *to++ = static_cast<char>('0' + (path[i] >> 3 & 7));
                *to++ = static_cast<char>('0' + (path[i] & 7));
            } else {
                *to++ = static_cast<char>(path[i]);
            }
        }
    }
    memcpy(to, length > end ? "..." : "", length > end ? sizeof "..." : 1);
    return shown;
}

// Writes the device's path and the texts on a line of their own to
// standard error: the screen is raw and may be in the middle of a line.  One
// write, so that the device's output does not break the line.
void say_device(std::initializer_list<const char*> texts)
{
    struct iovec parts[12];
    size_t n = 0;
    for (const char* text : {"\r\n", shown_device(), ": "})
        parts[n++] = {const_cast<char*>(text), strlen(text)};
    for (const char* text : texts)
        if (n < std::size(parts) - 1)
            parts[n++] = {const_cast<char*>(text), strlen(text)};
    parts[n++] = {const_cast<char*>("\r\n"), 2};
    // A line the screen does not take is lost; the relay goes on.
    (void)!writev(STDERR_FILENO, parts, static_cast<int>(n));
}

// A rate in bit/s as decimal digits, in a buffer of the caller's.
const char* decimal(unsigned rate, char (&text)[16])
{
    *std::to_chars(text, text + sizeof text - 1, rate).ptr = '\0';
    return text;
}

// True when MODEMDEVICE itself, not a link to it, is a pseudo-terminal.
bool names_pseudo_terminal()
{
    struct stat node;
    return lstat(MODEMDEVICE, &node) == 0 && S_ISCHR(node.st_mode) &&
           major(node.st_rdev) >= PTY_FIRST_MAJOR &&
           major(node.st_rdev) <= PTY_LAST_MAJOR;
}

} // namespace

int open_own(int fd, int flags)
{
    // Not printf: its formatter would be the largest thing this program
    // brings into memory.
    char path[32] = "/proc/self/fd/";
    *std::to_chars(path + strlen(path), path + sizeof path - 1, fd).ptr = '\0';
    return open(path, flags | O_NOCTTY);
}

// Only a terminal will do: anything else would be read and written as if it
// were one.  The lock keeps a second terminal program off the port; it
// belongs to MODEMFD's description and goes with its last close.
int open_device(int flags)
{
    int fd = open(MODEMDEVICE, O_RDWR | O_NOCTTY | flags);
    if (fd < 0)
        return errno;
    int line = -1;
    if (!isatty(fd) || flock(fd, LOCK_EX | LOCK_NB) != 0 ||
        fcntl(fd, F_SETFL, 0) != 0 ||
        (line = open_own(fd, O_WRONLY | O_NONBLOCK)) < 0) {
        int error = errno;
        close(fd);
        return error;
    }
    MODEMFD = fd;
    LINEFD = line;
    REOPENABLE = REOPENABLE && !names_pseudo_terminal();
    return 0;
}

void check_line()
{
    line_rates now;
    if (get_line_rates(MODEMFD, now) != 0)
        return;
    char asked[16], out[16], in[16];
    if (now.in != cnf_rate() || now.out != cnf_rate())
        say_device({decimal(cnf_rate(), asked),
                    " bit/s refused, the line runs at ", decimal(now.out, out),
                    now.in != now.out ? " out, " : "",
                    now.in != now.out ? decimal(now.in, in) : "",
                    now.in != now.out ? " in" : ""});
    if ((port_new.c_cflag & CRTSCTS) != 0 && !now.rtscts)
        say_device({"RTS/CTS refused, the line runs without flow control"});
}

void report_device(int error)
{
    errno = error;
    perror(shown_device());
}

namespace {

const int END_SIGNALS[] = {SIGTERM, SIGHUP, SIGINT, SIGQUIT};

// Output still queued for the device is dropped first: a real port's last
// close otherwise waits for it up to its closing delay, holding the lock.
// What fails (a terminal the kernel has hung up) is passed over.  Run
// twice, it applies the same settings again.
extern "C" void end_handler(int sig)
{
    int device = MODEMFD >= 0 ? MODEMFD : LINEFD;
    if (device >= 0) {
        tcflush(device, TCOFLUSH);
        restore_port(device);
    }
    restore_stdin();
    restore_stdout();
    (void)signal(sig, SIG_DFL); // cannot fail: a valid signal
    (void)raise(sig); // taken, by its default action, once this returns
}

} // namespace

void catch_end_signals()
{
    struct sigaction action = {};
    action.sa_handler = end_handler;
    sigemptyset(&action.sa_mask);
    for (int sig : END_SIGNALS)
        sigaddset(&action.sa_mask, sig);
    for (int sig : END_SIGNALS)
        sigaction(sig, &action, nullptr);
}

sigset_t hold_end_signals()
{
    sigset_t ends, old;
    sigemptyset(&ends);
    for (int sig : END_SIGNALS)
        sigaddset(&ends, sig);
    sigprocmask(SIG_BLOCK, &ends, &old);
    return old;
}

void drop_device(int& fd)
{
    tcflush(fd, TCOFLUSH); // fails on a device that has gone: nothing held
    close(fd);
    fd = -1;
}

void say_gone(int error)
{
    LAST_REASON = 0;
    say_device(
        {"gone (", strerror(error), ")",
         REOPENABLE ? ", waiting for it; Ctrl-B quits" : "; Ctrl-B quits"});
}

void say_unsent(size_t count)
{
    char text[24];
    *std::to_chars(text, text + sizeof text - 1, count).ptr = '\0';
    say_device({text, " bytes of standard input not sent"});
}

bool take_device_back(int channel)
{
    // MODEMFD and port_saved change together, unseen by end_handler.
    sigset_t old = hold_end_signals();
    int error = open_device(O_NONBLOCK);
    if (error == 0)
        setup_port(MODEMFD);
    sigprocmask(SIG_SETMASK, &old, nullptr);
    if (error != 0) {
        if (LAST_REASON != 0 && error != LAST_REASON)
            say_device({strerror(error), ", waiting for it; Ctrl-B quits"});
        LAST_REASON = error;
        return false;
    }
    // Handed over before it is said: a key typed once the user has read
    // the line goes to the device.
    ++DEVICE_NUMBER;
    send_device(channel, LINEFD);
    close(LINEFD);
    LINEFD = -1;
    say_device({"back"});
    check_line();
    return true;
}

namespace {

void send_note(int channel, const device_note& note, int fd)
{
    struct iovec data = {const_cast<device_note*>(&note), sizeof note};
    struct msghdr message = {};
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    alignas(struct cmsghdr) char space[CMSG_SPACE(sizeof fd)];
    if (fd >= 0) {
        message.msg_control = space;
        message.msg_controllen = sizeof space;
        struct cmsghdr* rights = CMSG_FIRSTHDR(&message);
        rights->cmsg_level = SOL_SOCKET;
        rights->cmsg_type = SCM_RIGHTS;
        rights->cmsg_len = CMSG_LEN(sizeof fd);
        memcpy(CMSG_DATA(rights), &fd, sizeof fd);
    }
    // Fails only when the other process has ended, which it learns itself.
    while (sendmsg(channel, &message, MSG_NOSIGNAL) < 0 && errno == EINTR) {
    }
}

} // namespace

void send_device(int channel, int fd)
{
    send_note(channel, {DEVICE_NUMBER, 0, 0, port_saved}, fd);
}

void send_gone(int channel, int error)
{
    send_note(channel, {DEVICE_NUMBER, error, 0, {}}, -1);
}

void send_unsent(int channel, size_t unsent)
{
    send_note(channel, {-1, 0, unsent, {}}, -1);
}

int take_note(int channel, device_note& note, int& fd)
{
    struct iovec data = {&note, sizeof note};
    struct msghdr message = {};
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    alignas(struct cmsghdr) char space[CMSG_SPACE(sizeof fd)];
    message.msg_control = space;
    message.msg_controllen = sizeof space;
    ssize_t n;
    while ((n = recvmsg(channel, &message, MSG_DONTWAIT | MSG_CMSG_CLOEXEC)) <
               0 &&
           errno == EINTR) {
    }
    if (n < 0 && errno == EAGAIN)
        return 0;
    if (n != static_cast<ssize_t>(sizeof note))
        return -1;
    fd = -1;
    struct cmsghdr* rights = CMSG_FIRSTHDR(&message);
    if (rights != nullptr && rights->cmsg_type == SCM_RIGHTS)
        memcpy(&fd, CMSG_DATA(rights), sizeof fd);
    return 1;
}
