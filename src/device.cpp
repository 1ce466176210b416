// SPDX-License-Identifier: MIT
#include "device.h"

#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <initializer_list>
#include <linux/magic.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/vfs.h>
#include <time.h>
#include <unistd.h>

#include "channel.h"
#include "lines.h"
#include "messages.h"
#include "path.h"
#include "settings.h"

const char* MODEMDEVICE;
int MODEMFD = -1;
int LINEFD = -1;
int DEVICE_NUMBER = 0;
bool REOPENABLE = true;

namespace {

// The major numbers of pseudo-terminals' terminal side.
const unsigned PTY_FIRST_MAJOR = 136, PTY_LAST_MAJOR = 143;

bool is_pseudo_terminal(const struct stat& node)
{
    return S_ISCHR(node.st_mode) && major(node.st_rdev) >= PTY_FIRST_MAJOR &&
           major(node.st_rdev) <= PTY_LAST_MAJOR;
}

// The kinds of reason that lines tell apart: a real USB adapter reports
// EIO, then ENODEV, then its node goes, and that is one departure.
int reason_of(int error)
{
    switch (error) {
    case ENODEV:
    case ENXIO:
    case EIO:
        return ENOENT; // not there
    case EPERM:
        return EACCES; // refused
    case EBUSY:
        return EAGAIN; // busy, or locked by another program
    default:
        return error; // ENOTTY, not a terminal, and any other
    }
}

// The kind of reason the device could not be opened for when it was last
// tried; the line that says it has gone stands for the first, and each new
// kind after it is said once.
int LAST_REASON = 0;

// The last link on MODEMDEVICE's path, the one that names the terminal,
// as it was when a pseudo-terminal was last opened through it; stx_ino 0
// when none was.  The pseudo-terminal that gets the same number later is
// another program's, perhaps another user's login: the path is taken back
// only once that link is made anew, as a device simulator that starts
// again makes it.
struct statx PTY_LINK;

bool same_link(const struct statx& a, const struct statx& b)
{
    return a.stx_ino == b.stx_ino && a.stx_dev_major == b.stx_dev_major &&
           a.stx_dev_minor == b.stx_dev_minor && made_ns(a) == made_ns(b);
}

// The reason of its own for a pseudo-terminal newer than the link that
// names it: that link was made for another, which has gone.
const int NEWER_THAN_LINK = ESTALE;

void say_device(std::initializer_list<const char*> texts)
{
    say_line(MODEMDEVICE, texts);
}

// "MAJOR:MINOR" of node, at to; returns the end.
char* device_numbers(char* to, char* end, const struct stat& node)
{
    to = std::to_chars(to, end, major(node.st_rdev)).ptr;
    *to++ = ':';
    return std::to_chars(to, end, minor(node.st_rdev)).ptr;
}

// The field after the one at at, on the same line.
const char* next_field(const char* at)
{
    at += strcspn(at, " \n");
    return at + strspn(at, " ");
}

// Reads a file of /proc whole into text, NUL-terminated; false when it
// cannot be read.
bool read_whole(const char* path, char (&text)[16384])
{
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    ssize_t n;
    size_t size = 0;
    while ((n = read(fd, text + size, sizeof text - 1 - size)) > 0)
        size += n;
    close(fd);
    text[size] = '\0';
    return true;
}

// Whether /proc/tty/drivers lists node's numbers: 1 or 0, or -1 when it
// cannot be read.  A line: name, node, major, minor or first-last, type.
int listed_as_terminal(const struct stat& node)
{
    static char list[16384];
    if (!read_whole("/proc/tty/drivers", list))
        return -1;
    for (const char* line = list; *line != '\0';) {
        char* end;
        unsigned long major_number =
            strtoul(next_field(next_field(line)), &end, 10);
        unsigned long first = strtoul(end, &end, 10);
        unsigned long last = *end == '-' ? strtoul(end + 1, &end, 10) : first;
        if (major_number == major(node.st_rdev) &&
            minor(node.st_rdev) >= first && minor(node.st_rdev) <= last)
            return 1;
        line += strcspn(line, "\n");
        line += *line == '\n';
    }
    return 0;
}

// Whether a driver serves node's major number, as /proc/devices lists the
// character devices' (true when it cannot be read).
bool driver_there(const struct stat& node)
{
    static char list[16384];
    if (!read_whole("/proc/devices", list))
        return true;
    const char* block = strstr(list, "Block devices:");
    for (const char* line = strchr(list, '\n');
         line != nullptr && (block == nullptr || line < block);
         line = strchr(line + 1, '\n'))
        if (strtoul(line + 1, nullptr, 10) == major(node.st_rdev))
            return true;
    return false;
}

// Why the character device behind path (an O_PATH description) may not be
// opened, as the kernel says before anything is: 0 for a terminal (a node
// on a devpts, one of the tty class in /sys, or one within a range of
// /proc/tty/drivers; a pseudo-terminal has no entry in /sys), or where
// none of them can be read; ENXIO for a number no driver serves, as a port
// whose driver is not there yet; else ENOTTY.
int refusal_of(int path, const struct stat& node)
{
    struct statfs fs;
    if (fstatfs(path, &fs) == 0 && fs.f_type == DEVPTS_SUPER_MAGIC)
        return 0;
    char link[64] = "/sys/dev/char/", target[PATH_MAX];
    char* end =
        device_numbers(link + strlen(link), link + sizeof link - 12, node);
    memcpy(end, "/subsystem", sizeof "/subsystem");
    ssize_t n = readlink(link, target, sizeof target - 1);
    bool sysfs =
        n > 0 || (errno == ENOENT && access("/sys/dev/char", F_OK) == 0);
    if (n > 0) {
        target[n] = '\0';
        const char* slash = strrchr(target, '/');
        if (strcmp(slash != nullptr ? slash + 1 : target, "tty") == 0)
            return 0;
    }
    int listed = listed_as_terminal(node);
    if (listed == 1 || (listed < 0 && !sysfs))
        return 0;
    return driver_there(node) ? ENOTTY : ENXIO;
}

// Opens the device behind path, an O_PATH description of MODEMDEVICE, with
// flags: through /proc/self/fd, or, where there is no /proc, by its name,
// checked afterwards to be the same character device.
int open_node(int path, const struct stat& node, int flags)
{
    int fd = open_own(path, flags);
    if (fd >= 0 || errno != ENOENT || access("/proc/self/fd", F_OK) == 0)
        return fd;
    fd = open(MODEMDEVICE, flags | O_NOCTTY | O_CLOEXEC);
    struct stat now;
    if (fd >= 0 && (fstat(fd, &now) != 0 || !S_ISCHR(now.st_mode) ||
                    now.st_dev != node.st_dev || now.st_ino != node.st_ino ||
                    now.st_rdev != node.st_rdev)) {
        close(fd);
        errno = ENOENT; // another node since: not back yet
        return -1;
    }
    return fd;
}

} // namespace

int64_t now_ms()
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return int64_t{t.tv_sec} * 1000 + t.tv_nsec / 1000000;
}

int open_own(int fd, int flags)
{
    // Not printf: its formatter would be the largest thing this program
    // brings into memory.
    char path[32] = "/proc/self/fd/";
    *std::to_chars(path + strlen(path), path + sizeof path - 1, fd).ptr = '\0';
    return open(path, flags | O_NOCTTY);
}

// Only a terminal will do: anything else would be read and written as if it
// were one.  The path is opened once, as O_PATH, which opens nothing: only
// a character device that the kernel says is a terminal is then opened
// through that description, so that a fifo's reader or another file's
// owner never sees an open, nor a watchdog or a tape its device's.  The lock
// keeps a second terminal program off the port; it belongs to MODEMFD's
// description and goes with its last close.
int open_device(int flags)
{
    walk_end walk = walk_path(MODEMDEVICE, nullptr);
    // At the start a path through links is taken as it is.
    static bool returning = false;
    if (returning && walk.linked && same_link(walk.link, PTY_LINK))
        return ENOENT; // not back yet
    struct stat link, node;
    bool seen = lstat(MODEMDEVICE, &link) == 0;
    int path = open(MODEMDEVICE, O_PATH | O_CLOEXEC);
    if (path < 0)
        return errno;
    int fd = -1;
    if (fstat(path, &node) != 0 || !S_ISCHR(node.st_mode))
        errno = ENOTTY;
    else if (int refused = refusal_of(path, node); refused != 0)
        errno = refused;
    else if (returning && walk.linked && is_pseudo_terminal(node) &&
             node.st_ctim.tv_sec * 1000000000LL + node.st_ctim.tv_nsec >
                 made_ns(walk.link))
        errno = NEWER_THAN_LINK;
    else
        fd = open_node(path, node, O_RDWR | flags);
    int error = errno;
    int line = -1;
    if (fd >= 0 &&
        (!isatty(fd) || flock(fd, LOCK_EX | LOCK_NB) != 0 ||
         fcntl(fd, F_SETFL, 0) != 0 ||
         (line = open_node(path, node, O_WRONLY | O_NONBLOCK)) < 0)) {
        error = errno;
        close(fd);
        fd = -1;
    }
    close(path);
    if (fd < 0)
        return error;
    MODEMFD = fd;
    LINEFD = line;
    PTY_LINK = {};
    if (walk.linked && is_pseudo_terminal(node))
        PTY_LINK = walk.link;
    returning = true;
    REOPENABLE = REOPENABLE && !(seen && is_pseudo_terminal(link));
    return 0;
}

void check_line()
{
    line_rates now;
    if (read_line_rates(MODEMFD, now) != 0)
        return;
    char asked[24], out[24], in[24];
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
    static char shown[SHOWN_MAX];
    show_path(MODEMDEVICE, shown);
    errno = error;
    report_error(shown);
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
    LAST_REASON = reason_of(error);
    say_device(
        {"gone (", strerror(error), ")",
         REOPENABLE ? ", waiting for it; Ctrl-B quits" : "; Ctrl-B quits"});
}

void say_unsent(size_t count)
{
    char text[24];
    say_device({decimal(count, text), " bytes of standard input not sent"});
}

int take_device_back()
{
    // MODEMFD and port_saved change together, unseen by end_handler.
    sigset_t old = hold_end_signals();
    int error = open_device(O_NONBLOCK);
    if (error == 0)
        setup_port(MODEMFD);
    sigprocmask(SIG_SETMASK, &old, nullptr);
    return error;
}

void say_why(int error)
{
    if (reason_of(error) == LAST_REASON)
        return;
    LAST_REASON = reason_of(error);
    if (error == NEWER_THAN_LINK)
        say_device({"a terminal newer than its link, waiting for the link "
                    "to be made anew; Ctrl-B quits"});
    else
        say_device({strerror(error), ", waiting for it; Ctrl-B quits"});
}

void hand_device_over(int channel)
{
    // Handed over before it is said: a key typed once the user has read
    // the line goes to the device.
    send_device(channel, LINEFD, ++DEVICE_NUMBER, port_saved);
    close(LINEFD);
    LINEFD = -1;
    say_device({"back"});
    check_line();
}
