// Pseudo-terminals, temp directories and a supervised portterm process for
// the tests.  Every wait here has a timeout.
#pragma once

#include <string>
#include <sys/types.h>
#include <termios.h>
#include <vector>

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
    pid_t pid = -1;
    int err = -1; // read end of the program's standard error
};

// Starts build/portterm (or the command argv) in dir as a session leader.
// ctty, when not -1, is made its controlling terminal; in, out go to its
// standard input and output.
portterm_run start_portterm(const std::string& dir, int ctty, int in, int out,
                            const std::vector<std::string>& argv = {});

// The command that runs portterm where /dev/ttyS0 is the pseudo-terminal
// device, in a private mount namespace: nothing runs unless the bind
// worked.  launch is the shell text that starts portterm, given as "$2".
std::vector<std::string>
over_default_device(const std::string& device,
                    const std::string& launch = "exec");
// Why such a namespace cannot be made here, or "" when it can.
std::string no_private_namespace();

// Waits for pid to end; returns its wait status, or -1 after killing it
// when it has not ended within timeout_ms.
int wait_for_exit(pid_t pid, int timeout_ms);

// Reads until want bytes have arrived or timeout_ms has passed.
std::string read_bytes(int fd, size_t want, int timeout_ms);
// Reads whatever arrives until the line has been quiet for quiet_ms.
std::string read_quiet(int fd, int quiet_ms);
void write_bytes(int fd, const std::string& bytes);

// Polls pred every millisecond until it holds or timeout_ms passes.
template <typename Pred> bool wait_until(Pred pred, int timeout_ms);

// The state letter of pid from /proc (R, S, T, Z, ...), or 0 when it is gone.
char process_state(pid_t pid);
bool process_exists(pid_t pid);
// The pids of pid's children, from /proc.
std::string children_of(pid_t pid);
pid_t first_child_of(pid_t pid);
// Processor time of pid in clock ticks (user + system), from /proc.
long cpu_ticks(pid_t pid);

long now_ms();

#include <unistd.h>
template <typename Pred> bool wait_until(Pred pred, int timeout_ms)
{
    long end = now_ms() + timeout_ms;
    while (!pred()) {
        if (now_ms() > end)
            return false;
        usleep(1000);
    }
    return true;
}
