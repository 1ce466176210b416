// SPDX-License-Identifier: MIT
// Preloaded into portterm to bring about faults of the system on purpose:
// with EINTR_ON_STDERR set, the first write to standard error fails with
// EINTR, as when a signal lands in it (standard error is known by the file
// it refers to, whatever descriptor the program writes it through); with
// NO_INOTIFY set, inotify_init1 fails, as where nothing can be watched;
// with CLOCK_FROM_MS set, the monotonic clock reads that many milliseconds
// when the process first looks at it, and runs on from there, as after
// weeks of uptime; with HOLD_KEYS set to a directory, a read of standard
// input is held while that directory holds a file "hold", and says so by
// making "held" there, for up to 10 s, and so is the first
// inotify_add_watch after a file "hold-watch" appears there ("watch-held");
// with NO_WATCHES set, inotify_add_watch fails as when the user's watches
// are all taken; with COUNT_OPENS set to a file, each open of a character
// device for writing, by any other name than /dev/null, adds its numbers
// to it as a line "MAJOR:MINOR"; with RESET_ONCE set, the first process's
// first receipt of a note that its peer left behind when it ended fails
// with ECONNRESET, as a socket pair's does.
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdlib>
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <time.h>
#include <unistd.h>

namespace {

bool is_standard_error(int fd)
{
    static struct stat error_file;
    static bool known = fstat(STDERR_FILENO, &error_file) == 0;
    struct stat file;
    return known && fstat(fd, &file) == 0 && file.st_dev == error_file.st_dev &&
           file.st_ino == error_file.st_ino;
}

} // namespace

extern "C" ssize_t write(int fd, const void* buf, size_t count)
{
    using write_fn = ssize_t (*)(int, const void*, size_t);
    static auto real = reinterpret_cast<write_fn>(dlsym(RTLD_NEXT, "write"));
    static bool failed = false;
    if (!failed && getenv("EINTR_ON_STDERR") != nullptr &&
        is_standard_error(fd)) {
        failed = true;
        errno = EINTR;
        return -1;
    }
    return real(fd, buf, count);
}

extern "C" int inotify_init1(int flags)
{
    using init_fn = int (*)(int);
    static auto real =
        reinterpret_cast<init_fn>(dlsym(RTLD_NEXT, "inotify_init1"));
    if (getenv("NO_INOTIFY") != nullptr) {
        errno = EMFILE;
        return -1;
    }
    return real(flags);
}

extern "C" int clock_gettime(clockid_t clock, struct timespec* t)
{
    using clock_fn = int (*)(clockid_t, struct timespec*);
    static auto real =
        reinterpret_cast<clock_fn>(dlsym(RTLD_NEXT, "clock_gettime"));
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

namespace {

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

// Holds the caller while DIR/name exists, for up to 10 s, once it has made
// DIR/held.
void hold_while(const char* dir, const char* name, const char* held)
{
    const std::string hold = std::string(dir) + "/" + name;
    if (access(hold.c_str(), F_OK) != 0)
        return;
    close(::open((std::string(dir) + "/" + held).c_str(),
                 O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
    for (int ms = 0; ms < 10000 && access(hold.c_str(), F_OK) == 0; ++ms)
        usleep(1000);
}

using open_fn = int (*)(const char*, int, ...);

// The process the library was loaded into, before any split.
const pid_t FIRST_PROCESS = getpid();

} // namespace

extern "C" int open(const char* path, int flags, ...)
{
    static auto real = reinterpret_cast<open_fn>(dlsym(RTLD_NEXT, "open"));
    mode_t mode = 0; // there is one where the flags say so
    if ((flags & (O_CREAT | O_TMPFILE)) != 0) {
        va_list more;
        va_start(more, flags);
        mode = va_arg(more, mode_t);
        va_end(more);
    }
    return counted(path, flags, real(path, flags, mode));
}

// The fortified headers' open, where the flags are not known as the
// program is compiled: the C library's name, reserved as it is.
// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
extern "C" int __open_2(const char* path, int flags)
{
    static auto real = reinterpret_cast<open_fn>(dlsym(RTLD_NEXT, "open"));
    return counted(path, flags, real(path, flags));
}

extern "C" ssize_t recvmsg(int fd, struct msghdr* message, int flags)
{
    using recvmsg_fn = ssize_t (*)(int, struct msghdr*, int);
    static auto real =
        reinterpret_cast<recvmsg_fn>(dlsym(RTLD_NEXT, "recvmsg"));
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

extern "C" ssize_t read(int fd, void* buf, size_t count)
{
    using read_fn = ssize_t (*)(int, void*, size_t);
    static auto real = reinterpret_cast<read_fn>(dlsym(RTLD_NEXT, "read"));
    const char* dir = getenv("HOLD_KEYS");
    if (fd == STDIN_FILENO && dir != nullptr) {
        int saved_errno = errno;
        hold_while(dir, "hold", "held");
        errno = saved_errno;
    }
    return real(fd, buf, count);
}

extern "C" int inotify_add_watch(int fd, const char* path, uint32_t mask)
{
    using watch_fn = int (*)(int, const char*, uint32_t);
    static auto real =
        reinterpret_cast<watch_fn>(dlsym(RTLD_NEXT, "inotify_add_watch"));
    if (getenv("NO_WATCHES") != nullptr) {
        errno = ENOSPC;
        return -1;
    }
    if (const char* dir = getenv("HOLD_KEYS"); dir != nullptr)
        hold_while(dir, "hold-watch", "watch-held");
    return real(fd, path, mask);
}
