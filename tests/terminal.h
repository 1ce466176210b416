// SPDX-License-Identifier: MIT
// The fixture every story starts from: portterm run as a user runs it, its
// standard input and output on one pseudo-terminal (its controlling
// terminal), the serial device another pseudo-terminal whose master side
// the test holds as the modem.
#pragma once

// What every story uses.
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <ostream>
#include <string>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include "harness.h"

const int quit_timeout_ms = 2000;
// How long a test waits for what must happen: five times the program's
// longest interval (the stalled line's second), and never less than 2 s.
const int patience_ms = 5000;

// An exit status held against what it should be; a failure says how it
// ended instead: "exited with 0", "killed by SIGKILL", "still running".
inline ::testing::AssertionResult ended_as(int status, int code, int sig)
{
    std::string how =
        status == -1 ? "still running"
        : WIFSIGNALED(status)
            ? std::string("killed by SIG") + sigabbrev_np(WTERMSIG(status))
            : "exited with " + std::to_string(WEXITSTATUS(status));
    bool right = status != -1 &&
                 (sig != 0 ? WIFSIGNALED(status) && WTERMSIG(status) == sig
                           : WIFEXITED(status) && WEXITSTATUS(status) == code);
    return right ? ::testing::AssertionSuccess()
                 : ::testing::AssertionFailure() << how;
}
inline ::testing::AssertionResult exited(int status, int code = 0)
{
    return ended_as(status, code, 0);
}
inline ::testing::AssertionResult killed(int status, int sig)
{
    return ended_as(status, 0, sig);
}

// The rows of each story live in its file's unnamed namespace, where alone
// GoogleTest's printer finds this.
// NOLINTNEXTLINE(cert-dcl59-cpp)
namespace {

// Rows of a table carry their name, which names the test.
template <typename Row>
requires requires(const Row& row)
{
    row.name;
}
void PrintTo(const Row& row, std::ostream* os)
{
    *os << row.name;
}

template <typename Row>
std::string row_name(const ::testing::TestParamInfo<Row>& info)
{
    return info.param.name;
}

} // namespace

// argv run where /proc is an empty file system, as in a chroot or a rescue
// shell (the sanitizers' runtime needs /proc: where it runs, nothing does).
inline std::vector<std::string> without_proc(std::vector<std::string> argv = {
                                                 PORTTERM_PATH})
{
    argv.insert(argv.begin(),
                {"/usr/bin/unshare", "-m", "--propagation", "private",
                 "/bin/sh", "-c", "mount -t tmpfs none /proc && exec \"$@\"",
                 "sh"});
    return argv;
}

inline std::string no_proc_here()
{
#if defined(__SANITIZE_ADDRESS__)
    return "the sanitizers' runtime needs /proc";
#endif
    return no_private_namespace();
}

#ifdef FAULTS_PATH
// portterm with the faults library preloaded, with its settings.
inline std::vector<std::string> faulty(const std::vector<std::string>& settings)
{
    return preloaded(FAULTS_PATH, settings);
}
#endif

inline std::string all_bytes_but(char skipped)
{
    std::string bytes;
    for (int b = 0; b < 256; ++b)
        if (static_cast<char>(b) != skipped)
            bytes += static_cast<char>(b);
    return bytes;
}

// Keys a user may paste under either flow control: no Ctrl-B, and none of
// the start and stop characters that a terminal with IXON takes for itself.
inline std::string paste_of(size_t size)
{
    std::string keys;
    for (size_t i = 0; i < size; ++i)
        keys += static_cast<char>('A' + i % 26);
    return keys;
}

// Whether the log of the faults library's COUNT_OPENS names the device.
inline bool opened(const std::string& log, dev_t device)
{
    // Appended, not concatenated: GCC 12 at -O3 sees a false overlap
    // (-Wrestrict) in a chain of string concatenations.
    std::string line = "\n";
    line.append(std::to_string(major(device)))
        .append(":")
        .append(std::to_string(minor(device)))
        .append("\n");
    return ("\n" + read_file(log)).find(line) != std::string::npos;
}

// How the program is started: as a user starts it, but for what is said.
struct launch {
    int in = -1;  // standard input, when not the user's terminal
    int out = -1; // standard output, when not the user's terminal
    std::vector<std::string> argv = {}; // how it is run, if not plainly
    inherited from = {};      // what a script or a service hands it besides
    bool own_session = false; // exec portterm: it leads the session
    bool no_ctty = false;     // started without a controlling terminal
};

class Terminal : public ::testing::Test {
  public:
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
    // pseudo-terminal of that path, free again: in a devpts of the test's
    // own, the lowest free number is handed out next.
    void plug_device(speed_t speed = B1200, const std::string& path = "")
    {
        device = open_pty();
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

    // Starts portterm with portrc at speed and flow.
    void start(const std::string& speed = "9600",
               const std::string& flow = "NONE", const launch& how = {})
    {
        write_portrc(speed, flow);
        ASSERT_NO_FATAL_FAILURE(start_with(how));
    }

    // Starts portterm as portrc says, and waits until the device is raw
    // and the sending process exists.
    void start_with(const launch& how)
    {
        run = start_portterm(dir, how.no_ctty ? -1 : user.slave,
                             how.in < 0 ? user.slave : how.in,
                             how.out < 0 ? user.slave : how.out, how.argv,
                             how.own_session, how.from);
        ASSERT_TRUE(wait_until([&] { return settings_of(device).c_lflag == 0; },
                               patience_ms))
            << "the device never went raw: " << read_quiet(run.err, 10);
        ASSERT_TRUE(
            wait_until([&] { return (sender = first_child_of(run.pid)) > 0; },
                       patience_ms))
            << "no sending process";
    }

    int quit()
    {
        write_bytes(user.master, "\x02");
        return wait_for_exit(run, quit_timeout_ms);
    }

    // The device stops the line with XOFF, and the program has taken it.
    void hold_line()
    {
        write_bytes(device.master, "\x13");
        usleep(50 * 1000);
    }

    // Reads the device slowly but steadily, a chunk every 40 ms, while the
    // program runs, until deadline (of now_ms()).
    std::string drain_slowly(int64_t deadline, size_t chunk = 512)
    {
        std::string got;
        while (process_exists(run.pid) && now_ms() < deadline) {
            got += read_bytes(device.master, chunk, 10);
            usleep(40 * 1000);
        }
        return got;
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
        ASSERT_TRUE(exited(wait_for_exit(run, patience_ms), code));
        EXPECT_EQ(read_quiet(run.err, 50), error);
    }

    void expect_clean_end(int status)
    {
        ASSERT_TRUE(exited(status, 0));
        EXPECT_FALSE(process_exists(sender)) << "sending process remains";
        EXPECT_EQ(read_quiet(run.err, 10), "") << "a normal end prints nothing";
    }
};
