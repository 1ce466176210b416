// portterm: a terminal on a serial line.  Reads portrc, opens the device it
// names, and relays bytes both ways until the user types Ctrl-B.
//
// After the split the child (the sending process) copies the keyboard to
// the device and the parent (the receiving process) copies the device to
// the screen.  The child's end reaches the parent as SIGCHLD.

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <sys/select.h>
#include <sys/wait.h>
#include <unistd.h>

#include "lines.h"
#include "settings.h"

const char* MODEMDEVICE;
int MODEMFD = -1;
volatile sig_atomic_t STOP = 0;

const int QUIT_KEY = 0x02; // Ctrl-B

// The receiving loop tests STOP and then blocks in read(): a SIGCHLD that
// lands between the two would leave that read waiting for the device.  So
// the handler also makes the device non-blocking, and a read that starts
// after it returns at once.  The loop restores blocking reads when the
// child turns out to be alive still.
extern "C" void child_handler(int)
{
    int saved_errno = errno;
    STOP = 1;
    fcntl(MODEMFD, F_SETFL, O_NONBLOCK);
    errno = saved_errno;
}

namespace {

// Writes all of buf, retrying interrupted and short writes: nothing read
// is lost.  Gives up only when the descriptor fails for good.
void write_all(int fd, const unsigned char* buf, size_t length)
{
    while (length > 0) {
        ssize_t n = write(fd, buf, length);
        if (n > 0) {
            buf += n;
            length -= n;
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && errno == EAGAIN) {
            // The device is shared with the receiving process, whose
            // handler may have made it non-blocking for a moment.
            struct pollfd out = {fd, POLLOUT, 0};
            poll(&out, 1, -1);
        } else {
            return;
        }
    }
}

[[noreturn]] void relay_keyboard_to_device()
{
    close(STDOUT_FILENO);
    for (;;) {
        // End of input or a dead terminal ends the program like the quit
        // key: nobody is left to type it.
        int c = getchar();
        if (c == EOF || c == QUIT_KEY)
            break;
        unsigned char byte = static_cast<unsigned char>(c);
        write_all(MODEMFD, &byte, 1);
    }
    restore_port(MODEMFD);
    restore_stdin();
    close(MODEMFD);
    // _exit: the stdio buffers copied from the parent are not ours to flush.
    _exit(0);
}

// After a device read that brought nothing (a hung-up or failing device),
// wait a little before the next one so that a dead line does not spin the
// processor; the end of the child cuts the wait short.
void pause_after_failed_read()
{
    sigset_t chld, old;
    sigemptyset(&chld);
    sigaddset(&chld, SIGCHLD);
    sigprocmask(SIG_BLOCK, &chld, &old);
    if (!STOP) {
        struct timespec pause = {0, 100 * 1000 * 1000};
        pselect(0, nullptr, nullptr, nullptr, &pause, &old);
    }
    sigprocmask(SIG_SETMASK, &old, nullptr);
}

[[noreturn]] void relay_device_to_screen(pid_t child)
{
    close(STDIN_FILENO);
    for (;;) {
        if (STOP) {
            // A SIGCHLD: the child ended, or someone else sent the signal.
            STOP = 0;
            fcntl(MODEMFD, F_SETFL, 0);
            if (waitpid(child, nullptr, WNOHANG) == child) {
                // A child killed by a signal put nothing back, and the screen
                // may be another terminal than the keyboard: settle both here.
                // After a normal end this applies the same settings again.
                restore_port(MODEMFD);
                restore_stdout();
                exit(0);
            }
            continue;
        }
        unsigned char byte;
        if (read(MODEMFD, &byte, 1) == 1)
            write_all(STDOUT_FILENO, &byte, 1);
        else
            pause_after_failed_read();
    }
}

} // namespace

int main()
{
    char* cnf_lines[3];
    cnf_port(cnf_lines);
    MODEMDEVICE = cnf_lines[0];

    // No O_NONBLOCK: on a port that waits for the carrier the open waits
    // too, until setup_lines switches CLOCAL on.
    MODEMFD = open(MODEMDEVICE, O_RDWR | O_NOCTTY);
    if (MODEMFD < 0) {
        perror(MODEMDEVICE);
        exit(-1);
    }
    setup_lines(MODEMFD, cnf_lines);

    // SIGCHLD is blocked across the split and the handler is in place
    // before it, so a child that ends at once is still noticed.
    struct sigaction action = {};
    action.sa_handler = child_handler;
    sigemptyset(&action.sa_mask);
    // Without SA_RESTART a blocked device read returns at the signal.
    // SA_NOCLDSTOP: a stop or continue of the child is no end.
    action.sa_flags = SA_NOCLDSTOP;
    sigset_t chld, old;
    sigemptyset(&chld);
    sigaddset(&chld, SIGCHLD);
    sigprocmask(SIG_BLOCK, &chld, &old);
    sigaction(SIGCHLD, &action, nullptr);

    pid_t child = fork();
    if (child < 0) {
        perror("fork");
        restore_port(MODEMFD);
        restore_stdin();
        restore_stdout();
        close(MODEMFD);
        exit(-1);
    }
    if (child == 0) {
        signal(SIGCHLD, SIG_DFL);
        sigprocmask(SIG_SETMASK, &old, nullptr);
        relay_keyboard_to_device();
    }
    sigprocmask(SIG_SETMASK, &old, nullptr);
    relay_device_to_screen(child);
}
