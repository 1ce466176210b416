// SPDX-License-Identifier: MIT
// The start and portrc: the settings file read or made, the device
// missing, the split failing, and Ctrl-B at once.

#include <cstdlib>

#include "terminal.h"

namespace {

class Start : public Terminal {};

TEST_F(Start, AMissingDeviceIsReportedWithItsPathAndStatus255)
{
    // Control characters are shown escaped: portrc cannot clear the screen.
    // Printable UTF-8 is shown as it is; C1 controls, raw or as UTF-8, are
    // not (U+00DB is C3 9B); a path beyond PATH_MAX is cut.
    const std::pair<std::string, std::string> paths[] = {
        {"/dev/no-such-modem\n9600\nNONE",
         "/dev/no-such-modem: No such file or directory"},
        {"/dev/\033[2J\177", "/dev/\\033[2J\\177: No such file or directory"},
        {"/dev/modem-\u00e9", "/dev/modem-\u00e9: No such file or directory"},
        {"/dev/\x9b\u009b\u009d\u00db\xa0",
         "/dev/\\233\\302\\233\\302\\235\u00db\xa0: No such file or directory"},
        {"/dev/\x80\x9f\u0080\u009f",
         "/dev/\\200\\237\\302\\200\\302\\237: No such file or directory"},
        // Overlong and cut sequences hide no control character.
        {"/dev/\xc0\x9b", "/dev/\xc0\\233: No such file or directory"},
        {"/dev/\xe2\x82\x1b[2J",
         "/dev/\xe2\\202\\033[2J: No such file or directory"},
        {"/dev/" + std::string(PATH_MAX, 'x'),
         "/dev/" + std::string(PATH_MAX - 5, 'x') + "...: File name too long"}};
    for (const auto& [portrc, shown] : paths) {
        end_run(run);
        write_file(dir + "/portrc", portrc + "\n");
        run = start_portterm(dir, user.slave, user.slave, user.slave);
        ASSERT_NO_FATAL_FAILURE(expect_failure(255, shown + "\n"));
    }
    EXPECT_EQ(read_quiet(user.master, 20), "");
    EXPECT_TRUE(same_settings(settings_of(user), user_before));
}

// The two messages go to standard output as KOI8-R bytes, one space and a
// line feed after the text.
TEST_F(Start, APortrcThatCannotBeCreatedEndsWithMessageAAndStatus1)
{
    ASSERT_EQ(mkdir((dir + "/portrc").c_str(), 0755), 0);
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    run = start_portterm(dir, user.slave, user.slave, out[1]);
    close(out[1]);
    expect_failure(1, "");
    EXPECT_EQ(read_quiet(out[0], 50),
              "\xee\xc5 \xcd\xcf\xc7\xd5 \xd3\xcf\xda\xc4\xc1\xd4\xd8 "
              "\xc6\xc1\xca\xcc portrc ! \n");
    close(out[0]);
    EXPECT_TRUE(same_settings(settings_of(user), user_before));
}

// A first run on a full file system: the new file is removed again, as
// the listing at the end shows (with the message, on standard error).
TEST_F(Start, APortrcThatCannotBeWrittenWholeIsRemoved)
{
    if (std::string why = no_private_namespace(); !why.empty())
        GTEST_SKIP() << why;
    const char* full = "mount -t tmpfs -o size=4k full . && cd \"$PWD\" && "
                       "{ cat /dev/zero >fill 2>&- || :; } && exec >&2 && "
                       "trap ls 0 &&";
    run = start_portterm(dir, user.slave, user.slave, user.slave,
                         over_default_device(device.path, full, ""));
    expect_failure(1, "\xee\xc5 \xcd\xcf\xc7\xd5 \xd3\xcf\xda\xc4\xc1\xd4\xd8 "
                      "\xc6\xc1\xca\xcc portrc ! \nfill\n");
}

// A first run in an empty directory uses the default device: these run
// where /dev/ttyS0 is the test's pseudo-terminal, in a mount namespace of
// their own.
TEST_F(Start, AFirstRunWritesTheDefaultPortrcAndUsesItsDevice)
{
    if (std::string why = no_private_namespace(); !why.empty())
        GTEST_SKIP() << why;
    ASSERT_NO_FATAL_FAILURE(
        start_with({.argv = over_default_device(device.path)}));
    EXPECT_EQ(read_file(dir + "/portrc"), "/dev/ttyS0\n9600\nNONE\n");
    struct termios t = settings_of(device);
    EXPECT_EQ(t.c_cflag, B9600 | CS8 | CLOCAL | CREAD);
    EXPECT_EQ(t.c_iflag, static_cast<tcflag_t>(IGNPAR));
    write_bytes(user.master, "ATZ\r");
    EXPECT_EQ(read_bytes(device.master, 4, patience_ms), "ATZ\r");
    expect_clean_end(quit());
    expect_restored();
}

// Where the bind fails, /dev/ttyS0 is the machine's own: nothing starts.
TEST_F(Start, NothingStartsWhereTheDefaultDeviceIsNotBound)
{
    if (std::string why = no_private_namespace(); !why.empty())
        GTEST_SKIP() << why;
    const std::string program = dir + "/program";
    write_file(program, "#!/bin/sh\n: >started\n");
    ASSERT_EQ(chmod(program.c_str(), 0755), 0);
    run = start_portterm(
        dir, user.slave, user.slave, user.slave,
        over_default_device(dir + "/no-such-device", "", "exec", program));
    int status = wait_for_exit(run, patience_ms);
    EXPECT_TRUE(exited(status, 32)) << "mount failed";
    EXPECT_NE(access((dir + "/started").c_str(), F_OK), 0) << "started";
}

TEST_F(Start, APortrcThatCannotBeReopenedEndsWithMessageBAndStatus1)
{
    // A user whose umask leaves the new file unreadable, run as nobody since
    // the superuser reads any file.
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to run the program as another user";
    if (std::string why = no_private_namespace(); !why.empty())
        GTEST_SKIP() << why;
    ASSERT_EQ(chmod(dir.c_str(), 0777), 0);
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    run = start_portterm(
        dir, user.slave, user.slave, out[1],
        over_default_device(device.path, "umask 0777 &&",
                            "exec setpriv --reuid=65534 --regid=65534 "
                            "--clear-groups"));
    close(out[1]);
    expect_failure(1, "");
    EXPECT_EQ(read_quiet(out[0], 50),
              "\xee\xc5 \xcd\xcf\xc7\xd5 \xcf\xd4\xcb\xd2\xd9\xd4\xd8 "
              "\xc6\xc1\xca\xcc portrc ! \n");
    close(out[0]);
    // The new file was written before it could not be opened again.
    EXPECT_EQ(read_file(dir + "/portrc"), "/dev/ttyS0\n9600\nNONE\n");
}

TEST_F(Start, AFailedSplitIsReportedAndPutsBothTerminalsBack)
{
    // A process limit of one for an unprivileged user makes fork fail; the
    // superuser is not held to it.
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to run the program as another user";
    write_portrc("9600", "NONE");
    ASSERT_EQ(chmod(dir.c_str(), 0777), 0);
    ASSERT_EQ(chmod((dir + "/portrc").c_str(), 0666), 0);
    ASSERT_EQ(chmod(device.path.c_str(), 0666), 0);
    // Under AddressSanitizer the leak check at exit needs a thread of its
    // own, which the same limit forbids: it is off for this one run.
    const char* asan = getenv("ASAN_OPTIONS");
    std::string options =
        "ASAN_OPTIONS=" + std::string(asan ? asan : "") + ":detect_leaks=0";
    // setpriv comes last: it still reaches a program that only the
    // superuser may (a package built in a private directory).
    run = start_portterm(dir, user.slave, user.slave, user.slave,
                         {"/usr/bin/env", options, "/usr/bin/prlimit",
                          "--nproc=1:1", "/usr/bin/setpriv", "--reuid=65534",
                          "--regid=65534", "--clear-groups", PORTTERM_PATH});
    expect_failure(255, "fork: Resource temporarily unavailable\n");
    EXPECT_EQ(read_quiet(device.master, 20), "");
    expect_restored();
}

// In a chroot or a rescue shell without /proc the device is still opened.
TEST_F(Start, WithoutProcTheDeviceIsStillOpened)
{
    if (std::string why = no_proc_here(); !why.empty())
        GTEST_SKIP() << why;
    ASSERT_NO_FATAL_FAILURE(start("9600", "NONE", {.argv = without_proc()}));
    write_bytes(user.master, "AT\r");
    EXPECT_EQ(read_bytes(device.master, 3, patience_ms), "AT\r");
    write_bytes(device.master, "OK\r\n");
    EXPECT_EQ(read_bytes(user.master, 4, patience_ms), "OK\r\n");
    expect_clean_end(quit());
    expect_restored();
}

TEST_F(Start, AOneLinePortrcRunsAt19200WithoutFlowControl)
{
    write_file(dir + "/portrc", device.path + "\n");
    ASSERT_NO_FATAL_FAILURE(start_with({}));
    struct termios t = settings_of(device);
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B19200));
    EXPECT_EQ(t.c_cflag & CRTSCTS, 0u);
    EXPECT_EQ(t.c_iflag, static_cast<tcflag_t>(IGNPAR));
    expect_clean_end(quit());
    EXPECT_EQ(read_file(dir + "/portrc"), device.path + "\n");
}

TEST_F(Start, CtrlBTypedAtOnceAfterStartEndsEveryRun)
{
    write_portrc("9600", "NONE");
    for (int i = 0; i < 50; ++i) {
        run = start_portterm(dir, user.slave, user.slave, user.slave);
        ASSERT_TRUE(wait_until([&] { return raw_both(); }, patience_ms));
        write_bytes(user.master, "\x02");
        ASSERT_TRUE(exited(wait_for_exit(run, quit_timeout_ms), 0))
            << "run " << i;
        end_run(run);
        ASSERT_TRUE(same_settings(settings_of(user), user_before))
            << "run " << i;
    }
}

} // namespace
