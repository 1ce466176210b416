// SPDX-License-Identifier: MIT
// The receiving process: copies the device to the screen until the sending
// process ends.  It owns the device's life (device.h): when the device goes
// it waits for it, and hands each return to the sending process.
#pragma once

#include <sys/types.h>

// child is the sending process; channel the receiving end of the socket
// pair between the two.
[[noreturn]] void relay_device_to_screen(pid_t child, int channel);
