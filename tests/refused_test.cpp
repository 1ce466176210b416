// SPDX-License-Identifier: MIT
// Devices refused: not a terminal, or locked by another program.

#include <sys/file.h>

#include "terminal.h"

namespace {

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
        path = dir + "/modem"; // a link, as /dev/serial/by-id has them
        ASSERT_EQ(symlink("/dev/null", path.c_str()), 0);
    } else {
        // Another terminal program holds the port.
        holder = open(path.c_str(), O_RDWR | O_NOCTTY);
        ASSERT_GE(holder, 0);
        ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
    }
    write_file(dir + "/portrc", path + "\n9600\nNONE\n");
    const char* error = GetParam().error;
    const std::string opens = "COUNT_OPENS=" + dir + "/opens";
    run = start_portterm(dir, user.slave, user.slave, user.slave,
                         preloaded(FAULTS_PATH, opens.c_str()), false,
                         {.fd = error ? -1 : 2});
    expect_failure(255, error ? path + ": " + error + "\n" : "");
    EXPECT_FALSE(opened(dir + "/opens", makedev(1, 3))) << "/dev/null opened";
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

} // namespace
