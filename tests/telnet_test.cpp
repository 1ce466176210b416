// SPDX-License-Identifier: MIT
// The telnet codec alone: what the server's bytes leave for the screen and
// owe the server, however the network splits them, and how keys go out.

#include <gtest/gtest.h>
#include <string>

#include "telnet.h"

namespace {

using namespace telnet_byte;

using bytes = std::basic_string<unsigned char>;

// Decodes in, split at every byte when one_by_one; returns the data.
bytes decode(telnet& t, const bytes& in, bool one_by_one)
{
    bytes data;
    for (size_t at = 0, step = one_by_one ? 1 : in.size(); at < in.size();
         at += step) {
        bytes part = in.substr(at, step);
        data.append(part.data(), telnet_decode(t, part.data(), part.size()));
    }
    return data;
}

bytes answers(telnet& t)
{
    unsigned char out[1024];
    return {out, telnet_answers(t, out, sizeof out)};
}

class Telnet : public ::testing::TestWithParam<bool> {
  public:
    telnet t;
    void SetUp() override
    {
        telnet_start(t);
        unsigned char offer[3];
        ASSERT_EQ(telnet_offer(t, offer), 3u);
    }
};

// ser2net's greeting: BINARY and SGA agreed both ways, ECHO refused, a
// refusal in force not answered, COM-PORT-OPTION taken as offered.
TEST_P(Telnet, AGreetingIsAnsweredOnceAndShowsNothing)
{
    bytes greeting = {IAC,    WILL, SGA,  IAC,    DO,  SGA, IAC,
                      WILL,   1,    IAC,  DONT,   1,   IAC, DO,
                      BINARY, IAC,  WILL, BINARY, IAC, DO,  COM_PORT};
    EXPECT_EQ(decode(t, greeting + greeting, GetParam()), bytes());
    EXPECT_EQ(answers(t), (bytes{IAC, WILL, BINARY, IAC, WILL, SGA, IAC, DO,
                                 BINARY, IAC, DONT, 1, IAC, DO, SGA}));
    EXPECT_EQ(t.us[COM_PORT], telnet::YES);
    EXPECT_TRUE(t.spoke);
}

// Data around commands, a doubled 0xFF, the rate's answer with 0xFF in
// it, a subnegotiation past its bound with IAC inside, and an option
// nobody knows, asked twice: one answer owed.
TEST_P(Telnet, DataCrossesWholeAndEveryCommandIsTakenOut)
{
    bytes in = {'a', IAC, IAC, 'b', IAC, SB,  COM_PORT, 101, 0,        0,  IAC,
                IAC, IAC, IAC, IAC, SE,  'c', IAC,      SB,  COM_PORT, 107};
    in += bytes(100, 'x') + bytes{IAC, 'y', IAC, SE,  'd',  IAC, DO,   200,
                                  IAC, DO,  200, IAC, WILL, 201, '\r', 0};
    EXPECT_EQ(decode(t, in, GetParam()),
              (bytes{'a', IAC, 'b', 'c', 'd', '\r', 0}));
    EXPECT_TRUE(t.answered[1]);
    EXPECT_EQ(t.answer[1], 0xFFFFu);
    EXPECT_EQ(answers(t), (bytes{IAC, WONT, 200, IAC, DONT, 201}));
    EXPECT_FALSE(t.owes);
    // The server asks for our signature.
    decode(t, {IAC, SB, COM_PORT, 100, IAC, SE}, GetParam());
    const bytes signature = {IAC, SB,  COM_PORT, 0,   'p', 'o', 'r',
                             't', 't', 'e',      'r', 'm', IAC, SE};
    EXPECT_EQ(answers(t), signature);
}

INSTANTIATE_TEST_SUITE_P(WholeOrByteByByte, Telnet, ::testing::Bool());

TEST(TelnetOut, KeysAndRequestsDoubleEvery0xFFAndNeverCutOne)
{
    const unsigned char keys[] = {'a', IAC, 'b', IAC};
    unsigned char out[8];
    size_t taken = 0;
    EXPECT_EQ(telnet_escape(keys, 4, out, 3, taken), 3u);
    EXPECT_EQ(taken, 2u) << "a doubled 0xFF cut by the room";
    EXPECT_EQ(bytes(out, 3), (bytes{'a', IAC, IAC}));
    unsigned char request[16];
    size_t n = com_port_request(request, 1, 0x1C2FF, 4);
    EXPECT_EQ(bytes(request, n),
              (bytes{IAC, SB, COM_PORT, 1, 0, 1, 0xC2, IAC, IAC, IAC, SE}));
}

} // namespace
