// SPDX-License-Identifier: MIT
// Milliseconds of the monotonic clock: for the program, its tests and the
// virtual modem alike.
#pragma once

#include <cstdint>
#include <time.h>

inline int64_t now_ms()
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return int64_t{t.tv_sec} * 1000 + t.tv_nsec / 1000000;
}
