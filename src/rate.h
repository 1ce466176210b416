// SPDX-License-Identifier: MIT
// The kernel's own record of a terminal's settings (struct termios2): it
// holds the line's rate in bit/s beside the classic speed codes, so that a
// line runs at any rate its driver can, and the rate a driver really took
// can be read back.  Its header clashes with the C library's <termios.h>:
// only this unit sees it, and the rest of the program holds the record
// whole, as a kernel_termios.
#pragma once

struct kernel_termios {
    alignas(4) unsigned char bytes[44];
};

// A terminal's whole settings, its exact rates with them.  Safe in a signal
// handler.  0 on success, -1 with errno.
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
