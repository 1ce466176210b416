// SPDX-License-Identifier: MIT
// portterm-modem: a virtual AT-command modem on a pseudo-terminal, for
// trying portterm without serial hardware.
//
// Prints the path of its device and serves it until SIGINT or SIGTERM, or,
// with --once, until the terminal that opened the device closes it.  In
// command mode it echoes what it receives and answers lines ended by CR;
// after ATD it loops every byte back until the escape: a pause, "+++", a
// pause.

#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include "clock.h"
#include "lines.h"

namespace {

volatile sig_atomic_t QUIT = 0;

extern "C" void quit_handler(int)
{
    QUIT = 1;
}

int MASTER = -1;
bool ECHO_ON = true;
bool DATA_MODE = false;
std::string LINE;

// Escape detection in data mode.
int64_t GUARD_MS = 1000;
int64_t LAST_BYTE_MS = 0;
int PLUSES = 0;

void send(const std::string& bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(MASTER, bytes.data() + done, bytes.size() - done);
        if (n > 0)
            done += n;
        else if (!(n < 0 && errno == EINTR))
            return; // the terminal has gone: nobody to answer
    }
}

void reply(const std::string& text)
{
    send("\r\n" + text + "\r\n");
}

// The rate in bit/s that the terminal set, a custom one as well where the
// kernel lets it be read.
long line_speed()
{
    line_rates rates;
    return read_line_rates(MASTER, rates) == 0 ? rates.out : 0;
}

// The line as the terminal set it: speed and flow control.
std::string line_settings()
{
    struct termios t;
    if (tcgetattr(MASTER, &t) != 0)
        return "UNKNOWN";
    const char* flow = "NONE";
    if (t.c_cflag & CRTSCTS)
        flow = "RTS/CTS";
    else if ((t.c_iflag & (IXON | IXOFF)) == (IXON | IXOFF))
        flow = "XON/XOFF";
    return "SPEED " + std::to_string(line_speed()) + " FLOW " + flow;
}

void reset()
{
    ECHO_ON = true;
    DATA_MODE = false;
    LINE.clear();
    PLUSES = 0;
}

bool all_digits(const std::string& s)
{
    if (s.empty())
        return false;
    for (char c : s)
        if (!isdigit(static_cast<unsigned char>(c)) && c != ',' && c != '-')
            return false;
    return true;
}

void command(std::string line)
{
    while (!line.empty() && line.back() == ' ')
        line.pop_back();
    for (char& c : line)
        c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    if (line.empty())
        return;
    if (line == "AT" || line == "ATH" || line == "ATH0") {
        reply("OK");
    } else if (line == "ATZ") {
        reset();
        reply("OK");
    } else if (line == "ATE0" || line == "ATE1") {
        ECHO_ON = line == "ATE1";
        reply("OK");
    } else if (line == "ATI") {
        reply("portterm-modem virtual modem");
        reply("OK");
    } else if (line == "AT&V") {
        reply(line_settings());
        reply("OK");
    } else if (line.rfind("ATD", 0) == 0) {
        std::string number = line.substr(3);
        if (!number.empty() && (number[0] == 'T' || number[0] == 'P'))
            number.erase(0, 1);
        if (!all_digits(number)) {
            reply("ERROR");
            return;
        }
        reply("CONNECT " + std::to_string(line_speed()));
        DATA_MODE = true;
        PLUSES = 0;
        LAST_BYTE_MS = now_ms();
    } else {
        reply("ERROR");
    }
}

void command_byte(char c)
{
    if (ECHO_ON)
        send(std::string(1, c));
    if (c == '\r') {
        command(LINE);
        LINE.clear();
    } else if (c == '\b' || c == 0x7f) {
        if (!LINE.empty())
            LINE.pop_back();
    } else if (c != '\n' && LINE.size() < 256) {
        LINE += c;
    }
}

void data_byte(char c, int64_t now)
{
    send(std::string(1, c));
    if (c == '+' && PLUSES == 0 && now - LAST_BYTE_MS >= GUARD_MS)
        PLUSES = 1;
    else if (c == '+' && PLUSES > 0 && PLUSES < 3)
        ++PLUSES;
    else
        PLUSES = 0;
    LAST_BYTE_MS = now;
}

void receive(const char* bytes, ssize_t n)
{
    int64_t now = now_ms();
    for (ssize_t i = 0; i < n; ++i) {
        if (DATA_MODE)
            data_byte(bytes[i], now);
        else
            command_byte(bytes[i]);
    }
}

// How long poll may wait: in data mode after "+++", only until the guard
// time after it has passed.
int poll_timeout()
{
    if (!DATA_MODE || PLUSES != 3)
        return -1;
    int64_t left = LAST_BYTE_MS + GUARD_MS - now_ms();
    return left > 0 ? static_cast<int>(left) : 0;
}

int open_device()
{
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        perror("portterm-modem: pseudo-terminal");
        exit(1);
    }
    return master;
}

[[noreturn]] void usage()
{
    (void)fprintf(stderr, "usage: portterm-modem [--once] [--guard MS]\n");
    exit(2);
}

// A count of milliseconds from the command line, or the usage message.
int64_t milliseconds(const char* text)
{
    char* end = nullptr;
    errno = 0;
    long long ms = strtoll(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || ms < 0)
        usage();
    return ms;
}

} // namespace

int main(int argc, char** argv)
{
    bool once = false;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--once") == 0)
            once = true;
        else if (strcmp(argv[i], "--guard") == 0 && i + 1 < argc)
            GUARD_MS = milliseconds(argv[++i]);
        else
            usage();
    }

    MASTER = open_device();
    // Whoever started the modem waits for this line.
    if (printf("%s\n", ptsname(MASTER)) < 0 || fflush(stdout) != 0) {
        perror("portterm-modem: standard output");
        exit(1);
    }

    // The signals are blocked except inside ppoll, so one that arrives
    // between the test of QUIT and the wait still ends the wait.
    struct sigaction action = {};
    action.sa_handler = quit_handler;
    sigemptyset(&action.sa_mask);
    sigset_t quit_signals, waiting;
    sigemptyset(&quit_signals);
    sigaddset(&quit_signals, SIGINT);
    sigaddset(&quit_signals, SIGTERM);
    sigprocmask(SIG_BLOCK, &quit_signals, &waiting);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    while (!QUIT) {
        int timeout = poll_timeout();
        struct timespec wait = {timeout / 1000, (timeout % 1000) * 1000000L};
        struct pollfd device = {MASTER, POLLIN, 0};
        int ready = ppoll(&device, 1, timeout < 0 ? nullptr : &wait, &waiting);
        if (ready < 0)
            continue;
        if (ready == 0) {
            // The guard time after "+++" has passed in silence.
            DATA_MODE = false;
            PLUSES = 0;
            reply("OK");
            continue;
        }
        if (device.revents & POLLIN) {
            char buf[256];
            ssize_t n = read(MASTER, buf, sizeof buf);
            if (n > 0) {
                receive(buf, n);
                continue;
            }
        }
        if (device.revents & (POLLHUP | POLLERR)) {
            // The terminal closed the device: hang up.
            if (once)
                break;
            reset();
            struct timespec pause = {0, 100'000'000};
            ppoll(nullptr, 0, &pause, &waiting);
        }
    }
    close(MASTER);
    return 0;
}
