// SPDX-License-Identifier: MIT
#include "modem.h"

#include <cerrno>

const char* MODEMDEVICE;
int MODEMFD = -1;
int LINEFD = -1;
bool REOPENABLE = true;

why_not reason_of(int error)
{
    switch (error) {
    case 0:
        return {reason::none, 0};
    case ENOENT:
        return {reason::missing, error};
    case ENODEV:
    case ENXIO:
    case EIO:
        return {reason::not_served, error};
    case ENOTDIR:
        return {reason::not_a_directory, error};
    case ELOOP:
        return {reason::link_loop, error};
    case EACCES:
    case EPERM:
        return {reason::refused, error};
    case EBUSY:
    case EAGAIN:
        return {reason::busy, error};
    case ENOTTY:
        return {reason::not_a_terminal, error};
    default:
        return {reason::other, error};
    }
}
