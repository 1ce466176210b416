// SPDX-License-Identifier: MIT
#include "device.h"

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <iterator>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include "lines.h"

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

// Control characters of MODEMDEVICE shown as a backslash and three octal
// digits: a portrc must not drive the user's terminal through a message.
// Returns a string that lives until the process ends, or null when memory
// for it cannot be had.
const char* shown_device()
{
    static char* shown = nullptr;
    if (shown != nullptr)
        return shown;
    shown = static_cast<char*>(malloc(4 * strlen(MODEMDEVICE) + 1));
    if (shown == nullptr)
        return nullptr;
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
    return shown;
}

// Writes the device's path and the texts on a line of their own to
// standard error: the screen is raw and may be in the middle of a line.  One
// write, so that the device's output does not break the line.
void say_device(const char* a, const char* b = "", const char* c = "",
                const char* d = "")
{
    const char* path = shown_device();
    const char* texts[] = {
        "\r\n", path != nullptr ? path : "device", ": ", a, b, c, d, "\r\n"};
    struct iovec parts[std::size(texts)];
    for (size_t i = 0; i < std::size(texts); ++i)
        parts[i] = {const_cast<char*>(texts[i]), strlen(texts[i])};
    // A line the screen does not take is lost; the relay goes on.
    (void)!writev(STDERR_FILENO, parts, std::size(parts));
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

long now_ms()
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000 + t.tv_nsec / 1000000;
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

void report_device(int error)
{
    errno = error;
    perror(shown_device() != nullptr ? shown_device() : "device");
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
    say_device("gone (", strerror(error), ")",
               REOPENABLE ? ", waiting for it; Ctrl-B quits"
                          : "; Ctrl-B quits");
}

bool take_device_back(int channel)
{
    int error = open_device(O_NONBLOCK);
    if (error != 0) {
        if (LAST_REASON != 0 && error != LAST_REASON)
            say_device(strerror(error), ", waiting for it; Ctrl-B quits");
        LAST_REASON = error;
        return false;
    }
    setup_port(MODEMFD);
    // Handed over before it is said: a key typed once the user has read
    // the line goes to the device.
    ++DEVICE_NUMBER;
    send_device(channel, LINEFD);
    close(LINEFD);
    LINEFD = -1;
    say_device("back");
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
    send_note(channel, {DEVICE_NUMBER, 0, port_saved}, fd);
}

void send_gone(int channel, int error)
{
    send_note(channel, {DEVICE_NUMBER, error, {}}, -1);
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
