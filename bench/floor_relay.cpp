// SPDX-License-Identifier: MIT
// The floor for the benchmark: the barest two-process one-byte relay.
// floor_relay DEVICE: the child copies standard input to the device until
// Ctrl-B, the parent copies the device to standard output until the child
// ends.  No settings, no retries, no checks: two system calls per byte.

#include <csignal>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

static volatile sig_atomic_t DONE = 0;

static void on_child(int)
{
    DONE = 1;
}

int main(int argc, char** argv)
{
    if (argc != 2)
        return 2;
    int device = open(argv[1], O_RDWR | O_NOCTTY);
    if (device < 0)
        return 255;
    struct sigaction action = {};
    action.sa_handler = on_child;
    sigaction(SIGCHLD, &action, nullptr);
    pid_t child = fork();
    if (child == 0) {
        unsigned char c;
        while (read(STDIN_FILENO, &c, 1) == 1 && c != 0x02)
            if (write(device, &c, 1) < 0)
                break;
        _exit(0);
    }
    unsigned char c;
    while (!DONE)
        if (read(device, &c, 1) == 1 && write(STDOUT_FILENO, &c, 1) < 0)
            break;
    wait(nullptr);
    return 0;
}
