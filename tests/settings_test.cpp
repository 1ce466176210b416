// SPDX-License-Identifier: MIT
// The settings file reader, run in a fresh working directory per test.

#include <cstdlib>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "harness.h"
#include "settings.h"

namespace {

class Settings : public ::testing::Test {
  protected:
    std::string dir;
    char old_cwd[4096] = {};
    char* lines[3] = {};

    void SetUp() override
    {
        ASSERT_NE(getcwd(old_cwd, sizeof old_cwd), nullptr);
        dir = make_temp_dir();
        ASSERT_EQ(chdir(dir.c_str()), 0);
        BAUDRATE = B19200;
        CUSTOM_RATE = 0;
    }

    void TearDown() override
    {
        forget_lines();
        if (chdir(old_cwd) != 0)
            ADD_FAILURE() << "cannot go back to " << old_cwd;
        remove_tree(dir);
    }

    void forget_lines()
    {
        for (char*& l : lines) {
            free(l);
            l = nullptr;
        }
    }

    void read_portrc(const std::string& content)
    {
        write_file("portrc", content);
        cnf_port(lines);
    }

    std::string line(int i) const
    {
        return lines[i] ? lines[i] : "(unwritten)";
    }
};

TEST_F(Settings, AFirstRunWritesThe21ByteDefaultFileAndReadsItBack)
{
    cnf_port(lines);
    EXPECT_EQ(read_file("portrc"), "/dev/ttyS0\n9600\nNONE\n");
    EXPECT_EQ(line(0), "/dev/ttyS0");
    EXPECT_EQ(line(1), "9600");
    EXPECT_EQ(line(2), "NONE");
    EXPECT_EQ(BAUDRATE, static_cast<speed_t>(B9600));
}

TEST_F(Settings, EachSpeedOfTheTableGivesItsCode)
{
    // Each rate's code as the C library knows it.
    for (const char* text :
         {"50",      "75",      "110",     "134",     "150",     "200",
          "300",     "600",     "1200",    "1800",    "2400",    "4800",
          "9600",    "19200",   "38400",   "57600",   "115200",  "230400",
          "460800",  "500000",  "576000",  "921600",  "1000000", "1152000",
          "1500000", "2000000", "2500000", "3000000", "3500000", "4000000"}) {
        struct termios t = {};
        ASSERT_EQ(cfsetspeed(&t, strtoul(text, nullptr, 10)), 0) << text;
        speed_t code = cfgetospeed(&t);
        BAUDRATE = B1200 == code ? B2400 : B1200;
        read_portrc(std::string("/dev/x\n") + text + "\nNONE\n");
        EXPECT_EQ(BAUDRATE, code) << text;
        EXPECT_EQ(CUSTOM_RATE, 0u) << text;
        EXPECT_EQ(cnf_rate(), strtoul(text, nullptr, 10)) << text;
        EXPECT_EQ(line(1), text);
        forget_lines();
    }
}

TEST_F(Settings, AnyOtherRateIsACustomRateAndAnythingElse19200)
{
    // The rate in bit/s, or 0 for none: 19200 then.
    // clang-format off
    const std::pair<const char*, unsigned> rows[] = {
        {"74880", 74880}, {"250000", 250000}, {"31250", 31250}, {"1", 1},
        {"1000", 1000}, {"4000001", 4000001}, {"4294967295", ~0U}, {"0", 0},
        {"074880", 0}, {"74880 ", 0}, {"+9600", 0}, {"4294967296", 0},
        {"4294967297", 0}, {"99999999999", 0}, {"115200\r", 0}, {" 9600", 0},
        {"", 0}, {"fast", 0}};
    // clang-format on
    for (const auto& [text, rate] : rows) {
        BAUDRATE = B19200;
        CUSTOM_RATE = 0;
        read_portrc(std::string("/dev/x\n") + text + "\nNONE\n");
        EXPECT_EQ(BAUDRATE, static_cast<speed_t>(B19200)) << '"' << text << '"';
        EXPECT_EQ(CUSTOM_RATE, rate) << '"' << text << '"';
        EXPECT_EQ(cnf_rate(), rate != 0 ? rate : 19200) << '"' << text << '"';
        EXPECT_EQ(line(1), text);
        forget_lines();
    }
}

// What a portrc's text gives: its three lines and the speed.  Nothing is
// trimmed but the line feed, and a zero byte ends a line's text.
TEST_F(Settings, EachLineIsReadWholeAndAsItStands)
{
    const std::string huge(100000, 'h'), path = "/dev/" + std::string(95, 'p');
    struct {
        std::string content, first, second, third;
        speed_t speed;
    } rows[] = {
        {"/dev/x\n9600\nRTS/CTS", "/dev/x", "9600", "RTS/CTS", B9600},
        {path + "\n38400\nXON/XOFF\n", path, "38400", "XON/XOFF", B38400},
        {"/dev/x\n2400\n" + huge + "\n", "/dev/x", "2400", huge, B2400},
        {"/dev/x\n\nNONE\n", "/dev/x", "", "NONE", B19200},
        {std::string("/dev/x\0junk\n9600\0\nNONE\n", 23), "/dev/x", "9600",
         "NONE", B9600},
        {"/dev/x\r\n9600\r\n RTS/CTS\r\n", "/dev/x\r", "9600\r", " RTS/CTS\r",
         B19200},
        // Lines after the third are neither read nor changed.
        {"/dev/x\n4800\nNONE\nextra\nmore\n", "/dev/x", "4800", "NONE", B4800}};
    for (const auto& row : rows) {
        BAUDRATE = B19200;
        read_portrc(row.content);
        SCOPED_TRACE(row.content.substr(0, 40));
        EXPECT_EQ(line(0), row.first);
        EXPECT_EQ(line(1), row.second);
        EXPECT_EQ(line(2), row.third);
        EXPECT_EQ(BAUDRATE, row.speed);
        EXPECT_EQ(read_file("portrc"), row.content);
        forget_lines();
    }
}

TEST_F(Settings, MissingLinesMeanTheDefaultDeviceAnd19200WithoutFlowControl)
{
    const char* cases[] = {"", "/dev/x\n", "/dev/x\n1200\n"};
    for (const char* content : cases) {
        BAUDRATE = B19200;
        read_portrc(content);
        SCOPED_TRACE(std::string("portrc: ") + content);
        EXPECT_EQ(line(0), *content ? "/dev/x" : "/dev/ttyS0");
        EXPECT_EQ(line(2), "");
        EXPECT_EQ(read_file("portrc"), content)
            << "a short file is not filled up";
        forget_lines();
    }
    EXPECT_EQ(BAUDRATE, static_cast<speed_t>(B1200));
}

TEST_F(Settings, APortrcThatIsADirectoryEndsTheProcessWithStatus1)
{
    ASSERT_EQ(mkdir("portrc", 0755), 0);
    EXPECT_EXIT(cnf_port(lines), ::testing::ExitedWithCode(1), "");
}

} // namespace
