// SPDX-License-Identifier: MIT
// The settings file: portrc in the working directory names the serial
// device, its speed and its flow control.
#pragma once

#include <termios.h>

// Speed code for the line, set from the second line of portrc.
// Starts at 19200 bit/s; only a speed from the table changes it.
extern speed_t BAUDRATE;

// Any other rate that the second line names, in bit/s, as decimal digits
// alone without a leading zero, from 1 to 4294967295: the line runs at it
// as the kernel's custom rate.  0 when the line runs at BAUDRATE.
extern unsigned CUSTOM_RATE;

// The rate in bit/s that portrc asks for: CUSTOM_RATE, or BAUDRATE's.
unsigned cnf_rate();

// The rate in bit/s of a speed code of the table below, or 0.
unsigned speed_rate(speed_t code);

// The default portrc, written when the file is missing.
extern const char* const cnf_defaults[3];

// Reads portrc, creating it with cnf_defaults first when it is missing,
// and fills cnf_lines with its first three lines (device path, speed text,
// flow-control text), each without its line feed.  A line the file does not
// have means the default device, or an empty string for the other two.
// Ends the process with status 1 when portrc can be neither opened nor
// created, or when a new one cannot be written whole (it is then removed).
void cnf_port(char* cnf_lines[3]);
