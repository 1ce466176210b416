// SPDX-License-Identifier: MIT
#include "node.h"

#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/sysmacros.h>
#include <sys/vfs.h>
#include <unistd.h>

namespace {

// The major numbers of pseudo-terminals' terminal side.
const unsigned PTY_FIRST_MAJOR = 136, PTY_LAST_MAJOR = 143;

// Whether fd's file is the node the walk looked at: its numbers, and its
// modification time, which a terminal made since with the same numbers
// does not share.
bool same_node(int fd, const struct statx& looked)
{
    struct stat now;
    return fstat(fd, &now) == 0 && S_ISCHR(now.st_mode) &&
           now.st_dev == makedev(looked.stx_dev_major, looked.stx_dev_minor) &&
           now.st_ino == looked.stx_ino &&
           now.st_rdev ==
               makedev(looked.stx_rdev_major, looked.stx_rdev_minor) &&
           now.st_mtim.tv_sec == looked.stx_mtime.tv_sec &&
           now.st_mtim.tv_nsec == static_cast<long>(looked.stx_mtime.tv_nsec);
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

// Whether /proc/tty/drivers lists the numbers: 1 or 0, or -1 when it cannot
// be read.  A line: name, node, major, minor or first-last, type.
int listed_as_terminal(unsigned major_number, unsigned minor_number)
{
    static char list[16384];
    if (!read_whole("/proc/tty/drivers", list))
        return -1;
    for (const char* line = list; *line != '\0';) {
        char* end;
        unsigned long listed = strtoul(next_field(next_field(line)), &end, 10);
        unsigned long first = strtoul(end, &end, 10);
        unsigned long last = *end == '-' ? strtoul(end + 1, &end, 10) : first;
        if (listed == major_number && minor_number >= first &&
            minor_number <= last)
            return 1;
        line += strcspn(line, "\n");
        line += *line == '\n';
    }
    return 0;
}

// Whether a driver serves the major number, as /proc/devices lists the
// character devices' (true when it cannot be read).
bool driver_there(unsigned major_number)
{
    static char list[16384];
    if (!read_whole("/proc/devices", list))
        return true;
    const char* block = strstr(list, "Block devices:");
    for (const char* line = strchr(list, '\n');
         line != nullptr && (block == nullptr || line < block);
         line = strchr(line + 1, '\n'))
        if (strtoul(line + 1, nullptr, 10) == major_number)
            return true;
    return false;
}

// Whether /sys files the numbers under the tty class: 1 or 0, or -1 where
// there is no /sys.
int of_tty_class(unsigned major_number, unsigned minor_number)
{
    // "/sys/dev/char/" "MAJOR:MINOR" "/subsystem", each number 10 digits
    // at most.
    char link[64] = "/sys/dev/char/", target[PATH_MAX];
    char* end = link + strlen(link);
    end = std::to_chars(end, end + 10, major_number).ptr;
    *end++ = ':';
    end = std::to_chars(end, end + 10, minor_number).ptr;
    memcpy(end, "/subsystem", sizeof "/subsystem");
    ssize_t n = readlink(link, target, sizeof target - 1);
    if (n <= 0)
        return errno == ENOENT && access("/sys/dev/char", F_OK) == 0 ? 0 : -1;
    target[n] = '\0';
    const char* slash = strrchr(target, '/');
    return strcmp(slash != nullptr ? slash + 1 : target, "tty") == 0 ? 1 : 0;
}

} // namespace

bool is_pseudo_terminal(const struct statx& node)
{
    return S_ISCHR(node.stx_mode) && node.stx_rdev_major >= PTY_FIRST_MAJOR &&
           node.stx_rdev_major <= PTY_LAST_MAJOR;
}

why_not refusal_of(int node, const walk_end& walk)
{
    if (S_ISSOCK(walk.node.stx_mode))
        return reason_of(0); // connected to, as it is
    if (!S_ISCHR(walk.node.stx_mode))
        return reason_of(ENOTTY);
    if (!same_node(node, walk.node))
        return reason_of(ENOENT); // another since: not back yet
    struct statfs fs;
    if (fstatfs(node, &fs) == 0 && fs.f_type == DEVPTS_SUPER_MAGIC)
        return reason_of(0);
    unsigned major_number = walk.node.stx_rdev_major;
    unsigned minor_number = walk.node.stx_rdev_minor;
    int sysfs = of_tty_class(major_number, minor_number);
    if (sysfs == 1)
        return reason_of(0);
    int listed = listed_as_terminal(major_number, minor_number);
    if (listed == 1 || (listed < 0 && sysfs < 0))
        return reason_of(0);
    return reason_of(driver_there(major_number) ? ENOTTY : ENXIO);
}

int open_own(int fd, int flags)
{
    // Not printf: its formatter would be the largest thing this program
    // brings into memory.
    char path[32] = "/proc/self/fd/";
    *std::to_chars(path + strlen(path), path + sizeof path - 1, fd).ptr = '\0';
    return open(path, flags | O_NOCTTY);
}

// Without /proc the node is opened by its name again, and another may have
// taken its place since the look.  It is first opened for reading without
// waiting, which no fifo's waiting reader notices, and checked; that open
// is closed after the second, so that no last close drops a modem line.
int open_node(int node, const walk_end& walk, int flags)
{
    int fd = open_own(node, flags);
    if (fd >= 0 || errno != ENOENT || access("/proc/self/fd", F_OK) == 0)
        return fd;
    const int by_name = O_NOFOLLOW | O_NOCTTY | O_CLOEXEC;
    int looked =
        openat(walk.directory, walk.name, O_RDONLY | O_NONBLOCK | by_name);
    if (looked < 0)
        return -1;
    int error = ENOENT; // another node since: not back yet
    if (same_node(looked, walk.node)) {
        fd = openat(walk.directory, walk.name, flags | by_name);
        error = fd < 0 ? errno : ENOENT;
    }
    if (fd >= 0 && !same_node(fd, walk.node)) {
        close(fd);
        fd = -1;
    }
    close(looked);
    errno = error;
    return fd;
}

namespace {

// tty_nr of /proc/PID/stat: the kernel's encoding of a device's numbers.
unsigned tty_number(const struct statx& terminal)
{
    unsigned minor_number = terminal.stx_rdev_minor;
    return terminal.stx_rdev_major << 8 | (minor_number & 0xff) |
           (minor_number & ~0xffu) << 12;
}

// "/proc/PROCESS/FILE" in path: process is a number of 20 digits at most,
// file one of a few letters.
void proc_path(char (&path)[64], const char* process, const char* file)
{
    size_t digits = strnlen(process, 20);
    memcpy(path, "/proc/", 6);
    memcpy(path + 6, process, digits);
    path[6 + digits] = '/';
    memcpy(path + 7 + digits, file, strnlen(file, 8) + 1);
}

// Whether process holds the terminal open: 1 or 0, or -1 when its
// descriptors cannot be looked into.
int holds_open(const char* process, const struct statx& terminal)
{
    char path[64];
    proc_path(path, process, "fd");
    DIR* fds = opendir(path);
    if (fds == nullptr)
        return errno == ENOENT ? 0 : -1; // ended meanwhile
    int holds = 0;
    while (struct dirent* fd = readdir(fds)) {
        struct stat file;
        if (fstatat(dirfd(fds), fd->d_name, &file, 0) == 0 &&
            file.st_rdev ==
                makedev(terminal.stx_rdev_major, terminal.stx_rdev_minor) &&
            file.st_dev ==
                makedev(terminal.stx_dev_major, terminal.stx_dev_minor) &&
            file.st_ino == terminal.stx_ino)
            holds = 1;
    }
    closedir(fds);
    return holds;
}

} // namespace

bool session_terminal(const struct statx& terminal)
{
    DIR* proc = opendir("/proc");
    if (proc == nullptr)
        return false;
    bool session = false;
    while (struct dirent* entry = !session ? readdir(proc) : nullptr) {
        if (strspn(entry->d_name, "0123456789") != strlen(entry->d_name) ||
            strlen(entry->d_name) > 20)
            continue;
        char path[64];
        static char stat[16384];
        proc_path(path, entry->d_name, "stat");
        if (!read_whole(path, stat) || strrchr(stat, ')') == nullptr)
            continue;
        // After the name: state, ppid, pgrp, session, tty_nr.
        const char* field = strrchr(stat, ')') + 1;
        for (int i = 0; i < 5; ++i)
            field = next_field(field);
        // Printed as a signed number: the same 32 bits.
        if (static_cast<unsigned>(strtol(field, nullptr, 10)) ==
                tty_number(terminal) &&
            holds_open(entry->d_name, terminal) != 0)
            session = true;
    }
    closedir(proc);
    return session;
}
