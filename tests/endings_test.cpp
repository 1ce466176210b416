// SPDX-License-Identifier: MIT
// The ends of the program's life, as a shell user meets them.

#include "terminal.h"

namespace {

class Endings : public Terminal {};

TEST_F(Endings, EndOfStandardInputEndsTheProgramAsCtrlBDoes)
{
    int keys[2];
    ASSERT_EQ(pipe(keys), 0);
    ASSERT_NO_FATAL_FAILURE(start("9600", "NONE", {.in = keys[0]}));
    close(keys[0]);
    write_bytes(keys[1], "AT\r");
    close(keys[1]);
    EXPECT_TRUE(exited(wait_for_exit(run, quit_timeout_ms), 0));
    EXPECT_EQ(read_quiet(device.master, 50), "AT\r");
    EXPECT_EQ(read_quiet(run.err, 10), "");
    expect_restored();
}

// portterm <&-: the device is not taken for the keyboard.
TEST_F(Endings, WithoutStandardInputItEndsAtOnce)
{
    write_portrc("9600", "NONE");
    run = start_portterm(dir, user.slave, user.slave, user.slave, {}, false,
                         {.fd = 0});
    EXPECT_TRUE(exited(wait_for_exit(run, quit_timeout_ms), 0));
    EXPECT_EQ(read_quiet(device.master, 50), "");
    expect_restored();
}

TEST_F(Endings, TheSendingProcessKilledEndsTheRunAsKilled)
{
    ASSERT_NO_FATAL_FAILURE(start());
    signal_process(sender, SIGKILL);
    EXPECT_TRUE(exited(wait_for_exit(run, quit_timeout_ms), 128 + SIGKILL));
    EXPECT_EQ(read_quiet(run.err, 50), "\r\nkeyboard: Killed\r\n");
    EXPECT_EQ(children_of(run.pid), "");
    // The receiving process puts back what the killed one could not.
    expect_restored();
}

TEST_F(Endings, StoppingAndContinuingTheSendingProcessKeepsTheTerminalWorking)
{
    ASSERT_NO_FATAL_FAILURE(start());
    for (int i = 0; i < 3; ++i) {
        signal_process(sender, SIGSTOP);
        ASSERT_TRUE(wait_until([&] { return process_state(sender) == 'T'; },
                               patience_ms));
        signal_process(sender, SIGCONT);
        write_bytes(device.master, "RING\r\n");
        ASSERT_EQ(read_bytes(user.master, 6, patience_ms), "RING\r\n");
        write_bytes(user.master, "ATA\r");
        ASSERT_EQ(read_bytes(device.master, 4, patience_ms), "ATA\r");
    }
    EXPECT_TRUE(process_exists(run.pid));
    expect_clean_end(quit());
    expect_restored();
}

TEST_F(Endings, AStraySigchldDoesNotEndTheReceivingProcess)
{
    ASSERT_NO_FATAL_FAILURE(start());
    for (int i = 0; i < 5; ++i)
        signal_process(run.pid, SIGCHLD);
    usleep(50 * 1000);
    write_bytes(device.master, "CONNECT\r\n");
    EXPECT_EQ(read_bytes(user.master, 9, patience_ms), "CONNECT\r\n");
    write_bytes(user.master, "+++");
    EXPECT_EQ(read_bytes(device.master, 3, patience_ms), "+++");
    expect_clean_end(quit());
}

// The user's terminal hangs up, idle or (true) after Ctrl-B while a paste
// still goes down a line that moves: nothing is left, and at once.
class HungUp : public Terminal, public ::testing::WithParamInterface<bool> {};

TEST_P(HungUp, TheUserTerminalLeavesNoProcessBehind)
{
    ASSERT_NO_FATAL_FAILURE(start());
    if (GetParam()) {
        std::string paste = paste_of(size_t{64} * 1024);
        ASSERT_EQ(write_within(user.master, paste, patience_ms), paste.size());
        write_bytes(user.master, "\x02");
        drain_slowly(now_ms() + 200);
    }
    close_pty(user);
    drain_slowly(now_ms() + quit_timeout_ms);
    EXPECT_FALSE(process_exists(run.pid)) << "portterm outlived its terminal";
    EXPECT_FALSE(process_exists(sender)) << "so did the sending process";
    EXPECT_NE(wait_for_exit(run, patience_ms), -1);
}

INSTANTIATE_TEST_SUITE_P(IdleOrAfterCtrlBOnASlowLine, HungUp,
                         ::testing::Bool());

// The ends of the program's life, as a shell user meets them: how the run
// is driven to its end, and what the device must have got by then.
struct end_setting {
    const char* flow = "NONE";       // portrc's flow control
    int signal = 0;                  // what ends the receiving process
    bool every_key_arrives = false;  // else a prefix of what was typed
    bool output_to_pipe = false;     // portterm | head -c 5
    bool keyboard_apart = false;     // portterm < /dev/pts/N
    bool piped = false;              // producer | portterm
    bool own_session = false;        // exec portterm: it leads the session
    inherited from = {};             // as a script or a service starts it
    std::vector<std::string> argv{}; // how portterm is run, if not plainly
    const char* error = "";          // on standard error, then status 255
    int status = -1;                 // its exit status, when not the above
    bool unsent = false;             // what the device did not get is said, 255
    const char* quit = "\x02";       // the quit key as typed
};
class Ending;
struct end_case {
    const char* name;
    void (*act)(Ending&); // what is done until the end
    end_setting set = {};
};

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

    // Keys the program must take at once, whatever the line does: a paste
    // that is not all read within patience fails.
    void paste(const std::string& keys)
    {
        typed += keys;
        int to = feed >= 0 ? feed : user.master;
        ASSERT_EQ(write_within(to, keys, patience_ms), keys.size())
            << "the keyboard was not read while the line held the keys";
    }

    void type_quit()
    {
        write_bytes(feed >= 0 ? feed : user.master, GetParam().set.quit);
    }
};

// The device stops the line with XOFF; a paste waits behind it.
void held_by_xoff(Ending& t)
{
    t.hold_line();
    ASSERT_NO_FATAL_FAILURE(t.paste(paste_of(size_t{64} * 1024)));
    t.type_quit();
}

// No flow control and a device that reads nothing: its buffer fills.
void device_reads_nothing(Ending& t)
{
    ASSERT_NO_FATAL_FAILURE(t.paste(paste_of(size_t{128} * 1024)));
    t.type_quit();
}

// The device floods the screen, which the user has stopped with Ctrl-S.
void screen_stopped(Ending& t)
{
    write_bytes(t.user.master, "\x13");
    usleep(50 * 1000);
    write_within(t.device.master, std::string(size_t{64} * 1024, '.'), 500);
    usleep(100 * 1000);
    t.type_quit();
}

// The reader of standard output takes five bytes and goes away, with the
// output in the middle of a block.
void output_reader_leaves(Ending& t)
{
    write_within(t.device.master,
                 "CONNECT 9600\r\n" + paste_of(size_t{128} * 1024), 1000);
    ASSERT_EQ(read_bytes(t.out[0], 5, patience_ms), "CONNE");
    close(t.out[0]);
    t.out[0] = -1;
    write_within(t.device.master, "RING\r\n", 1000);
}

void receiver_signalled(Ending& t)
{
    signal_process(t.run.pid, t.GetParam().set.signal);
}

// The screen, another terminal than the keyboard, stopped as Ctrl-S stops
// it; the receiving process is killed.
void screen_stopped_receiver_killed(Ending& t)
{
    tcflow(t.user.slave, TCOOFF);
    receiver_signalled(t);
}

void sender_killed(Ending& t)
{
    signal_process(t.sender, SIGKILL);
}

// A service manager's or timeout's SIGTERM, the session's SIGHUP, or the
// keyboard's Ctrl-C with output redirected: to the whole group.
void group_signalled(Ending& t)
{
    signal_group(t.run.leader > 0 ? t.run.leader : t.run.pid,
                 t.GetParam().set.signal);
}

// A paste larger than the keys that may wait, behind XOFF: the store
// fills, then the keyboard is read again and dropped until Ctrl-B.
void paste_beyond_the_bound(Ending& t)
{
    t.hold_line();
    ASSERT_NO_FATAL_FAILURE(t.paste(paste_of(size_t{2} << 20)));
    t.type_quit();
}

// portterm < /dev/zero, and a line that takes nothing: the keys that wait
// stay under their bound, 1 MiB, beside what the receiving process takes.
void endless_keyboard(Ending& t)
{
    t.typed = std::string(size_t{4} << 20, '\0');
    usleep(500 * 1000);
    EXPECT_LT(status_figure(t.sender, "VmHWM"),
              status_figure(t.run.pid, "VmRSS") + 1536);
    signal_group(t.run.leader, SIGTERM);
}

// More than the store piped into a line that takes nothing, stalled past
// STALL_MS while the writer lives: nothing may go then.  The writer ends
// with bytes left in the pipe, and the sending process takes the hang-up;
// then the device reads all, or nothing.
void pipe_outlives_its_writer(Ending& t)
{
    t.typed = paste_of(size_t{5} << 18);
    ASSERT_EQ(write_within(t.feed, t.typed, patience_ms), t.typed.size());
    int in_pipe = 0;
    ASSERT_TRUE(wait_until(
        [&] {
            return ioctl(t.feed, FIONREAD, &in_pipe) == 0 &&
                   in_pipe + (size_t{1} << 20) <= t.typed.size();
        },
        patience_ms));
    usleep(1200 * 1000);
    ASSERT_EQ(ioctl(t.feed, FIONREAD, &in_pipe), 0);
    ASSERT_GT(in_pipe, 0) << "the pipe was read to be dropped";
    long woken = status_figure(t.sender, "voluntary_ctxt_switches");
    close(t.feed);
    t.feed = -1;
    ASSERT_TRUE(wait_until(
        [&] {
            return status_figure(t.sender, "voluntary_ctxt_switches") > woken &&
                   process_state(t.sender) == 'S';
        },
        patience_ms));
    if (!t.GetParam().set.unsent)
        t.at_device = read_bytes(t.device.master, t.typed.size(), 10000);
}

// A paste into a line read slowly but steadily, Ctrl-B, and Ctrl-B again
// half a second later: the end comes within 2 s of the second, while the
// rest of the paste would need half a minute.
void second_ctrl_b(Ending& t)
{
    ASSERT_NO_FATAL_FAILURE(t.paste(paste_of(size_t{512} * 1024)));
    t.type_quit();
    t.at_device = t.drain_slowly(now_ms() + 500);
    t.type_quit();
    t.at_device += t.drain_slowly(now_ms() + 2000);
    EXPECT_FALSE(process_exists(t.run.pid))
        << "2 s after the second Ctrl-B, with " << t.at_device.size()
        << " bytes sent";
}

// The same paste, and two Ctrl-B in one write (a double tap over a slow
// remote login), on a line read slowly but steadily: the end comes at
// once.
void two_ctrl_b_at_once(Ending& t)
{
    ASSERT_NO_FATAL_FAILURE(t.paste(paste_of(size_t{512} * 1024)));
    t.type_quit();
    t.at_device = t.drain_slowly(now_ms() + 2000);
    EXPECT_FALSE(process_exists(t.run.pid)) << "2 s after them";
}

void ctrl_backslash(Ending& t)
{
    write_bytes(t.user.master, "\x1c");
}

// XOFF, keys and the quit key typed, and XON only 300 ms later.
void xon_after_ctrl_b(Ending& t)
{
    t.hold_line();
    ASSERT_NO_FATAL_FAILURE(t.paste("ATDT5551234"));
    t.type_quit();
    usleep(300 * 1000);
    write_bytes(t.device.master, "\x11");
}

// 900 KiB pasted while XOFF holds the line, then let go and read whole,
// twice: the store that held them gives back its pages once it is empty.
void held_paste_drained_twice(Ending& t)
{
    for (int i = 0; i < 2; ++i) {
        t.hold_line();
        const std::string keys = paste_of(size_t{900} * 1024);
        ASSERT_NO_FATAL_FAILURE(t.paste(keys));
        write_bytes(t.device.master, "\x11");
        t.at_device += read_bytes(t.device.master, keys.size(), patience_ms);
    }
    EXPECT_TRUE(wait_until(
        [&] {
            return status_figure(t.sender, "VmRSS") + 512 <
                   status_figure(t.sender, "VmHWM");
        },
        patience_ms))
        << status_figure(t.sender, "VmRSS") << " KiB kept";
    t.type_quit();
}

// A paste larger than the line's buffer, and a device that reads it
// 4 KiB every 40 ms: slow, but moving.
void slow_reader(Ending& t)
{
    ASSERT_NO_FATAL_FAILURE(t.paste(paste_of(size_t{64} * 1024)));
    t.type_quit();
    t.at_device = t.drain_slowly(now_ms() + patience_ms, 4096);
}

TEST_P(Ending, EndsPromptlyAndLeavesTheTerminalsAsTheyWere)
{
    const end_setting& c = GetParam().set;
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
    ASSERT_NO_FATAL_FAILURE(start("9600", c.flow,
                                  {.in = in[0],
                                   .out = c.output_to_pipe ? out[1] : -1,
                                   .argv = c.argv,
                                   .from = c.from,
                                   .own_session = c.own_session}));
    if (c.output_to_pipe)
        close(out[1]);
    if (c.piped)
        close(in[0]);
    ASSERT_NO_FATAL_FAILURE(GetParam().act(*this));

    int status = wait_for_exit(run, quit_timeout_ms);
    int code = c.status >= 0 ? c.status : *c.error || c.unsent ? 255 : 0;
    EXPECT_TRUE(c.signal != 0 ? killed(status, c.signal)
                              : exited(status, code));
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

const char* const xon = "XON/XOFF";
const end_setting every_key{.every_key_arrives = true};

// A row a line, where it fits.
// clang-format off
INSTANTIATE_TEST_SUITE_P(Situations, Ending, ::testing::ValuesIn(std::vector<end_case>{
    {"LineHeldByXoff", held_by_xoff, {.flow = xon}},
    {"DeviceReadsNothing", device_reads_nothing},
    {"ScreenStoppedWithCtrlS", screen_stopped, {.flow = xon}},
    {"OutputReaderGoesAway", output_reader_leaves,
     {.signal = SIGPIPE, .output_to_pipe = true}},
    {"ReceiverTerminated", receiver_signalled, {.signal = SIGTERM}},
    {"ReceiverCrashed", receiver_signalled, {.signal = SIGKILL}},
    {"XonAfterCtrlB", xon_after_ctrl_b, {.flow = xon, .every_key_arrives = true}},
    // Two Ctrl-B in one read end a pipe as one does: the keys before go.
    {"XonAfterTwoCtrlBFromAPipe", xon_after_ctrl_b,
     {.flow = xon, .every_key_arrives = true, .piped = true, .quit = "\x02\x02"}},
    {"SlowButMovingLine", slow_reader, every_key},
    {"StandardOutputClosed", xon_after_ctrl_b,
     {.every_key_arrives = true, .from = {.fd = 1}}},
    {"SigchldBlocked", xon_after_ctrl_b,
     {.every_key_arrives = true, .from = {.sigchld_blocked = true}}},
    {"OutputReaderGoesAwayWithSigpipeIgnored", output_reader_leaves,
     {.signal = SIGPIPE, .output_to_pipe = true, .from = {.sigpipe_ignored = true}}},
    {"OutputReaderGoesAwayWithSigpipeBlocked", output_reader_leaves,
     {.output_to_pipe = true, .from = {.sigpipe_blocked = true},
      .error = "standard output: Broken pipe\n"}},
    {"GroupTerminated", group_signalled, {.signal = SIGTERM}},
    {"GroupHungUp", group_signalled, {.flow = xon, .signal = SIGHUP}},
    {"GroupInterrupted", group_signalled, {.signal = SIGINT, .output_to_pipe = true}},
    {"ReceiverCrashedInItsOwnSession", receiver_signalled,
     {.signal = SIGKILL, .own_session = true}},
    {"KeyboardApartReceiverCrashed", screen_stopped_receiver_killed,
     {.signal = SIGKILL, .keyboard_apart = true}},
    {"KeyboardApartSenderKilled", sender_killed,
     {.keyboard_apart = true, .error = "\r\nkeyboard: Killed\r\n",
      .status = 128 + SIGKILL}},
    {"PasteBeyondTheBoundOnAHeldLine", paste_beyond_the_bound, {.flow = xon}},
    {"HeldPasteDrainedTwice", held_paste_drained_twice,
     {.flow = xon, .every_key_arrives = true}},
    {"EndlessKeyboardOnALineThatTakesNothing", endless_keyboard,
     {.signal = SIGTERM, .from = {0, "/dev/zero"}}},
    {"OutputToAFullDevice", xon_after_ctrl_b,
     {.from = {1, "/dev/full"}, .error = "standard output: No space left on device\n"}},
    {"PipeOutlivesItsWriterOnAHeldLine", pipe_outlives_its_writer,
     {.every_key_arrives = true, .piped = true}},
    {"PipeLeftFullByItsWriterIsSaidUnsent", pipe_outlives_its_writer,
     {.piped = true, .unsent = true}},
    {"SecondCtrlBOnASlowLine", second_ctrl_b},
    {"TwoCtrlBAtOnceOnASlowLine", two_ctrl_b_at_once, {.quit = "\x02\x02"}},
    // The clock passes 2^31 ms (24.86 days) while the line is held.
    {"HeldPipeOnTheTwentyFifthDay", pipe_outlives_its_writer,
     {.every_key_arrives = true, .piped = true,
      .argv = faulty({"CLOCK_FROM_MS=2147483000"})}},
    {"CtrlBackslashWithOutputRedirected", ctrl_backslash,
     {.signal = SIGQUIT, .output_to_pipe = true, .from = {.no_core = true}}}}),
    row_name<end_case>);
// clang-format on

} // namespace
