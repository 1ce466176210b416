// SPDX-License-Identifier: MIT
// Preloaded into portterm to widen a race window on purpose: every read of
// a terminal other than standard input (the receiving process's device
// reads) is delayed by SLOW_READ_MS milliseconds before it is made.  A
// signal that arrives meanwhile lands between the loop's last test of its
// stop flag and the read itself, every time instead of by luck.
#include <cerrno>
#include <cstdlib>
#include <dlfcn.h>
#include <time.h>
#include <unistd.h>

extern "C" ssize_t read(int fd, void* buf, size_t count)
{
    using read_fn = ssize_t (*)(int, void*, size_t);
    static read_fn real = reinterpret_cast<read_fn>(dlsym(RTLD_NEXT, "read"));
    const char* delay = getenv("SLOW_READ_MS");
    if (fd != STDIN_FILENO && delay != nullptr && isatty(fd)) {
        int saved_errno = errno;
        long ms = strtol(delay, nullptr, 10);
        struct timespec left = {ms / 1000, ms % 1000 * 1000000};
        // The whole delay, even when a signal interrupts it.
        while (nanosleep(&left, &left) != 0 && errno == EINTR) {
        }
        errno = saved_errno;
    }
    return real(fd, buf, count);
}
