// SPDX-License-Identifier: MIT
// Departures: a device that goes and comes back, as a USB adapter unplugged
// and plugged in again.  portrc names a link to a pseudo-terminal: the
// unplug closes it and removes the link, the replug points the link at a
// new one in one rename, after the device has sent input that nobody may
// see.  Each story runs in a devpts of its own, so that the numbers it
// waits for are not taken by other programs' terminals.

#include <functional>
#include <poll.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/syscall.h>

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
    std::string side;         // a directory the program never watches
    bool moved = true;        // the screen moved since the last line said
    portterm_run login;       // a session holding a terminal, if any

    void SetUp() override
    {
        root = geteuid() == 0;
        if (std::string why = enter_own_devpts(); !why.empty())
            GTEST_SKIP() << why;
        Terminal::SetUp();
        link = dir + "/modem";
        side = dir + "/side";
        ASSERT_EQ(symlink(device.path.c_str(), link.c_str()), 0);
        ASSERT_EQ(mkdir(side.c_str(), 0755), 0);
    }

    void TearDown() override
    {
        if (feed >= 0)
            close(feed);
        end_run(login);
        umount2((dir + "/ram").c_str(), MNT_DETACH); // mounted by some
        Terminal::TearDown();
    }

    // The link and its side directory on a file system that keeps no
    // birth time and gives no handle: ramfs.  Without birth times any
    // terminal is looked for among the sessions, where one of another user
    // counts as its namesake's: that needs root.
    void links_on_ramfs()
    {
        if (!root)
            GTEST_SKIP() << "needs root to look into every session";
        const std::string ram = dir + "/ram";
        ASSERT_EQ(mkdir(ram.c_str(), 0755), 0);
        ASSERT_EQ(mount("ramfs", ram.c_str(), "ramfs", 0, nullptr), 0);
        ASSERT_EQ(unlink(link.c_str()), 0);
        link = ram + "/modem";
        side = ram + "/side";
        ASSERT_EQ(mkdir(side.c_str(), 0755), 0);
        ASSERT_EQ(symlink(device.path.c_str(), link.c_str()), 0);
    }

    // A login on the terminal: a session of its own that holds it as its
    // controlling terminal.
    void log_in(const pty& terminal)
    {
        login = start_portterm(dir, terminal.slave, terminal.slave,
                               terminal.slave, {"/bin/sleep", "600"}, true);
        struct stat node;
        ASSERT_EQ(fstat(terminal.slave, &node), 0);
        ASSERT_TRUE(wait_until(
            [&] {
                return controlling_terminal(login.pid) ==
                       static_cast<long>(node.st_rdev);
            },
            patience_ms));
    }

    // What the receiving process's descriptors hold, as fdinfo says.
    std::string fdinfo()
    {
        std::string all;
        for (int fd = 0; fd < 64; ++fd)
            all += read_file("/proc/" + std::to_string(run.pid) + "/fdinfo/" +
                             std::to_string(fd));
        return all;
    }

    // Starts portterm with portrc naming to (the link, or the device
    // itself), with a pipe on standard input when piped.
    void start_through(const std::string& to, const char* flow = "NONE",
                       const std::vector<std::string>& argv = {},
                       bool piped = false)
    {
        path = to;
        gone = to != device.path
                   ? "gone (Input/output error), waiting for it; Ctrl-B quits"
                   : "gone (Input/output error); Ctrl-B quits";
        write_file(dir + "/portrc", path + "\n115200\n" + flow + "\n");
        ASSERT_EQ(chmod((dir + "/portrc").c_str(), 0666), 0); // for nobody
        int in[2] = {user.slave, -1};
        ASSERT_TRUE(!piped || pipe(in) == 0);
        feed = in[1];
        ASSERT_NO_FATAL_FAILURE(start_with({.in = in[0], .argv = argv}));
        if (piped)
            close(in[0]);
    }

    // Run as nobody, unprivileged, with the device and portrc its to use;
    // gone, and a new device plugged in.
    void gone_as_nobody()
    {
        if (!root)
            GTEST_SKIP() << "needs root to run the program as another user";
        for (const std::string& f : {dir, device.path})
            ASSERT_EQ(chmod(f.c_str(), 0777), 0);
        ASSERT_NO_FATAL_FAILURE(
            start_through(link, "NONE",
                          {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534",
                           "--clear-groups", PORTTERM_PATH}));
        ASSERT_NO_FATAL_FAILURE(go_away());
        ASSERT_NO_FATAL_FAILURE(plug());
    }

    bool held(const std::string& p)
    {
        return !open_flags(run.pid, p).empty() ||
               (watch_sender && !open_flags(sender, p).empty());
    }

    // The next line said: after a line break where the device's bytes
    // have moved the screen since the last line, else right after it.
    std::string said(const std::string& text)
    {
        std::string line = (moved ? "\r\n" : "") + path + ": " + text + "\r\n";
        moved = false;
        return line;
    }

    void expect_line(const std::string& text, int within = patience_ms)
    {
        std::string line = said(text);
        EXPECT_EQ(read_bytes(run.err, line.size(), within), line);
    }

    // What both processes have run, and been woken, so far.
    long woken()
    {
        long n = 0;
        for (pid_t p : {run.pid, sender})
            n += cpu_ticks(p) + status_figure(p, "voluntary_ctxt_switches") +
                 status_figure(p, "nonvoluntary_ctxt_switches");
        return n;
    }

    // Each sleeps in the call it waits in, or is stopped; with since, only
    // once woken after it.
    void wait_asleep(long since = -1)
    {
        auto asleep = [&](pid_t p) {
            long call = syscall_of(p);
            return process_state(p) == 'T' ||
                   (process_state(p) == 'S' &&
                    (call == READ_CALL || call == PPOLL_CALL ||
                     call == POLL_CALL));
        };
        EXPECT_TRUE(wait_until(
            [&] {
                return woken() > since && asleep(run.pid) && asleep(sender);
            },
            patience_ms));
    }

    // Neither process runs at all, whatever is done meanwhile: no timer,
    // no spin, no news.
    void idle(const char* when, const std::function<void()>& meanwhile = {})
    {
        wait_asleep();
        long before = woken();
        if (meanwhile)
            meanwhile();
        usleep(500 * 1000);
        EXPECT_EQ(woken() - before, 0) << "woken or run " << when;
    }

    // Renamed into place, as udev makes links: only that is news there.
    void relink(const std::string& to, std::string name = "")
    {
        name = name.empty() ? link : name;
        ASSERT_EQ(symlink(to.c_str(), (side + "/new").c_str()), 0);
        ASSERT_EQ(rename((side + "/new").c_str(), name.c_str()), 0);
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

    // A new device, which has something to say before it is taken back,
    // older than any link made to it from now on by a tick of the file
    // times' clock: no tie, which another session's namesake could decide.
    void plug()
    {
        ASSERT_NO_FATAL_FAILURE(plug_device(B2400));
        write_bytes(device.master, "STALE");
        usleep(10 * 1000);
    }

    // A new device, and the link (or name) made anew to it.
    void replug(const std::string& to = "", const std::string& name = "")
    {
        ASSERT_NO_FATAL_FAILURE(plug());
        ASSERT_NO_FATAL_FAILURE(relink(to.empty() ? device.path : to, name));
    }

    // Back in time, at portrc's rate, no byte from before either way.
    void expect_back(int within = patience_ms)
    {
        expect_line("back", within);
        ASSERT_TRUE(wait_until([&] { return raw_both(); }, patience_ms));
        struct termios t = settings_of(device);
        EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B115200));
        write_bytes(user.master, "AT\r");
        EXPECT_EQ(read_bytes(device.master, 3, patience_ms), "AT\r")
            << "keys typed before it came back reached it";
        write_bytes(device.master, "OK\r\n");
        EXPECT_EQ(read_bytes(user.master, 4, patience_ms), "OK\r\n")
            << "input from before its return was shown";
        moved = true;
        idle("on a quiet line after its return");
    }

    // Unplugged, said gone, asleep unless a timer runs; keys typed then.
    void go_away(bool asleep = true, bool keep_link = false)
    {
        ASSERT_NO_FATAL_FAILURE(unplug(keep_link));
        expect_line(gone);
        if (asleep)
            idle("while it is away");
        write_bytes(user.master, "ATDT5551234\r");
    }

    void come_back()
    {
        ASSERT_NO_FATAL_FAILURE(replug());
        ASSERT_NO_FATAL_FAILURE(expect_back());
    }

    // The faults library's handshake: a call of the program is held while
    // side/name exists, and makes side/held when it is.
    void hold(const char* name)
    {
        write_file(side + "/" + name, "");
    }
    void await_held(const char* held)
    {
        EXPECT_TRUE(wait_until(
            [&] { return access((side + "/" + held).c_str(), F_OK) == 0; },
            patience_ms));
    }
    void release(const char* name)
    {
        ASSERT_EQ(unlink((side + "/" + name).c_str()), 0);
    }

    // The number of the device that went goes to another terminal, whose
    // bytes and settings are not the program's: news of the link, touched
    // (touch -h) but not made anew, makes it try.
    void number_goes_to_another()
    {
        ASSERT_NO_FATAL_FAILURE(plug_device(B2400, old));
        write_bytes(device.master, "x\n");
        const struct timespec now[2] = {{0, UTIME_NOW}, {0, UTIME_NOW}};
        utimensat(AT_FDCWD, link.c_str(), now, AT_SYMLINK_NOFOLLOW); // if any
        usleep(200 * 1000);
        int unread = -1;
        EXPECT_FALSE(held(device.path)) << "opened again";
        EXPECT_TRUE(same_settings(settings_of(device), device_before));
        EXPECT_TRUE(ioctl(device.slave, FIONREAD, &unread) == 0 && unread == 2);
    }

    // Ctrl-B ends it as ever, and the device held last has its own
    // settings back.
    void end_with_ctrl_b()
    {
        EXPECT_TRUE(process_exists(run.pid)) << "it must not end by itself";
        expect_clean_end(quit());
        EXPECT_TRUE(same_settings(settings_of(user), user_before));
        if (device.master >= 0) {
            EXPECT_EQ(read_quiet(device.master, 20), "");
            EXPECT_TRUE(same_settings(settings_of(device), device_before));
        }
    }
};

// A sending process stopped while the device is away does not hold the
// quit: the keyboard is put back, and the run ends within about a second.
TEST_F(Departures, AwayUntilCtrlB)
{
    ASSERT_NO_FATAL_FAILURE(start_through(link));
    ASSERT_NO_FATAL_FAILURE(go_away());
    signal_process(sender, SIGSTOP);
    EXPECT_TRUE(process_exists(run.pid)) << "it must not end by itself";
    EXPECT_TRUE(exited(quit(), 0));
    EXPECT_EQ(read_quiet(run.err, 10), "") << "a normal end prints nothing";
    EXPECT_TRUE(same_settings(settings_of(user), user_before));
    signal_process(sender, SIGCONT);
    EXPECT_TRUE(
        wait_until([&] { return !process_exists(sender); }, patience_ms));
}

TEST_F(Departures, ComesBackLockedByAnother)
{
    ASSERT_NO_FATAL_FAILURE(start_through(link));
    ASSERT_NO_FATAL_FAILURE(go_away());
    ASSERT_NO_FATAL_FAILURE(plug());
    int holder = open(device.path.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_EQ(flock(holder, LOCK_EX), 0);
    ASSERT_NO_FATAL_FAILURE(relink(device.path));
    expect_line("Resource temporarily unavailable, waiting for it; Ctrl-B "
                "quits");
    close(holder);
    ASSERT_NO_FATAL_FAILURE(expect_back());
    end_with_ctrl_b();
}

TEST_F(Departures, PseudoTerminalNeverOpenedAgain)
{
    ASSERT_NO_FATAL_FAILURE(start_through(device.path));
    ASSERT_NO_FATAL_FAILURE(go_away());
    ASSERT_NO_FATAL_FAILURE(number_goes_to_another());
    end_with_ctrl_b();
}

// A script's device that never comes back ends the run.
TEST_F(Departures, ScriptEndsWhenAPseudoTerminalGoes)
{
    ASSERT_NO_FATAL_FAILURE(start_through(device.path, "NONE", {}, true));
    ASSERT_NO_FATAL_FAILURE(unplug());
    expect_line(gone);
    EXPECT_TRUE(exited(wait_for_exit(run, patience_ms), 0));
    EXPECT_TRUE(same_settings(settings_of(user), user_before));
}

// Its keys waiting on a held line, and more in the pipe, when the device
// goes for good: all counted, said, and a failure; also when the receiving
// process takes both notes at one wake-up, behind a reset of the channel.
TEST_F(Departures, ScriptsUnsentKeysAreSaid)
{
    ASSERT_NO_FATAL_FAILURE(
        start_through(device.path, "XON/XOFF", faulty({"RESET_ONCE=1"}), true));
    hold_line();
    write_bytes(feed, std::string(10000, 'x'));
    int in_pipe = -1;
    ASSERT_TRUE(wait_until(
        [&] { return ioctl(feed, FIONREAD, &in_pipe) == 0 && in_pipe == 0; },
        patience_ms));
    signal_process(sender, SIGSTOP);
    write_bytes(feed, std::string(5000, 'y'));
    signal_process(run.pid, SIGSTOP);
    close_pty(device);
    signal_process(sender, SIGCONT);
    EXPECT_TRUE(
        wait_until([&] { return !process_exists(sender); }, patience_ms));
    signal_process(run.pid, SIGCONT);
    expect_line(gone);
    expect_line("15000 bytes of standard input not sent");
    EXPECT_TRUE(exited(wait_for_exit(run, patience_ms), 255));
}

// A script's pipe whose writer goes while the device is away: what it
// holds reaches the device that comes back, and then the run ends.
TEST_F(Departures, APipeEndedWhileAwayReachesTheReturnedDevice)
{
    ASSERT_NO_FATAL_FAILURE(start_through(link, "NONE", {}, true));
    ASSERT_NO_FATAL_FAILURE(unplug());
    expect_line(gone);
    write_bytes(feed, "ATZ\r");
    close(feed);
    feed = -1;
    ASSERT_NO_FATAL_FAILURE(replug());
    expect_line("back");
    EXPECT_EQ(read_bytes(device.master, 4, patience_ms), "ATZ\r");
    EXPECT_TRUE(exited(wait_for_exit(run, patience_ms), 0));
}

// A driver that refuses the rate asked refuses it at each return too.
TEST_F(Departures, ARateRefusedIsSaidAgainAtTheReturn)
{
    ASSERT_NO_FATAL_FAILURE(
        start_through(link, "NONE", faulty({"REFUSED_RATE=9600"})));
    const std::string refused = "115200 bit/s refused, the line runs at 9600";
    expect_line(refused);
    ASSERT_NO_FATAL_FAILURE(go_away());
    ASSERT_NO_FATAL_FAILURE(replug());
    expect_line("back");
    expect_line(refused);
    end_with_ctrl_b();
}

// The link stays, and is taken back only once it is made anew: touched,
// also where no birth time tells (true: on ramfs), it is the same link.
// Terminals opened meanwhile are no news: a devpts is never watched.
class StaleLink : public Departures,
                  public ::testing::WithParamInterface<bool> {};

TEST_P(StaleLink, WaitsUntilMadeAnew)
{
    if (GetParam()) {
        ASSERT_NO_FATAL_FAILURE(links_on_ramfs());
        if (IsSkipped())
            return;
    }
    ASSERT_NO_FATAL_FAILURE(start_through(link));
    ASSERT_NO_FATAL_FAILURE(go_away(true, true));
    ASSERT_NO_FATAL_FAILURE(number_goes_to_another());
    idle("as other terminals open", [] {
        pty other = open_pty();
        close_pty(other);
    });
    write_bytes(device.master, "STALE");
    ASSERT_NO_FATAL_FAILURE(relink(device.path));
    ASSERT_NO_FATAL_FAILURE(expect_back());
    end_with_ctrl_b();
}

INSTANTIATE_TEST_SUITE_P(WithBirthTimesOrOnRamfs, StaleLink, ::testing::Bool());

// Without birth times a link's terminal cannot be told by its times from
// one that took its number: a simulator in a crash loop makes its link
// anew to a number a login has taken.  That terminal, a session's, is never
// opened, and said once; the simulator started again is taken back.
TEST_F(Departures, AnotherSessionsTerminalIsNeverTaken)
{
    ASSERT_NO_FATAL_FAILURE(links_on_ramfs());
    ASSERT_NO_FATAL_FAILURE(
        start_through(link, "NONE", faulty({"COUNT_OPENS=" + dir + "/opens"})));
    ASSERT_NO_FATAL_FAILURE(go_away());
    const std::string opened_before = read_file(dir + "/opens");
    ASSERT_NO_FATAL_FAILURE(plug_device(B2400, old));
    pty session = device;
    ASSERT_NO_FATAL_FAILURE(log_in(session));
    ASSERT_NO_FATAL_FAILURE(relink(session.path));
    expect_line("another session's terminal, waiting for the link to be made "
                "anew; Ctrl-B quits");
    idle("while the link stays");
    EXPECT_EQ(read_file(dir + "/opens"), opened_before) << "opened";
    EXPECT_TRUE(same_settings(settings_of(session), device_before));
    ASSERT_NO_FATAL_FAILURE(come_back());
    close_pty(session);
    end_with_ctrl_b();
}

// Run unprivileged, the path is refused by a directory on the way (mode
// 0744: watched, not passed): given its mode once both processes sleep,
// that news brings it back at once, and nothing is said of the refusal.
TEST_F(Departures, ARefusalClearedWithinItsSecondIsNeverSaid)
{
    ASSERT_NO_FATAL_FAILURE(gone_as_nobody());
    if (IsSkipped())
        return;
    const std::string sub = dir + "/sub";
    ASSERT_EQ(mkdir(sub.c_str(), 0744), 0);
    ASSERT_EQ(chmod(device.path.c_str(), 0666), 0);
    ASSERT_EQ(symlink(device.path.c_str(), (sub + "/tty").c_str()), 0);
    long before = woken();
    ASSERT_NO_FATAL_FAILURE(relink(sub + "/tty"));
    wait_asleep(before);
    ASSERT_EQ(chmod(sub.c_str(), 0755), 0);
    ASSERT_NO_FATAL_FAILURE(expect_back(500));
    end_with_ctrl_b();
}

// Refused by the terminal's own mode, which no directory's news tells
// when it changes: said once, a second after it began, however busy the
// link's directory; a link made anew brings it back.
TEST_F(Departures, ALastingRefusalIsSaidOnceAfterItsSecond)
{
    ASSERT_NO_FATAL_FAILURE(gone_as_nobody());
    if (IsSkipped())
        return;
    int64_t at = now_ms();
    ASSERT_NO_FATAL_FAILURE(relink(device.path));
    // Unrelated files made beside the link meanwhile do not put it off.
    const std::string line =
        said("Permission denied, waiting for it; Ctrl-B quits");
    std::string got;
    for (int i = 0; i < 6 && got.size() < line.size(); ++i) {
        write_file(dir + "/unrelated" + std::to_string(i), "");
        got += read_bytes(run.err, line.size() - got.size(), 400);
    }
    EXPECT_EQ(got, line);
    EXPECT_GE(now_ms() - at, 1000) << "said before its second";
    ASSERT_EQ(chmod(device.path.c_str(), 0666), 0);
    ASSERT_NO_FATAL_FAILURE(relink(device.path));
    ASSERT_NO_FATAL_FAILURE(expect_back());
    end_with_ctrl_b();
}

// A link made before its terminal is taken as it is at the start.  Then a
// device simulator in a crash loop makes its link anew to a terminal that
// dies before it is opened; its number goes to another terminal 25 ms
// later.  That one is never opened, and said once.  The link made anew to
// it, before the terminal is given its mode (socat's perm= does it so),
// brings it back: its other times tell that it was made first.
TEST_F(Departures, ALinkLeadsOnlyWhereItWasMadeTo)
{
    ASSERT_EQ(unlink(link.c_str()), 0);
    old = device.path;
    close_pty(device);
    ASSERT_EQ(symlink(old.c_str(), link.c_str()), 0);
    usleep(10 * 1000); // more than a tick of the file times' clock
    ASSERT_NO_FATAL_FAILURE(plug());
    ASSERT_NO_FATAL_FAILURE(
        start_through(link, "NONE", faulty({"COUNT_OPENS=" + dir + "/opens"})));
    ASSERT_NO_FATAL_FAILURE(go_away());
    signal_process(run.pid, SIGSTOP);
    const std::string opened_before = read_file(dir + "/opens");
    ASSERT_NO_FATAL_FAILURE(replug());
    old = device.path;
    close_pty(device);
    usleep(25 * 1000);
    ASSERT_NO_FATAL_FAILURE(plug_device(B2400, old));
    signal_process(run.pid, SIGCONT);
    expect_line("a terminal newer than its link, waiting for the link to be "
                "made anew; Ctrl-B quits");
    idle("while the link stays");
    EXPECT_EQ(read_file(dir + "/opens"), opened_before) << "opened";
    EXPECT_TRUE(same_settings(settings_of(device), device_before));
    signal_process(run.pid, SIGSTOP);
    ASSERT_NO_FATAL_FAILURE(relink(device.path));
    usleep(10 * 1000);
    ASSERT_EQ(chmod(device.path.c_str(), 0660), 0);
    signal_process(run.pid, SIGCONT);
    ASSERT_NO_FATAL_FAILURE(expect_back());
    end_with_ctrl_b();
}

// modem -> sim -> the terminal: the simulator's link, the last, made anew
// brings it back.
TEST_F(Departures, AChainComesBackWhenItsLastLinkIsMadeAnew)
{
    const std::string sim = dir + "/sim";
    ASSERT_EQ(symlink(device.path.c_str(), sim.c_str()), 0);
    ASSERT_NO_FATAL_FAILURE(relink("sim"));
    ASSERT_NO_FATAL_FAILURE(start_through(link));
    ASSERT_EQ(unlink(sim.c_str()), 0);
    ASSERT_NO_FATAL_FAILURE(unplug(true));
    expect_line(gone);
    ASSERT_NO_FATAL_FAILURE(replug("", sim));
    ASSERT_NO_FATAL_FAILURE(expect_back());
    end_with_ctrl_b();
}

// current -> runs/1, portrc naming current/tty: current re-pointed is news
// at once, not at the five-second safety try.  Re-pointed at runs/3 and,
// while its watch is placed, on at runs/2, it leaves no watch behind.
TEST_F(Departures, ALinkInTheMiddleOfThePathIsFollowed)
{
    for (const char* d : {"/runs", "/runs/1", "/runs/2", "/runs/3"})
        ASSERT_EQ(mkdir((dir + d).c_str(), 0755), 0);
    ASSERT_EQ(symlink(device.path.c_str(), (dir + "/runs/1/tty").c_str()), 0);
    ASSERT_NO_FATAL_FAILURE(relink("runs/1", dir + "/current"));
    ASSERT_NO_FATAL_FAILURE(start_through(dir + "/current/tty", "NONE",
                                          faulty({"HOLD_KEYS=" + side})));
    ASSERT_EQ(unlink((dir + "/runs/1/tty").c_str()), 0);
    ASSERT_NO_FATAL_FAILURE(unplug(true));
    expect_line(gone);
    idle("while it is away");
    ASSERT_NO_FATAL_FAILURE(plug());
    ASSERT_EQ(symlink(device.path.c_str(), (dir + "/runs/2/tty").c_str()), 0);
    write_file(side + "/hold-watch", dir + "/runs/3");
    ASSERT_NO_FATAL_FAILURE(relink("runs/3", dir + "/current"));
    await_held("watch-held");
    ASSERT_NO_FATAL_FAILURE(relink("runs/2", dir + "/current"));
    release("hold-watch");
    ASSERT_NO_FATAL_FAILURE(expect_back(2500));
    EXPECT_EQ(fdinfo().find("inotify wd:"), std::string::npos)
        << "a watch was left behind";
    end_with_ctrl_b();
}

// serial/by-id/modem, its tree moved aside while the device is away: a
// directory on the way moved is news at once, not at the safety try.  The
// tree made anew, by-id made while the watch on serial is being placed is
// still watched, and the link made in it later is news.
TEST_F(Departures, ADirectoryMadeWhileItsParentIsWatchedIsSeen)
{
    const std::string serial = dir + "/serial", by_id = serial + "/by-id";
    ASSERT_EQ(mkdir(serial.c_str(), 0755), 0);
    ASSERT_EQ(mkdir(by_id.c_str(), 0755), 0);
    ASSERT_NO_FATAL_FAILURE(relink(device.path, by_id + "/modem"));
    ASSERT_NO_FATAL_FAILURE(
        start_through(by_id + "/modem", "NONE", faulty({"HOLD_KEYS=" + side})));
    ASSERT_EQ(remove((by_id + "/modem").c_str()), 0);
    ASSERT_NO_FATAL_FAILURE(unplug(true));
    expect_line(gone);
    idle("while it is away");
    ASSERT_EQ(rename(serial.c_str(), (dir + "/serial.old").c_str()), 0);
    write_file(side + "/hold-watch", serial);
    ASSERT_EQ(mkdir(serial.c_str(), 0755), 0);
    await_held("watch-held");
    ASSERT_EQ(mkdir(by_id.c_str(), 0755), 0);
    long before = woken();
    release("hold-watch");
    wait_asleep(before);
    ASSERT_NO_FATAL_FAILURE(replug("", by_id + "/modem"));
    ASSERT_NO_FATAL_FAILURE(expect_back(1000));
    end_with_ctrl_b();
}

// A character device whose number no driver serves (a port whose driver
// is not there yet) is waited on, and nothing is said of it.
TEST_F(Departures, ANodeNoDriverServesIsWaitedOnUnsaid)
{
    if (!root)
        GTEST_SKIP() << "needs root to make a device node";
    unsigned unserved = 60; // for local and experimental use
    if (read_file("/proc/devices").find("\n 60 ") != std::string::npos)
        GTEST_SKIP() << "a driver serves major 60 here";
    ASSERT_NO_FATAL_FAILURE(start_through(link));
    ASSERT_NO_FATAL_FAILURE(go_away());
    const std::string node = dir + "/node";
    ASSERT_EQ(mknod(node.c_str(), S_IFCHR | 0600, makedev(unserved, 0)), 0);
    ASSERT_NO_FATAL_FAILURE(relink(node));
    usleep(300 * 1000); // tried on the timer
    ASSERT_NO_FATAL_FAILURE(come_back());
    end_with_ctrl_b();
}

// Only a terminal at the path is opened: /dev/null behind the link is
// refused as not a terminal before it is opened, and a fifo, tried next,
// never sees a writer.  A terminal behind a stale file handle is said as
// the system says it.
TEST_F(Departures, OnlyATerminalAtThePathIsOpened)
{
    ASSERT_NO_FATAL_FAILURE(
        start_through(link, "NONE",
                      faulty({"COUNT_OPENS=" + dir + "/opens",
                              "STALE_WHILE=" + side + "/stale"})));
    ASSERT_NO_FATAL_FAILURE(go_away());
    ASSERT_NO_FATAL_FAILURE(plug());
    ASSERT_NO_FATAL_FAILURE(relink("/dev/null"));
    expect_line("Inappropriate ioctl for device, waiting for it; Ctrl-B quits");
    long before = woken();
    ASSERT_EQ(unlink(link.c_str()), 0);
    ASSERT_EQ(mkfifo(link.c_str(), 0600), 0);
    struct pollfd reader = {open(link.c_str(), O_RDONLY | O_NONBLOCK), POLLIN,
                            0};
    wait_asleep(before); // tried, refused unsaid: the same kind of reason
    EXPECT_EQ(poll(&reader, 1, 0), 0) << "a writer came and went";
    close(reader.fd); // the link below is made over it
    hold("stale");
    ASSERT_NO_FATAL_FAILURE(relink(device.path));
    expect_line("Stale file handle, waiting for it; Ctrl-B quits");
    release("stale");
    ASSERT_NO_FATAL_FAILURE(expect_back());
    EXPECT_FALSE(opened(dir + "/opens", makedev(1, 3))) << "/dev/null opened";
    end_with_ctrl_b();
}

// Standard error's reader has gone: the lines are dropped, the relay goes
// on.
TEST_F(Departures, StandardErrorGoneTheRelayGoesOn)
{
    ASSERT_NO_FATAL_FAILURE(start_through(link));
    close(run.err);
    run.err = -1;
    ASSERT_NO_FATAL_FAILURE(unplug());
    ASSERT_NO_FATAL_FAILURE(replug());
    // Back once the sending process holds it: keys before are dropped.
    ASSERT_TRUE(wait_until(
        [&] { return !open_flags(sender, device.path).empty(); }, patience_ms));
    write_bytes(user.master, "AT\r");
    EXPECT_EQ(read_bytes(device.master, 3, patience_ms), "AT\r");
    end_with_ctrl_b();
}

// A key typed while the sending process is stopped, and the device gone
// under it: it is not taken back until that process runs again, and the
// key never reaches the device that comes back; at each departure.
TEST_F(Departures, KeyTypedBeforeItWentNeverCrosses)
{
    ASSERT_NO_FATAL_FAILURE(start_through(link));
    watch_sender = false;
    for (int i = 0; i < 2; ++i) {
        signal_process(sender, SIGSTOP);
        ASSERT_TRUE(wait_until([&] { return process_state(sender) == 'T'; },
                               patience_ms));
        write_bytes(user.master, "K");
        ASSERT_NO_FATAL_FAILURE(go_away());
        ASSERT_NO_FATAL_FAILURE(replug());
        EXPECT_EQ(read_quiet(run.err, 200), "") << "back for a stopped sender";
        signal_process(sender, SIGCONT);
        EXPECT_TRUE(
            wait_until([&] { return !open_flags(sender, device.path).empty(); },
                       patience_ms));
        ASSERT_NO_FATAL_FAILURE(expect_back());
    }
    end_with_ctrl_b();
}

// The sending process's first read of the keyboard after the return is
// held until the key typed after "back" is in: it reaches the device.
TEST_F(Departures, AKeyTypedJustAfterBackArrives)
{
    ASSERT_NO_FATAL_FAILURE(
        start_through(link, "NONE", faulty({"HOLD_KEYS=" + side})));
    hold("hold");
    ASSERT_NO_FATAL_FAILURE(go_away());
    ASSERT_NO_FATAL_FAILURE(replug());
    expect_line("back");
    write_bytes(user.master, "AT\r");
    await_held("held");
    release("hold");
    EXPECT_EQ(read_bytes(device.master, 3, patience_ms), "AT\r");
    end_with_ctrl_b();
}

// The receiving process waits for the screen with a block as the device
// goes: its line comes after the rest of the block, which is shown, and
// arrives whole though standard error takes it in two writes.
TEST_F(Departures, GoneLineAfterTheRestOfItsBlock)
{
    ASSERT_NO_FATAL_FAILURE(start_through(
        link, "XON/XOFF", faulty({"EINTR_ON_STDERR=1", "SHORT_ON_STDERR=5"})));
    std::string flood(16384, '.');
    write_bytes(user.master, "\x13");
    flood.resize(write_within(device.master, flood, 500));
    ASSERT_TRUE(wait_until([&] { return syscall_of(run.pid) == PPOLL_CALL; },
                           patience_ms));
    ASSERT_NO_FATAL_FAILURE(unplug());
    EXPECT_EQ(read_quiet(run.err, 200), "")
        << "said before the rest of its block";
    write_bytes(user.master, "\x11");
    std::string shown = read_quiet(user.master, 200);
    EXPECT_TRUE(!shown.empty() && flood.starts_with(shown))
        << shown.size() << " bytes of the block shown";
    moved = true;
    expect_line(gone);
    idle("while it is away");
    write_bytes(user.master, "ATDT5551234\r");
    ASSERT_NO_FATAL_FAILURE(come_back());
    end_with_ctrl_b();
}

// How it is started changes nothing of a plain return: without watches
// the timer does it all, well before the safety try; gone 2 s before a
// count of ms passes 31 bits, 24.86 days after boot, its timers still wait.
struct start_case {
    const char* name;
    const char* setting;
    bool asleep = true;       // nothing runs while it is away
    int within = patience_ms; // back after it returns
};

class Return : public Departures,
               public ::testing::WithParamInterface<start_case> {
  public:
    void start_as_set()
    {
        const char* setting = GetParam().setting;
        ASSERT_NO_FATAL_FAILURE(start_through(
            link, "NONE",
            setting ? faulty({setting}) : std::vector<std::string>{}));
    }
};

TEST_P(Return, ComesBackTwice)
{
    ASSERT_NO_FATAL_FAILURE(start_as_set());
    for (int i = 0; i < 2; ++i) {
        ASSERT_NO_FATAL_FAILURE(go_away(GetParam().asleep));
        ASSERT_NO_FATAL_FAILURE(replug());
        ASSERT_NO_FATAL_FAILURE(expect_back(GetParam().within));
    }
    end_with_ctrl_b();
}

INSTANTIATE_TEST_SUITE_P(
    Departures, Return,
    ::testing::Values(
        start_case{"Plainly", nullptr},
        start_case{"WithoutWatching", "NO_INOTIFY=1", false, 2500},
        start_case{"WithNoWatchLeft", "NO_WATCHES=1", false, 2500},
        start_case{"OnTheTwentyFifthDayOfUptime", "CLOCK_FROM_MS=2147481648"}),
    row_name<start_case>);

// A device that hangs up a tenth of a second after it is opened, for a
// second: opened, and said, at most five times; also when a count of
// milliseconds has passed 31 bits, 24.86 days after boot, just after it
// went.
using Flapping = Return;

TEST_P(Flapping, IsTriedOnTheTimer)
{
    ASSERT_NO_FATAL_FAILURE(start_as_set());
    ASSERT_NO_FATAL_FAILURE(go_away());
    std::string flaps;
    int opens = 0;
    for (int64_t end = now_ms() + 1000;; ++opens) {
        ASSERT_NO_FATAL_FAILURE(replug());
        if (!wait_until([&] { return settings_of(device).c_lflag == 0; },
                        static_cast<int>(end - now_ms())) ||
            now_ms() >= end) // seen late, by a test held up
            break;
        flaps += said("back") + said(gone);
        usleep(100 * 1000); // longer than a moment, shorter than the timer
        close_pty(device);
        ASSERT_EQ(unlink(link.c_str()), 0);
    }
    EXPECT_EQ(read_bytes(run.err, flaps.size(), patience_ms), flaps);
    EXPECT_LE(opens, 5) << "opened in a second";
    ASSERT_NO_FATAL_FAILURE(expect_back());
    end_with_ctrl_b();
}

INSTANTIATE_TEST_SUITE_P(Departures, Flapping,
                         ::testing::Values(start_case{"Plainly", nullptr},
                                           start_case{
                                               "OnTheTwentyFifthDayOfUptime",
                                               "CLOCK_FROM_MS=2147483500"}),
                         row_name<start_case>);

} // namespace
