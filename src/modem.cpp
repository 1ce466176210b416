// SPDX-License-Identifier: MIT
#include "modem.h"

#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <termios.h>

const char* MODEMDEVICE;
int MODEMFD = -1;
int LINEFD = -1;
bool REOPENABLE = true;
line_kind LINEKIND = line_kind::terminal;
const char* FLOWCONTROL = "";

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
    // A server that is not there, or not any more: as a missing node.
    case CLOSED:
    case ECONNREFUSED:
    case ECONNRESET:
    case ECONNABORTED:
    case EPIPE:
    case ETIMEDOUT:
    case EHOSTUNREACH:
    case EHOSTDOWN:
    case ENETUNREACH:
    case ENETDOWN:
        return {reason::missing, error};
    default:
        return {reason::other, error};
    }
}

void flush_output(int fd)
{
    if (LINEKIND == line_kind::terminal) {
        tcflush(fd, TCOFLUSH); // fails on a device that has gone: none held
        return;
    }
    const struct linger now = {1, 0};
    (void)setsockopt(fd, SOL_SOCKET, SO_LINGER, &now, sizeof now);
}

const char* error_words(int error)
{
    return error == CLOSED ? "closed by the server" : strerror(error);
}

const char* words_of(const why_not& why)
{
    return why.words != nullptr ? why.words : error_words(why.error);
}
