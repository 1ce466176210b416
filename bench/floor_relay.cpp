// SPDX-License-Identifier: MIT
// The floors for the benchmark: the barest two-process relays.
// floor_relay BLOCK DEVICE: the child copies standard input to the device
// until Ctrl-B, the parent copies the device to standard output until the
// child ends, each at most BLOCK bytes per read and one write per read.  No
// settings, no retries, no checks: two system calls per block.  A DEVICE
// tcp:PORT is a connection to that port of loopback, without delay.

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

static volatile sig_atomic_t DONE = 0;

static void on_child(int)
{
    DONE = 1;
}

int main(int argc, char** argv)
{
    static char block[65536];
    long size = argc == 3 ? strtol(argv[1], nullptr, 10) : 0;
    if (size < 1 || size > static_cast<long>(sizeof block))
        return 2;
    int device = -1;
    if (strncmp(argv[2], "tcp:", 4) == 0) {
        struct sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port =
            htons(static_cast<uint16_t>(strtol(argv[2] + 4, nullptr, 10)));
        device = socket(AF_INET, SOCK_STREAM, 0);
        const int on = 1;
        if (device >= 0 &&
            (connect(device, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
             setsockopt(device, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0))
            return 255;
    } else {
        device = open(argv[2], O_RDWR | O_NOCTTY);
    }
    if (device < 0)
        return 255;
    struct sigaction action = {};
    action.sa_handler = on_child;
    sigaction(SIGCHLD, &action, nullptr);
    pid_t child = fork();
    if (child == 0) {
        ssize_t n;
        while ((n = read(STDIN_FILENO, block, size)) > 0) {
            void* quit = memchr(block, 0x02, n);
            if (quit != nullptr)
                n = static_cast<char*>(quit) - block;
            if (write(device, block, n) < 0 || quit != nullptr)
                break;
        }
        _exit(0);
    }
    ssize_t n;
    while (!DONE)
        if ((n = read(device, block, size)) > 0 &&
            write(STDOUT_FILENO, block, n) < 0)
            break;
    wait(nullptr);
    return 0;
}
