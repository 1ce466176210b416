// SPDX-License-Identifier: MIT
// Settings of the two terminals: the serial device and the user's terminal.
#pragma once

#include <termios.h>

#include "rate.h"

// The device's settings as found: the kernel's record, exact rate and all,
// or, where the device refuses that record (a driver that does not know it,
// an emulator running the program), the C library's.  Neither when the
// device answered nothing: there is nothing to put back then.
struct port_record {
    enum { NONE, KERNEL, LIBRARY } kind;
    kernel_termios kernel;
    struct termios library;
};

extern port_record port_saved;     // the device as found
extern struct termios port_new;    // the device's raw line
extern struct termios stdin_saved; // standard input as found
extern struct termios stdin_raw; // standard input without echo or line editing
extern struct termios stdout_saved; // standard output as found

// Saves both terminals' settings and switches them to raw operation: the
// device to 8 data bits at BAUDRATE with the flow control named by
// cnf_lines[2]; standard output to the modes and control characters of
// port_new on its own line (speed and control word as they were); standard
// input without echo or line editing.
// Settings a terminal refuses are left as they are, silently.
void setup_lines(int device, char* const cnf_lines[3]);

// The device's part of setup_lines, also for a device that has come back:
// saves its settings in port_saved, drops the input it holds from before
// and applies port_new, then CUSTOM_RATE if portrc names one.  A
// connection is left as it is.
void setup_port(int device);

// What fd's line runs at: as the kernel's record has it, or, where the
// device refuses that record, from the C library's speed codes.
int read_line_rates(int fd, line_rates& rates);

// Keeps fd, a standard descriptor that this process does not use, when it
// is a terminal whose settings it may have to put back; anything else, a
// pipe above all, whose reader would wait for this process to end, is let
// go, /dev/null taking its place so that no file opened later becomes fd.
void keep_if_terminal(int fd);

// Put back the settings saved by setup_lines.  Safe in a signal handler.
// Standard input is first rid of what it holds unread.
void restore_port(int device);
void restore_stdin();
// Standard output is another terminal than standard input when the keyboard
// is redirected; it gets its own settings back too, and runs again if it
// was stopped.
void restore_stdout();
