// SPDX-License-Identifier: MIT
// Telnet with RFC 2217's COM-PORT-OPTION, as a remote serial port's server
// speaks it: bytes from the network in, data and what is owed back out;
// keys in, escaped bytes out.  It knows nothing of sockets or terminals.
//
// Options follow RFC 1143: a request for the state already in force is not
// answered, and nothing is asked twice.  BINARY and SGA are agreed to both
// ways and COM-PORT-OPTION on our side; every other option is refused.
#pragma once

#include <cstddef>
#include <cstdint>

namespace telnet_byte {
inline constexpr unsigned char SE = 240, SB = 250, WILL = 251, WONT = 252,
                               DO = 253, DONT = 254, IAC = 255;
inline constexpr unsigned char BINARY = 0, SGA = 3, COM_PORT = 44;
} // namespace telnet_byte

// COM-PORT-OPTION's requests that portterm makes, by code (the server
// answers with the code plus 100): the rate, data bits, parity, stop bits
// and flow control.
inline constexpr int COM_PORT_SETTINGS = 5;

// The most of a subnegotiation kept; the rest of it is dropped.
inline constexpr size_t SUBNEGOTIATION_MAX = 64;

struct telnet {
    enum { DATA, COMMAND, VERB, SB_OPTION, SB_DATA, SB_COMMAND } state;
    unsigned char verb;
    // The subnegotiation being read: its option and what is kept of it.
    unsigned char option;
    unsigned char sb[SUBNEGOTIATION_MAX];
    size_t sb_size;
    // RFC 1143's state of each option, ours and the server's.
    enum { NO, YES, WANT_YES };
    unsigned char us[256], him[256];
    // Answers owed: a verb for each option (0 when none), of ours (WILL,
    // WONT) and of the server's (DO, DONT), and our signature, asked for.
    // One for each at most, however often asked.
    unsigned char owed[2][256];
    bool signature_owed;
    bool owes;  // any of them
    bool spoke; // a command came: the server speaks telnet
    // COM-PORT-OPTION's answers, by code from 1: the value in force.
    uint32_t answer[COM_PORT_SETTINGS + 1];
    bool answered[COM_PORT_SETTINGS + 1];
};

// A new connection's codec: nothing agreed, nothing owed.
void telnet_start(telnet& t);

// Decodes size bytes from the network at data, in place: returns how many
// data bytes are left at data, and notes in t what the commands among them
// asked and answered.  A command split across calls is taken whole.
size_t telnet_decode(telnet& t, unsigned char* data, size_t size);

// What asks for COM-PORT-OPTION (WILL), written to out: 3 bytes.
size_t telnet_offer(telnet& t, unsigned char* out);

// Writes the answers owed into out, of room bytes, whole ones only, and
// takes them as given; returns the bytes written.
size_t telnet_answers(telnet& t, unsigned char* out, size_t room);

// A COM-PORT-OPTION request of code with value's size bytes (most
// significant first), escaped, in out (of 16 bytes at least).
size_t com_port_request(unsigned char* out, int code, uint32_t value,
                        size_t size);

// Copies keys into out, 0xFF doubled, as many as fit in room without
// cutting a doubled one; consumed says how many keys went.
size_t telnet_escape(const unsigned char* keys, size_t count,
                     unsigned char* out, size_t room, size_t& consumed);
