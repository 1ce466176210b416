// SPDX-License-Identifier: MIT
// portterm run as a user runs it: its standard input and output on one
// pseudo-terminal (its controlling terminal), the serial device another
// pseudo-terminal whose master side the test holds as the modem.

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <ostream>
#include <poll.h>
#include <string>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "harness.h"
#include "rate.h"

namespace {

const int quit_timeout_ms = 2000;

std::string all_bytes_but(char skipped)
{
    std::string bytes;
    for (int b = 0; b < 256; ++b)
        if (static_cast<char>(b) != skipped)
            bytes += static_cast<char>(b);
    return bytes;
}

class Terminal : public ::testing::Test {
  protected:
    std::string dir;
    pty user, device;
    struct termios user_before = {}, device_before = {};
    portterm_run run;
    pid_t sender = 0;

    void SetUp() override
    {
        dir = make_temp_dir();
        user = open_pty();
        plug_device();
        // The user's terminal on a line of its own, as a serial console.
        struct termios t = settings_of(user);
        cfsetspeed(&t, B115200);
        t.c_cflag = (t.c_cflag & ~CLOCAL) | CSTOPB | HUPCL;
        tcsetattr(user.slave, TCSANOW, &t);
        user_before = settings_of(user);
    }

    void TearDown() override
    {
        if (sender > 0 && process_exists(sender))
            signal_process(sender, SIGKILL);
        end_run(run);
        close_pty(user);
        close_pty(device);
        remove_tree(dir);
    }

    // A new device, left at another speed, line editing on, so that a
    // restore is told apart from raw settings left behind; no echo, so that
    // what the test sends as the device is not sent back.  With a path, the
    // pseudo-terminal of that path: the kernel hands its number out again
    // once it is free (tried for up to 2 s, as other programs open
    // terminals too).
    void plug_device(speed_t speed = B1200, const std::string& path = "")
    {
        int64_t end = now_ms() + 2000;
        while ((device = open_pty()).path != path && !path.empty() &&
               now_ms() < end)
            close_pty(device);
        ASSERT_TRUE(path.empty() || device.path == path) << device.path;
        struct termios t = settings_of(device);
        cfsetspeed(&t, speed);
        t.c_cflag |= PARENB;
        t.c_lflag &= ~ECHO;
        tcsetattr(device.slave, TCSANOW, &t);
        device_before = settings_of(device);
    }

    void write_portrc(const std::string& speed, const std::string& flow)
    {
        write_file(dir + "/portrc",
                   device.path + "\n" + speed + "\n" + flow + "\n");
    }

    bool raw_both()
    {
        return settings_of(device).c_lflag == 0 &&
               settings_of(user).c_lflag == 0;
    }

    // Starts portterm on the user's terminal and waits until both lines
    // are raw and the sending process exists.
    void start(const std::string& speed = "9600",
               const std::string& flow = "NONE")
    {
        write_portrc(speed, flow);
        ASSERT_NO_FATAL_FAILURE(start_on(user.slave, user.slave));
    }

    void start_on(int in, int out, const inherited& from = {},
                  bool own_session = false,
                  const std::vector<std::string>& argv = {})
    {
        run = start_portterm(dir, user.slave, in, out, argv, own_session, from);
        ASSERT_TRUE(
            wait_until([&] { return settings_of(device).c_lflag == 0; }, 2000))
            << "the device never went raw";
        ASSERT_TRUE(wait_until(
            [&] { return (sender = first_child_of(run.pid)) > 0; }, 2000))
            << "no sending process";
    }

    int quit()
    {
        write_bytes(user.master, "\x02");
        return wait_for_exit(run, quit_timeout_ms);
    }

    void expect_restored()
    {
        EXPECT_TRUE(same_settings(settings_of(user), user_before))
            << "user's terminal: " << describe(settings_of(user))
            << "\nwas: " << describe(user_before);
        EXPECT_TRUE(same_settings(settings_of(device), device_before))
            << "device: " << describe(settings_of(device))
            << "\nwas: " << describe(device_before);
    }

    // A run that fails before relaying: its exit status and what it wrote
    // to standard error.
    void expect_failure(int code, const std::string& error)
    {
        int status = wait_for_exit(run, 2000);
        ASSERT_NE(status, -1) << "portterm did not end";
        ASSERT_TRUE(WIFEXITED(status)) << "status " << status;
        EXPECT_EQ(WEXITSTATUS(status), code);
        EXPECT_EQ(read_quiet(run.err, 50), error);
    }

    void expect_clean_end(int status)
    {
        ASSERT_NE(status, -1) << "portterm did not end in time";
        ASSERT_TRUE(WIFEXITED(status)) << "status " << status;
        EXPECT_EQ(WEXITSTATUS(status), 0);
        EXPECT_FALSE(process_exists(sender)) << "sending process remains";
        EXPECT_EQ(read_quiet(run.err, 10), "") << "a normal end prints nothing";
    }
};

TEST_F(Terminal, EveryTypedByteButCtrlBReachesTheDeviceUnchanged)
{
    ASSERT_NO_FATAL_FAILURE(start());
    const std::string typed = all_bytes_but('\x02');
    write_bytes(user.master, typed);
    EXPECT_EQ(read_bytes(device.master, typed.size(), 3000), typed);
    // Nothing typed is echoed by the program itself.
    EXPECT_EQ(read_quiet(user.master, 50), "");
    expect_clean_end(quit());
    expect_restored();
}

TEST_F(Terminal, EnterReachesTheDeviceAsACarriageReturn)
{
    ASSERT_NO_FATAL_FAILURE(start());
    write_bytes(user.master, "AT\r");
    EXPECT_EQ(read_bytes(device.master, 3, 2000), "AT\r");
    expect_clean_end(quit());
}

TEST_F(Terminal, EveryDeviceByteReachesTheScreenUnchanged)
{
    ASSERT_NO_FATAL_FAILURE(start());
    const std::string sent = all_bytes_but('\xff') + "\xff" + "line\nend\r\n";
    write_bytes(device.master, sent);
    EXPECT_EQ(read_bytes(user.master, sent.size(), 3000), sent);
    // 1 MiB in full blocks to a screen read slowly: the rest of each block
    // waits for it.
    std::string flood;
    while (flood.size() < size_t{1} << 20)
        flood += all_bytes_but('\xff');
    std::thread modem([&] { write_within(device.master, flood, 20000); });
    std::string shown;
    while (shown.size() < flood.size()) {
        std::string got = read_bytes(user.master, 8192, 2000);
        if (got.empty())
            break;
        shown += got;
        usleep(1000);
    }
    modem.join();
    EXPECT_TRUE(shown == flood) << shown.size() << " of " << flood.size();
    expect_clean_end(quit());
    expect_restored();
}

TEST_F(Terminal, CtrlBAsTheFirstKeySendsNothingAndRestoresBoth)
{
    ASSERT_NO_FATAL_FAILURE(start());
    expect_clean_end(quit());
    EXPECT_EQ(read_quiet(device.master, 50), "");
    expect_restored();
}

TEST_F(Terminal, CtrlBInTheMiddleOfAPasteSendsOnlyWhatCameBeforeIt)
{
    ASSERT_NO_FATAL_FAILURE(start());
    // Nor left for the shell.  All of it is in before the keyboard is read.
    signal_process(sender, SIGSTOP);
    ASSERT_TRUE(wait_until([&] { return process_state(sender) == 'T'; }, 2000));
    const std::string paste = "ATZ\r\x02" + std::string(8192, 'x');
    ASSERT_EQ(write_within(user.master, paste, 2000), paste.size());
    signal_process(sender, SIGCONT);
    int status = wait_for_exit(run, quit_timeout_ms);
    expect_clean_end(status);
    EXPECT_EQ(read_quiet(device.master, 100), "ATZ\r");
    expect_restored();
    int unread = -1;
    EXPECT_EQ(ioctl(user.slave, FIONREAD, &unread), 0);
    EXPECT_EQ(unread, 0) << "keys after Ctrl-B are left for the shell";
}

TEST_F(Terminal, AFullDuplexConversationEndsWithBothTerminalsAsBefore)
{
    ASSERT_NO_FATAL_FAILURE(start("38400", "RTS/CTS"));
    for (int i = 0; i < 20; ++i) {
        std::string key = "AT" + std::to_string(i) + "\r";
        write_bytes(user.master, key);
        ASSERT_EQ(read_bytes(device.master, key.size(), 2000), key);
        std::string answer = "\r\nOK " + std::to_string(i) + "\r\n";
        write_bytes(device.master, answer);
        ASSERT_EQ(read_bytes(user.master, answer.size(), 2000), answer);
    }
    expect_clean_end(quit());
    expect_restored();
}

// The settings the device and the user's terminal carry while running.
struct line_case {
    const char* speed;
    const char* flow;
    unsigned rate; // bit/s, read back as the kernel has it
    bool custom;   // a rate beside the speed codes
    tcflag_t iflag;
    tcflag_t cflag_flow;
    unsigned found_at = 0; // the device's custom rate before, if any
};

class LineSettings : public Terminal,
                     public ::testing::WithParamInterface<line_case> {};

TEST_P(LineSettings, DeviceAndUserTerminalCarryExactlyTheRawSettings)
{
    const line_case& c = GetParam();
    if (c.found_at != 0) {
        ASSERT_EQ(set_custom_rate(device.slave, c.found_at), 0);
        device_before = settings_of(device);
    }
    ASSERT_NO_FATAL_FAILURE(start(c.speed, c.flow));
    for (const pty* p : {&device, &user}) {
        struct termios t = settings_of(*p);
        SCOPED_TRACE(p == &device ? "device" : "user's terminal");
        EXPECT_EQ(t.c_iflag, c.iflag);
        EXPECT_EQ(t.c_oflag, 0u);
        EXPECT_EQ(t.c_lflag, 0u);
        EXPECT_EQ(t.c_cc[VMIN], 1);
        EXPECT_EQ(t.c_cc[VTIME], 0);
    }
    // The device runs the line of portrc; the user's terminal keeps its own.
    struct termios d = settings_of(device), u = settings_of(user);
    EXPECT_EQ(d.c_cflag & ~(CBAUD | CIBAUD),
              CS8 | CLOCAL | CREAD | c.cflag_flow);
    line_rates rates = {};
    ASSERT_EQ(get_line_rates(device.master, rates), 0);
    EXPECT_EQ(rates.in, c.rate);
    EXPECT_EQ(rates.out, c.rate);
    EXPECT_EQ(rates.custom, c.custom);
    EXPECT_EQ(u.c_cflag, user_before.c_cflag) << describe(u);
    EXPECT_EQ(cfgetispeed(&u), cfgetispeed(&user_before));
    EXPECT_EQ(cfgetospeed(&u), cfgetospeed(&user_before));
    EXPECT_EQ(read_quiet(run.err, 10), "") << "a rate the line took is said";
    expect_clean_end(quit());
    expect_restored();
    // Back at exactly the custom rate it was found at.
    ASSERT_EQ(get_line_rates(device.master, rates), 0);
    EXPECT_EQ(rates.out, c.found_at != 0 ? c.found_at : 1200);
}

INSTANTIATE_TEST_SUITE_P(
    SpeedsAndFlowControl, LineSettings,
    ::testing::Values(
        line_case{"9600", "NONE", 9600, false, IGNPAR, 0},
        line_case{"38400", "NONE", 38400, false, IGNPAR, 0},
        line_case{"1200", "RTS/CTS", 1200, false, IGNPAR, CRTSCTS},
        line_case{"2400", "XON/XOFF", 2400, false, IGNPAR | IXON | IXOFF, 0},
        line_case{"4800", "xon/xoff", 4800, false, IGNPAR, 0},
        line_case{"4800", "rts/cts", 4800, false, IGNPAR, 0},
        line_case{"19200", "", 19200, false, IGNPAR, 0},
        line_case{"115200", "NONE", 115200, false, IGNPAR, 0},
        line_case{"9600 ", "RTS/CTS ", 19200, false, IGNPAR, 0},
        line_case{"1000", "NONE", 1000, true, IGNPAR, 0},
        line_case{"74880", "RTS/CTS", 74880, true, IGNPAR, CRTSCTS, 250000}));

TEST_F(Terminal, UnderXonXoffTheUsersStopAndStartKeysAreNotSent)
{
    ASSERT_NO_FATAL_FAILURE(start("9600", "XON/XOFF"));
    write_bytes(user.master, "a\x13\x11"
                             "b");
    EXPECT_EQ(read_bytes(device.master, 2, 2000), "ab");
    // NUL is data, not a flow control character.
    write_bytes(user.master, std::string("\0c", 2));
    EXPECT_EQ(read_bytes(device.master, 2, 2000), std::string("\0c", 2));
    expect_clean_end(quit());
    expect_restored();
}

TEST_F(Terminal, AMissingDeviceIsReportedWithItsPathAndStatus255)
{
    write_file(dir + "/portrc", "/dev/no-such-modem\n9600\nNONE\n");
    run = start_portterm(dir, user.slave, user.slave, user.slave);
    expect_failure(255, "/dev/no-such-modem: No such file or directory\n");
    end_run(run);
    // Control characters are shown escaped: portrc cannot clear the screen.
    write_file(dir + "/portrc", "/dev/\033[2J\177\n");
    run = start_portterm(dir, user.slave, user.slave, user.slave);
    expect_failure(255, "/dev/\\033[2J\\177: No such file or directory\n");
    end_run(run);
    // Printable UTF-8 is shown as it is; C1 controls, raw or as UTF-8,
    // are not (U+00DB is C3 9B); a path beyond PATH_MAX is cut.
    const std::pair<std::string, std::string> paths[] = {
        {"/dev/modem-\u00e9", "/dev/modem-\u00e9: No such file or directory"},
        {"/dev/\x9b\u009b\u009d\u00db\xa0",
         "/dev/\\233\\302\\233\\302\\235\u00db\xa0: No such file or directory"},
        {"/dev/\x80\x9f\u0080\u009f",
         "/dev/\\200\\237\\302\\200\\302\\237: No such file or directory"},
        {"/dev/" + std::string(PATH_MAX, 'x'),
         "/dev/" + std::string(PATH_MAX - 5, 'x') + "...: File name too long"}};
    for (const auto& [path, shown] : paths) {
        end_run(run);
        write_file(dir + "/portrc", path + "\n");
        run = start_portterm(dir, user.slave, user.slave, user.slave);
        ASSERT_NO_FATAL_FAILURE(expect_failure(255, shown + "\n"));
    }
    EXPECT_EQ(read_quiet(user.master, 20), "");
    EXPECT_TRUE(same_settings(settings_of(user), user_before));
}

// The two messages go to standard output as KOI8-R bytes, one space and a
// line feed after the text.
TEST_F(Terminal, APortrcThatCannotBeCreatedEndsWithMessageAAndStatus1)
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
    end_run(run);
    // A first run on a full file system: the new file is removed again, as
    // the listing at the end shows (with the message, on standard error).
    if (std::string why = no_private_namespace(); !why.empty())
        GTEST_SKIP() << why;
    const char* full = "mount -t tmpfs -o size=4k full . && cd \"$PWD\" && "
                       "cat /dev/zero >fill 2>&-; exec >&2; trap ls 0;";
    run = start_portterm(dir, user.slave, user.slave, user.slave,
                         over_default_device(device.path, full));
    expect_failure(1, "\xee\xc5 \xcd\xcf\xc7\xd5 \xd3\xcf\xda\xc4\xc1\xd4\xd8 "
                      "\xc6\xc1\xca\xcc portrc ! \nfill\n");
}

// A first run in an empty directory uses the default device: these run
// where /dev/ttyS0 is the test's pseudo-terminal, in a mount namespace of
// their own.
TEST_F(Terminal, AFirstRunWritesTheDefaultPortrcAndUsesItsDevice)
{
    std::string why = no_private_namespace();
    if (!why.empty())
        GTEST_SKIP() << why;
    run = start_portterm(dir, user.slave, user.slave, user.slave,
                         over_default_device(device.path));
    ASSERT_TRUE(
        wait_until([&] { return settings_of(device).c_lflag == 0; }, 2000))
        << "the device never went raw: " << read_quiet(run.err, 10);
    EXPECT_EQ(read_file(dir + "/portrc"), "/dev/ttyS0\n9600\nNONE\n");
    struct termios t = settings_of(device);
    EXPECT_EQ(t.c_cflag, B9600 | CS8 | CLOCAL | CREAD);
    EXPECT_EQ(t.c_iflag, static_cast<tcflag_t>(IGNPAR));
    ASSERT_TRUE(wait_until(
        [&] { return (sender = first_child_of(run.pid)) > 0; }, 2000));
    write_bytes(user.master, "ATZ\r");
    EXPECT_EQ(read_bytes(device.master, 4, 2000), "ATZ\r");
    expect_clean_end(quit());
    expect_restored();
}

TEST_F(Terminal, APortrcThatCannotBeReopenedEndsWithMessageBAndStatus1)
{
    // A user whose umask leaves the new file unreadable, run as nobody since
    // the superuser reads any file.
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to run the program as another user";
    std::string why = no_private_namespace();
    if (!why.empty())
        GTEST_SKIP() << why;
    ASSERT_EQ(chmod(dir.c_str(), 0777), 0);
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    run = start_portterm(
        dir, user.slave, user.slave, out[1],
        over_default_device(device.path,
                            "umask 0777 && exec setpriv --reuid=65534 "
                            "--regid=65534 --clear-groups"));
    close(out[1]);
    expect_failure(1, "");
    EXPECT_EQ(read_quiet(out[0], 50),
              "\xee\xc5 \xcd\xcf\xc7\xd5 \xcf\xd4\xcb\xd2\xd9\xd4\xd8 "
              "\xc6\xc1\xca\xcc portrc ! \n");
    close(out[0]);
    // The new file was written before it could not be opened again.
    EXPECT_EQ(read_file(dir + "/portrc"), "/dev/ttyS0\n9600\nNONE\n");
}

TEST_F(Terminal, AFailedSplitIsReportedAndPutsBothTerminalsBack)
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

TEST_F(Terminal, AOneLinePortrcRunsAt19200WithoutFlowControl)
{
    write_file(dir + "/portrc", device.path + "\n");
    ASSERT_NO_FATAL_FAILURE(start_on(user.slave, user.slave));
    struct termios t = settings_of(device);
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B19200));
    EXPECT_EQ(t.c_cflag & CRTSCTS, 0u);
    EXPECT_EQ(t.c_iflag, static_cast<tcflag_t>(IGNPAR));
    expect_clean_end(quit());
    EXPECT_EQ(read_file(dir + "/portrc"), device.path + "\n");
}

TEST_F(Terminal, EndOfStandardInputEndsTheProgramAsCtrlBDoes)
{
    write_portrc("9600", "NONE");
    int empty[2];
    ASSERT_EQ(pipe(empty), 0);
    run = start_portterm(dir, user.slave, empty[0], user.slave);
    close(empty[0]);
    write_bytes(empty[1], "AT\r");
    close(empty[1]);
    int status = wait_for_exit(run, quit_timeout_ms);
    ASSERT_NE(status, -1) << "portterm did not end at end of input";
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(read_quiet(device.master, 50), "AT\r");
    EXPECT_EQ(read_quiet(run.err, 10), "");
    expect_restored();
    end_run(run);
    // No standard input (portterm <&-): the device is not the keyboard.
    run = start_portterm(dir, user.slave, user.slave, user.slave, {}, false,
                         {.fd = 0});
    EXPECT_EQ(wait_for_exit(run, quit_timeout_ms), 0);
    EXPECT_EQ(read_quiet(device.master, 50), "");
    expect_restored();
}

TEST_F(Terminal, WithOutputRedirectedTheKeyboardKeepsItsSignalsAndTranslation)
{
    write_portrc("9600", "NONE");
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    run = start_portterm(dir, user.slave, user.slave, out[1]);
    close(out[1]);
    ASSERT_TRUE(wait_until(
        [&] { return (settings_of(user).c_lflag & (ICANON | ECHO)) == 0; },
        2000));
    struct termios t = settings_of(user);
    EXPECT_EQ(t.c_lflag, user_before.c_lflag & ~(ICANON | ECHO));
    EXPECT_EQ(t.c_iflag, user_before.c_iflag);
    EXPECT_EQ(t.c_oflag, user_before.c_oflag);
    ASSERT_TRUE(wait_until(
        [&] { return (sender = first_child_of(run.pid)) > 0; }, 2000));
    // Enter still arrives as a line feed: the terminal translates it.
    write_bytes(user.master, "x\r");
    EXPECT_EQ(read_bytes(device.master, 2, 2000), "x\n");
    // The device's bytes go to the redirected output.
    write_bytes(device.master, "OK\n");
    EXPECT_EQ(read_bytes(out[0], 3, 2000), "OK\n");
    expect_clean_end(quit());
    close(out[0]);
    expect_restored();
}

TEST_F(Terminal, CtrlBTypedAtOnceAfterStartEndsEveryRun)
{
    write_portrc("9600", "NONE");
    for (int i = 0; i < 50; ++i) {
        run = start_portterm(dir, user.slave, user.slave, user.slave);
        ASSERT_TRUE(wait_until([&] { return raw_both(); }, 2000));
        write_bytes(user.master, "\x02");
        int status = wait_for_exit(run, 1000);
        ASSERT_NE(status, -1) << "run " << i << " hung after Ctrl-B";
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
            << "run " << i << " status " << status;
        end_run(run);
        ASSERT_TRUE(same_settings(settings_of(user), user_before))
            << "run " << i;
    }
}

// portterm with a library preloaded, and its setting in the environment.
std::vector<std::string> preloaded(const char* library, const char* setting)
{
    const char* asan = getenv("ASAN_OPTIONS");
    return {"/usr/bin/env", std::string("LD_PRELOAD=") + library, setting,
            // AddressSanitizer's runtime wants to come first; here it cannot.
            "ASAN_OPTIONS=" + std::string(asan ? asan : "") +
                ":verify_asan_link_order=0",
            PORTTERM_PATH};
}

// A device that goes and comes back, as a USB adapter unplugged and plugged
// in again.  portrc names a link to a pseudo-terminal: the unplug closes it
// and removes the link, the replug points the link at a new one in one
// rename, after the device has sent input that nobody may see.
struct replug_case {
    const char* name;
    int returns = 1;       // how often it comes back before Ctrl-B
    bool locked = false;   // another program holds it when it comes
    bool pts_path = false; // portrc names the pseudo-terminal itself
    bool piped = false;    // a script's pipe on standard input
    bool stale = false;    // the link stays; its number goes to another
    bool refused = false;  // run unprivileged; its node refuses at first
    bool fifo = false;     // a fifo at the path while it is away
    bool flapping = false; // it hangs up as soon as it is opened, 1 s
    bool crossing = false; // a key typed, the sending process stopped
    bool stopped = false;  // the screen stopped on a block as it goes
    const char* preload = nullptr; // a fault of the faults library
};

const char* const no_inotify = "NO_INOTIFY=1";

void PrintTo(const replug_case& c, std::ostream* os)
{
    *os << c.name;
}

class Replug : public Terminal,
               public ::testing::WithParamInterface<replug_case> {};

TEST_P(Replug, TheDeviceIsLetGoAtOnceAndTakenBackAsNew)
{
    const replug_case& c = GetParam();
    const std::string link = dir + "/modem",
                      path = c.pts_path ? device.path : link;
    ASSERT_EQ(symlink(device.path.c_str(), link.c_str()), 0);
    write_file(dir + "/portrc",
               path + "\n115200\n" + (c.stopped ? "XON/XOFF\n" : "NONE\n"));
    std::vector<std::string> argv;
    if (c.preload != nullptr)
        argv = preloaded(FAULTS_PATH, c.preload);
    if (c.refused && geteuid() != 0)
        GTEST_SKIP() << "needs root to run the program as another user";
    if (c.refused) {
        for (const std::string& f : {dir, dir + "/portrc", device.path})
            ASSERT_EQ(chmod(f.c_str(), 0777), 0);
        argv = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534",
                "--clear-groups", PORTTERM_PATH};
    }
    int feed[2] = {user.slave, -1};
    ASSERT_TRUE(!c.piped || pipe(feed) == 0);
    ASSERT_NO_FATAL_FAILURE(start_on(feed[0], user.slave, {}, false, argv));
    auto held = [&](const std::string& p) {
        return !open_flags(run.pid, p).empty() ||
               (!c.crossing && !open_flags(sender, p).empty());
    };
    auto said = [&](const std::string& text) {
        return "\r\n" + path + ": " + text + "\r\n";
    };
    auto line = [&](const std::string& text) {
        return read_bytes(run.err, said(text).size(), 1000) == said(text);
    };
    const std::string gone =
        c.pts_path ? "gone (Input/output error); Ctrl-B quits"
                   : "gone (Input/output error), waiting for it; Ctrl-B quits";
    // Neither process runs at all: no timer, no spin.
    auto idle = [&](const char* when) {
        auto woken = [&] {
            long n = 0;
            for (pid_t p : {run.pid, sender})
                n += cpu_ticks(p) +
                     status_figure(p, "voluntary_ctxt_switches") +
                     status_figure(p, "nonvoluntary_ctxt_switches");
            return n;
        };
        // Each asleep in the call it waits in, or stopped.
        auto asleep = [&](pid_t p) {
            std::string call =
                read_file("/proc/" + std::to_string(p) + "/syscall");
            call.resize(std::min(call.find(' '), call.size()));
            return process_state(p) == 'T' ||
                   (process_state(p) == 'S' &&
                    (call == std::to_string(SYS_read) ||
                     call == std::to_string(SYS_ppoll) ||
                     call == std::to_string(SYS_poll)));
        };
        EXPECT_TRUE(wait_until(
            [&] { return asleep(run.pid) && asleep(sender); }, 1000));
        long before = woken();
        usleep(500 * 1000);
        EXPECT_EQ(woken() - before, 0) << "woken or run " << when;
    };
    auto relink = [&](const std::string& to) {
        ASSERT_EQ(symlink(to.c_str(), (link + "~").c_str()), 0);
        ASSERT_EQ(rename((link + "~").c_str(), link.c_str()), 0);
    };
    for (int i = 0; i < std::max(c.returns, 1); ++i) {
        const std::string old = device.path;
        std::string flood(16384, '.');
        if (c.crossing) {
            signal_process(sender, SIGSTOP);
            ASSERT_TRUE(
                wait_until([&] { return process_state(sender) == 'T'; }, 2000));
            write_bytes(user.master, "K");
        }
        if (c.stopped) {
            // The receiving process waits for the screen with a block.
            write_bytes(user.master, "\x13");
            flood.resize(write_within(device.master, flood, 500));
            ASSERT_TRUE(wait_until(
                [&] {
                    return read_file("/proc/" + std::to_string(run.pid) +
                                     "/syscall")
                        .starts_with(std::to_string(SYS_ppoll) + " ");
                },
                2000));
        }
        if (!c.stale) {
            ASSERT_EQ(unlink(link.c_str()), 0);
        }
        close_pty(device);
        EXPECT_TRUE(wait_until([&] { return !held(old); }, 500))
            << "held after it went";
        if (c.stopped) {
            EXPECT_EQ(read_quiet(run.err, 200), "")
                << "said before the rest of its block";
            write_bytes(user.master, "\x11");
            std::string shown = read_quiet(user.master, 200);
            EXPECT_TRUE(!shown.empty() && flood.starts_with(shown))
                << shown.size() << " bytes of the block shown";
        }
        EXPECT_TRUE(line(gone));
        if (c.piped) {
            // A script's device that never comes back ends the run.
            EXPECT_EQ(wait_for_exit(run, 1000), 0);
            close(feed[1]);
            EXPECT_TRUE(same_settings(settings_of(user), user_before));
            return;
        }
        if (c.preload != no_inotify)
            idle("while it is away");
        write_bytes(user.master, "ATDT5551234\r"); // typed while it is away
        int holder = -1;
        if (c.pts_path || c.stale) {
            // Its number goes to another terminal, whose bytes and settings
            // are not the program's: news in the directory makes it try.
            ASSERT_NO_FATAL_FAILURE(plug_device(B2400, old));
            write_bytes(device.master, "x\n");
            write_file(dir + "/news", "");
            usleep(200 * 1000);
            int unread = -1;
            EXPECT_FALSE(held(device.path)) << "opened again";
            EXPECT_TRUE(same_settings(settings_of(device), device_before));
            EXPECT_TRUE(ioctl(device.slave, FIONREAD, &unread) == 0 &&
                        unread == 2);
        } else if (c.returns > 0 && !c.flapping) {
            ASSERT_NO_FATAL_FAILURE(plug_device(B2400));
        }
        if (c.returns == 0)
            break;
        if (!c.flapping)
            write_bytes(device.master, "STALE"); // before it is taken back
        if (c.locked) {
            holder = open(device.path.c_str(), O_RDWR | O_NOCTTY);
            ASSERT_EQ(flock(holder, LOCK_EX), 0);
        }
        if (c.fifo) {
            // Waited for as a path that is not a terminal, never opened.
            ASSERT_EQ(mkfifo(link.c_str(), 0600), 0);
            struct pollfd reader = {open(link.c_str(), O_RDONLY | O_NONBLOCK),
                                    POLLIN, 0};
            EXPECT_TRUE(line("Inappropriate ioctl for device, waiting for it; "
                             "Ctrl-B quits"));
            EXPECT_EQ(poll(&reader, 1, 0), 0) << "a writer came and went";
            close(reader.fd); // the link below is made over it
        }
        // A device that hangs up as soon as it is opened, for a second.
        std::string flaps;
        int opens = 0;
        for (int64_t end = now_ms() + 1000; c.flapping; ++opens) {
            ASSERT_NO_FATAL_FAILURE(plug_device(B2400));
            write_bytes(device.master, "STALE");
            ASSERT_NO_FATAL_FAILURE(relink(device.path));
            if (!wait_until([&] { return settings_of(device).c_lflag == 0; },
                            static_cast<int>(end - now_ms())))
                break;
            flaps += said("back");
            flaps += said(gone);
            close_pty(device);
            ASSERT_EQ(unlink(link.c_str()), 0);
        }
        EXPECT_EQ(read_bytes(run.err, flaps.size(), 1000), flaps);
        EXPECT_LE(opens, 5) << "opened in a second";
        if (c.refused) {
            // It comes refused by a mode and gets its own a moment later (a
            // pseudo-terminal opens only on its own devpts: the mode is that
            // of a directory on the way).
            const std::string sub = dir + "/sub";
            ASSERT_EQ(mkdir(sub.c_str(), 0700), 0);
            ASSERT_EQ(chmod(device.path.c_str(), 0666), 0);
            ASSERT_EQ(symlink(device.path.c_str(), (sub + "/tty").c_str()), 0);
            ASSERT_NO_FATAL_FAILURE(relink("sub/tty"));
            EXPECT_TRUE(
                line("Permission denied, waiting for it; Ctrl-B quits"));
            ASSERT_EQ(chmod(sub.c_str(), 0755), 0);
        } else if (!c.flapping) {
            ASSERT_NO_FATAL_FAILURE(relink(device.path));
        }
        if (holder >= 0) {
            EXPECT_TRUE(line("Resource temporarily unavailable, waiting for "
                             "it; Ctrl-B quits"));
            close(holder);
        }
        EXPECT_TRUE(line("back"));
        if (c.crossing) {
            signal_process(sender, SIGCONT);
            EXPECT_TRUE(wait_until(
                [&] { return !open_flags(sender, device.path).empty(); },
                1000));
        }
        ASSERT_TRUE(wait_until([&] { return raw_both(); }, 1000));
        struct termios t = settings_of(device);
        EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B115200));
        write_bytes(user.master, "AT\r");
        EXPECT_EQ(read_bytes(device.master, 3, 1000), "AT\r")
            << "keys typed before it came back reached it";
        write_bytes(device.master, "OK\r\n");
        EXPECT_EQ(read_bytes(user.master, 4, 1000), "OK\r\n")
            << "input from before its return was shown";
        idle("on a quiet line after its return");
    }
    EXPECT_TRUE(process_exists(run.pid)) << "it must not end by itself";
    expect_clean_end(quit());
    EXPECT_TRUE(same_settings(settings_of(user), user_before));
    // The device that came back has its own settings back.
    if (device.master >= 0) {
        EXPECT_EQ(read_quiet(device.master, 20), "");
        EXPECT_TRUE(same_settings(settings_of(device), device_before));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Departures, Replug,
    ::testing::Values(
        replug_case{.name = "AwayUntilCtrlB", .returns = 0},
        replug_case{.name = "ComesBack"},
        replug_case{.name = "ComesBackTwice", .returns = 2},
        replug_case{.name = "ComesBackLockedByAnother", .locked = true},
        replug_case{.name = "PseudoTerminalNeverOpenedAgain",
                    .returns = 0,
                    .pts_path = true},
        replug_case{.name = "ScriptEndsWhenAPseudoTerminalGoes",
                    .returns = 0,
                    .pts_path = true,
                    .piped = true},
        replug_case{.name = "StaleLinkWaitsUntilMadeAnew", .stale = true},
        replug_case{.name = "ComesBackOnItsModeChange",
                    .refused = true,
                    .crossing = true},
        replug_case{.name = "AFifoAtThePathIsNeverOpened", .fifo = true},
        replug_case{.name = "FlappingIsTriedOnTheTimer", .flapping = true},
        replug_case{.name = "KeyTypedBeforeItWentNeverCrosses",
                    .crossing = true},
        replug_case{.name = "GoneLineAfterTheRestOfItsBlock",
                    .stopped = true,
                    .preload = "EINTR_ON_STDERR=1"},
        replug_case{.name = "ComesBackWithoutWatching", .preload = no_inotify},
        // Gone 2 s before a count of milliseconds passes 31 bits, 24.86
        // days after boot: its timers still wait.
        replug_case{.name = "GoesOnTheTwentyFifthDayOfUptime",
                    .preload = "CLOCK_FROM_MS=2147481648"}),
    [](const ::testing::TestParamInfo<replug_case>& info) {
        return info.param.name;
    });

TEST_F(Terminal, TheSendingProcessKilledEndsTheRunAsKilled)
{
    ASSERT_NO_FATAL_FAILURE(start());
    signal_process(sender, SIGKILL);
    int status = wait_for_exit(run, quit_timeout_ms);
    ASSERT_NE(status, -1) << "the receiving process did not end";
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 128 + SIGKILL);
    EXPECT_EQ(read_quiet(run.err, 50), "\r\nkeyboard: Killed\r\n");
    EXPECT_EQ(children_of(run.pid), "");
    // The receiving process puts back what the killed one could not.
    expect_restored();
}

TEST_F(Terminal, StoppingAndContinuingTheSendingProcessKeepsTheTerminalWorking)
{
    ASSERT_NO_FATAL_FAILURE(start());
    for (int i = 0; i < 3; ++i) {
        signal_process(sender, SIGSTOP);
        ASSERT_TRUE(
            wait_until([&] { return process_state(sender) == 'T'; }, 2000));
        signal_process(sender, SIGCONT);
        write_bytes(device.master, "RING\r\n");
        ASSERT_EQ(read_bytes(user.master, 6, 2000), "RING\r\n");
        write_bytes(user.master, "ATA\r");
        ASSERT_EQ(read_bytes(device.master, 4, 2000), "ATA\r");
    }
    EXPECT_TRUE(process_exists(run.pid));
    expect_clean_end(quit());
    expect_restored();
}

TEST_F(Terminal, AStraySigchldDoesNotEndTheReceivingProcess)
{
    ASSERT_NO_FATAL_FAILURE(start());
    for (int i = 0; i < 5; ++i)
        signal_process(run.pid, SIGCHLD);
    usleep(50 * 1000);
    write_bytes(device.master, "CONNECT\r\n");
    EXPECT_EQ(read_bytes(user.master, 9, 2000), "CONNECT\r\n");
    write_bytes(user.master, "+++");
    EXPECT_EQ(read_bytes(device.master, 3, 2000), "+++");
    expect_clean_end(quit());
}

TEST_F(Terminal, AHungUpUserTerminalLeavesNoProcessBehind)
{
    ASSERT_NO_FATAL_FAILURE(start());
    close(user.master);
    close(user.slave);
    user.master = user.slave = -1;
    int status = wait_for_exit(run, 2000);
    EXPECT_NE(status, -1) << "portterm outlived its terminal";
    EXPECT_TRUE(wait_until([&] { return !process_exists(sender); }, 2000))
        << "the sending process outlived the terminal";
}

// Keys a user may paste under either flow control: no Ctrl-B, and none of
// the start and stop characters that a terminal with IXON takes for itself.
std::string paste_of(size_t size)
{
    std::string keys;
    for (size_t i = 0; i < size; ++i)
        keys += static_cast<char>('A' + i % 26);
    return keys;
}

// The ends of the program's life, as a shell user meets them: how the run
// is driven to its end, and what the device must have got by then.
class Ending;
struct end_case {
    const char* name;
    const char* flow;
    bool output_to_pipe = false;    // portterm | head -c 5
    void (*act)(Ending&) = nullptr; // what is done until the end
    int receiver_signal = 0;        // what ends the receiving process
    bool every_key_arrives = false; // else a prefix of what was typed
    inherited from = {};            // as a script or a service starts it
    const char* error = "";         // on standard error, and then status 255
    int status = -1;                // its exit status, when not the above
    bool keyboard_apart = false;    // portterm < /dev/pts/N
    bool own_session = false;       // exec portterm: it leads the session
    bool piped = false;             // producer | portterm
    bool unsent = false; // what the device did not get is said, status 255
    std::vector<std::string> argv = {}; // how portterm is run, if not plainly
};

const inherited full_stdout{1, "/dev/full"}, no_stdout{.fd = 1},
    chld_blocked{.sigchld_blocked = true},
    pipe_ignored{.sigpipe_ignored = true},
    pipe_blocked{.sigpipe_blocked = true};
const char* const no_space = "standard output: No space left on device\n";

void PrintTo(const end_case& c, std::ostream* os)
{
    *os << c.name;
}

class Ending : public Terminal, public ::testing::WithParamInterface<end_case> {
  public:
    std::string typed;     // keys typed before the end
    std::string at_device; // what the device got of them
    int out[2] = {-1, -1}; // the pipe standard output goes to, if any
    pty keys;              // the keyboard, when apart from the screen
    int feed = -1;         // the pipe's writing end, when standard input

    void TearDown() override
    {
        close_pty(keys);
        if (feed >= 0)
            close(feed);
        Terminal::TearDown();
    }

    // Keys the program must take from the terminal at once, whatever the
    // line does: a paste that is not all read within 5 s fails.
    void paste(const std::string& keys)
    {
        typed += keys;
        ASSERT_EQ(write_within(user.master, keys, 5000), keys.size())
            << "the keyboard was not read while the line held the keys";
    }

    // The device stops the line with XOFF; a paste waits behind it.
    static void held_by_xoff(Ending& t)
    {
        write_bytes(t.device.master, "\x13");
        usleep(50 * 1000);
        ASSERT_NO_FATAL_FAILURE(t.paste(paste_of(size_t{64} * 1024)));
        write_bytes(t.user.master, "\x02");
    }

    // No flow control and a device that reads nothing: its buffer fills.
    static void device_reads_nothing(Ending& t)
    {
        ASSERT_NO_FATAL_FAILURE(t.paste(paste_of(size_t{128} * 1024)));
        write_bytes(t.user.master, "\x02");
    }

    // The device floods the screen, which the user has stopped with Ctrl-S.
    static void screen_stopped(Ending& t)
    {
        write_bytes(t.user.master, "\x13");
        usleep(50 * 1000);
        write_within(t.device.master, std::string(size_t{64} * 1024, '.'), 500);
        usleep(100 * 1000);
        write_bytes(t.user.master, "\x02");
    }

    // The reader of standard output takes five bytes and goes away, with
    // the output in the middle of a block.
    static void output_reader_leaves(Ending& t)
    {
        write_within(t.device.master,
                     "CONNECT 9600\r\n" + paste_of(size_t{128} * 1024), 1000);
        ASSERT_EQ(read_bytes(t.out[0], 5, 2000), "CONNE");
        close(t.out[0]);
        t.out[0] = -1;
        write_within(t.device.master, "RING\r\n", 1000);
    }

    static void receiver_killed(Ending& t)
    {
        signal_process(t.run.pid, GetParam().receiver_signal);
    }

    // The screen, another terminal than the keyboard, stopped as Ctrl-S
    // stops it; the receiving process is killed.
    static void screen_stopped_receiver_killed(Ending& t)
    {
        tcflow(t.user.slave, TCOOFF);
        receiver_killed(t);
    }

    static void sender_killed(Ending& t)
    {
        signal_process(t.sender, SIGKILL);
    }

    // A service manager's or timeout's SIGTERM, the session's SIGHUP, or
    // the keyboard's Ctrl-C with output redirected: to the whole group.
    static void group_signalled(Ending& t)
    {
        signal_group(t.run.leader > 0 ? t.run.leader : t.run.pid,
                     GetParam().receiver_signal);
    }

    // A paste larger than the keys that may wait, behind XOFF: the store
    // fills, then the keyboard is read again and dropped until Ctrl-B.
    static void paste_beyond_the_bound(Ending& t)
    {
        write_bytes(t.device.master, "\x13");
        usleep(50 * 1000);
        ASSERT_NO_FATAL_FAILURE(t.paste(paste_of(size_t{2} << 20)));
        write_bytes(t.user.master, "\x02");
    }

    // portterm < /dev/zero, and a line that takes nothing: the keys that
    // wait stay under their bound, 1 MiB, beside what the receiving
    // process takes.
    static void endless_keyboard(Ending& t)
    {
        t.typed = std::string(size_t{4} << 20, '\0');
        usleep(500 * 1000);
        EXPECT_LT(status_figure(t.sender, "VmHWM"),
                  status_figure(t.run.pid, "VmRSS") + 1536);
        signal_group(t.run.leader, SIGTERM);
    }

    // More than the store piped into a line that takes nothing, held past
    // HELD_LINE_MS while the writer lives: nothing may go then.  The writer
    // ends with bytes left in the pipe, and the sending process takes the
    // hang-up; then the device reads all, or nothing.
    static void pipe_outlives_its_writer(Ending& t)
    {
        t.typed = paste_of(size_t{5} << 18);
        ASSERT_EQ(write_within(t.feed, t.typed, 5000), t.typed.size());
        int in_pipe = 0;
        ASSERT_TRUE(wait_until(
            [&] {
                return ioctl(t.feed, FIONREAD, &in_pipe) == 0 &&
                       in_pipe + (size_t{1} << 20) <= t.typed.size();
            },
            2000));
        usleep(1200 * 1000);
        ASSERT_EQ(ioctl(t.feed, FIONREAD, &in_pipe), 0);
        ASSERT_GT(in_pipe, 0) << "the pipe was read to be dropped";
        long woken = status_figure(t.sender, "voluntary_ctxt_switches");
        close(t.feed);
        t.feed = -1;
        ASSERT_TRUE(wait_until(
            [&] {
                return status_figure(t.sender, "voluntary_ctxt_switches") >
                           woken &&
                       process_state(t.sender) == 'S';
            },
            2000));
        if (!GetParam().unsent)
            t.at_device = read_bytes(t.device.master, t.typed.size(), 10000);
    }

    // A paste into a line read slowly but steadily, Ctrl-B, and Ctrl-B again
    // half a second later: the end comes within 2 s of the second, while the
    // rest of the paste would need half a minute.
    static void second_ctrl_b(Ending& t)
    {
        ASSERT_NO_FATAL_FAILURE(t.paste(paste_of(size_t{512} * 1024)));
        write_bytes(t.user.master, "\x02");
        int64_t second = now_ms() + 500;
        bool typed = false;
        while (process_exists(t.run.pid) && now_ms() < second + 2000) {
            t.at_device += read_bytes(t.device.master, 512, 100);
            usleep(40 * 1000);
            if (!typed && now_ms() >= second)
                write_bytes(t.user.master, "\x02");
            typed = typed || now_ms() >= second;
        }
        EXPECT_FALSE(process_exists(t.run.pid))
            << "2 s after the second Ctrl-B, with " << t.at_device.size()
            << " bytes sent";
    }

    static void ctrl_backslash(Ending& t)
    {
        write_bytes(t.user.master, "\x1c");
    }

    // XOFF, keys and Ctrl-B typed, and XON only 300 ms later; two bytes like
    // any other without flow control.
    static void xon_after_ctrl_b(Ending& t)
    {
        write_bytes(t.device.master, "\x13");
        usleep(50 * 1000);
        ASSERT_NO_FATAL_FAILURE(t.paste("ATDT5551234"));
        write_bytes(t.user.master, "\x02");
        usleep(300 * 1000);
        write_bytes(t.device.master, "\x11");
    }

    // A paste larger than the line's buffer, and a device that reads it
    // 4 KiB every 50 ms: slow, but moving.
    static void slow_reader(Ending& t)
    {
        ASSERT_NO_FATAL_FAILURE(t.paste(paste_of(size_t{64} * 1024)));
        write_bytes(t.user.master, "\x02");
        int64_t end = now_ms() + 5000;
        while (t.at_device.size() < t.typed.size() && now_ms() < end) {
            t.at_device += read_bytes(t.device.master, 4096, 200);
            usleep(50 * 1000);
        }
    }
};

TEST_P(Ending, EndsPromptlyAndLeavesTheTerminalsAsTheyWere)
{
    const end_case& c = GetParam();
    write_portrc("9600", c.flow);
    pty& keyboard = c.keyboard_apart ? keys = open_pty() : user;
    struct termios keyboard_before = settings_of(keyboard);
    if (c.output_to_pipe) {
        ASSERT_EQ(pipe(out), 0);
    }
    int in[2] = {keyboard.slave, -1};
    if (c.piped) {
        ASSERT_EQ(pipe(in), 0);
        ASSERT_GT(fcntl(in[1], F_SETPIPE_SZ, 1 << 20), 0);
        feed = in[1];
    }
    ASSERT_NO_FATAL_FAILURE(start_on(in[0],
                                     c.output_to_pipe ? out[1] : user.slave,
                                     c.from, c.own_session, c.argv));
    if (c.output_to_pipe)
        close(out[1]);
    if (c.piped)
        close(in[0]);
    ASSERT_NO_FATAL_FAILURE(c.act(*this));

    int status = wait_for_exit(run, quit_timeout_ms);
    ASSERT_NE(status, -1) << "portterm did not end";
    if (c.receiver_signal == 0) {
        ASSERT_TRUE(WIFEXITED(status)) << "status " << status;
        EXPECT_EQ(WEXITSTATUS(status), c.status >= 0          ? c.status
                                       : *c.error || c.unsent ? 255
                                                              : 0);
    } else {
        ASSERT_TRUE(WIFSIGNALED(status)) << "status " << status;
        EXPECT_EQ(WTERMSIG(status), c.receiver_signal);
    }
    at_device += read_quiet(device.master, 100);
    EXPECT_EQ(read_quiet(run.err, 50),
              c.unsent ? "\r\n" + device.path + ": " +
                             std::to_string(typed.size() - at_device.size()) +
                             " bytes of standard input not sent\r\n"
                       : c.error);
    EXPECT_TRUE(wait_until([&] { return !process_exists(sender); }, 1000))
        << "the sending process outlived the receiving process";
    EXPECT_EQ(children_of(run.leader), "") << "a process is left";
    expect_restored();
    EXPECT_TRUE(same_settings(settings_of(keyboard), keyboard_before))
        << "keyboard: " << describe(settings_of(keyboard));

    if (c.every_key_arrives) {
        EXPECT_TRUE(at_device == typed)
            << at_device.size() << " of " << typed.size() << " keys arrived";
    } else {
        EXPECT_EQ(typed.compare(0, at_device.size(), at_device), 0)
            << "the device got what was not typed before the end: "
            << testing::PrintToString(at_device);
    }
    // What the user types now is the shell's.
    write_bytes(keyboard.master, "ls\r");
    EXPECT_EQ(read_quiet(device.master, 100), "");
    // The screen runs: the shell's prompt shows.
    read_quiet(user.master, 20);
    fcntl(user.slave, F_SETFL, O_NONBLOCK);
    EXPECT_EQ(write(user.slave, "$ ", 2), 2) << "the screen is still stopped";
    EXPECT_EQ(read_quiet(user.master, 100), "$ ");
    if (out[0] >= 0)
        close(out[0]);
}

// The clock passes 2^31 ms (24.86 days) while the line is held.
std::vector<std::string> clock_near_wrap()
{
    return preloaded(FAULTS_PATH, "CLOCK_FROM_MS=2147483000");
}

INSTANTIATE_TEST_SUITE_P(
    Situations, Ending,
    ::testing::Values(end_case{"LineHeldByXoff", "XON/XOFF", false,
                               Ending::held_by_xoff, 0, false},
                      end_case{"DeviceReadsNothing", "NONE", false,
                               Ending::device_reads_nothing, 0, false},
                      end_case{"ScreenStoppedWithCtrlS", "XON/XOFF", false,
                               Ending::screen_stopped, 0, false},
                      end_case{"OutputReaderGoesAway", "NONE", true,
                               Ending::output_reader_leaves, SIGPIPE, false},
                      end_case{"ReceiverTerminated", "NONE", false,
                               Ending::receiver_killed, SIGTERM, false},
                      end_case{"ReceiverCrashed", "NONE", false,
                               Ending::receiver_killed, SIGKILL, false},
                      end_case{"XonAfterCtrlB", "XON/XOFF", false,
                               Ending::xon_after_ctrl_b, 0, true},
                      end_case{"SlowButMovingLine", "NONE", false,
                               Ending::slow_reader, 0, true},
                      end_case{"StandardOutputClosed", "NONE", false,
                               Ending::xon_after_ctrl_b, 0, true, no_stdout},
                      end_case{"SigchldBlocked", "NONE", false,
                               Ending::xon_after_ctrl_b, 0, true, chld_blocked},
                      end_case{"OutputReaderGoesAwayWithSigpipeIgnored", "NONE",
                               true, Ending::output_reader_leaves, SIGPIPE,
                               false, pipe_ignored},
                      end_case{"OutputReaderGoesAwayWithSigpipeBlocked", "NONE",
                               true, Ending::output_reader_leaves, 0, false,
                               pipe_blocked, "standard output: Broken pipe\n"},
                      end_case{"GroupTerminated", "NONE", false,
                               Ending::group_signalled, SIGTERM, false},
                      end_case{"GroupHungUp", "XON/XOFF", false,
                               Ending::group_signalled, SIGHUP, false},
                      end_case{"GroupInterrupted", "NONE", true,
                               Ending::group_signalled, SIGINT, false},
                      end_case{.name = "ReceiverCrashedInItsOwnSession",
                               .flow = "NONE",
                               .act = Ending::receiver_killed,
                               .receiver_signal = SIGKILL,
                               .own_session = true},
                      end_case{.name = "KeyboardApartReceiverCrashed",
                               .flow = "NONE",
                               .act = Ending::screen_stopped_receiver_killed,
                               .receiver_signal = SIGKILL,
                               .keyboard_apart = true},
                      end_case{.name = "KeyboardApartSenderKilled",
                               .flow = "NONE",
                               .act = Ending::sender_killed,
                               .error = "\r\nkeyboard: Killed\r\n",
                               .status = 128 + SIGKILL,
                               .keyboard_apart = true},
                      end_case{"PasteBeyondTheBoundOnAHeldLine", "XON/XOFF",
                               false, Ending::paste_beyond_the_bound, 0, false},
                      end_case{"EndlessKeyboardOnALineThatTakesNothing",
                               "NONE",
                               false,
                               Ending::endless_keyboard,
                               SIGTERM,
                               false,
                               {0, "/dev/zero"}},
                      end_case{"OutputToAFullDevice", "NONE", false,
                               Ending::xon_after_ctrl_b, 0, false, full_stdout,
                               no_space},
                      end_case{.name = "PipeOutlivesItsWriterOnAHeldLine",
                               .flow = "NONE",
                               .act = Ending::pipe_outlives_its_writer,
                               .every_key_arrives = true,
                               .piped = true},
                      end_case{.name = "PipeLeftFullByItsWriterIsSaidUnsent",
                               .flow = "NONE",
                               .act = Ending::pipe_outlives_its_writer,
                               .piped = true,
                               .unsent = true},
                      end_case{"SecondCtrlBOnASlowLine", "NONE", false,
                               Ending::second_ctrl_b, 0, false},
                      end_case{.name = "HeldPipeOnTheTwentyFifthDay",
                               .flow = "NONE",
                               .act = Ending::pipe_outlives_its_writer,
                               .every_key_arrives = true,
                               .piped = true,
                               .argv = clock_near_wrap()},
                      end_case{.name = "CtrlBackslashWithOutputRedirected",
                               .flow = "NONE",
                               .output_to_pipe = true,
                               .act = Ending::ctrl_backslash,
                               .receiver_signal = SIGQUIT,
                               .from = {.no_core = true}}),
    [](const ::testing::TestParamInfo<end_case>& info) {
        return info.param.name;
    });

// Devices portterm refuses before it touches anything: reported like a
// device that cannot be opened, with status 255.
struct refused_case {
    const char* name;
    const char* error; // after "PATH: "; none: standard error is closed
};

void PrintTo(const refused_case& c, std::ostream* os)
{
    *os << c.name;
}

class RefusedDevice : public Terminal,
                      public ::testing::WithParamInterface<refused_case> {};

TEST_P(RefusedDevice, IsReportedWithItsPathAndStatus255)
{
    const std::string name = GetParam().name;
    std::string path = device.path;
    const std::string content = "ATZ\r\nOK\r\n";
    int holder = -1;
    if (name.starts_with("RegularFile")) {
        path = dir + "/modem";
        write_file(path, content);
    } else if (name == "NamedPipe") {
        path = dir + "/modem";
        ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    } else if (name == "NullDevice") {
        path = "/dev/null";
    } else {
        // Another terminal program holds the port.
        holder = open(path.c_str(), O_RDWR | O_NOCTTY);
        ASSERT_GE(holder, 0);
        ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
    }
    write_file(dir + "/portrc", path + "\n9600\nNONE\n");
    const char* error = GetParam().error;
    run = start_portterm(dir, user.slave, user.slave, user.slave, {}, false,
                         {.fd = error ? -1 : 2});
    expect_failure(255, error ? path + ": " + error + "\n" : "");
    EXPECT_EQ(read_quiet(user.master, 20), "");
    expect_restored();
    if (name.starts_with("RegularFile")) {
        EXPECT_EQ(read_file(path), content) << "the file was changed";
    }
    if (holder >= 0) {
        EXPECT_EQ(read_quiet(device.master, 20), "");
        close(holder);
    }
}

INSTANTIATE_TEST_SUITE_P(
    NotATerminalOrLocked, RefusedDevice,
    ::testing::Values(
        refused_case{"RegularFile", "Inappropriate ioctl for device"},
        refused_case{"NamedPipe", "Inappropriate ioctl for device"},
        refused_case{"NullDevice", "Inappropriate ioctl for device"},
        refused_case{"LockedByAnotherProgram",
                     "Resource temporarily unavailable"},
        refused_case{"RegularFileWithStandardErrorClosed", nullptr},
        refused_case{"LockedWithStandardErrorClosed", nullptr}),
    [](const ::testing::TestParamInfo<refused_case>& info) {
        return info.param.name;
    });

TEST_F(Terminal, TheLockGoesWithTheEndAndASecondPorttermIsRefusedMeanwhile)
{
    ASSERT_NO_FATAL_FAILURE(start());
    pty other = open_pty();
    portterm_run second =
        start_portterm(dir, other.slave, other.slave, other.slave);
    int status = wait_for_exit(second, 2000);
    EXPECT_TRUE(status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 255)
        << "status " << status;
    EXPECT_EQ(read_quiet(second.err, 50),
              device.path + ": Resource temporarily unavailable\n");
    end_run(second);
    close_pty(other);
    expect_clean_end(quit());
    int again = open(device.path.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(again, 0);
    EXPECT_EQ(flock(again, LOCK_EX | LOCK_NB), 0) << "the port stayed locked";
    close(again);
}

// A driver that does not take the rate and the flow control asked: the
// line goes on at what it took, and says so, once, on a line of its own.
// Where the kernel's record is refused, the device is saved and put back
// through the C library's, and a custom rate is said to be refused.
struct refusal_case {
    const char* name;
    const char* setting; // of the preloaded driver
    const char* speed;
    std::vector<std::string> said;
};

void PrintTo(const refusal_case& c, std::ostream* os)
{
    *os << c.name;
}

class RefusingDriver : public Terminal,
                       public ::testing::WithParamInterface<refusal_case> {};

TEST_P(RefusingDriver, TheLineGoesOnAtWhatItTookAndSaysSo)
{
    const refusal_case& c = GetParam();
    write_portrc(c.speed, "RTS/CTS");
    run = start_portterm(dir, user.slave, user.slave, user.slave,
                         preloaded(REFUSED_RATE_PATH, c.setting));
    ASSERT_TRUE(wait_until([&] { return raw_both(); }, 2000));
    std::string said;
    for (const std::string& text : c.said)
        said += "\r\n" + device.path + ": " + text + "\r\n";
    EXPECT_EQ(read_quiet(run.err, 100), said);
    write_bytes(device.master, "OK\r\n");
    EXPECT_EQ(read_bytes(user.master, 4, 2000), "OK\r\n");
    EXPECT_EQ(quit(), 0);
    expect_restored();
}

INSTANTIATE_TEST_SUITE_P(
    Refusals, RefusingDriver,
    ::testing::Values(
        refusal_case{"RateAndFlowControl",
                     "REFUSED_RATE=9600",
                     "4000000",
                     {"4000000 bit/s refused, the line runs at 9600",
                      "RTS/CTS refused, the line runs without flow control"}},
        refusal_case{"TheKernelsRecord",
                     "REFUSED_RECORD=1",
                     "250000",
                     {"250000 bit/s refused, the line runs at 19200"}}),
    [](const ::testing::TestParamInfo<refusal_case>& info) {
        return info.param.name;
    });

// A SIGCHLD that lands after the receiving loop's last test of its flag
// and before its device read, every time: the preloaded library delays
// each device read by 400 ms before it is made, and Ctrl-B comes then.
TEST_F(Terminal, CtrlBJustBeforeTheDeviceReadStillEndsAtOnce)
{
    write_portrc("9600", "NONE");
    run = start_portterm(dir, user.slave, user.slave, user.slave,
                         preloaded(SLOW_READ_PATH, "SLOW_READ_MS=400"));
    ASSERT_TRUE(wait_until([&] { return raw_both(); }, 2000));
    ASSERT_TRUE(wait_until(
        [&] { return (sender = first_child_of(run.pid)) > 0; }, 2000));
    for (int i = 0; i < 3; ++i) {
        // A byte shown: the loop goes on to its flag and its next read.
        write_bytes(device.master, "x");
        ASSERT_EQ(read_bytes(user.master, 1, 2000), "x");
    }
    int64_t typed = now_ms();
    write_bytes(user.master, "\x02");
    expect_clean_end(wait_for_exit(run, quit_timeout_ms));
    // The delay itself, and little more.
    EXPECT_LT(now_ms() - typed, 1000);
    expect_restored();
}

// The device as the processes hold it, read from /proc: the receiving
// process reads it blocking (also after stray SIGCHLDs), and neither
// process takes it as its controlling terminal, with or without one.
class DeviceDescriptor : public Terminal,
                         public ::testing::WithParamInterface<bool> {};

TEST_P(DeviceDescriptor, IsReadBlockingAndNeverTheControllingTerminal)
{
    const bool with_ctty = GetParam();
    write_portrc("9600", "NONE");
    run = start_portterm(dir, with_ctty ? user.slave : -1, user.slave,
                         user.slave);
    ASSERT_TRUE(wait_until([&] { return raw_both(); }, 2000));
    ASSERT_TRUE(wait_until(
        [&] { return (sender = first_child_of(run.pid)) > 0; }, 2000));

    struct stat user_tty;
    ASSERT_EQ(fstat(user.slave, &user_tty), 0);
    for (pid_t pid : {run.pid, sender})
        EXPECT_EQ(controlling_terminal(pid),
                  with_ctty ? static_cast<long>(user_tty.st_rdev) : 0L);

    // Waited for: just after the split it holds the sender's description
    // too.  It sleeps in the read: a signal wakes it before kill returns.
    auto blocking_read = [&] {
        std::vector<int> flags = open_flags(run.pid, device.path);
        return flags.size() == 1 && (flags[0] & O_ACCMODE) == O_RDWR &&
               (flags[0] & O_NONBLOCK) == 0 &&
               read_file("/proc/" + std::to_string(run.pid) + "/syscall")
                   .starts_with(std::to_string(SYS_read) + " ");
    };
    EXPECT_TRUE(wait_until(blocking_read, 1000));
    for (int i = 0; i < 3; ++i) {
        signal_process(run.pid, SIGCHLD);
        signal_process(sender, SIGCHLD);
    }
    EXPECT_TRUE(wait_until(blocking_read, 1000))
        << "the device stayed non-blocking after a stray SIGCHLD";
    write_bytes(device.master, "OK\r\n");
    EXPECT_EQ(read_bytes(user.master, 4, 2000), "OK\r\n");
    for (pid_t pid : {run.pid, sender})
        EXPECT_EQ(controlling_terminal(pid),
                  with_ctty ? static_cast<long>(user_tty.st_rdev) : 0L);
    expect_clean_end(quit());
}

INSTANTIATE_TEST_SUITE_P(WithAndWithoutAControllingTerminal, DeviceDescriptor,
                         ::testing::Bool());

} // namespace
