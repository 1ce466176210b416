// SPDX-License-Identifier: MIT
// The channel: a socket pair between the two processes.  Over it the
// receiving process hands each device it opens to the sending process;
// either says that a device has gone; and the sending process, at its end,
// says what it did not send.  Its hang-up tells each process that the other
// has ended, however it ended.
#pragma once

#include <cstddef>

#include "lines.h"

// A note with a descriptor hands over the device numbered number with its
// saved settings; one without says that the device of that number has
// gone, or, with unsent, how many keys of a pipe or a file the sending
// process never sent.
struct device_note {
    int number;
    int error;
    size_t unsent;
    port_record saved;
};

// Hands fd over as the device numbered number, with its saved settings.
void send_device(int channel, int fd, int number, const port_record& saved);
// Says that the device numbered number has gone, and why.
void send_gone(int channel, int number, int error);
// Says, at the sending process's end, how many keys were not sent.
void send_unsent(int channel, size_t unsent);
// Takes one note without waiting.  1: a note (fd is its descriptor, or
// -1); 0: none; -1: the other process has ended.
int take_note(int channel, device_note& note, int& fd);
