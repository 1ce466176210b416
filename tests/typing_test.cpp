// SPDX-License-Identifier: MIT
// Typing and bytes: every key reaches the device and every byte of the
// device the screen, unchanged, on the lines the program sets up.

#include <sys/syscall.h>
#include <thread>

#include "rates.h"
#include "terminal.h"

namespace {

class Typing : public Terminal {};

// Enter reaches the device as a carriage return, Ctrl-C and Ctrl-Z as data.
TEST_F(Typing, EveryTypedByteButCtrlBReachesTheDeviceUnchanged)
{
    ASSERT_NO_FATAL_FAILURE(start());
    write_bytes(user.master, "AT\r");
    EXPECT_EQ(read_bytes(device.master, 3, patience_ms), "AT\r");
    const std::string typed = all_bytes_but('\x02');
    write_bytes(user.master, typed);
    EXPECT_EQ(read_bytes(device.master, typed.size(), patience_ms), typed);
    // Nothing typed is echoed by the program itself.
    EXPECT_EQ(read_quiet(user.master, 50), "");
    expect_clean_end(quit());
    expect_restored();
}

TEST_F(Typing, EveryDeviceByteReachesTheScreenUnchanged)
{
    ASSERT_NO_FATAL_FAILURE(start());
    const std::string sent = all_bytes_but('\xff') + "\xff" + "line\nend\r\n";
    write_bytes(device.master, sent);
    EXPECT_EQ(read_bytes(user.master, sent.size(), patience_ms), sent);
    // 1 MiB in full blocks to a screen read slowly: the rest of each block
    // waits for it.
    std::string flood;
    while (flood.size() < size_t{1} << 20)
        flood += all_bytes_but('\xff');
    std::thread modem([&] { write_within(device.master, flood, 20000); });
    std::string shown;
    while (shown.size() < flood.size()) {
        std::string got = read_bytes(user.master, 8192, patience_ms);
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

TEST_F(Typing, CtrlBAsTheFirstKeySendsNothingAndRestoresBoth)
{
    ASSERT_NO_FATAL_FAILURE(start());
    expect_clean_end(quit());
    EXPECT_EQ(read_quiet(device.master, 50), "");
    expect_restored();
}

TEST_F(Typing, CtrlBInTheMiddleOfAPasteSendsOnlyWhatCameBeforeIt)
{
    ASSERT_NO_FATAL_FAILURE(start());
    // Nor left for the shell.  All of it is in before the keyboard is read.
    signal_process(sender, SIGSTOP);
    ASSERT_TRUE(
        wait_until([&] { return process_state(sender) == 'T'; }, patience_ms));
    const std::string paste = "ATZ\r\x02" + std::string(8192, 'x');
    ASSERT_EQ(write_within(user.master, paste, patience_ms), paste.size());
    signal_process(sender, SIGCONT);
    int status = wait_for_exit(run, quit_timeout_ms);
    expect_clean_end(status);
    EXPECT_EQ(read_quiet(device.master, 100), "ATZ\r");
    expect_restored();
    int unread = -1;
    EXPECT_EQ(ioctl(user.slave, FIONREAD, &unread), 0);
    EXPECT_EQ(unread, 0) << "keys after Ctrl-B are left for the shell";
}

TEST_F(Typing, AFullDuplexConversationEndsWithBothTerminalsAsBefore)
{
    ASSERT_NO_FATAL_FAILURE(start("38400", "RTS/CTS"));
    for (int i = 0; i < 20; ++i) {
        std::string key = "AT" + std::to_string(i) + "\r";
        write_bytes(user.master, key);
        ASSERT_EQ(read_bytes(device.master, key.size(), patience_ms), key);
        std::string answer = "\r\nOK " + std::to_string(i) + "\r\n";
        write_bytes(device.master, answer);
        ASSERT_EQ(read_bytes(user.master, answer.size(), patience_ms), answer);
    }
    expect_clean_end(quit());
    expect_restored();
}

// The settings the device and the user's terminal carry while running.
struct line_case {
    const char* speed;
    const char* flow;
    unsigned rate;           // bit/s, read back as the kernel has it
    tcflag_t flow_flags = 0; // IXON | IXOFF, or CRTSCTS
    bool custom = false;     // a rate beside the speed codes
    unsigned found_at = 0;   // the device's custom rate before, if any
};

class LineSettings : public Terminal,
                     public ::testing::WithParamInterface<line_case> {};

TEST_P(LineSettings, DeviceAndUserTerminalCarryExactlyTheRawSettings)
{
    const line_case& c = GetParam();
    if (c.found_at != 0) {
        ASSERT_TRUE(set_kernel_rate(device.slave, c.found_at));
        device_before = settings_of(device);
    }
    ASSERT_NO_FATAL_FAILURE(start(c.speed, c.flow));
    for (const pty* p : {&device, &user}) {
        struct termios t = settings_of(*p);
        SCOPED_TRACE(p == &device ? "device" : "user's terminal");
        EXPECT_EQ(t.c_iflag, IGNPAR | (c.flow_flags & (IXON | IXOFF)));
        EXPECT_EQ(t.c_oflag, 0u);
        EXPECT_EQ(t.c_lflag, 0u);
        EXPECT_EQ(t.c_cc[VMIN], 1);
        EXPECT_EQ(t.c_cc[VTIME], 0);
    }
    // The device runs the line of portrc; the user's terminal keeps its own.
    struct termios d = settings_of(device), u = settings_of(user);
    EXPECT_EQ(d.c_cflag & ~(CBAUD | CIBAUD),
              CS8 | CLOCAL | CREAD | (c.flow_flags & CRTSCTS));
    kernel_rates rates = {};
    ASSERT_TRUE(read_kernel_rates(device.master, rates));
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
    ASSERT_TRUE(read_kernel_rates(device.master, rates));
    EXPECT_EQ(rates.out, c.found_at != 0 ? c.found_at : 1200);
}

INSTANTIATE_TEST_SUITE_P(
    SpeedsAndFlowControl, LineSettings,
    ::testing::Values(
        line_case{"9600", "NONE", 9600}, line_case{"38400", "NONE", 38400},
        line_case{"1200", "RTS/CTS", 1200, CRTSCTS},
        line_case{"2400", "XON/XOFF", 2400, IXON | IXOFF},
        line_case{"4800", "xon/xoff", 4800}, line_case{"4800", "rts/cts", 4800},
        line_case{"19200", "", 19200}, line_case{"115200", "NONE", 115200},
        line_case{"9600 ", "RTS/CTS ", 19200},
        line_case{"1000", "NONE", 1000, 0, true},
        line_case{"74880", "RTS/CTS", 74880, CRTSCTS, true, 250000}));

TEST_F(Typing, UnderXonXoffTheUsersStopAndStartKeysAreNotSent)
{
    ASSERT_NO_FATAL_FAILURE(start("9600", "XON/XOFF"));
    write_bytes(user.master, "a\x13\x11"
                             "b");
    EXPECT_EQ(read_bytes(device.master, 2, patience_ms), "ab");
    // NUL is data, not a flow control character.
    write_bytes(user.master, std::string("\0c", 2));
    EXPECT_EQ(read_bytes(device.master, 2, patience_ms), std::string("\0c", 2));
    expect_clean_end(quit());
    expect_restored();
}

TEST_F(Typing, WithOutputRedirectedTheKeyboardKeepsItsSignalsAndTranslation)
{
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    ASSERT_NO_FATAL_FAILURE(start("9600", "NONE", {.out = out[1]}));
    close(out[1]);
    struct termios t = settings_of(user);
    EXPECT_EQ(t.c_lflag, user_before.c_lflag & ~(ICANON | ECHO));
    EXPECT_EQ(t.c_iflag, user_before.c_iflag);
    EXPECT_EQ(t.c_oflag, user_before.c_oflag);
    // Enter still arrives as a line feed: the terminal translates it.
    write_bytes(user.master, "x\r");
    EXPECT_EQ(read_bytes(device.master, 2, patience_ms), "x\n");
    // The device's bytes go to the redirected output.
    write_bytes(device.master, "OK\n");
    EXPECT_EQ(read_bytes(out[0], 3, patience_ms), "OK\n");
    expect_clean_end(quit());
    close(out[0]);
    expect_restored();
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

class RefusingDriver : public Terminal,
                       public ::testing::WithParamInterface<refusal_case> {};

TEST_P(RefusingDriver, TheLineGoesOnAtWhatItTookAndSaysSo)
{
    const refusal_case& c = GetParam();
    ASSERT_NO_FATAL_FAILURE(
        start(c.speed, "RTS/CTS", {.argv = faulty({c.setting})}));
    // Lines in a row, the screen still: a line break before the first.
    std::string said = "\r\n";
    for (const std::string& text : c.said)
        said += device.path + ": " + text + "\r\n";
    EXPECT_EQ(read_quiet(run.err, 100), said);
    write_bytes(device.master, "OK\r\n");
    EXPECT_EQ(read_bytes(user.master, 4, patience_ms), "OK\r\n");
    EXPECT_EQ(quit(), 0);
    expect_restored();
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Refusals, RefusingDriver, ::testing::Values(
    refusal_case{"RateAndFlowControl", "REFUSED_RATE=9600", "4000000",
                 {"4000000 bit/s refused, the line runs at 9600",
                  "RTS/CTS refused, the line runs without flow control"}},
    refusal_case{"TheKernelsRecord", "REFUSED_RECORD=1", "250000",
                 {"250000 bit/s refused, the line runs at 19200"}}),
    row_name<refusal_case>);
// clang-format on

// A SIGCHLD that lands after the receiving loop's last test of its flag
// and before its device read, every time: the preloaded library delays
// each device read by 400 ms before it is made, and Ctrl-B comes then.
TEST_F(Typing, CtrlBJustBeforeTheDeviceReadStillEndsAtOnce)
{
    ASSERT_NO_FATAL_FAILURE(
        start("9600", "NONE", {.argv = faulty({"SLOW_READ_MS=400"})}));
    for (int i = 0; i < 3; ++i) {
        // A byte shown: the loop goes on to its flag and its next read.
        write_bytes(device.master, "x");
        ASSERT_EQ(read_bytes(user.master, 1, patience_ms), "x");
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
// process takes it as its controlling terminal, with or without one, and
// without /proc, where it is opened by its name.
class DeviceDescriptor : public Terminal,
                         public ::testing::WithParamInterface<int> {};

// 0: with a controlling terminal; 1: without; 2: without one or /proc.
TEST_P(DeviceDescriptor, IsReadBlockingAndNeverTheControllingTerminal)
{
    const bool with_ctty = GetParam() == 0, no_proc = GetParam() == 2;
    if (std::string why = no_proc_here(); no_proc && !why.empty())
        GTEST_SKIP() << why;
    ASSERT_NO_FATAL_FAILURE(
        start("9600", "NONE",
              {.argv = no_proc ? without_proc() : std::vector<std::string>{},
               .no_ctty = !with_ctty}));

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
               (flags[0] & O_NONBLOCK) == 0 && syscall_of(run.pid) == READ_CALL;
    };
    EXPECT_TRUE(wait_until(blocking_read, patience_ms));
    for (int i = 0; i < 3; ++i) {
        signal_process(run.pid, SIGCHLD);
        signal_process(sender, SIGCHLD);
    }
    EXPECT_TRUE(wait_until(blocking_read, patience_ms))
        << "the device stayed non-blocking after a stray SIGCHLD";
    write_bytes(device.master, "OK\r\n");
    EXPECT_EQ(read_bytes(user.master, 4, patience_ms), "OK\r\n");
    for (pid_t pid : {run.pid, sender})
        EXPECT_EQ(controlling_terminal(pid),
                  with_ctty ? static_cast<long>(user_tty.st_rdev) : 0L);
    expect_clean_end(quit());
}

INSTANTIATE_TEST_SUITE_P(CttyNoneNoProc, DeviceDescriptor,
                         ::testing::Range(0, 3));

} // namespace
