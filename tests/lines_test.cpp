// SPDX-License-Identifier: MIT
// The line set-up and the two restores, on pseudo-terminals standing in for
// the device and the user's terminal.

#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>

#include "harness.h"
#include "lines.h"
#include "settings.h"

namespace {

class Lines : public ::testing::Test {
  protected:
    pty device, keyboard, screen;
    int saved_in = -1, saved_out = -1;
    char flow[16] = "NONE";
    char* cnf_lines[3] = {nullptr, nullptr, flow};

    void SetUp() override
    {
        device = open_pty();
        keyboard = open_pty();
        screen = open_pty();
        BAUDRATE = B9600;
        (void)fflush(nullptr); // only so that no child writes it again
        saved_in = dup(STDIN_FILENO);
        saved_out = dup(STDOUT_FILENO);
    }

    void TearDown() override
    {
        (void)fflush(nullptr); // only so that no child writes it again
        dup2(saved_in, STDIN_FILENO);
        dup2(saved_out, STDOUT_FILENO);
        close(saved_in);
        close(saved_out);
        close_pty(device);
        close_pty(keyboard);
        close_pty(screen);
    }

    // Standard input and output on the given terminals during setup_lines.
    void set_up(const pty& in, const pty& out)
    {
        (void)fflush(nullptr); // only so that no child writes it again
        dup2(in.slave, STDIN_FILENO);
        dup2(out.slave, STDOUT_FILENO);
        setup_lines(device.slave, cnf_lines);
    }
};

// port_new's modes and control characters on the terminal's own line.
bool raw_on_own_line(const pty& p, const struct termios& before)
{
    struct termios want = port_new;
    want.c_cflag = before.c_cflag;
    want.c_line = before.c_line;
    return same_settings(settings_of(p), want);
}

TEST_F(Lines, TheDeviceIsFlushedOfUnreadInput)
{
    write_bytes(device.master, "stale");
    usleep(20 * 1000);
    set_up(keyboard, keyboard);
    EXPECT_EQ(read_quiet(device.slave, 20), "");
}

TEST_F(Lines, ASharedTerminalIsSavedAsTheUserHadIt)
{
    struct termios before = settings_of(keyboard);
    set_up(keyboard, keyboard);
    EXPECT_TRUE(same_settings(stdin_saved, before)) << describe(stdin_saved);
    EXPECT_TRUE(raw_on_own_line(keyboard, before));
    restore_stdin();
    EXPECT_TRUE(same_settings(settings_of(keyboard), before));
}

TEST_F(Lines, AKeyboardApartFromTheScreenLosesOnlyEchoAndLineEditing)
{
    struct termios keys = settings_of(keyboard);
    struct termios screen_before = settings_of(screen);
    set_up(keyboard, screen);
    struct termios now = settings_of(keyboard);
    EXPECT_EQ(now.c_lflag, keys.c_lflag & ~(ICANON | ECHO));
    EXPECT_NE(now.c_lflag & ISIG, 0u);
    EXPECT_EQ(now.c_iflag, keys.c_iflag);
    EXPECT_EQ(now.c_oflag, keys.c_oflag);
    EXPECT_TRUE(raw_on_own_line(screen, screen_before));
    restore_stdin();
    restore_stdout();
    EXPECT_TRUE(same_settings(settings_of(keyboard), keys));
    EXPECT_TRUE(same_settings(settings_of(screen), screen_before));
}

TEST_F(Lines, RestorePortPutsBackTheDeviceExactly)
{
    struct termios t = settings_of(device);
    cfsetspeed(&t, B2400);
    t.c_cflag |= PARENB | CSTOPB | HUPCL;
    t.c_cc[VSTART] = 'q';
    tcsetattr(device.slave, TCSANOW, &t);
    struct termios before = settings_of(device);
    set_up(keyboard, keyboard);
    ASSERT_FALSE(same_settings(settings_of(device), before));
    restore_port(device.slave);
    EXPECT_TRUE(same_settings(settings_of(device), before))
        << describe(settings_of(device));
}

TEST_F(Lines, NothingOfTheDevicesOldSettingsCarriesOver)
{
    struct termios t = settings_of(device);
    t.c_cflag |= PARENB | CSTOPB | HUPCL;
    t.c_iflag |= ISTRIP | ICRNL | IXANY;
    tcsetattr(device.slave, TCSANOW, &t);
    strcpy(flow, "XON/XOFF");
    set_up(keyboard, keyboard);
    struct termios now = settings_of(device);
    EXPECT_EQ(now.c_cflag, B9600 | CS8 | CLOCAL | CREAD);
    EXPECT_EQ(now.c_iflag, IGNPAR | IXON | IXOFF);
    // Under XON/XOFF the start and stop keys are Ctrl-Q and Ctrl-S.
    EXPECT_EQ(now.c_cc[VSTART], 0x11);
    EXPECT_EQ(now.c_cc[VSTOP], 0x13);
}

TEST_F(Lines, StandardInputFromAFileIsNoError)
{
    struct termios screen_before = settings_of(screen);
    int empty[2];
    ASSERT_EQ(pipe(empty), 0);
    (void)fflush(nullptr); // only so that no child writes it again
    dup2(empty[0], STDIN_FILENO);
    dup2(screen.slave, STDOUT_FILENO);
    setup_lines(device.slave, cnf_lines);
    restore_stdin();
    close(empty[0]);
    close(empty[1]);
    EXPECT_TRUE(same_settings(settings_of(device), port_new));
    EXPECT_TRUE(raw_on_own_line(screen, screen_before));
}

} // namespace
