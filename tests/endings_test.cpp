// SPDX-License-Identifier: MIT
// The ends of the program's life, as a shell user meets them.

#include "terminal.h"

namespace {

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

    // The same paste, and two Ctrl-B in one write (a double tap over a slow
    // remote login), on a line read slowly but steadily: the end comes at
    // once.
    static void two_ctrl_b_at_once(Ending& t)
    {
        ASSERT_NO_FATAL_FAILURE(t.paste(paste_of(size_t{512} * 1024)));
        write_bytes(t.user.master, "\x02\x02");
        for (int64_t end = now_ms() + 2000;
             process_exists(t.run.pid) && now_ms() < end; usleep(50 * 1000))
            t.at_device += read_bytes(t.device.master, 512, 50);
        EXPECT_FALSE(process_exists(t.run.pid)) << "2 s after them";
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
    EXPECT_TRUE(
        wait_until([&] { return !process_exists(sender); }, patience_ms))
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
                      end_case{"TwoCtrlBAtOnceOnASlowLine", "NONE", false,
                               Ending::two_ctrl_b_at_once, 0, false},
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

} // namespace
