// SPDX-License-Identifier: MIT
#include "rate.h"

#include <asm/termbits.h>
#include <cstring>
#include <sys/ioctl.h>

namespace {

// The record is chosen by what the kernel's headers define, not by the
// architecture's name.
#ifdef TCGETS2
using kernel_record = struct termios2;
const unsigned long GET_RECORD = TCGETS2;
const unsigned long SET_RECORD = TCSETS2;
#else
using kernel_record = struct termios;
const unsigned long GET_RECORD = TCGETS;
const unsigned long SET_RECORD = TCSETS;
static_assert(
    requires(kernel_record t) { t.c_ispeed + t.c_ospeed; },
    "the classic record carries no rate in bit/s");
#endif

static_assert(sizeof(kernel_record) <= sizeof(kernel_termios));

} // namespace

int get_kernel_termios(int fd, kernel_termios& settings)
{
    kernel_record t;
    if (ioctl(fd, GET_RECORD, &t) != 0)
        return -1;
    memcpy(settings.bytes, &t, sizeof t);
    return 0;
}

int set_kernel_termios(int fd, const kernel_termios& settings)
{
    kernel_record t;
    memcpy(&t, settings.bytes, sizeof t);
    return ioctl(fd, SET_RECORD, &t);
}

int set_custom_rate(int fd, unsigned rate)
{
    kernel_record t;
    if (ioctl(fd, GET_RECORD, &t) != 0)
        return -1;
    // BOTHER as the output speed and as the input speed, both at rate.
    t.c_cflag &= ~(CBAUD | CIBAUD);
    t.c_cflag |= BOTHER | BOTHER << IBSHIFT;
    t.c_ispeed = rate;
    t.c_ospeed = rate;
    return ioctl(fd, SET_RECORD, &t);
}

int get_line_rates(int fd, line_rates& rates)
{
    kernel_record t;
    if (ioctl(fd, GET_RECORD, &t) != 0)
        return -1;
    rates.in = t.c_ispeed;
    rates.out = t.c_ospeed;
    rates.custom = (t.c_cflag & CBAUD) == BOTHER;
    rates.rtscts = (t.c_cflag & CRTSCTS) != 0;
    return 0;
}
