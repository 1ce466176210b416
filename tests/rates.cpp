// SPDX-License-Identifier: MIT
// Its header clashes with the C library's <termios.h>, which the rest of
// the tests use: the kernel's record is read in this file alone.
#include "rates.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

bool read_kernel_rates(int fd, kernel_rates& rates)
{
    struct termios2 t;
    if (ioctl(fd, TCGETS2, &t) != 0)
        return false;
    rates = {t.c_ispeed, t.c_ospeed, (t.c_cflag & CBAUD) == BOTHER};
    return true;
}

bool set_kernel_rate(int fd, unsigned rate)
{
    struct termios2 t;
    if (ioctl(fd, TCGETS2, &t) != 0)
        return false;
    t.c_cflag &= ~(CBAUD | CIBAUD);
    t.c_cflag |= BOTHER | BOTHER << IBSHIFT;
    t.c_ispeed = t.c_ospeed = rate;
    return ioctl(fd, TCSETS2, &t) == 0;
}
