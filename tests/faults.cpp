// SPDX-License-Identifier: MIT
// Preloaded into portterm to bring about faults of the system on purpose:
// with EINTR_ON_STDERR set, the first write to standard error fails with
// EINTR, as when a signal lands in it (standard error is known by the file
// it refers to, whatever descriptor the program writes it through); with
// NO_INOTIFY set, inotify_init1 fails, as where nothing can be watched.
#include <cerrno>
#include <cstdlib>
#include <dlfcn.h>
#include <sys/stat.h>
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
