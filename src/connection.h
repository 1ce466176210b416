// SPDX-License-Identifier: MIT
// A connection as the device: made to settle before it counts as the port,
// then read by the receiving process and written by the sending one.
//
// The receiving process negotiates alone, before it hands the connection
// over; from then on only the sending process writes to it, and what the
// receiving process owes the server goes to it as a note of the channel,
// to be written between whole escapes.
#pragma once

#include <cstddef>
#include <sys/types.h>

#include "remote.h"

// Settles the new connection fd.  In telnet: offers COM-PORT-OPTION and,
// once the server takes it, sets the far port as portrc says; each step
// waits 2 s at most.  Raw: waits until it has stayed 200 ms.  What arrives
// meanwhile is held, 4 KiB at most, for the screen.  Returns none once the
// port is there, else why not: a server that closed it, saying why (its
// last line) or not.  A server that answers nothing of telnet is raw.
why_not settle_connection(int fd, waiter wait);

// Says which of portrc's settings the far port did not take, or that
// nothing can be set there.
void say_connection_settings();

// The receiving process's read: what was held first, then what has come,
// telnet taken out.  As recv: 0 when the server closed the connection, -1
// with EAGAIN when nothing has come, EINTR when only commands came.
ssize_t read_connection(int fd, char* block, size_t size);

// Passes the answers the receiving process owes to the sending process, as
// many as the channel takes now; the rest waits, one for each option.
void pass_answers(int channel, int number);

// The sending process: an answer owed (a verb for an option, or SB for the
// signature), and the keys.  send_keys writes what is owed, then as many
// keys as the connection takes, escaped, in one write; returns how many
// keys it took, or -1 with errno when the connection failed.  Keys taken
// and not yet sent wait here: unsent_keys counts them; forget_output
// drops them, and what is owed, for a new connection.
void owe_answer(unsigned char verb, unsigned char option);
ssize_t send_keys(int fd, const char* keys, size_t count);
bool output_waiting();
size_t unsent_keys();
void forget_output();
