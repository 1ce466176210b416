// SPDX-License-Identifier: MIT
// Waiting for the device to come back, woken by the kernel, not by a clock:
// the directories that MODEMDEVICE's path runs through, and each that a
// link on it leads through, are watched (inotify), and the path is tried
// when an entry appears there, is moved in, or changes its owner or mode.
// Only what no directory change announces is tried on a timer: a lock
// another program holds, a busy port, a node whose device is not there.
// Where nothing can be watched, or not every directory, the timer does it.
// A port on another machine, which no directory announces, is tried on a
// timer whose interval doubles from RETRY_MS up to two seconds.
//
// A try refused for its permissions is said only once the refusal has
// lasted REFUSAL_MS with no news: a node appears as its owner's alone, and
// gets its group and mode a moment later.
#pragma once

#include <cstdint>

#include "modem.h"

// The device has gone: watches the path from now on, and tries it at once,
// unless it was taken back less than the timer's interval ago (a device
// that flaps): then its next try waits until that interval has passed.
void watch_path();

// What to wait on while the device is away: the descriptor that the
// directories' news arrive on (or -1), and how long until the path is
// tried anyway, in ms.
int watch_fd();
int64_t until_try_ms();

// Takes the news that have arrived, and moves the watches with the
// directories; true when the path is to be tried now.
bool path_due();

// How long a refusal lasts before it is said, in ms.
inline constexpr int64_t REFUSAL_MS = 1000;

// The device is back: the watching ends.
void path_back();

// Notes a try of the path that failed for why, which sets the timer.  True
// when why is to be said now: a refusal only once it has lasted.
bool time_to_say(const why_not& why);
