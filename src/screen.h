// SPDX-License-Identifier: MIT
// The receiving process: copies the device to the screen until the sending
// process ends.  It owns the device's life (device.h): when the device goes
// it waits for it, and hands each return to the sending process.
#pragma once

#include <csignal>
#include <sys/types.h>

// Set by child_handler; the receiving loop tests it before every read.
extern volatile sig_atomic_t STOP;

// The SIGCHLD handler: the sending process has ended, or has something to
// say about the device, or somebody sent a stray signal.
extern "C" void child_handler(int);

// child is the sending process; channel the receiving end of the socket
// pair between the two.
[[noreturn]] void relay_device_to_screen(pid_t child, int channel);
