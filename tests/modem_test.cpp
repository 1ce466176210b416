// SPDX-License-Identifier: MIT
// portterm talking to the virtual modem, as a user trying it out would.

#include "terminal.h"

namespace {

class Modem : public ::testing::Test {
  protected:
    std::string dir;
    pid_t modem = -1;
    std::string device;

    void SetUp() override
    {
        dir = make_temp_dir();
        int out[2];
        ASSERT_EQ(pipe(out), 0);
        (void)fflush(nullptr); // only so that no child writes it again
        modem = fork();
        if (modem == 0) {
            dup2(out[1], STDOUT_FILENO);
            close_range(3, ~0U, 0);
            execl(MODEM_PATH, MODEM_PATH, "--once", "--guard", "150",
                  static_cast<char*>(nullptr));
            _exit(127);
        }
        close(out[1]);
        device = read_bytes(out[0], 64, patience_ms);
        close(out[0]);
        ASSERT_FALSE(device.empty()) << "the modem printed no device";
        ASSERT_EQ(device.back(), '\n');
        device.pop_back();
        ASSERT_EQ(device.rfind("/dev/pts/", 0), 0u) << device;
    }

    void TearDown() override
    {
        if (modem > 0 && process_exists(modem)) {
            signal_process(modem, SIGTERM);
            wait_for_exit(modem, patience_ms);
        }
        remove_tree(dir);
    }

    // Types a command line and returns what the screen shows until it has
    // shown want bytes.
    static std::string say(int fd, const std::string& keys, size_t want)
    {
        write_bytes(fd, keys);
        return read_bytes(fd, want, patience_ms);
    }
};

TEST_F(Modem, PorttermTalksToTheVirtualModemAndBothEndCleanly)
{
    write_file(dir + "/portrc", device + "\n38400\nXON/XOFF\n");
    pty user = open_pty();
    portterm_run run = start_portterm(dir, user.slave, user.slave, user.slave);
    ASSERT_TRUE(wait_until([&] { return settings_of(user).c_lflag == 0; },
                           patience_ms));
    const int screen = user.master;

    EXPECT_EQ(say(screen, "AT\r", 9), "AT\r\r\nOK\r\n");
    const std::string settings =
        "AT&V\r\r\nSPEED 38400 FLOW XON/XOFF\r\n\r\nOK\r\n";
    EXPECT_EQ(say(screen, "AT&V\r", settings.size()), settings);
    const std::string dial = "ATD5551234\r\r\nCONNECT 38400\r\n";
    EXPECT_EQ(say(screen, "ATD5551234\r", dial.size()), dial);
    // Data mode: everything comes back, control bytes too.
    const std::string data = std::string("hello\0\x7f\r\n", 9);
    EXPECT_EQ(say(screen, data, data.size()), data);
    usleep(300 * 1000);
    EXPECT_EQ(say(screen, "+++", 3), "+++");
    EXPECT_EQ(read_bytes(screen, 6, patience_ms), "\r\nOK\r\n");
    EXPECT_EQ(say(screen, "ATH\r", 10), "ATH\r\r\nOK\r\n");

    write_bytes(screen, "\x02");
    EXPECT_TRUE(exited(wait_for_exit(run, quit_timeout_ms), 0));
    end_run(run);
    // --once: the modem ends when the terminal closes its device.
    EXPECT_TRUE(exited(wait_for_exit(modem, patience_ms), 0))
        << "the modem did not end with its terminal";
    close_pty(user);
}

TEST_F(Modem, AnswersItsCommandSetWithFramedReplies)
{
    int line = open(device.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(line, 0);
    struct termios raw;
    ASSERT_EQ(tcgetattr(line, &raw), 0);
    cfmakeraw(&raw);
    cfsetspeed(&raw, B2400);
    raw.c_cflag |= CRTSCTS;
    ASSERT_EQ(tcsetattr(line, TCSANOW, &raw), 0);

    EXPECT_EQ(say(line, "at\r", 9), "at\r\r\nOK\r\n");
    EXPECT_EQ(say(line, "ATX9\r", 14), "ATX9\r\r\nERROR\r\n");
    EXPECT_EQ(say(line, "ATDabc\r", 16), "ATDabc\r\r\nERROR\r\n");
    const std::string info =
        "ATI\r\r\nportterm-modem virtual modem\r\n\r\nOK\r\n";
    EXPECT_EQ(say(line, "ATI\r", info.size()), info);
    const std::string settings =
        "AT&V\r\r\nSPEED 2400 FLOW RTS/CTS\r\n\r\nOK\r\n";
    EXPECT_EQ(say(line, "AT&V\r", settings.size()), settings);
    // Echo off: only the reply comes back.
    EXPECT_EQ(say(line, "ATE0\r", 11), "ATE0\r\r\nOK\r\n");
    EXPECT_EQ(say(line, "AT\r", 6), "\r\nOK\r\n");
    EXPECT_EQ(say(line, "ATZ\r", 6), "\r\nOK\r\n");
    EXPECT_EQ(say(line, "AT\r", 9), "AT\r\r\nOK\r\n");
    // "+++" without the pauses around it is data.
    EXPECT_EQ(say(line, "ATDT1\r", 22), "ATDT1\r\r\nCONNECT 2400\r\n");
    EXPECT_EQ(say(line, "a+++b", 5), "a+++b");
    EXPECT_EQ(read_quiet(line, 300), "");
    EXPECT_EQ(say(line, "AT\r", 3), "AT\r") << "still in data mode";
    close(line);
}

} // namespace
