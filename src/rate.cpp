// SPDX-License-Identifier: MIT
#include "rate.h"

#include <asm/termbits.h>
#include <cstring>
#include <sys/ioctl.h>

static_assert(sizeof(kernel_termios) == sizeof(struct termios2));

int get_kernel_termios(int fd, kernel_termios& settings)
{
    struct termios2 t;
    if (ioctl(fd, TCGETS2, &t) != 0)
        return -1;
    memcpy(settings.bytes, &t, sizeof t);
    return 0;
}

int set_kernel_termios(int fd, const kernel_termios& settings)
{
    struct termios2 t;
    memcpy(&t, settings.bytes, sizeof t);
    return ioctl(fd, TCSETS2, &t);
}

int set_custom_rate(int fd, unsigned rate)
{
    struct termios2 t;
    if (ioctl(fd, TCGETS2, &t) != 0)
        return -1;
    // BOTHER as the output speed and as the input speed, both at rate.
    t.c_cflag &= ~(CBAUD | CIBAUD);
    t.c_cflag |= BOTHER | BOTHER << IBSHIFT;
    t.c_ispeed = rate;
    t.c_ospeed = rate;
    return ioctl(fd, TCSETS2, &t);
}

int get_line_rates(int fd, line_rates& rates)
{
    struct termios2 t;
    if (ioctl(fd, TCGETS2, &t) != 0)
        return -1;
    rates.in = t.c_ispeed;
    rates.out = t.c_ospeed;
    rates.custom = (t.c_cflag & CBAUD) == BOTHER;
    rates.rtscts = (t.c_cflag & CRTSCTS) != 0;
    return 0;
}
