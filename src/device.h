// SPDX-License-Identifier: MIT
// The serial device's life: opened and locked at the start; let go when it
// goes; taken back when it returns, and handed to the sending process; and
// what the user is told of it all along.
//
// The receiving process owns the device: it opens it, at the start and
// each time it comes back, and hands the sending process its part over the
// channel.  Either process lets the device go as soon as it sees it gone,
// and tells the other.
#pragma once

#include "modem.h"
#include "remote.h"

// The device the receiving process holds is the DEVICE_NUMBERth it opened,
// counting from 0.
extern int DEVICE_NUMBER;

// Opens MODEMDEVICE as MODEMFD, blocking, and LINEFD, non-blocking: a
// character device that is a terminal, locked against other terminal
// programs.  flags go to the open: with O_NONBLOCK it does not wait for a
// carrier.  A device returning is held to the rules of links (link.h); at
// the start a path through links is taken as it is.  Returns why it cannot
// be used, with nothing left open, or none.
// A remote port, or a socket at the path, is connected to instead, wait
// waiting for the connect: MODEMFD and LINEFD are then one description,
// which no process makes non-blocking; it is the port once settled.
why_not open_device(int flags, bool returning, waiter wait);
why_not settle_device(waiter wait);

// Says on standard error why MODEMDEVICE cannot be used, as perror does.
void report_device(const why_not& why);

// Reads back the rate the device's line runs at, both ways, and its flow
// control, and says which of portrc's settings the driver did not take: a
// driver that cannot run a rate runs another one without a word.
void say_refused_settings();

// Lets the device go through fd: the output it holds is dropped, since a
// real port's last close waits for it up to its closing delay, holding the
// lock.
void drop_device(int& fd);

// Says that the device has gone (error is why) and whether it is waited for.
void say_gone(int error);

// Tries MODEMDEVICE once, as at the start but without waiting for a
// carrier; when it is back, sets its line up as portrc says.
why_not take_device_back(waiter wait);
// Says why the device is not back, once for each new kind of reason.
void say_why(const why_not& why);
// Numbers the device taken back, hands LINEFD over the channel and says
// that it is back.
void hand_device_over(int channel);
