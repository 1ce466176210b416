// SPDX-License-Identifier: MIT
#include "device.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <initializer_list>
#include <sys/file.h>
#include <unistd.h>

#include "channel.h"
#include "connection.h"
#include "ends.h"
#include "lines.h"
#include "link.h"
#include "messages.h"
#include "node.h"
#include "path.h"
#include "settings.h"

int DEVICE_NUMBER = 0;

namespace {

// Why the device could not be used when it was last tried; the line that
// says it has gone stands for the first, and each new kind after it is
// said once.
why_not LAST_SAID = {reason::none, 0};

// A device that goes is one departure, however it says so: a real USB
// adapter reports EIO, then ENODEV, then its node goes.  Errors of no kind
// of their own are told apart by what they are.
bool same_kind(const why_not& a, const why_not& b)
{
    auto gone = [](reason r) {
        return r == reason::missing || r == reason::not_served;
    };
    if (gone(a.kind) && gone(b.kind))
        return true;
    return a.kind == b.kind && (a.kind != reason::other || a.error == b.error);
}

void say_device(std::initializer_list<const char*> texts)
{
    say_line(MODEMDEVICE, texts);
}

// Closes fd, which was opened for nothing: why is what errno says.
why_not give_up(int fd)
{
    why_not why = reason_of(errno);
    close(fd);
    return why;
}

// Holds the connection fd as MODEMFD, and again as LINEFD: a socket cannot
// be opened twice.  There are no settings to put back.
why_not hold_connection(int fd, line_kind kind)
{
    int line = fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (line < 0)
        return give_up(fd);
    port_saved.kind = port_record::NONE;
    LINEKIND = kind;
    MODEMFD = fd;
    LINEFD = line;
    return reason_of(0);
}

// Opens the node as MODEMFD and LINEFD, MODEMFD locked; a socket is
// connected to, as it is, with nothing to lock.
why_not open_locked(int node, const walk_end& walk, int flags)
{
    if (S_ISSOCK(walk.node.stx_mode)) {
        int fd = connect_node(node);
        return fd < 0 ? reason_of(errno) : hold_connection(fd, line_kind::raw);
    }
    int fd = open_node(node, walk, O_RDWR | flags);
    if (fd < 0)
        return reason_of(errno);
    if (!isatty(fd) || flock(fd, LOCK_EX | LOCK_NB) != 0 ||
        fcntl(fd, F_SETFL, 0) != 0)
        return give_up(fd);
    int line = open_node(node, walk, O_WRONLY | O_NONBLOCK);
    if (line < 0)
        return give_up(fd);
    LINEKIND = line_kind::terminal;
    MODEMFD = fd;
    LINEFD = line;
    return reason_of(0);
}

} // namespace

// Only a terminal will do: anything else would be read and written as if it
// were one.  The walk looks at the node; only a character device that the
// kernel says is a terminal is then opened, through a description of what
// was looked at (O_PATH, which opens nothing), so that a fifo's reader or
// another file's owner never sees an open, nor a watchdog or a tape its
// device's.  The lock keeps a second terminal program off the port; it
// belongs to MODEMFD's description and goes with its last close.
why_not open_device(int flags, bool returning, waiter wait)
{
    line_kind kind = kind_of(MODEMDEVICE);
    if (kind != line_kind::terminal) {
        why_not why;
        int fd = connect_remote(wait, why);
        return fd < 0 ? why : hold_connection(fd, kind);
    }
    walk_end walk = walk_path(MODEMDEVICE, nullptr, true);
    if (walk.error != 0)
        return reason_of(walk.error);
    int node =
        openat(walk.directory, walk.name, O_PATH | O_NOFOLLOW | O_CLOEXEC);
    why_not why = node < 0 ? reason_of(errno) : refusal_of(node, walk);
    if (why.kind == reason::none && returning)
        why = link_refusal(walk);
    if (why.kind == reason::none)
        why = open_locked(node, walk, flags);
    if (node >= 0)
        close(node);
    close(walk.directory);
    if (why.kind != reason::none)
        return why;
    keep_link(walk);
    REOPENABLE = REOPENABLE && !(walk.named && is_pseudo_terminal(walk.node));
    return why;
}

why_not settle_device(waiter wait)
{
    why_not why = settle_connection(MODEMFD, wait);
    if (why.kind != reason::none) {
        for (int* fd : {&LINEFD, &MODEMFD}) {
            close(*fd);
            *fd = -1;
        }
    }
    return why;
}

void report_device(const why_not& why)
{
    static char path[PATH_TEXT_MAX];
    path_text(MODEMDEVICE, path);
    report_error(path, words_of(why));
}

void say_refused_settings()
{
    if (LINEKIND != line_kind::terminal) {
        say_connection_settings();
        return;
    }
    line_rates now;
    if (read_line_rates(MODEMFD, now) != 0)
        return;
    char asked[24], out[24], in[24];
    if (now.in != cnf_rate() || now.out != cnf_rate())
        say_device({decimal(cnf_rate(), asked),
                    " bit/s refused, the line runs at ", decimal(now.out, out),
                    now.in != now.out ? " out, " : "",
                    now.in != now.out ? decimal(now.in, in) : "",
                    now.in != now.out ? " in" : ""});
    if ((port_new.c_cflag & CRTSCTS) != 0 && !now.rtscts)
        say_device({"RTS/CTS refused, the line runs without flow control"});
}

void drop_device(int& fd)
{
    flush_output(fd);
    close(fd);
    fd = -1;
}

void say_gone(int error)
{
    LAST_SAID = reason_of(error);
    say_device(
        {"gone (", error_words(error), ")",
         REOPENABLE ? ", waiting for it; Ctrl-B quits" : "; Ctrl-B quits"});
}

why_not take_device_back(waiter wait)
{
    // MODEMFD and port_saved change together, unseen by the end handler.
    // A connection has no settings to put back: the handler may see it at
    // any time, and a remote port's connect, which may wait, is not kept
    // from the signals.
    sigset_t old;
    sigprocmask(SIG_BLOCK, nullptr, &old); // the mask as it is
    if (kind_of(MODEMDEVICE) == line_kind::terminal)
        old = block_end_signals();
    why_not why = open_device(O_NONBLOCK, true, wait);
    if (why.kind == reason::none)
        setup_port(MODEMFD); // a connection is left as it is
    sigprocmask(SIG_SETMASK, &old, nullptr);
    if (why.kind == reason::none && LINEKIND != line_kind::terminal)
        why = settle_device(wait);
    return why;
}

void say_why(const why_not& why)
{
    if (same_kind(why, LAST_SAID))
        return;
    LAST_SAID = why;
    if (why.kind == reason::stale_link)
        say_device({"a terminal newer than its link, waiting for the link "
                    "to be made anew; Ctrl-B quits"});
    else if (why.kind == reason::another_session)
        say_device({"another session's terminal, waiting for the link to be "
                    "made anew; Ctrl-B quits"});
    else
        say_device({words_of(why), ", waiting for it; Ctrl-B quits"});
}

void hand_device_over(int channel)
{
    // Handed over before it is said: a key typed once the user has read
    // the line goes to the device.
    send_device(channel, LINEFD, ++DEVICE_NUMBER, port_saved, LINEKIND);
    close(LINEFD);
    LINEFD = -1;
    say_device({"back"});
    say_refused_settings();
}
