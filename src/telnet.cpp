// SPDX-License-Identifier: MIT
#include "telnet.h"

#include <algorithm>
#include <cstring>
#include <initializer_list>

using namespace telnet_byte;

namespace {

// What portrc's side says as the client, and asks for as the server's.
const int SIGNATURE = 0;
const int SERVER = 100; // added to a code in what the server sends
const char OUR_SIGNATURE[] = "portterm";

bool we_do(unsigned char option)
{
    return option == BINARY || option == SGA || option == COM_PORT;
}

bool server_may(unsigned char option)
{
    return option == BINARY || option == SGA;
}

// RFC 1143 without its queue: portterm never turns an option off, so it
// never waits for a refusal.  state is ours for DO and DONT, the
// server's for WILL and WONT.
void take_option(telnet& t, unsigned char verb, unsigned char option)
{
    bool ours = verb == DO || verb == DONT;
    bool on = verb == DO || verb == WILL;
    unsigned char& state = ours ? t.us[option] : t.him[option];
    bool agreed = ours ? we_do(option) : server_may(option);
    if (!on) {
        // Turned off, or refused what was asked: a refusal of a state in
        // force is answered, another is not.
        if (state == telnet::YES)
            t.owed[ours ? 0 : 1][option] = ours ? WONT : DONT;
        t.owes = t.owes || state == telnet::YES;
        state = telnet::NO;
        return;
    }
    if (state == telnet::WANT_YES) { // the answer to what was asked
        state = telnet::YES;
    } else if (state == telnet::NO) {
        state = agreed ? telnet::YES : telnet::NO;
        t.owed[ours ? 0 : 1][option] =
            agreed ? (ours ? WILL : DO) : (ours ? WONT : DONT);
        t.owes = true;
    }
}

void take_subnegotiation(telnet& t)
{
    if (t.option != COM_PORT || t.sb_size == 0)
        return;
    int code = t.sb[0] - SERVER;
    if (code == SIGNATURE && t.sb_size == 1) {
        t.signature_owed = t.owes = true;
        return;
    }
    // The answers to what was asked; notifications and flow control are
    // read and dropped: TCP's window holds the keys back.
    size_t size = code == 1 ? 4 : 1;
    if (code < 1 || code > COM_PORT_SETTINGS || t.sb_size != 1 + size)
        return;
    uint32_t value = 0;
    for (size_t i = 1; i <= size; ++i)
        value = value << 8 | t.sb[i];
    t.answer[code] = value;
    t.answered[code] = true;
}

// Appends b, escaped, to out.
unsigned char* put(unsigned char* out, unsigned char b)
{
    if (b == IAC)
        *out++ = IAC;
    *out++ = b;
    return out;
}

} // namespace

void telnet_start(telnet& t)
{
    memset(&t, 0, sizeof t);
}

size_t telnet_decode(telnet& t, unsigned char* data, size_t size)
{
    unsigned char* to = data;
    for (const unsigned char* b = data; b < data + size; ++b) {
        // A run of data up to the next IAC moves at once.
        if (t.state == telnet::DATA && *b != IAC) {
            const void* iac = memchr(b, IAC, data + size - b);
            const unsigned char* end =
                iac != nullptr ? static_cast<const unsigned char*>(iac)
                               : data + size;
            memmove(to, b, end - b);
            to += end - b;
            b = end - 1;
            continue;
        }
        switch (t.state) {
        case telnet::DATA:
            if (*b == IAC)
                t.state = telnet::COMMAND;
            else
                *to++ = *b;
            break;
        case telnet::COMMAND:
            t.spoke = true;
            t.state = telnet::DATA;
            if (*b == IAC)
                *to++ = IAC;
            else if (*b >= WILL)
                t.verb = *b, t.state = telnet::VERB;
            else if (*b == SB)
                t.state = telnet::SB_OPTION;
            break; // any other command means nothing here
        case telnet::VERB:
            take_option(t, t.verb, *b);
            t.state = telnet::DATA;
            break;
        case telnet::SB_OPTION:
            t.option = *b;
            t.sb_size = 0;
            t.state = telnet::SB_DATA;
            break;
        case telnet::SB_DATA:
        case telnet::SB_COMMAND:
            // A subnegotiation ends only at IAC SE; IAC IAC is 0xFF in it.
            if (t.state == telnet::SB_DATA && *b == IAC) {
                t.state = telnet::SB_COMMAND;
                break;
            }
            if (t.state == telnet::SB_COMMAND && *b == SE) {
                take_subnegotiation(t);
                t.state = telnet::DATA;
                break;
            }
            if ((t.state == telnet::SB_DATA || *b == IAC) &&
                t.sb_size < SUBNEGOTIATION_MAX)
                t.sb[t.sb_size++] = *b;
            t.state = telnet::SB_DATA;
            break;
        }
    }
    return to - data;
}

size_t telnet_offer(telnet& t, unsigned char* out)
{
    t.us[COM_PORT] = telnet::WANT_YES;
    out[0] = IAC;
    out[1] = WILL;
    out[2] = COM_PORT;
    return 3;
}

size_t telnet_answers(telnet& t, unsigned char* out, size_t room)
{
    unsigned char* to = out;
    bool left = false;
    for (auto& side : t.owed) {
        for (int option = 0; option < 256; ++option) {
            if (side[option] == 0)
                continue;
            if (out + room - to < 3) {
                left = true;
                continue;
            }
            *to++ = IAC;
            *to++ = side[option];
            *to++ = static_cast<unsigned char>(option);
            side[option] = 0;
        }
    }
    const size_t signature = 6 + sizeof OUR_SIGNATURE - 1;
    if (t.signature_owed && static_cast<size_t>(out + room - to) >= signature) {
        for (unsigned char b :
             {IAC, SB, COM_PORT, static_cast<unsigned char>(SIGNATURE)})
            *to++ = b;
        memcpy(to, OUR_SIGNATURE, sizeof OUR_SIGNATURE - 1);
        to += sizeof OUR_SIGNATURE - 1;
        *to++ = IAC;
        *to++ = SE;
        t.signature_owed = false;
    }
    t.owes = left || t.signature_owed;
    return to - out;
}

size_t com_port_request(unsigned char* out, int code, uint32_t value,
                        size_t size)
{
    unsigned char* to = out;
    for (unsigned char b :
         {IAC, SB, COM_PORT, static_cast<unsigned char>(code)})
        *to++ = b;
    for (size_t i = size; i-- > 0;)
        to = put(to, static_cast<unsigned char>(value >> 8 * i));
    *to++ = IAC;
    *to++ = SE;
    return to - out;
}

size_t telnet_escape(const unsigned char* keys, size_t count,
                     unsigned char* out, size_t room, size_t& consumed)
{
    unsigned char* to = out;
    size_t i = 0;
    while (i < count && to < out + room) {
        // A run of keys up to the next 0xFF moves at once.
        const void* iac = memchr(keys + i, IAC, count - i);
        size_t run = (iac != nullptr ? static_cast<const unsigned char*>(iac)
                                     : keys + count) -
                     (keys + i);
        run = std::min<size_t>(run, out + room - to);
        memcpy(to, keys + i, run);
        to += run;
        i += run;
        if (i == count || keys[i] != IAC || out + room - to < 2)
            break;
        to = put(to, keys[i++]);
    }
    consumed = i;
    return to - out;
}
