// SPDX-License-Identifier: MIT
// The rates of a line as the kernel's own record has them (termios2), read
// and set directly: not through the program's code.
#pragma once

struct kernel_rates {
    unsigned in, out; // bit/s
    bool custom;      // set as a custom rate, not a speed code
};
bool read_kernel_rates(int fd, kernel_rates& rates);
bool set_kernel_rate(int fd, unsigned rate);
