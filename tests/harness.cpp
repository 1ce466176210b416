// SPDX-License-Identifier: MIT
#include "harness.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <ftw.h>
#include <poll.h>
#include <pty.h>
#include <sched.h>
#include <sstream>
#include <stdexcept>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#ifndef PORTTERM_PATH
#error "PORTTERM_PATH must name the program under test"
#endif

pty open_pty()
{
    pty p;
    char name[PATH_MAX];
    if (openpty(&p.master, &p.slave, name, nullptr, nullptr) != 0)
        throw std::runtime_error(std::string("openpty: ") + strerror(errno));
    p.path = name;
    return p;
}

void close_pty(pty& p)
{
    if (p.master >= 0)
        close(p.master);
    if (p.slave >= 0)
        close(p.slave);
    p.master = p.slave = -1;
}

std::string make_temp_dir()
{
    char name[] = "/tmp/portterm-test-XXXXXX";
    if (mkdtemp(name) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    return name;
}

void remove_tree(const std::string& dir)
{
    nftw(
        dir.c_str(),
        [](const char* path, const struct stat*, int, struct FTW*) {
            return remove(path);
        },
        16, FTW_DEPTH | FTW_PHYS);
}

void write_file(const std::string& path, const std::string& content)
{
    std::ofstream out(path, std::ios::binary);
    out << content;
}

std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

struct termios settings_of(const pty& p)
{
    struct termios t = {};
    // On Linux the master's settings calls act on the slave side.
    if (tcgetattr(p.master, &t) != 0)
        throw std::runtime_error("tcgetattr on a pty master failed");
    return t;
}

bool same_settings(const struct termios& a, const struct termios& b)
{
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag &&
           a.c_cflag == b.c_cflag && a.c_lflag == b.c_lflag &&
           a.c_line == b.c_line && memcmp(a.c_cc, b.c_cc, NCCS) == 0 &&
           cfgetispeed(&a) == cfgetispeed(&b) &&
           cfgetospeed(&a) == cfgetospeed(&b);
}

std::string describe(const struct termios& t)
{
    char text[160];
    (void)snprintf(
        text, sizeof text, // a longer text is only cut
        "iflag=%#o oflag=%#o cflag=%#o lflag=%#o ispeed=%u ospeed=%u",
        t.c_iflag, t.c_oflag, t.c_cflag, t.c_lflag, cfgetispeed(&t),
        cfgetospeed(&t));
    return text;
}

// In a child: makes in, out and err the standard descriptors, closes the
// rest and runs the program (or argv) in dir.
[[noreturn]] static void exec_program(const std::string& dir, int in, int out,
                                      int err,
                                      const std::vector<std::string>& argv,
                                      const inherited& handed)
{
    dup2(in, STDIN_FILENO);
    dup2(out, STDOUT_FILENO);
    dup2(err, STDERR_FILENO);
    close_range(3, ~0U, 0);
    if (handed.fd >= 0 && close(handed.fd) == 0 && handed.opened != nullptr)
        open(handed.opened, O_RDWR);
    if (chdir(dir.c_str()) != 0)
        _exit(126);
    // As a shell leaves them for the commands it starts.
    (void)signal(SIGPIPE, handed.sigpipe_ignored ? SIG_IGN : SIG_DFL);
    for (int sig : {SIGHUP, SIGINT, SIGQUIT, SIGTERM})
        (void)signal(sig, SIG_DFL);
    sigset_t set;
    sigemptyset(&set);
    if (handed.sigchld_blocked)
        sigaddset(&set, SIGCHLD);
    if (handed.sigpipe_blocked)
        sigaddset(&set, SIGPIPE);
    sigprocmask(SIG_SETMASK, &set, 0);
    if (handed.no_core) {
        struct rlimit none = {0, 0};
        setrlimit(RLIMIT_CORE, &none);
    }
    std::vector<char*> args;
    args.reserve(argv.size() + 2);
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    if (args.empty())
        args.push_back(const_cast<char*>(PORTTERM_PATH));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
}

// The shell-like session leader: starts the program as its child, reports
// its pid and then its wait status, and holds the terminal until the test
// closes hold.
[[noreturn]] static void lead_session(const std::string& dir, int ctty, int in,
                                      int out, int err, int report, int hold,
                                      const std::vector<std::string>& argv,
                                      const inherited& handed)
{
    // Only what a shell would hold: a descriptor of the test's (the far end
    // of a pipe, a pty's master) held here would hide its close.
    std::vector<int> keep = {ctty, in, out, err, report, hold};
    std::sort(keep.begin(), keep.end());
    int from = 3;
    for (int fd : keep) {
        if (fd > from)
            close_range(from, fd - 1, 0);
        from = std::max(from, fd + 1);
    }
    close_range(from, ~0U, 0);
    // It outlives a hang-up of the terminal and the signals sent to its
    // process group, as an interactive shell does, to report how the
    // program ended; the program gets the defaults back.
    for (int sig : {SIGHUP, SIGINT, SIGQUIT, SIGTERM})
        (void)signal(sig, SIG_IGN); // cannot fail: a valid signal
    pid_t program = fork();
    if (program == 0) {
        exec_program(dir, in, out, err, argv, handed);
    }
    close(err);
    int status = -1;
    if (program > 0 &&
        write(report, &program, sizeof program) == sizeof program)
        waitpid(program, &status, 0);
    if (write(report, &status, sizeof status) != sizeof status)
        _exit(1);
    char c;
    while (read(hold, &c, 1) < 0 && errno == EINTR) {
    }
    _exit(0);
}

portterm_run start_portterm(const std::string& dir, int ctty, int in, int out,
                            const std::vector<std::string>& argv,
                            bool own_session, const inherited& handed)
{
    int err[2], report[2], hold[2];
    if (pipe2(err, O_CLOEXEC) != 0 || pipe2(report, O_CLOEXEC) != 0 ||
        pipe2(hold, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    bool shell = ctty >= 0 && !own_session;
    (void)fflush(nullptr); // only so that no child writes it again
    pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        setsid();
        if (ctty >= 0)
            ioctl(ctty, TIOCSCTTY, 0);
        if (!shell)
            exec_program(dir, in, out, err[1], argv, handed);
        lead_session(dir, ctty, in, out, err[1], report[1], hold[0], argv,
                     handed);
    }
    close(err[1]);
    close(report[1]);
    close(hold[0]);
    portterm_run run;
    run.err = err[0];
    if (!shell) {
        close(report[0]);
        close(hold[1]);
        run.pid = pid;
        return run;
    }
    run.leader = pid;
    run.report = report[0];
    run.hold = hold[1];
    std::string got = read_bytes(run.report, sizeof(pid_t), 2000);
    if (got.size() == sizeof(pid_t))
        memcpy(&run.pid, got.data(), sizeof(pid_t));
    if (run.pid < 1) {
        run.pid = -1;
        end_run(run);
        throw std::runtime_error("the session leader started no program");
    }
    return run;
}

int wait_for_exit(portterm_run& run, int timeout_ms)
{
    if (run.leader < 0) {
        if (!run.ended)
            run.status = wait_for_exit(run.pid, timeout_ms);
        run.ended = true;
        return run.status;
    }
    if (run.ended)
        return run.status;
    std::string got = read_bytes(run.report, sizeof(int), timeout_ms);
    if (got.size() != sizeof(int)) {
        signal_process(run.pid, SIGKILL);
        read_bytes(run.report, sizeof(int), 2000);
        run.ended = true;
        return run.status = -1;
    }
    memcpy(&run.status, got.data(), sizeof(int));
    run.ended = true;
    return run.status;
}

void end_run(portterm_run& run)
{
    if (run.pid > 0 && !run.ended && process_exists(run.pid))
        signal_process(run.pid, SIGKILL);
    if (run.leader < 0 && run.pid > 0)
        wait_for_exit(run, 1000);
    for (int* fd : {&run.err, &run.report, &run.hold}) {
        if (*fd >= 0)
            close(*fd);
        *fd = -1;
    }
    // Without hold the leader ends; it is killed if it does not.
    if (run.leader > 0)
        wait_for_exit(run.leader, 1000);
    run = {};
}

void signal_process(pid_t pid, int sig)
{
    if (pid < 1)
        throw std::logic_error("refused to signal pid " + std::to_string(pid));
    kill(pid, sig);
}

void signal_group(pid_t group, int sig)
{
    if (group < 2 || group == getpgrp())
        throw std::logic_error("refused to signal group " +
                               std::to_string(group));
    kill(-group, sig);
}

std::vector<std::string> over_default_device(const std::string& device,
                                             const std::string& setup,
                                             const std::string& launch,
                                             const std::string& program)
{
    return {"/usr/bin/unshare",
            "-m",
            "--propagation",
            "private",
            "/bin/sh",
            "-c",
            "mount --bind \"$1\" /dev/ttyS0 && " + setup +
                " [ /dev/ttyS0 -ef \"$1\" ] && " + launch + " \"$2\"",
            "sh",
            device,
            program};
}

std::vector<std::string> preloaded(const char* library,
                                   const std::vector<std::string>& settings)
{
    const char* asan = getenv("ASAN_OPTIONS");
    // Under the emulator the library is the program's, not the launcher's
    // or the emulator's: the emulator hands it over.
#ifdef PORTTERM_EMULATED
    const char* preload = "QEMU_SET_ENV=LD_PRELOAD=";
#else
    const char* preload = "LD_PRELOAD=";
#endif
    std::vector<std::string> argv = {"/usr/bin/env",
                                     std::string(preload) + library};
    argv.insert(argv.end(), settings.begin(), settings.end());
    // AddressSanitizer's runtime wants to come first; here it cannot.
    argv.push_back("ASAN_OPTIONS=" + std::string(asan ? asan : "") +
                   ":verify_asan_link_order=0");
    argv.emplace_back(PORTTERM_PATH);
    return argv;
}

std::string no_private_namespace()
{
    if (access("/dev/ttyS0", F_OK) != 0)
        return "there is no /dev/ttyS0 to bind a pseudo-terminal over";
    if (access("/usr/bin/unshare", X_OK) != 0)
        return "unshare is not installed";
    // A fixed command line: nothing from outside reaches the shell.
    const char* probe =
        "/usr/bin/unshare -m --propagation private true 2>/dev/null";
    if (system(probe) != 0) // NOLINT(cert-env33-c): see above
        return "private mount namespaces are not available here";
    return "";
}

std::string enter_own_devpts()
{
    uid_t uid = geteuid();
    gid_t gid = getegid();
    if (uid != 0) {
        if (unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0)
            return std::string("no user namespace: ") + strerror(errno);
        write_file("/proc/self/setgroups", "deny");
        write_file("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1");
        write_file("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1");
    } else if (unshare(CLONE_NEWNS) != 0) {
        return std::string("no mount namespace: ") + strerror(errno);
    }
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("devpts", "/dev/pts", "devpts", 0,
              "newinstance,ptmxmode=0666,mode=0620") != 0 ||
        mount("/dev/pts/ptmx", "/dev/ptmx", nullptr, MS_BIND, nullptr) != 0)
        return std::string("no devpts of its own: ") + strerror(errno);
    return "";
}

int wait_for_exit(pid_t pid, int timeout_ms)
{
    int64_t end = now_ms() + timeout_ms;
    for (;;) {
        int status;
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid)
            return status;
        if (r < 0)
            return -1;
        if (now_ms() > end) {
            signal_process(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        usleep(1000);
    }
}

std::string read_bytes(int fd, size_t want, int timeout_ms)
{
    std::string got;
    int64_t end = now_ms() + timeout_ms;
    while (got.size() < want) {
        int64_t left = end - now_ms();
        if (left <= 0)
            break;
        struct pollfd in = {fd, POLLIN, 0};
        if (poll(&in, 1, static_cast<int>(left)) <= 0)
            break;
        char buf[4096];
        size_t room = want - got.size();
        ssize_t n = read(fd, buf, room < sizeof buf ? room : sizeof buf);
        if (n <= 0)
            break;
        got.append(buf, n);
    }
    return got;
}

std::string read_quiet(int fd, int quiet_ms)
{
    std::string got;
    for (;;) {
        struct pollfd in = {fd, POLLIN, 0};
        if (poll(&in, 1, quiet_ms) <= 0 || !(in.revents & POLLIN))
            return got;
        char buf[4096];
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0)
            return got;
        got.append(buf, n);
    }
}

void write_bytes(int fd, const std::string& bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            throw std::runtime_error("write to pty failed");
        done += n;
    }
}

size_t write_within(int fd, const std::string& bytes, int timeout_ms)
{
    int flags = fcntl(fd, F_GETFL);
    fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    size_t done = 0;
    int64_t end = now_ms() + timeout_ms;
    while (done < bytes.size() && now_ms() < end) {
        ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += n;
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            struct pollfd out = {fd, POLLOUT, 0};
            poll(&out, 1, 10);
        } else {
            break;
        }
    }
    fcntl(fd, F_SETFL, flags);
    return done;
}

// Field n (numbered as in proc(5): 3 is the state, 4 the parent) of
// /proc/PID/stat, or "" when pid is gone.
static std::string stat_field(pid_t pid, int n)
{
    std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    size_t close_paren = stat.rfind(')');
    if (close_paren == std::string::npos)
        return "";
    std::istringstream in(stat.substr(close_paren + 2));
    std::string field;
    for (int i = 3; i <= n && in >> field; ++i) {
    }
    return field;
}

static long stat_number(pid_t pid, int n)
{
    std::string field = stat_field(pid, n);
    return field.empty() ? -1 : strtol(field.c_str(), nullptr, 10);
}

char process_state(pid_t pid)
{
    std::string state = stat_field(pid, 3);
    return state.empty() ? '\0' : state[0];
}

#ifdef PORTTERM_EMULATED
// The emulator runs on an x86_64 kernel.
const long READ_CALL = 0, POLL_CALL = 271, PPOLL_CALL = 271;
#else
const long READ_CALL = SYS_read, POLL_CALL = SYS_poll, PPOLL_CALL = SYS_ppoll;
#endif

long syscall_of(pid_t pid)
{
    std::string call = read_file("/proc/" + std::to_string(pid) + "/syscall");
    char* end = nullptr;
    long number = strtol(call.c_str(), &end, 10);
    return end != call.c_str() && *end == ' ' ? number : -1;
}

bool process_exists(pid_t pid)
{
    // A zombie has ended: it waits only for a parent to collect it.
    char state = process_state(pid);
    return state != '\0' && state != 'Z';
}

std::string children_of(pid_t pid)
{
    std::string list;
    DIR* proc = opendir("/proc");
    if (proc == nullptr)
        return list;
    while (struct dirent* entry = readdir(proc)) {
        char* end = nullptr;
        auto candidate = static_cast<pid_t>(strtol(entry->d_name, &end, 10));
        if (candidate <= 0 || *end != '\0')
            continue;
        if (stat_number(candidate, 4) == pid && process_exists(candidate))
            list += std::to_string(candidate) + " ";
    }
    closedir(proc);
    return list;
}

pid_t first_child_of(pid_t pid)
{
    return static_cast<pid_t>(strtol(children_of(pid).c_str(), nullptr, 10));
}

std::vector<int> open_flags(pid_t pid, const std::string& path)
{
    std::vector<int> flags;
    std::string proc = "/proc/" + std::to_string(pid);
    DIR* fds = opendir((proc + "/fd").c_str());
    if (fds == nullptr)
        return flags;
    while (struct dirent* entry = readdir(fds)) {
        char target[PATH_MAX];
        std::string fd = proc + "/fd/" + entry->d_name;
        ssize_t n = readlink(fd.c_str(), target, sizeof target - 1);
        std::string link(target, n > 0 ? n : 0);
        if (link != path && link != path + " (deleted)")
            continue;
        std::string info = read_file(proc + "/fdinfo/" + entry->d_name);
        size_t at = info.find("flags:");
        if (at != std::string::npos)
            flags.push_back(static_cast<int>(
                strtol(info.c_str() + at + strlen("flags:"), nullptr, 8)));
    }
    closedir(fds);
    return flags;
}

long controlling_terminal(pid_t pid)
{
    return stat_number(pid, 7);
}

long cpu_ticks(pid_t pid)
{
    // User and system time.
    return std::max(stat_number(pid, 14), 0L) +
           std::max(stat_number(pid, 15), 0L);
}

long status_figure(pid_t pid, const std::string& figure)
{
    std::string status = read_file("/proc/" + std::to_string(pid) + "/status");
    size_t at = status.find(figure + ":");
    return at == std::string::npos
               ? 0
               : strtol(status.c_str() + at + figure.size() + 1, nullptr, 10);
}
