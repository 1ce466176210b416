// SPDX-License-Identifier: MIT
// What the program says to the user once it runs: lines on standard error,
// each on a line of its own, since the screen is raw and may be in the
// middle of a line.  A line waits here, whole, until standard error has
// taken all of it: the receiving process writes the lines out as it writes
// the screen, going on after signals and partial writes.
#pragma once

#include <climits>
#include <cstddef>
#include <initializer_list>

// Room for a path as messages show it.
const size_t PATH_TEXT_MAX = 4 * size_t{PATH_MAX} + sizeof "...";

// path as messages show it, in text: its control characters as a
// backslash and three octal digits, so that a portrc cannot drive the
// user's terminal through a message.  A path longer than PATH_MAX, which
// names no file, is cut there, with "...".
void path_text(const char* path, char (&text)[PATH_TEXT_MAX]);

// Adds the line "about: texts...", about shown as path_text shows it.  It
// starts with a line break, so that it never continues what the device
// left half-written, unless nothing has reached the screen since the last
// line said: then it starts where that one left the cursor.
void say_line(const char* about, std::initializer_list<const char*> texts);

// Bytes of the device have reached the screen.
void screen_moved();

// A number as decimal digits, in a buffer of the caller's.
const char* decimal(size_t number, char (&text)[24]);

// True while lines wait for standard error.
bool lines_waiting();

// Writes the waiting lines to fd, standard error, as much as it takes now.
// Returns 0 when all are out, EAGAIN when fd holds the rest back, or the
// errno of a write that failed for good: the lines are then dropped, the
// relay goes on.  A reader of standard error that has gone raises no
// SIGPIPE here.
int write_lines(int fd);

// perror(prefix), or "prefix: words" when words are given, without SIGPIPE
// from a standard error whose reader has gone: the status of the failure
// it reports stays the program's own.
void report_error(const char* prefix, const char* words = nullptr);
