// SPDX-License-Identifier: MIT
// The serial device as the program holds it: its path, the descriptor each
// process uses, whether it may be opened again; and why it cannot be used,
// when it cannot.  The signal handlers read the descriptors.
#pragma once

extern const char* MODEMDEVICE;
extern int MODEMFD; // read by the receiving process, blocking; -1 while away
extern int LINEFD;  // written by the sending process, non-blocking; or -1
// False for a path that names a pseudo-terminal itself: its number goes to
// the next terminal opened, perhaps the user's own shell, and it is never
// opened again.
extern bool REOPENABLE;

// How the device is reached: a terminal, or a connection (a socket, which
// the two processes share) whose bytes go as they are or in telnet.
enum class line_kind { terminal, raw, telnet };
extern line_kind LINEKIND;

// portrc's third line, the flow control asked for.
extern const char* FLOWCONTROL;

// Drops the output fd holds for the device: a terminal's is flushed, a
// connection is reset at its last close.  Safe in a signal handler.
void flush_output(int fd);

// Why the device cannot be used: what the user is told, and what the wait
// for its return listens to.
enum class reason {
    none,            // it can
    missing,         // ENOENT: nothing at the path, yet
    not_served,      // ENODEV, ENXIO, EIO: a node no driver serves, yet
    not_a_directory, // ENOTDIR
    link_loop,       // ELOOP
    refused,         // EACCES, EPERM: no permission, yet
    busy,            // EBUSY, EAGAIN: busy, or locked by another program
    not_a_terminal,  // ENOTTY
    stale_link,      // a pseudo-terminal newer than the link that names it
    another_session, // one as old as its link, or of a link with no birth
                     // time, that is some session's controlling terminal
    server_said,     // a server that closed the connection, saying why
    other,           // any other error
};

struct why_not {
    reason kind;
    int error; // the errno, said as the system says it; 0 for the links'
               // kinds
    const char* words = nullptr; // said instead, where there is no errno:
                                 // the resolver's, the server's, portrc's
};

// A connection closed by its server, said as an errno is.
inline constexpr int CLOSED = -1;

why_not reason_of(int error);

// What the system says of error, or of CLOSED.
const char* error_words(int error);
// What is said of why.
const char* words_of(const why_not& why);
