// SPDX-License-Identifier: MIT
// Devices refused: not a terminal, or locked by another program.

#include <sys/file.h>

#include "terminal.h"

namespace {

// Devices portterm refuses before it touches anything: reported like a
// device that cannot be opened, with status 255.
class RefusedDevice;
struct refused_case {
    const char* name;
    std::string (*make)(RefusedDevice&); // the path portrc names
    const char* error = nullptr;         // after "PATH: "; none: stderr closed
    bool no_proc = false;                // in a chroot without /proc
};

const char* const content = "ATZ\r\nOK\r\n";

class RefusedDevice : public Terminal,
                      public ::testing::WithParamInterface<refused_case> {
  public:
    int holder = -1; // another terminal program's hold on the device

    void TearDown() override
    {
        if (holder >= 0)
            close(holder);
        Terminal::TearDown();
    }
};

std::string regular_file(RefusedDevice& t)
{
    write_file(t.dir + "/modem", content);
    return t.dir + "/modem";
}

std::string named_pipe(RefusedDevice& t)
{
    EXPECT_EQ(mkfifo((t.dir + "/modem").c_str(), 0600), 0);
    return t.dir + "/modem";
}

// A link, as /dev/serial/by-id has them.
std::string null_device(RefusedDevice& t)
{
    EXPECT_EQ(symlink("/dev/null", (t.dir + "/modem").c_str()), 0);
    return t.dir + "/modem";
}

std::string locked_by_another(RefusedDevice& t)
{
    t.holder = open(t.device.path.c_str(), O_RDWR | O_NOCTTY);
    EXPECT_EQ(flock(t.holder, LOCK_EX | LOCK_NB), 0);
    return t.device.path;
}

TEST_P(RefusedDevice, IsReportedWithItsPathAndStatus255)
{
    const refused_case& c = GetParam();
    if (std::string why = no_proc_here(); c.no_proc && !why.empty())
        GTEST_SKIP() << why;
    const std::string path = c.make(*this);
    std::vector<std::string> argv = faulty({"COUNT_OPENS=" + dir + "/opens"});
    write_file(dir + "/portrc", path + "\n9600\nNONE\n");
    run = start_portterm(dir, user.slave, user.slave, user.slave,
                         c.no_proc ? without_proc(argv) : argv, false,
                         {.fd = c.error ? -1 : 2});
    expect_failure(255, c.error ? path + ": " + c.error + "\n" : "");
    EXPECT_FALSE(opened(dir + "/opens", makedev(1, 3))) << "/dev/null opened";
    EXPECT_EQ(read_quiet(user.master, 20), "");
    expect_restored();
    if (c.make == regular_file) {
        EXPECT_EQ(read_file(path), content) << "the file was changed";
    }
    EXPECT_EQ(read_quiet(device.master, 20), "");
}

const char* const not_a_terminal = "Inappropriate ioctl for device";

INSTANTIATE_TEST_SUITE_P(
    NotATerminalOrLocked, RefusedDevice,
    ::testing::Values(
        refused_case{"RegularFile", regular_file, not_a_terminal},
        refused_case{"NamedPipe", named_pipe, not_a_terminal},
        refused_case{"NullDevice", null_device, not_a_terminal},
        refused_case{"NullDeviceWithoutProc", null_device, not_a_terminal,
                     true},
        refused_case{"LockedByAnotherProgram", locked_by_another,
                     "Resource temporarily unavailable"},
        refused_case{"RegularFileWithStandardErrorClosed", regular_file},
        refused_case{"LockedWithStandardErrorClosed", locked_by_another}),
    row_name<refused_case>);

class Locked : public Terminal {};

TEST_F(Locked, TheLockGoesWithTheEndAndASecondPorttermIsRefusedMeanwhile)
{
    ASSERT_NO_FATAL_FAILURE(start());
    pty other = open_pty();
    portterm_run second =
        start_portterm(dir, other.slave, other.slave, other.slave);
    EXPECT_TRUE(exited(wait_for_exit(second, patience_ms), 255));
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

} // namespace
