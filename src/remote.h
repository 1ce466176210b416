// SPDX-License-Identifier: MIT
// A serial port on another machine, as portrc's first line names it:
// rfc2217://HOST:PORT, telnet with RFC 2217's COM-PORT-OPTION, as ser2net
// serves a port; or socket://HOST:PORT, its bytes as they are.  HOST is a
// name, an IPv4 address or an IPv6 address in brackets; PORT is written as
// the speed is, 1 to 65535.  Any other line is a path.
//
// And how a connection is made, to such a port or to a UNIX stream socket
// at the path (a virtual machine's console): without changing its file
// status flags ever after, since both processes share one description.
#pragma once

#include <cstdint>

#include "modem.h"

// The kind of line portrc's first line names: a terminal (a path), or a
// connection in telnet or raw.
line_kind kind_of(const char* line);

// Waits until fd (none when -1) is ready for events, or the monotonic
// clock reaches deadline (ms); false when the connection is to be given up
// (the user quits meanwhile).
using waiter = bool (*)(int fd, short events, int64_t deadline);

// Connects to the host and port MODEMDEVICE names, trying each of its
// addresses in order, each for 5 s at most; the name is looked up the
// first time only.  Returns the connection, or -1 and why not.
int connect_remote(waiter wait, why_not& why);

// Connects to the socket node, an O_PATH description of it: exactly the
// node looked at, whatever the length of its path.  -1 with errno.
int connect_node(int node);

// A connection that goes without a word (a host switched off, a cable
// pulled) is noticed within seconds; keys go at once.
void tune_connection(int fd, bool tcp);

// Why a connection failed, as its socket says; CLOSED when it says nothing.
int connection_error(int fd);
