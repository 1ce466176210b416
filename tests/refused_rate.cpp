// SPDX-License-Identifier: MIT
// Preloaded into portterm to play a driver that does not take what it is
// asked.  With REFUSED_RATE set, every read of a terminal's settings
// through TCGETS2 says that the line runs at REFUSED_RATE bit/s both ways,
// without RTS/CTS, as a PC's 16550 or an FTDI adapter does, silently, for a
// rate it cannot run.  With REFUSED_RECORD set, TCGETS2 and TCSETS2 fail
// with ENOTTY, as where a driver, or an emulator running the program, does
// not know the kernel's record.
#include <asm/termbits.h>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <dlfcn.h>
#include <sys/ioctl.h>

extern "C" int ioctl(int fd, unsigned long request, ...)
{
    using ioctl_fn = int (*)(int, unsigned long, ...);
    static auto real = reinterpret_cast<ioctl_fn>(dlsym(RTLD_NEXT, "ioctl"));
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
