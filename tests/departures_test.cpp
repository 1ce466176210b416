// SPDX-License-Identifier: MIT
// Departures: a device that goes and comes back, as a USB adapter unplugged
// and plugged in again.  portrc names a link to a pseudo-terminal: the
// unplug closes it and removes the link, the replug points the link at a
// new one in one rename, after the device has sent input that nobody may
// see.  Each story runs in a devpts of its own, so that the numbers it
// waits for are not taken by other programs' terminals.

#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <ostream>
#include <poll.h>
#include <string>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "harness.h"
#include "terminal.h"

namespace {

class Departures : public Terminal {
  public:
    bool root = false;        // the test runs as the superuser, outside
    std::string link;         // the link a replug points anew
    std::string path;         // what portrc names
    std::string gone;         // the line said when the device goes
    std::string old;          // the path of the device unplugged last
    bool watch_sender = true; // held() looks into the sending process too
    int feed = -1;            // the pipe on standard input, if any

    void SetUp() override
    {
        root = geteuid() == 0;
        if (std::string why = enter_own_devpts(); !why.empty())
            GTEST_SKIP() << why;
        Terminal::SetUp();
        link = dir + "/modem";
        ASSERT_EQ(symlink(device.path.c_str(), link.c_str()), 0);
    }

    void TearDown() override
    {
        if (feed >= 0)
            close(feed);
        Terminal::TearDown();
    }

    // Starts portterm with portrc naming to (the link, or the device
    // itself), with a pipe on standard input when piped.
    void start_through(const std::string& to, const char* flow = "NONE",
                       const std::vector<std::string>& argv = {},
                       bool piped = false)
    {
        path = to;
        gone = to == link
                   ? "gone (Input/output error), waiting for it; Ctrl-B quits"
                   : "gone (Input/output error); Ctrl-B quits";
        write_file(dir + "/portrc", path + "\n115200\n" + flow + "\n");
        ASSERT_EQ(chmod((dir + "/portrc").c_str(), 0666), 0); // for nobody
        int in[2] = {user.slave, -1};
        ASSERT_TRUE(!piped || pipe(in) == 0);
        feed = in[1];
        ASSERT_NO_FATAL_FAILURE(start_on(in[0], user.slave, {}, false, argv));
        if (piped)
            close(in[0]);
    }

    bool held(const std::string& p)
    {
        return !open_flags(run.pid, p).empty() ||
               (watch_sender && !open_flags(sender, p).empty());
    }

    std::string said(const std::string& text)
    {
        return "\r\n" + path + ": " + text + "\r\n";
    }

    void expect_line(const std::string& text)
    {
        EXPECT_EQ(read_bytes(run.err, said(text).size(), patience_ms),
                  said(text));
    }

    // Neither process runs at all: no timer, no spin.  Each sleeps in the
    // call it waits in, or is stopped.
    void idle(const char* when)
    {
        auto woken = [&] {
            long n = 0;
            for (pid_t p : {run.pid, sender})
                n += cpu_ticks(p) +
                     status_figure(p, "voluntary_ctxt_switches") +
                     status_figure(p, "nonvoluntary_ctxt_switches");
            return n;
        };
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
            [&] { return asleep(run.pid) && asleep(sender); }, patience_ms));
        long before = woken();
        usleep(500 * 1000);
        EXPECT_EQ(woken() - before, 0) << "woken or run " << when;
    }

    void relink(const std::string& to)
    {
        ASSERT_EQ(symlink(to.c_str(), (link + "~").c_str()), 0);
        ASSERT_EQ(rename((link + "~").c_str(), link.c_str()), 0);
    }

    // The device closes, and its link goes unless kept: let go at once.
    void unplug(bool keep_link = false)
    {
        old = device.path;
        if (!keep_link) {
            ASSERT_EQ(unlink(link.c_str()), 0);
        }
        close_pty(device);
        EXPECT_TRUE(wait_until([&] { return !held(old); }, patience_ms))
            << "held after it went";
    }

    // A new device, which has something to say before it is taken back.
    void plug()
    {
        ASSERT_NO_FATAL_FAILURE(plug_device(B2400));
        write_bytes(device.master, "STALE");
    }

    void expect_back()
    {
        expect_line("back");
        ASSERT_TRUE(wait_until([&] { return raw_both(); }, patience_ms));
        struct termios t = settings_of(device);
        EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B115200));
    }

    void expect_bytes_both_ways()
    {
        write_bytes(user.master, "AT\r");
        EXPECT_EQ(read_bytes(device.master, 3, patience_ms), "AT\r")
            << "keys typed before it came back reached it";
        write_bytes(device.master, "OK\r\n");
        EXPECT_EQ(read_bytes(user.master, 4, patience_ms), "OK\r\n")
            << "input from before its return was shown";
        idle("on a quiet line after its return");
    }

    // Unplugged, said gone, and waited for asleep, or not where a timer
    // runs; keys typed meanwhile.
    void leave(bool asleep, bool keep_link = false)
    {
        ASSERT_NO_FATAL_FAILURE(unplug(keep_link));
        expect_line(gone);
        if (asleep)
            idle("while it is away");
        write_bytes(user.master, "ATDT5551234\r");
    }

    // The steps that most stories take.
    static void go_away(Departures& t)
    {
        t.leave(true);
    }

    static void go_away_busy(Departures& t)
    {
        t.leave(false);
    }

    static void come_back(Departures& t)
    {
        ASSERT_NO_FATAL_FAILURE(t.plug());
        ASSERT_NO_FATAL_FAILURE(t.relink(t.device.path));
        ASSERT_NO_FATAL_FAILURE(t.expect_back());
        t.expect_bytes_both_ways();
    }

    // The number of the device that went goes to another terminal, whose
    // bytes and settings are not the program's: news in the directory
    // makes it try.
    static void number_goes_to_another(Departures& t)
    {
        ASSERT_NO_FATAL_FAILURE(t.plug_device(B2400, t.old));
        write_bytes(t.device.master, "x\n");
        write_file(t.dir + "/news", "");
        usleep(200 * 1000);
        int unread = -1;
        EXPECT_FALSE(t.held(t.device.path)) << "opened again";
        EXPECT_TRUE(same_settings(settings_of(t.device), t.device_before));
        EXPECT_TRUE(ioctl(t.device.slave, FIONREAD, &unread) == 0 &&
                    unread == 2);
    }

    // Ctrl-B ends it as ever, and the device held last has its own
    // settings back.
    static void end_with_ctrl_b(Departures& t)
    {
        EXPECT_TRUE(process_exists(t.run.pid)) << "it must not end by itself";
        t.expect_clean_end(t.quit());
        EXPECT_TRUE(same_settings(settings_of(t.user), t.user_before));
        if (t.device.master >= 0) {
            EXPECT_EQ(read_quiet(t.device.master, 20), "");
            EXPECT_TRUE(same_settings(settings_of(t.device), t.device_before));
        }
    }
};

// Each row a story, told in steps; a step that fails ends it.
using step = void (*)(Departures&);
struct story {
    const char* name;
    std::vector<step> steps;
};

void PrintTo(const story& s, std::ostream* os)
{
    *os << s.name;
}

class Departure : public Departures,
                  public ::testing::WithParamInterface<story> {};

TEST_P(Departure, Story)
{
    for (step next : GetParam().steps)
        ASSERT_NO_FATAL_FAILURE(next(*this));
}

// The steps that only some stories take.
void through_link(Departures& t)
{
    t.start_through(t.link);
}

void through_device(Departures& t)
{
    t.start_through(t.device.path);
}

// Another program holds it when it comes back.
void comes_back_locked(Departures& t)
{
    ASSERT_NO_FATAL_FAILURE(t.plug());
    int holder = open(t.device.path.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_EQ(flock(holder, LOCK_EX), 0);
    ASSERT_NO_FATAL_FAILURE(t.relink(t.device.path));
    t.expect_line("Resource temporarily unavailable, waiting for it; Ctrl-B "
                  "quits");
    close(holder);
    ASSERT_NO_FATAL_FAILURE(t.expect_back());
    t.expect_bytes_both_ways();
}

// A script's device that never comes back ends the run.
void script_ends(Departures& t)
{
    t.start_through(t.device.path, "NONE", {}, true);
    ASSERT_NO_FATAL_FAILURE(t.unplug());
    t.expect_line(t.gone);
    EXPECT_EQ(wait_for_exit(t.run, patience_ms), 0);
    EXPECT_TRUE(same_settings(settings_of(t.user), t.user_before));
}

// The link stays, and is taken back only once it is made anew.
void link_stays(Departures& t)
{
    ASSERT_NO_FATAL_FAILURE(t.leave(true, true));
    ASSERT_NO_FATAL_FAILURE(Departures::number_goes_to_another(t));
    write_bytes(t.device.master, "STALE");
    ASSERT_NO_FATAL_FAILURE(t.relink(t.device.path));
    ASSERT_NO_FATAL_FAILURE(t.expect_back());
    t.expect_bytes_both_ways();
}

// Run unprivileged, it comes refused by a mode and gets its own a moment
// later (a pseudo-terminal opens only on its own devpts: the mode is that
// of a directory on the way).
void unprivileged(Departures& t)
{
    if (!t.root)
        GTEST_SKIP() << "needs root to run the program as another user";
    for (const std::string& f : {t.dir, t.device.path})
        ASSERT_EQ(chmod(f.c_str(), 0777), 0);
    t.start_through(t.link, "NONE",
                    {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534",
                     "--clear-groups", PORTTERM_PATH});
}

void comes_back_on_its_mode(Departures& t)
{
    ASSERT_NO_FATAL_FAILURE(t.plug());
    const std::string sub = t.dir + "/sub";
    ASSERT_EQ(mkdir(sub.c_str(), 0700), 0);
    ASSERT_EQ(chmod(t.device.path.c_str(), 0666), 0);
    ASSERT_EQ(symlink(t.device.path.c_str(), (sub + "/tty").c_str()), 0);
    ASSERT_NO_FATAL_FAILURE(t.relink("sub/tty"));
    t.expect_line("Permission denied, waiting for it; Ctrl-B quits");
    ASSERT_EQ(chmod(sub.c_str(), 0755), 0);
    ASSERT_NO_FATAL_FAILURE(t.expect_back());
    t.expect_bytes_both_ways();
}

// Waited for as a path that is not a terminal, never opened.
void fifo_at_the_path(Departures& t)
{
    ASSERT_NO_FATAL_FAILURE(t.plug());
    ASSERT_EQ(mkfifo(t.link.c_str(), 0600), 0);
    struct pollfd reader = {open(t.link.c_str(), O_RDONLY | O_NONBLOCK), POLLIN,
                            0};
    t.expect_line("Inappropriate ioctl for device, waiting for it; Ctrl-B "
                  "quits");
    EXPECT_EQ(poll(&reader, 1, 0), 0) << "a writer came and went";
    close(reader.fd); // the link below is made over it
    ASSERT_NO_FATAL_FAILURE(t.relink(t.device.path));
    ASSERT_NO_FATAL_FAILURE(t.expect_back());
    t.expect_bytes_both_ways();
}

// A device that hangs up as soon as it is opened, for a second: opened,
// and said, at most five times.
void flaps_for_a_second(Departures& t)
{
    std::string flaps;
    int opens = 0;
    for (int64_t end = now_ms() + 1000;; ++opens) {
        ASSERT_NO_FATAL_FAILURE(t.plug());
        ASSERT_NO_FATAL_FAILURE(t.relink(t.device.path));
        if (!wait_until([&] { return settings_of(t.device).c_lflag == 0; },
                        static_cast<int>(end - now_ms())))
            break;
        flaps += t.said("back") + t.said(t.gone);
        close_pty(t.device);
        ASSERT_EQ(unlink(t.link.c_str()), 0);
    }
    EXPECT_EQ(read_bytes(t.run.err, flaps.size(), patience_ms), flaps);
    EXPECT_LE(opens, 5) << "opened in a second";
    ASSERT_NO_FATAL_FAILURE(t.expect_back());
    t.expect_bytes_both_ways();
}

// A key typed while the sending process is stopped, and the device gone
// under it: it is not taken back until that process runs again, and the
// key never reaches the device that comes back.
void key_typed_as_it_goes(Departures& t)
{
    signal_process(t.sender, SIGSTOP);
    ASSERT_TRUE(wait_until([&] { return process_state(t.sender) == 'T'; },
                           patience_ms));
    write_bytes(t.user.master, "K");
    t.watch_sender = false;
}

void comes_back_once_sender_runs(Departures& t)
{
    ASSERT_NO_FATAL_FAILURE(t.plug());
    ASSERT_NO_FATAL_FAILURE(t.relink(t.device.path));
    EXPECT_EQ(read_quiet(t.run.err, 200), "") << "back for a stopped sender";
    signal_process(t.sender, SIGCONT);
    ASSERT_NO_FATAL_FAILURE(t.expect_back());
    EXPECT_TRUE(
        wait_until([&] { return !open_flags(t.sender, t.device.path).empty(); },
                   patience_ms));
    t.expect_bytes_both_ways();
}

// The sending process's first read of the keyboard after the return is
// held until the key typed after "back" is in: it reaches the device.
void reads_held(Departures& t)
{
    t.start_through(t.link, "NONE",
                    preloaded(FAULTS_PATH, ("HOLD_KEYS=" + t.dir).c_str()));
}

void key_after_back_in_a_held_read(Departures& t)
{
    write_file(t.dir + "/hold", "");
    ASSERT_NO_FATAL_FAILURE(t.leave(true));
    ASSERT_NO_FATAL_FAILURE(t.plug());
    ASSERT_NO_FATAL_FAILURE(t.relink(t.device.path));
    ASSERT_NO_FATAL_FAILURE(t.expect_back());
    write_bytes(t.user.master, "AT\r");
    EXPECT_TRUE(
        wait_until([&] { return access((t.dir + "/held").c_str(), F_OK) == 0; },
                   patience_ms));
    ASSERT_EQ(unlink((t.dir + "/hold").c_str()), 0);
    EXPECT_EQ(read_bytes(t.device.master, 3, patience_ms), "AT\r");
}

// The receiving process waits for the screen with a block as the device
// goes: its line comes after the rest of the block, which is shown.
void screen_stopped_with_a_block(Departures& t)
{
    t.start_through(t.link, "XON/XOFF",
                    preloaded(FAULTS_PATH, "EINTR_ON_STDERR=1"));
    std::string flood(16384, '.');
    write_bytes(t.user.master, "\x13");
    flood.resize(write_within(t.device.master, flood, 500));
    ASSERT_TRUE(wait_until(
        [&] {
            return read_file("/proc/" + std::to_string(t.run.pid) + "/syscall")
                .starts_with(std::to_string(SYS_ppoll) + " ");
        },
        patience_ms));
    ASSERT_NO_FATAL_FAILURE(t.unplug());
    EXPECT_EQ(read_quiet(t.run.err, 200), "")
        << "said before the rest of its block";
    write_bytes(t.user.master, "\x11");
    std::string shown = read_quiet(t.user.master, 200);
    EXPECT_TRUE(!shown.empty() && flood.starts_with(shown))
        << shown.size() << " bytes of the block shown";
    t.expect_line(t.gone);
    t.idle("while it is away");
    write_bytes(t.user.master, "ATDT5551234\r");
}

void without_watching(Departures& t)
{
    t.start_through(t.link, "NONE", preloaded(FAULTS_PATH, "NO_INOTIFY=1"));
}

// Gone 2 s before a count of milliseconds passes 31 bits, 24.86 days after
// boot: its timers still wait.
void near_the_clocks_wrap(Departures& t)
{
    t.start_through(t.link, "NONE",
                    preloaded(FAULTS_PATH, "CLOCK_FROM_MS=2147481648"));
}

using D = Departures;
INSTANTIATE_TEST_SUITE_P(
    Departures, Departure,
    ::testing::Values(
        story{"AwayUntilCtrlB", {through_link, D::go_away, D::end_with_ctrl_b}},
        story{"ComesBack",
              {through_link, D::go_away, D::come_back, D::end_with_ctrl_b}},
        story{"ComesBackTwice",
              {through_link, D::go_away, D::come_back, D::go_away, D::come_back,
               D::end_with_ctrl_b}},
        story{
            "ComesBackLockedByAnother",
            {through_link, D::go_away, comes_back_locked, D::end_with_ctrl_b}},
        story{"PseudoTerminalNeverOpenedAgain",
              {through_device, D::go_away, D::number_goes_to_another,
               D::end_with_ctrl_b}},
        story{"ScriptEndsWhenAPseudoTerminalGoes", {script_ends}},
        story{"StaleLinkWaitsUntilMadeAnew",
              {through_link, link_stays, D::end_with_ctrl_b}},
        story{"ComesBackOnItsModeChange",
              {unprivileged, D::go_away, comes_back_on_its_mode,
               D::end_with_ctrl_b}},
        story{"AFifoAtThePathIsNeverOpened",
              {through_link, D::go_away, fifo_at_the_path, D::end_with_ctrl_b}},
        story{
            "FlappingIsTriedOnTheTimer",
            {through_link, D::go_away, flaps_for_a_second, D::end_with_ctrl_b}},
        story{"KeyTypedBeforeItWentNeverCrosses",
              {through_link, key_typed_as_it_goes, D::go_away,
               comes_back_once_sender_runs, D::end_with_ctrl_b}},
        story{"AKeyTypedJustAfterBackArrives",
              {reads_held, key_after_back_in_a_held_read, D::end_with_ctrl_b}},
        story{"GoneLineAfterTheRestOfItsBlock",
              {screen_stopped_with_a_block, D::come_back, D::end_with_ctrl_b}},
        story{"ComesBackWithoutWatching",
              {without_watching, D::go_away_busy, D::come_back,
               D::end_with_ctrl_b}},
        story{"GoesOnTheTwentyFifthDayOfUptime",
              {near_the_clocks_wrap, D::go_away, D::come_back,
               D::end_with_ctrl_b}}),
    [](const ::testing::TestParamInfo<story>& info) {
        return info.param.name;
    });

} // namespace
