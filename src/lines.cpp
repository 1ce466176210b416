// SPDX-License-Identifier: MIT
#include "lines.h"

#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "settings.h"

port_record port_saved;
struct termios port_new;
struct termios stdin_saved;
struct termios stdin_raw;
struct termios stdout_saved;

// Results of the settings calls are ignored throughout: standard input or
// output may be a file or a pipe, and a device may refuse a setting; the
// terminal then runs with what it has.

void setup_lines(int device, char* const cnf_lines[3])
{
    // Built from nothing: no flag of the device's old settings carries over.
    memset(&port_new, 0, sizeof port_new);
    cfsetispeed(&port_new, BAUDRATE);
    cfsetospeed(&port_new, BAUDRATE);
    port_new.c_cflag |= CS8 | CLOCAL | CREAD;
    port_new.c_iflag = IGNPAR;
    if (strcmp(cnf_lines[2], "RTS/CTS") == 0)
        port_new.c_cflag |= CRTSCTS;
    if (strcmp(cnf_lines[2], "XON/XOFF") == 0)
        port_new.c_iflag |= IXON | IXOFF;
    port_new.c_oflag = 0;
    port_new.c_lflag = 0;
    port_new.c_cc[VMIN] = 1;
    port_new.c_cc[VTIME] = 0;
    // Zero start and stop characters would make every NUL byte a flow
    // control character under XON/XOFF: use the usual Ctrl-Q and Ctrl-S.
    port_new.c_cc[VSTART] = CSTART;
    port_new.c_cc[VSTOP] = CSTOP;

    setup_port(device);

    // Saved before standard output changes: on one terminal the two are
    // the same settings, and stdin_saved must hold them as the user had them.
    tcgetattr(STDIN_FILENO, &stdin_saved);
    // The user's terminal turns raw but keeps its own line: on a serial
    // console the speed, framing and modem control are the user's link, not
    // the device's.  There is nothing to keep, or to change, when standard
    // output is no terminal.
    if (tcgetattr(STDOUT_FILENO, &stdout_saved) == 0) {
        struct termios screen_raw = stdout_saved;
        screen_raw.c_iflag = port_new.c_iflag;
        screen_raw.c_oflag = port_new.c_oflag;
        screen_raw.c_lflag = port_new.c_lflag;
        memcpy(screen_raw.c_cc, port_new.c_cc, sizeof screen_raw.c_cc);
        tcsetattr(STDOUT_FILENO, TCSANOW, &screen_raw);
    }

    // Matters when standard input is another terminal than standard output.
    tcgetattr(STDIN_FILENO, &stdin_raw);
    stdin_raw.c_lflag &= ~(ICANON | ECHO);
    tcsetattr(STDIN_FILENO, TCSANOW, &stdin_raw);
}

// The C library's records carry no custom rate: the device's settings are
// saved and put back as the kernel keeps them, where it lets them be.
void setup_port(int device)
{
    // A connection has no line here: the far port is set through it.
    if (!isatty(device)) {
        port_saved.kind = port_record::NONE;
        return;
    }
    if (get_kernel_termios(device, port_saved.kernel) == 0)
        port_saved.kind = port_record::KERNEL;
    else if (tcgetattr(device, &port_saved.library) == 0)
        port_saved.kind = port_record::LIBRARY;
    else
        port_saved.kind = port_record::NONE;
    tcflush(device, TCIFLUSH);
    tcsetattr(device, TCSANOW, &port_new);
    if (CUSTOM_RATE != 0)
        set_custom_rate(device, CUSTOM_RATE);
}

int read_line_rates(int fd, line_rates& rates)
{
    if (get_line_rates(fd, rates) == 0)
        return 0;
    struct termios t;
    if (tcgetattr(fd, &t) != 0)
        return -1;
    rates.in = speed_rate(cfgetispeed(&t));
    rates.out = speed_rate(cfgetospeed(&t));
    rates.custom = false;
    rates.rtscts = (t.c_cflag & CRTSCTS) != 0;
    return 0;
}

void keep_if_terminal(int fd)
{
    if (isatty(fd))
        return;
    int null = open("/dev/null", O_RDWR);
    if (null < 0 || dup2(null, fd) < 0)
        close(fd); // nothing to hold its place: let go of it all the same
    if (null >= 0 && null != fd)
        close(null);
}

void restore_port(int device)
{
    if (port_saved.kind == port_record::KERNEL)
        set_kernel_termios(device, port_saved.kernel);
    else if (port_saved.kind == port_record::LIBRARY)
        tcsetattr(device, TCSANOW, &port_saved.library);
}

void restore_stdin()
{
    // What the terminal still holds unread (the rest of a paste after
    // Ctrl-B) was typed for the device: it must not reach the shell.
    tcflush(STDIN_FILENO, TCIFLUSH);
    tcsetattr(STDIN_FILENO, TCSANOW, &stdin_saved);
}

void restore_stdout()
{
    tcsetattr(STDOUT_FILENO, TCSANOW, &stdout_saved);
    // Output the user stopped with Ctrl-S runs again, so that the shell's
    // prompt shows.  TCOON alone restarts only output that TCOOFF stopped.
    tcflow(STDOUT_FILENO, TCOOFF);
    tcflow(STDOUT_FILENO, TCOON);
}
