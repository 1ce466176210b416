// SPDX-License-Identifier: MIT
#include "node.h"

#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/sysmacros.h>
#include <sys/vfs.h>
#include <unistd.h>

namespace {

// The major numbers of pseudo-terminals' terminal side.
const unsigned PTY_FIRST_MAJOR = 136, PTY_LAST_MAJOR = 143;

// Whether fd's file is the node the walk looked at.
bool same_node(int fd, const struct statx& looked)
{
    struct stat now;
    return fstat(fd, &now) == 0 && S_ISCHR(now.st_mode) &&
           now.st_dev == makedev(looked.stx_dev_major, looked.stx_dev_minor) &&
           now.st_ino == looked.stx_ino &&
           now.st_rdev == makedev(looked.stx_rdev_major, looked.stx_rdev_minor);
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

int open_node(int node, const walk_end& walk, int flags)
{
    int fd = open_own(node, flags);
    if (fd >= 0 || errno != ENOENT || access("/proc/self/fd", F_OK) == 0)
        return fd;
    fd = open(MODEMDEVICE, flags | O_NOCTTY | O_CLOEXEC);
    if (fd >= 0 && !same_node(fd, walk.node)) {
        close(fd);
        errno = ENOENT; // another node since: not back yet
        return -1;
    }
    return fd;
}
