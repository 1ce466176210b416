// SPDX-License-Identifier: MIT
// portterm: a terminal on a serial line.  Reads portrc, opens the device it
// names, and relays bytes both ways until the user types Ctrl-B.
//
// After the split the child (the sending process, keyboard.h) copies the
// keyboard to the device and the parent (the receiving process, screen.h)
// copies the device to the screen.  The child's end reaches the parent as
// SIGCHLD; the parent's end reaches the child as the hang-up of the socket
// pair between them, over which they also tell each other of the device.

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "clock.h"
#include "device.h"
#include "ends.h"
#include "keyboard.h"
#include "lines.h"
#include "messages.h"
#include "screen.h"
#include "settings.h"
#include "stop.h"

namespace {

// A shell hands over the three standard descriptors open and SIGPIPE at its
// default; a script or a service manager may not.  A closed descriptor would
// be taken by the next file opened: the device, read as the keyboard or
// written as the screen, or a refused device, written with its message.
// /dev/null holds its place.  An ignored SIGPIPE would keep the receiving
// process writing to a reader that has gone.
void take_inheritance()
{
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) < 0 && open("/dev/null", O_RDWR) < 0) {
            report_error("/dev/null");
            exit(-1);
        }
    }
    (void)signal(SIGPIPE, SIG_DFL);
}

// A wait of the connection's at the start, before anything has changed:
// Ctrl-C ends it.
bool wait_starting(int fd, short events, int64_t deadline)
{
    struct pollfd ready = {fd, events, 0};
    int64_t left = deadline - now_ms();
    (void)poll(&ready, 1, left > 0 ? static_cast<int>(left) : 0); // or not
    return true;
}

} // namespace

int main()
{
    take_inheritance();
    char* cnf_lines[3];
    cnf_port(cnf_lines);
    MODEMDEVICE = cnf_lines[0];
    FLOWCONTROL = cnf_lines[2];
    // No O_NONBLOCK: on a port that waits for the carrier the open waits
    // too, until setup_lines switches CLOCAL on.  A connection is the port
    // once settled.  Nothing has changed yet when either fails.
    why_not why = open_device(0, false, wait_starting);
    if (why.kind == reason::none && LINEKIND != line_kind::terminal)
        why = settle_device(wait_starting);
    if (why.kind != reason::none) {
        report_device(why);
        exit(-1);
    }

    // The signals that end the program wait until their handler can put
    // back what setup_lines saved; SIGCHLD waits for the split, with its
    // handler in place before it, so that a child that ends at once is
    // still noticed.
    sigset_t old = block_end_signals();
    sigset_t chld;
    sigemptyset(&chld);
    sigaddset(&chld, SIGCHLD);
    sigprocmask(SIG_BLOCK, &chld, nullptr);
    // SIGCHLD is unblocked after the split even when the parent left it
    // blocked: the child's end must reach the receiving process.
    sigdelset(&old, SIGCHLD);

    // Held by the parent alone on one side and the child alone on the
    // other: each sees it hang up when the other ends, however it ends.
    int channel[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, channel) != 0) {
        report_error("socketpair");
        exit(-1);
    }

    setup_lines(MODEMFD, cnf_lines);
    say_refused_settings();
    catch_end_signals();
    struct sigaction action = {};
    action.sa_handler = child_handler;
    sigemptyset(&action.sa_mask);
    // Without SA_RESTART a blocked device read returns at the signal.
    // SA_NOCLDSTOP: a stop or continue of the child is no end.
    action.sa_flags = SA_NOCLDSTOP;
    sigaction(SIGCHLD, &action, nullptr);

    pid_t receiver = getpid();
    pid_t child = fork();
    if (child < 0) {
        (void)write_lines(STDERR_FILENO); // what the driver refused, if any
        report_error("fork");
        restore_port(MODEMFD);
        restore_stdin();
        restore_stdout();
        close(MODEMFD);
        exit(-1);
    }
    if (child == 0) {
        (void)signal(SIGCHLD, SIG_DFL);
        close(channel[0]);
        close(MODEMFD);
        MODEMFD = -1;
        sigprocmask(SIG_SETMASK, &old, nullptr);
        relay_keyboard_to_device(receiver, channel[1]);
    }
    close(channel[1]);
    close(LINEFD);
    LINEFD = -1;
    sigprocmask(SIG_SETMASK, &old, nullptr);
    relay_device_to_screen(child, channel[0]);
}
