// SPDX-License-Identifier: MIT
// What the node at the end of the device's path is, as the kernel tells
// before anything is opened, and how it is then opened: through a
// description of the very node that was looked at.
#pragma once

#include <sys/stat.h>

#include "modem.h"
#include "path.h"

bool is_pseudo_terminal(const struct statx& node);

// Why the node at the end of walk, node an O_PATH description of it, may
// not be opened: none for a character device the kernel calls a terminal
// (on a devpts, of the tty class in /sys, or within a range of
// /proc/tty/drivers; where none of them can be read, any), not_served for a
// number no driver serves (a port whose driver is not there yet), missing
// for another node than the walk looked at, else not_a_terminal.
why_not refusal_of(int node, const walk_end& walk);

// A description of fd's file of this process's own, opened with flags.
// O_NONBLOCK on a shared description would reach the other process (and,
// for the screen, the shell); on this one it reaches nobody else.
int open_own(int fd, int flags);

// Opens node, an O_PATH description of the entry at the end of walk, with
// flags: through /proc/self/fd, or, where there is no /proc, by its name in
// the directory the walk looked in, checked to be the node looked at.
int open_node(int node, const walk_end& walk, int flags);

// Whether the terminal is some session's controlling terminal (a login's,
// a shell's, an editor's window), as /proc tells: a process whose terminal
// has its numbers, and holds it open, or cannot be looked into (another
// user's), since every devpts instance hands out the same numbers.  False
// where /proc cannot be read.
bool session_terminal(const struct statx& terminal);
