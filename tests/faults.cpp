// SPDX-License-Identifier: MIT
// Preloaded into portterm to bring about faults of the system on purpose,
// each by a setting in the environment:
// - EINTR_ON_STDERR: the first write to standard error fails with EINTR;
// - SHORT_ON_STDERR: the next write to standard error takes that many bytes
//   at most (standard error is known by its file, whatever the descriptor);
// - NO_INOTIFY, NO_WATCHES: inotify cannot be had, or no watch is left;
// - CLOCK_FROM_MS: the monotonic clock reads that many ms when the process
//   first looks at it, as after weeks of uptime;
// - HOLD_KEYS=DIR: a read of standard input is held while DIR/hold exists,
//   for 10 s at most, once DIR/held is made; so is a watch added while
//   DIR/hold-watch exists, once DIR/watch-held is made, on the directory
//   that file names (any, when it is empty);
// - SLOW_READ_MS: a read of a terminal other than standard input waits so
//   long first;
// - COUNT_OPENS=FILE: an open of a character device for writing, by any
//   name but /dev/null, adds "MAJOR:MINOR" to FILE (an O_PATH open opens
//   nothing, and an open for reading alone writes nothing);
// - STALE_WHILE=FILE: while FILE exists, an open through /proc/self/fd
//   fails with ESTALE, as on a network file system;
// - RESET_ONCE: the first process's first receipt of a note its peer left
//   when it ended fails with ECONNRESET, as a socket pair's may;
// - REFUSED_RATE: the kernel's record of a line says that it runs at that
//   many bit/s, without RTS/CTS, as a driver that takes another rate says;
// - REFUSED_RECORD: that record is refused with ENOTTY, as by an emulator;
// - CHATTY_WHILE=FILE: while FILE exists, a receive from a socket gives a
//   byte at once, as from a server that sends without a pause.
#include <algorithm>
#include <asm/termbits.h>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdlib>
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <time.h>
#include <unistd.h>

namespace {

// The C library's own function of that name, which this one stands before.
template <typename Function> Function* next(const char* name)
{
    return reinterpret_cast<Function*>(dlsym(RTLD_NEXT, name));
}

bool is_standard_error(int fd)
{
    static struct stat error_file;
    static bool known = fstat(STDERR_FILENO, &error_file) == 0;
    struct stat file;
    return known && fstat(fd, &file) == 0 && file.st_dev == error_file.st_dev &&
           file.st_ino == error_file.st_ino;
}

bool exists(const std::string& path)
{
    return access(path.c_str(), F_OK) == 0;
}

int counted(const char* path, int flags, int fd)
{
    const char* log = getenv("COUNT_OPENS");
    struct stat node;
    if (log != nullptr && fd >= 0 && (flags & O_ACCMODE) != O_RDONLY &&
        std::string(path) != "/dev/null" && fstat(fd, &node) == 0 &&
        S_ISCHR(node.st_mode)) {
        int saved_errno = errno;
        int out = ::open(log, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
        std::string line = std::to_string(major(node.st_rdev)) + ":" +
                           std::to_string(minor(node.st_rdev)) + "\n";
        (void)!write(out, line.data(), line.size());
        close(out);
        errno = saved_errno;
    }
    return fd;
}

bool stale(const char* path)
{
    const char* flag = getenv("STALE_WHILE");
    return flag != nullptr && exists(flag) &&
           std::string(path).starts_with("/proc/self/fd/");
}

// Holds the caller while DIR/name exists, for up to 10 s, once it has made
// DIR/held.
void hold_while(const char* dir, const char* name, const char* held)
{
    const std::string hold = std::string(dir) + "/" + name;
    if (!exists(hold))
        return;
    close(::open((std::string(dir) + "/" + held).c_str(),
                 O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
    for (int ms = 0; ms < 10000 && exists(hold); ++ms)
        usleep(1000);
}

// The process the library was loaded into, before any split.
const pid_t FIRST_PROCESS = getpid();

} // namespace

extern "C" ssize_t write(int fd, const void* buf, size_t count)
{
    static auto real = next<decltype(write)>("write");
    static bool failed = getenv("EINTR_ON_STDERR") == nullptr;
    static const char* most = getenv("SHORT_ON_STDERR");
    if ((failed && most == nullptr) || !is_standard_error(fd))
        return real(fd, buf, count);
    if (!failed) {
        failed = true;
        errno = EINTR;
        return -1;
    }
    count = std::min<size_t>(count, strtoul(most, nullptr, 10));
    most = nullptr;
    return real(fd, buf, count);
}

extern "C" int inotify_init1(int flags)
{
    static auto real = next<int(int)>("inotify_init1");
    if (getenv("NO_INOTIFY") != nullptr) {
        errno = EMFILE;
        return -1;
    }
    return real(flags);
}

extern "C" int inotify_add_watch(int fd, const char* path, uint32_t mask)
{
    static auto real =
        next<int(int, const char*, uint32_t)>("inotify_add_watch");
    if (getenv("NO_WATCHES") != nullptr) {
        errno = ENOSPC;
        return -1;
    }
    if (const char* dir = getenv("HOLD_KEYS"); dir != nullptr) {
        char named[4096] = "";
        int fd = ::open((std::string(dir) + "/hold-watch").c_str(),
                        O_RDONLY | O_CLOEXEC);
        ssize_t n = fd >= 0 ? ::read(fd, named, sizeof named - 1) : 0;
        named[n > 0 ? n : 0] = '\0';
        if (fd >= 0)
            close(fd);
        if (named[0] == '\0' || std::string(named) == path)
            hold_while(dir, "hold-watch", "watch-held");
    }
    return real(fd, path, mask);
}

extern "C" int clock_gettime(clockid_t clock, struct timespec* t)
{
    static auto real = next<decltype(clock_gettime)>("clock_gettime");
    int result = real(clock, t);
    const char* from = getenv("CLOCK_FROM_MS");
    if (result != 0 || clock != CLOCK_MONOTONIC || from == nullptr)
        return result;
    auto ns = int64_t{t->tv_sec} * 1000000000 + t->tv_nsec;
    static int64_t shift = strtoll(from, nullptr, 10) * 1000000 - ns;
    ns += shift;
    t->tv_sec = static_cast<time_t>(ns / 1000000000);
    t->tv_nsec = static_cast<long>(ns % 1000000000);
    return 0;
}

// The mode an open takes, where its flags say there is one.
mode_t mode_of(int flags, va_list more)
{
    return (flags & (O_CREAT | O_TMPFILE)) != 0 ? va_arg(more, mode_t) : 0;
}

extern "C" int openat(int at, const char* path, int flags, ...)
{
    static auto real = next<int(int, const char*, int, ...)>("openat");
    va_list more;
    va_start(more, flags);
    mode_t mode = mode_of(flags, more);
    va_end(more);
    if (stale(path)) {
        errno = ESTALE;
        return -1;
    }
    return counted(path, flags, real(at, path, flags, mode));
}

extern "C" int open(const char* path, int flags, ...)
{
    va_list more;
    va_start(more, flags);
    mode_t mode = mode_of(flags, more);
    va_end(more);
    return openat(AT_FDCWD, path, flags, mode);
}

// The fortified headers' opens, where the flags are not known as the
// program is compiled: the C library's names, reserved as they are.
// NOLINTBEGIN(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
extern "C" int __open_2(const char* path, int flags)
{
    return open(path, flags);
}

extern "C" int __openat_2(int at, const char* path, int flags)
{
    return openat(at, path, flags);
}
// NOLINTEND(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)

extern "C" ssize_t recvmsg(int fd, struct msghdr* message, int flags)
{
    static auto real = next<decltype(recvmsg)>("recvmsg");
    static bool reset = false;
    char note;
    struct pollfd peer = {fd, POLLIN, 0};
    if (!reset && getenv("RESET_ONCE") != nullptr &&
        getpid() == FIRST_PROCESS && poll(&peer, 1, 0) == 1 &&
        (peer.revents & POLLHUP) != 0 &&
        recv(fd, &note, 1, MSG_PEEK | MSG_DONTWAIT) == 1) {
        reset = true;
        errno = ECONNRESET;
        return -1;
    }
    return real(fd, message, flags);
}

extern "C" ssize_t recv(int fd, void* buf, size_t count, int flags)
{
    static auto real = next<decltype(recv)>("recv");
    const char* chatty = getenv("CHATTY_WHILE");
    if (chatty == nullptr || count == 0 || !exists(chatty))
        return real(fd, buf, count, flags);
    *static_cast<char*>(buf) = '.';
    return 1;
}

extern "C" ssize_t read(int fd, void* buf, size_t count)
{
    static auto real = next<decltype(read)>("read");
    int saved_errno = errno;
    const char* dir = getenv("HOLD_KEYS");
    if (fd == STDIN_FILENO && dir != nullptr)
        hold_while(dir, "hold", "held");
    const char* delay = getenv("SLOW_READ_MS");
    if (fd != STDIN_FILENO && delay != nullptr && isatty(fd)) {
        long ms = strtol(delay, nullptr, 10);
        struct timespec left = {ms / 1000, ms % 1000 * 1000000};
        // The whole delay, even when a signal interrupts it.
        while (nanosleep(&left, &left) != 0 && errno == EINTR) {
        }
    }
    errno = saved_errno;
    return real(fd, buf, count);
}

extern "C" int ioctl(int fd, unsigned long request, ...)
{
    static auto real = next<int(int, unsigned long, ...)>("ioctl");
    va_list args;
    va_start(args, request);
    void* argument = va_arg(args, void*);
    va_end(args);
    if ((request == TCGETS2 || request == TCSETS2) &&
        getenv("REFUSED_RECORD") != nullptr) {
        errno = ENOTTY;
        return -1;
    }
    int result = real(fd, request, argument);
    const char* rate = getenv("REFUSED_RATE");
    if (result == 0 && request == TCGETS2 && rate != nullptr) {
        auto* t = static_cast<struct termios2*>(argument);
        t->c_ispeed = t->c_ospeed = strtoul(rate, nullptr, 10);
        t->c_cflag &= ~CRTSCTS;
    }
    return result;
}
