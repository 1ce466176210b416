// SPDX-License-Identifier: MIT
// Pseudo-terminals, temp directories and a supervised portterm process for
// the tests.  Every wait here has a timeout.
#pragma once

#include <cstdint>
#include <string>
#include <sys/types.h>
#include <termios.h>
#include <vector>

#include "clock.h"

struct pty {
    int master = -1;
    int slave = -1;
    std::string path;
};

// A new pseudo-terminal pair; the test holds both ends.
pty open_pty();
void close_pty(pty& p);

std::string make_temp_dir();
void remove_tree(const std::string& dir);
void write_file(const std::string& path, const std::string& content);
std::string read_file(const std::string& path);

// The settings of the terminal behind a pty's master (its slave side).
struct termios settings_of(const pty& p);
bool same_settings(const struct termios& a, const struct termios& b);
std::string describe(const struct termios& t);

struct portterm_run {
    pid_t pid = -1;    // the program
    pid_t leader = -1; // the shell-like session leader, or -1
    int err = -1;      // read end of the program's standard error
    int report = -1;   // the leader reports the program's pid and status
    int hold = -1;     // the leader lives until this closes
    int status = -1;   // the program's wait status, once collected
    bool ended = false;
};

// What a script or a service manager may hand the program besides.
struct inherited {
    int fd = -1;                  // a standard descriptor left closed,
    const char* opened = nullptr; // or open on this file
    bool sigchld_blocked = false;
    bool sigpipe_ignored = false;
    bool sigpipe_blocked = false;
    bool no_core = false; // a core size limit of 0
};

// Starts build/portterm (or the command argv) in dir with in, out as its
// standard input and output.  When ctty is not -1, a shell-like session
// leader makes it its controlling terminal and starts the program as a
// shell does, as its child, with SIGPIPE at its default; the leader holds
// the terminal until end_run, so no hang-up hides what a user would see.
// With own_session, or without ctty, the program is a session leader of
// its own (without a controlling terminal when ctty is -1).  A start that
// fails throws, which ends the test; the pids it returns are never below 1.
portterm_run start_portterm(const std::string& dir, int ctty, int in, int out,
                            const std::vector<std::string>& argv = {},
                            bool own_session = false,
                            const inherited& handed = {});

// Waits for the program to end; returns its wait status, or -1 after
// killing it when it has not ended within timeout_ms.
int wait_for_exit(portterm_run& run, int timeout_ms);
// Kills what is left of a run, its leader with it, and closes its pipes.
void end_run(portterm_run& run);

// kill(), refused (it throws) for a pid below 1: kill(0, ...)
// would hit the test's own process group, ctest and its caller.
void signal_process(pid_t pid, int sig);
// The same for a process group: refused for the test's own, and for 0, 1.
void signal_group(pid_t group, int sig);

// The command that runs portterm (or program) where /dev/ttyS0 is the
// pseudo-terminal device, in a private mount namespace: nothing runs
// unless the bind worked.  setup is shell text run first, ending in "&&"
// (a step that may fail by design is written "{ ... || :; } &&"); launch
// starts the program, given as "$2", once /dev/ttyS0 is checked to be the
// device.
std::vector<std::string>
over_default_device(const std::string& device, const std::string& setup = "",
                    const std::string& launch = "exec",
                    const std::string& program = PORTTERM_PATH);

// portterm with a library preloaded, and its settings in the environment.
std::vector<std::string> preloaded(const char* library,
                                   const std::vector<std::string>& settings);
// Why such a namespace cannot be made here, or "" when it can.
std::string no_private_namespace();

// Puts the test, and what it starts from then on, in a mount namespace
// with a devpts instance of its own, where no other program takes the
// numbers of its pseudo-terminals (in a user namespace too when it is not
// the superuser).  Returns why that cannot be done here, or "".
std::string enter_own_devpts();

// Waits for pid, a child of the test, to end; returns its wait status, or
// -1 after killing it when it has not ended within timeout_ms.
int wait_for_exit(pid_t pid, int timeout_ms);

// Reads until want bytes have arrived or timeout_ms has passed.
std::string read_bytes(int fd, size_t want, int timeout_ms);
// Reads whatever arrives until the line has been quiet for quiet_ms.
std::string read_quiet(int fd, int quiet_ms);
void write_bytes(int fd, const std::string& bytes);
// Writes as much of bytes as fd takes within timeout_ms; returns how much.
size_t write_within(int fd, const std::string& bytes, int timeout_ms);

// Polls pred every millisecond until it holds or timeout_ms passes.
template <typename Pred> bool wait_until(Pred pred, int timeout_ms);

// The state letter of pid from /proc (R, S, T, Z, ...), or 0 when it is gone.
char process_state(pid_t pid);
// The number of the system call pid is in, from /proc; -1 when it runs
// outside one, or is gone.  The numbers are those of the kernel it runs
// on: a program under the emulator is in its host's calls, and a guest's
// poll is the host's ppoll.
long syscall_of(pid_t pid);
extern const long READ_CALL, POLL_CALL, PPOLL_CALL;
bool process_exists(pid_t pid);
// The pids of pid's children, from /proc.
std::string children_of(pid_t pid);
pid_t first_child_of(pid_t pid);
// The open flags of each of pid's descriptors on path, from
// /proc/PID/fdinfo; a pseudo-terminal that has gone counts too.
std::vector<int> open_flags(pid_t pid, const std::string& path);
// The device number of pid's controlling terminal, 0 for none.
long controlling_terminal(pid_t pid);
// Processor time of pid in clock ticks (user + system), from /proc.
long cpu_ticks(pid_t pid);
// A figure of pid from /proc/PID/status, such as "VmHWM" (in KiB) or
// "voluntary_ctxt_switches"; 0 when it is gone.
long status_figure(pid_t pid, const std::string& figure);

#include <unistd.h>
template <typename Pred> bool wait_until(Pred pred, int timeout_ms)
{
    int64_t end = now_ms() + timeout_ms;
    while (!pred()) {
        if (now_ms() > end)
            return false;
        usleep(1000);
    }
    return true;
}
