// SPDX-License-Identifier: MIT
#include "connection.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>

#include "channel.h"
#include "clock.h"
#include "messages.h"
#include "settings.h"
#include "telnet.h"

namespace {

using namespace telnet_byte;

// A step of the negotiation waits this long for the server.
const int64_t STEP_MS = 2000;
// A raw connection is the port once it has stayed up this long.
const int64_t STAY_MS = 200;
// The most of a server's last line said as its reason.
const size_t WORDS_MAX = 200;

const int RATE = 1, DATA_BITS = 2, PARITY = 3, STOP_BITS = 4, CONTROL = 5;
const int NO_PARITY = 1, ONE_STOP_BIT = 1;
const int NO_FLOW = 1, XON_XOFF = 2, RTS_CTS = 3;

telnet T;

// What came before the port was there: shown once it is.
struct {
    unsigned char bytes[4096];
    size_t size, shown;
} HELD;

// The server's last line, in case it closes: the line complete before
// the one being read, and that one.
struct {
    char last[WORDS_MAX + 1], line[WORDS_MAX + 1];
    size_t length;
} WORDS;

// What was asked of the far port, and whether it took part in it.
struct {
    bool no_com_port; // no RFC 2217 here
    uint32_t asked[COM_PORT_SETTINGS + 1];
} SETTLED;

// The sending process's bytes for the connection: bytes[sent] to
// bytes[filled - 1] go next; those from keys_from on are escaped keys,
// those before it answers.
struct {
    unsigned char bytes[2 * 4096 + 512];
    size_t sent, filled, keys_from;
} OUT;

void hold(const unsigned char* data, size_t size)
{
    size_t room = sizeof HELD.bytes - HELD.size;
    memcpy(HELD.bytes + HELD.size, data, std::min(size, room));
    HELD.size += std::min(size, room);
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == '\n' || data[i] == '\r') {
            if (WORDS.length > 0)
                memcpy(WORDS.last, WORDS.line, WORDS.length + 1);
            WORDS.length = 0;
        } else if (WORDS.length < WORDS_MAX) {
            WORDS.line[WORDS.length++] = static_cast<char>(data[i]);
        }
        WORDS.line[WORDS.length] = '\0';
    }
}

// Why a connection closed (or failed with error) before it was the port.
why_not refused(int error)
{
    static char shown[PATH_TEXT_MAX];
    const char* words = WORDS.length > 0 ? WORDS.line : WORDS.last;
    if (*words == '\0')
        return reason_of(error);
    path_text(words, shown);
    return {reason::server_said, error, shown};
}

// Writes the whole of bytes, a few of them, waiting for the connection.
int send_all(int fd, const unsigned char* bytes, size_t size, waiter wait)
{
    while (size > 0) {
        ssize_t n = send(fd, bytes, size, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n > 0) {
            bytes += n;
            size -= n;
        } else if (errno == EAGAIN) {
            if (!wait(fd, POLLOUT, now_ms() + STEP_MS))
                return ECANCELED;
        } else if (errno != EINTR) {
            return errno;
        }
    }
    return 0;
}

// Reads the connection until done() holds or the deadline passes, also
// while the server sends without a pause; what it owes is answered at
// once.  none, or why the connection is no port.
template <typename Done>
why_not take_until(int fd, waiter wait, int64_t deadline, Done done)
{
    unsigned char block[4096];
    while (!done() && now_ms() < deadline) {
        ssize_t n = recv(fd, block, sizeof block, MSG_DONTWAIT);
        if (n == 0)
            return refused(CLOSED);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN)
            return refused(errno);
        if (n < 0) {
            if (!wait(fd, POLLIN, deadline))
                return reason_of(ECANCELED);
            continue;
        }
        size_t data = LINEKIND == line_kind::telnet ? telnet_decode(T, block, n)
                                                    : static_cast<size_t>(n);
        hold(block, data);
        unsigned char answers[2048];
        if (int error = send_all(
                fd, answers, telnet_answers(T, answers, sizeof answers), wait))
            return refused(error);
    }
    return reason_of(0);
}

int control_asked()
{
    if (strcmp(FLOWCONTROL, "RTS/CTS") == 0)
        return RTS_CTS;
    return strcmp(FLOWCONTROL, "XON/XOFF") == 0 ? XON_XOFF : NO_FLOW;
}

void say_device(std::initializer_list<const char*> texts)
{
    say_line(MODEMDEVICE, texts);
}

const char* parity_name(uint32_t value)
{
    const char* names[] = {"no", "odd", "even", "mark", "space"};
    return value >= 1 && value <= 5 ? names[value - 1] : "unknown";
}

const char* stop_name(uint32_t value)
{
    return value == 1 ? "1" : value == 2 ? "2" : value == 3 ? "1.5" : "unknown";
}

const char* flow_name(uint32_t value, bool asked)
{
    if (value == NO_FLOW)
        return asked ? "no flow control" : "without flow control";
    if (value == XON_XOFF)
        return asked ? "XON/XOFF" : "with XON/XOFF";
    return value == RTS_CTS ? (asked ? "RTS/CTS" : "with RTS/CTS")
                            : "with another flow control";
}

} // namespace

why_not settle_connection(int fd, waiter wait)
{
    telnet_start(T);
    HELD.size = HELD.shown = 0;
    WORDS.length = 0;
    WORDS.line[0] = WORDS.last[0] = '\0';
    SETTLED = {};
    // A connection that may be closed at once, its server saying why, is
    // the port once it has stayed up.
    const int64_t stayed = now_ms() + STAY_MS;
    auto never = [] { return false; };
    if (LINEKIND == line_kind::raw)
        return take_until(fd, wait, stayed, never);

    unsigned char request[16 * COM_PORT_SETTINGS];
    if (int error = send_all(fd, request, telnet_offer(T, request), wait))
        return refused(error);
    why_not why = take_until(fd, wait, now_ms() + STEP_MS,
                             [] { return T.us[COM_PORT] != telnet::WANT_YES; });
    if (why.kind != reason::none)
        return why;
    if (T.us[COM_PORT] != telnet::YES) {
        SETTLED.no_com_port = true;
        if (!T.spoke) // a raw accepter: its bytes go as they are
            LINEKIND = line_kind::raw;
        return take_until(fd, wait, stayed, never);
    }
    SETTLED.asked[RATE] = cnf_rate();
    SETTLED.asked[DATA_BITS] = 8;
    SETTLED.asked[PARITY] = NO_PARITY;
    SETTLED.asked[STOP_BITS] = ONE_STOP_BIT;
    SETTLED.asked[CONTROL] = control_asked();
    size_t size = 0;
    for (int code = 1; code <= COM_PORT_SETTINGS; ++code)
        size += com_port_request(request + size, code, SETTLED.asked[code],
                                 code == RATE ? 4 : 1);
    if (int error = send_all(fd, request, size, wait))
        return refused(error);
    return take_until(fd, wait, now_ms() + STEP_MS, [] {
        return std::all_of(T.answered + 1, T.answered + COM_PORT_SETTINGS + 1,
                           [](bool a) { return a; });
    });
}

void say_connection_settings()
{
    if (LINEKIND == line_kind::raw && !SETTLED.no_com_port)
        return; // nothing can be set: the README says so
    if (SETTLED.no_com_port) {
        say_device({"no RFC 2217 here, the port keeps its own settings"});
        return;
    }
    const uint32_t* asked = SETTLED.asked;
    const uint32_t* now = T.answer;
    char a[24], b[24];
    if (!std::all_of(T.answered + 1, T.answered + COM_PORT_SETTINGS + 1,
                     [](bool x) { return x; }))
        say_device({"the settings were not all answered, the port may keep "
                    "its own"});
    if (T.answered[RATE] && now[RATE] != asked[RATE])
        say_device({decimal(asked[RATE], a),
                    " bit/s refused, the line runs at ",
                    decimal(now[RATE], b)});
    if (T.answered[DATA_BITS] && now[DATA_BITS] != asked[DATA_BITS])
        say_device({decimal(asked[DATA_BITS], a),
                    " data bits refused, the line runs with ",
                    decimal(now[DATA_BITS], b)});
    if (T.answered[PARITY] && now[PARITY] != asked[PARITY])
        say_device({parity_name(asked[PARITY]),
                    " parity refused, the line runs with ",
                    parity_name(now[PARITY]), " parity"});
    if (T.answered[STOP_BITS] && now[STOP_BITS] != asked[STOP_BITS])
        say_device({stop_name(asked[STOP_BITS]),
                    " stop bit refused, the line runs with ",
                    stop_name(now[STOP_BITS])});
    if (T.answered[CONTROL] && now[CONTROL] != asked[CONTROL])
        say_device({flow_name(asked[CONTROL], true), " refused, the line runs ",
                    flow_name(now[CONTROL], false)});
}

ssize_t read_connection(int fd, char* block, size_t size)
{
    if (HELD.shown < HELD.size) {
        size_t n = std::min(size, HELD.size - HELD.shown);
        memcpy(block, HELD.bytes + HELD.shown, n);
        HELD.shown += n;
        return static_cast<ssize_t>(n);
    }
    ssize_t n = recv(fd, block, size, MSG_DONTWAIT);
    if (n <= 0 || LINEKIND != line_kind::telnet)
        return n;
    size_t data = telnet_decode(T, reinterpret_cast<unsigned char*>(block), n);
    if (data == 0)
        errno = EINTR;
    return data == 0 ? -1 : static_cast<ssize_t>(data);
}

void pass_answers(int channel, int number)
{
    if (!T.owes)
        return;
    T.owes = false;
    for (auto& side : T.owed) {
        for (int option = 0; option < 256; ++option) {
            if (side[option] != 0 &&
                send_answer(channel, number, side[option], option))
                side[option] = 0;
            T.owes = T.owes || side[option] != 0;
        }
    }
    if (T.signature_owed && send_answer(channel, number, SB, COM_PORT))
        T.signature_owed = false;
    T.owes = T.owes || T.signature_owed;
}

void owe_answer(unsigned char verb, unsigned char option)
{
    if (verb == SB)
        T.signature_owed = true;
    else
        T.owed[verb == WILL || verb == WONT ? 0 : 1][option] = verb;
    T.owes = true;
}

ssize_t send_keys(int fd, const char* keys, size_t count)
{
    // Answers go between whole escapes: only once the rest has gone.
    if (OUT.sent == OUT.filled) {
        OUT.sent = 0;
        OUT.filled = OUT.keys_from =
            T.owes ? telnet_answers(T, OUT.bytes, 512) : 0;
    }
    size_t taken = 0;
    if (OUT.filled == OUT.keys_from && count > 0) {
        const auto* from = reinterpret_cast<const unsigned char*>(keys);
        size_t room = sizeof OUT.bytes - OUT.filled;
        if (LINEKIND == line_kind::telnet) {
            OUT.filled += telnet_escape(from, std::min<size_t>(count, 4096),
                                        OUT.bytes + OUT.filled, room, taken);
        } else {
            taken = std::min(count, room);
            memcpy(OUT.bytes + OUT.filled, from, taken);
            OUT.filled += taken;
        }
    }
    if (OUT.sent == OUT.filled)
        return 0;
    ssize_t n = send(fd, OUT.bytes + OUT.sent, OUT.filled - OUT.sent,
                     MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n > 0)
        OUT.sent += n;
    else if (errno != EAGAIN && errno != EINTR)
        return -1;
    return static_cast<ssize_t>(taken);
}

bool output_waiting()
{
    return OUT.sent < OUT.filled || T.owes;
}

size_t unsent_keys()
{
    size_t count = 0;
    for (size_t i = OUT.keys_from; i < OUT.filled;) {
        size_t width =
            LINEKIND == line_kind::telnet && OUT.bytes[i] == IAC ? 2 : 1;
        count += i + width > OUT.sent ? 1 : 0;
        i += width;
    }
    return count;
}

void forget_output()
{
    OUT.sent = OUT.filled = OUT.keys_from = 0;
    telnet_start(T);
}
