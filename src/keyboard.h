// SPDX-License-Identifier: MIT
// The sending process: copies the keyboard to the device until the user
// types the quit key, standard input ends, or the receiving process ends.
#pragma once

#include <cstdint>
#include <sys/types.h>

// Ctrl-B: ends the program, and is never sent.
extern const int QUIT_KEY;

// After the quit key, a line that has taken nothing for this long has
// stalled, and what it has not taken is dropped.
extern const int64_t STALL_MS;

// receiver is the receiving process, channel the sending end of the socket
// pair between the two.
[[noreturn]] void relay_keyboard_to_device(pid_t receiver, int channel);
