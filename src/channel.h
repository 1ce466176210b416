// SPDX-License-Identifier: MIT
// The channel: a socket pair between the two processes.  Over it the
// receiving process hands each device it opens to the sending process, and
// passes on what a connection's server is owed; either says that a device
// has gone; and the sending process, at its end, says what it did not send. Its
// hang-up tells each process that the other has ended, however it ended.
#pragma once

#include <cstddef>

#include "lines.h"
#include "modem.h"

struct device_note {
    enum {
        HANDED_OVER, // the device numbered number, its descriptor with the
                     // note, its settings as found in saved, reached as line
        GONE,        // the device numbered number has gone, for error
        UNSENT,      // the sending process's end: unsent keys not sent
        ANSWER,      // the connection numbered number owes its server verb
                     // for option (SB: the signature)
    } kind;
    int number;
    int error;
    size_t unsent;
    port_record saved;
    line_kind line;
    unsigned char verb, option;
};

void send_device(int channel, int fd, int number, const port_record& saved,
                 line_kind line);
// Without waiting: false when the channel takes nothing now.
bool send_answer(int channel, int number, unsigned char verb,
                 unsigned char option);
void send_gone(int channel, int number, int error);
void send_unsent(int channel, size_t unsent);

// Takes one note without waiting.  1: a note, and fd its descriptor (a
// hand-over's) or -1; 0: none; -1: the other process has ended.
int take_note(int channel, device_note& note, int& fd);
