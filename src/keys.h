// SPDX-License-Identifier: MIT
// The keys that wait for the line: read from the keyboard and not yet
// taken by the device, in order, KEYS_MAX at most.  Only the memory that
// keys have used is ever touched.
#pragma once

#include <cstddef>

// What the keyboard brings beyond these waits where it is, in the terminal
// or the pipe, until the line takes some.
inline constexpr size_t KEYS_MAX = size_t{1} << 20;

// Makes room for a read of the keyboard behind the waiting keys; false
// when the store is full.  The room: where a read puts its keys, and how
// many fit there; keys_read counts those it put.
bool make_room();
char* key_room(size_t& size);
void keys_read(size_t count);

// The waiting keys, first to last; keys_sent counts those the line took.
const char* waiting_keys();
size_t keys_waiting();
void keys_sent(size_t count);

// Drops the waiting keys; returns how many there were.
size_t drop_waiting_keys();
