// SPDX-License-Identifier: MIT
#include "remote.h"

#include <cerrno>
#include <charconv>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "clock.h"

namespace {

const char TELNET_SCHEME[] = "rfc2217://";
const char RAW_SCHEME[] = "socket://";

// A connect waits this long for each address.
const int64_t CONNECT_MS = 5000;

// The name's addresses, looked up at the start and tried at every return.
struct addrinfo* ADDRESSES;

// Splits the line after its scheme into host and port; returns what is
// wrong with it, or null.
const char* split(const char* rest, char (&host)[1024], char (&port)[8])
{
    const char* end;
    const char* after;
    if (*rest == '[') {
        end = strchr(rest, ']');
        if (end == nullptr)
            return "unclosed bracket";
        ++rest;
        after = end + 1;
    } else {
        end = rest + strcspn(rest, ":");
        after = end;
    }
    if (end == rest)
        return "empty host";
    if (*after != ':' || after[1] == '\0')
        return "no port";
    if (static_cast<size_t>(end - rest) >= sizeof host)
        return "host too long";
    memcpy(host, rest, end - rest);
    host[end - rest] = '\0';
    // Digits alone, no sign, no blank, no leading zero; nothing after.
    const char* digits = after + 1;
    if (strspn(digits, "0123456789") != strlen(digits) ||
        (digits[0] == '0' && digits[1] != '\0'))
        return "not a port number";
    unsigned long number = 0;
    for (const char* d = digits; *d != '\0' && number <= 65535; ++d)
        number = number * 10 + (*d - '0');
    if (number < 1 || number > 65535)
        return "port out of range";
    memcpy(port, digits, strlen(digits) + 1);
    return nullptr;
}

// Waits for a connect in progress on fd; 0, or the errno it failed with.
int await_connect(int fd, waiter wait)
{
    int64_t deadline = now_ms() + CONNECT_MS;
    for (;;) {
        struct pollfd done = {fd, POLLOUT, 0};
        if (poll(&done, 1, 0) == 1) {
            int error = 0;
            socklen_t size = sizeof error;
            if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0)
                return errno;
            return error;
        }
        if (now_ms() >= deadline)
            return ETIMEDOUT;
        if (!wait(fd, POLLOUT, deadline))
            return ECANCELED;
    }
}

} // namespace

line_kind kind_of(const char* line)
{
    if (strncmp(line, TELNET_SCHEME, sizeof TELNET_SCHEME - 1) == 0)
        return line_kind::telnet;
    if (strncmp(line, RAW_SCHEME, sizeof RAW_SCHEME - 1) == 0)
        return line_kind::raw;
    return line_kind::terminal;
}

int connect_remote(waiter wait, why_not& why)
{
    if (ADDRESSES == nullptr) {
        static char host[1024], port[8];
        const char* rest = strstr(MODEMDEVICE, "://") + 3;
        if (const char* wrong = split(rest, host, port)) {
            why = {reason::other, 0, wrong};
            return -1;
        }
        struct addrinfo hints = {};
        hints.ai_socktype = SOCK_STREAM;
        hints.ai_flags = AI_NUMERICSERV;
        int failed = getaddrinfo(host, port, &hints, &ADDRESSES);
        if (failed != 0) {
            why = {reason::other, errno,
                   failed == EAI_SYSTEM ? nullptr : gai_strerror(failed)};
            ADDRESSES = nullptr;
            return -1;
        }
    }
    int error = 0;
    for (struct addrinfo* a = ADDRESSES; a != nullptr; a = a->ai_next) {
        int fd =
            socket(a->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            error = errno;
            continue;
        }
        error = connect(fd, a->ai_addr, a->ai_addrlen) == 0 ? 0 : errno;
        if (error == EINPROGRESS)
            error = await_connect(fd, wait);
        if (error == 0) {
            tune_connection(fd, true);
            return fd;
        }
        close(fd);
        if (error == ECANCELED)
            break;
    }
    why = reason_of(error);
    return -1;
}

int connect_node(int node)
{
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    // A socket's address holds 108 bytes: the node is named by its
    // description here, which also names exactly the node looked at.
    struct sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    char* end = stpcpy(address.sun_path, "/proc/self/fd/");
    *std::to_chars(end, end + 12, node).ptr = '\0';
    if (connect(fd, reinterpret_cast<struct sockaddr*>(&address),
                sizeof address) != 0) {
        int error = errno == EAGAIN ? EBUSY : errno; // a full backlog
        close(fd);
        errno = error;
        return -1;
    }
    tune_connection(fd, false);
    return fd;
}

// Options a connection cannot do without are none: a failure leaves the
// connection as the system made it.
void tune_connection(int fd, bool tcp)
{
    const int on = 1;
    // Urgent data, which ser2net never sends, stays in line with the rest.
    (void)setsockopt(fd, SOL_SOCKET, SO_OOBINLINE, &on, sizeof on);
    if (!tcp)
        return;
    // Idle 3 s, then a probe a second; a key unacknowledged for 8 s: the
    // far end that vanished is gone within 10 s, whatever was going on.
    const int idle = 3, interval = 1, count = 3, unacknowledged_ms = 8000;
    (void)setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    (void)setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    (void)setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    (void)setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval,
                     sizeof interval);
    (void)setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
    (void)setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &unacknowledged_ms,
                     sizeof unacknowledged_ms);
}

int connection_error(int fd)
{
    int error = 0;
    socklen_t size = sizeof error;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0)
        return errno;
    return error != 0 ? error : CLOSED;
}
