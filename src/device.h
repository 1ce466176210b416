// SPDX-License-Identifier: MIT
// The serial device's life: opened, checked and locked; reported when it
// cannot be used; let go when it has gone, and taken back when it returns;
// and the signals that end the program, which put it back first.
//
// The receiving process owns the device: it opens it, at start and each
// time it comes back, and hands the sending process its part over the
// channel.  Either process lets the device go as soon as it sees it gone,
// and tells the other.
#pragma once

#include <csignal>
#include <cstddef>
#include <cstdint>

extern const char* MODEMDEVICE;
extern int MODEMFD; // read by the receiving process, blocking; -1 while away
extern int LINEFD;  // written by the sending process, non-blocking; or -1
// The device now held is the DEVICE_NUMBERth opened, counting from 0.
extern int DEVICE_NUMBER;
// False for a path that names a pseudo-terminal itself: its number goes to
// the next terminal opened, perhaps the user's own shell, and it is never
// opened again.
extern bool REOPENABLE;

// Milliseconds of the monotonic clock.
int64_t now_ms();

// A description of fd's file of this process's own, opened with flags.
// O_NONBLOCK on a shared description would reach the other process (and,
// for the screen, the shell); on this one it reaches nobody else.
int open_own(int fd, int flags);

// Opens MODEMDEVICE as MODEMFD, blocking, and LINEFD, non-blocking: a
// character device that is a terminal, locked against other terminal
// programs.  flags go to the open: with O_NONBLOCK it does not wait for a
// carrier.  Returns 0, or the errno of what failed, with nothing left open.
int open_device(int flags);

// Says on standard error why MODEMDEVICE cannot be used, as perror does.
void report_device(int error);

// Reads back the rate the device's line runs at, both ways, and its flow
// control, and says which of portrc's the driver did not take: a driver
// that cannot run a rate runs another one without a word.
void check_line();

// The signals that end the program from outside (SIGTERM, SIGHUP, SIGINT,
// SIGQUIT) are caught once the terminals' settings are saved: the handler
// puts back what its process holds (the device, the keyboard and the
// screen) and ends the process by the same signal, so that the shell or
// the service manager still sees it.
void catch_end_signals();
// Blocks those signals while what their handler puts back changes (and
// before it is in place); returns the mask to put back afterwards.
sigset_t hold_end_signals();

// Lets the device go through fd: the output it holds is dropped, since a
// real port's last close waits for it up to its closing delay, holding the
// lock.
void drop_device(int& fd);

// Says that the device has gone (error is why) and whether it is waited for.
void say_gone(int error);
// Says that count bytes of a pipe or a file on standard input never
// reached the device.
void say_unsent(size_t count);

// Tries MODEMDEVICE once, as at the start but without waiting for a
// carrier; when it is back, sets its line up as portrc says.  Returns 0
// when it is back, or why not.  A pseudo-terminal reached through links is
// taken back only once the last link, the one that names it, is made anew,
// and only if it existed when that link was made: else it is another
// program's, which got the number of the one that link was made for.
int take_device_back();
// Says why the device is not back, once for each new kind of reason.
void say_why(int error);
// Numbers the device taken back, hands LINEFD over the channel and says
// that it is back.
void hand_device_over(int channel);
