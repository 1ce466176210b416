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
    other,           // any other error
};

struct why_not {
    reason kind;
    int error; // the errno, said as the system says it; 0 for the links'
               // kinds
};

why_not reason_of(int error);
