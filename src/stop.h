// SPDX-License-Identifier: MIT
// STOP: the sending process has ended, or has something to say about the
// device, as SIGCHLD tells the receiving process; and the waits that it
// cuts short.
#pragma once

#include <csignal>
#include <ctime>

// Set by child_handler; the receiving loop tests it before every read.
extern volatile sig_atomic_t STOP;

// The SIGCHLD handler: the sending process has ended, or has something to
// say about the device, or somebody sent a stray signal.
extern "C" void child_handler(int);

// Waits until fd (none when -1) is ready for events, the limit (none when
// null) has passed, the device hangs up, keys (none when -1) has keys, or a
// SIGCHLD has set STOP.  Returns what the device reported.
short wait_unless_stopped(int fd, short events, const struct timespec* limit,
                          int keys = -1);
