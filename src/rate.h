// SPDX-License-Identifier: MIT
// The kernel's own record of a terminal's settings: it holds the line's
// rate in bit/s beside the classic speed codes, so that a line runs at any
// rate its driver can, and the rate a driver really took can be read back.
// Most architectures have it as struct termios2, read and set by TCGETS2
// and TCSETS2; some (powerpc) carry the rates in their classic record,
// read and set by TCGETS and TCSETS.  Its header clashes with the C
// library's <termios.h>: only this unit sees it, and the rest of the
// program holds the record whole, as a kernel_termios.
#pragma once

// Large enough for every architecture's record (44 bytes on most, 48 on
// mips, whose record has 23 control characters).
struct kernel_termios {
    alignas(8) unsigned char bytes[64];
};

// A terminal's whole settings, its exact rates with them.  Safe in a signal
// handler.  0 on success, -1 with errno: ENOTTY or EINVAL where a driver,
// or an emulator running the program, does not know the record.
int get_kernel_termios(int fd, kernel_termios& settings);
int set_kernel_termios(int fd, const kernel_termios& settings);

// Sets fd's line to rate bit/s both ways, as the kernel's custom rate; its
// other settings stay.
int set_custom_rate(int fd, unsigned rate);

// What a line runs at, as the driver has it.
struct line_rates {
    unsigned in;  // bit/s
    unsigned out; // bit/s
    bool custom;  // set as a custom rate, not a speed code
    bool rtscts;  // hardware flow control
};
int get_line_rates(int fd, line_rates& rates);
