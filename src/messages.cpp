// SPDX-License-Identifier: MIT
#include "messages.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace {

// The length of the valid UTF-8 sequence at s, of at most left bytes, or 0.
size_t utf8_length(const unsigned char* s, size_t left)
{
    if (s[0] < 0x80)
        return 1;
    size_t n = s[0] >= 0xf0 ? 4 : s[0] >= 0xe0 ? 3 : s[0] >= 0xc2 ? 2 : 0;
    if (n == 0 || n > left || s[0] > 0xf4)
        return 0;
    // The second byte's range rules out overlong forms, surrogates and
    // values beyond U+10FFFF.
    unsigned low = s[0] == 0xe0 ? 0xa0 : s[0] == 0xf0 ? 0x90 : 0x80;
    unsigned high = s[0] == 0xed ? 0x9f : s[0] == 0xf4 ? 0x8f : 0xbf;
    if (s[1] < low || s[1] > high)
        return 0;
    for (size_t k = 2; k < n; ++k)
        if (s[k] < 0x80 || s[k] > 0xbf)
            return 0;
    return n;
}

// The lines not yet written: LINES[sent] to LINES[filled - 1].  A few
// lines wait at most (gone; back and what the driver refused; the last
// ones), as nothing more is said while lines wait: room for six of the
// longest.
char LINES[6 * (PATH_TEXT_MAX + 128)];
size_t sent, filled;

// The path of the line being added, as shown.
char about_text[PATH_TEXT_MAX];

// The screen has moved since the last line said, or none was.
bool MOVED = true;

// Blocks SIGPIPE while standard error is written, and takes the one that
// write raised, if it was not waiting before: the screen's SIGPIPE alone
// ends the program.
sigset_t block_sigpipe(bool& waiting)
{
    sigset_t pipe, old, pending;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    sigprocmask(SIG_BLOCK, &pipe, &old);
    waiting = sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1;
    return old;
}

void unblock_sigpipe(const sigset_t& old, bool waiting)
{
    sigset_t pipe, pending;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    const struct timespec now = {0, 0};
    if (!waiting && sigpending(&pending) == 0 &&
        sigismember(&pending, SIGPIPE) == 1)
        (void)sigtimedwait(&pipe, nullptr, &now); // it is there: taken
    sigprocmask(SIG_SETMASK, &old, nullptr);
}

} // namespace

// The control characters are C0 and DEL, and C1, which 8-bit terminals
// take as ESC [ and the like: bytes 0x80 to 0x9F outside a UTF-8 sequence,
// and the sequences of U+0080 to U+009F.  Other UTF-8 stays as it is.
void path_text(const char* path, char (&text)[PATH_TEXT_MAX])
{
    const auto* p = reinterpret_cast<const unsigned char*>(path);
    size_t length = strnlen(path, PATH_MAX + 1);
    size_t end = std::min<size_t>(length, PATH_MAX);
    char* to = text;
    for (size_t i = 0; i < end;) {
        size_t n = utf8_length(p + i, end - i);
        bool control = n == 0   ? p[i] <= 0x9f
                       : n == 1 ? p[i] < 0x20 || p[i] == 0x7f
                                : p[i] == 0xc2 && p[i + 1] <= 0x9f;
        for (size_t stop = i + std::max<size_t>(n, 1); i < stop; ++i) {
            if (control) {
                *to++ = '\\';
                *to++ = static_cast<char>('0' + (p[i] >> 6));
                *to++ = static_cast<char>('0' + (p[i] >> 3 & 7));
                *to++ = static_cast<char>('0' + (p[i] & 7));
            } else {
                *to++ = static_cast<char>(p[i]);
            }
        }
    }
    memcpy(to, length > end ? "..." : "", length > end ? sizeof "..." : 1);
}

void say_line(const char* about, std::initializer_list<const char*> texts)
{
    path_text(about, about_text);
    size_t size = strlen("\r\n: \r\n") + strlen(about_text);
    for (const char* text : texts)
        size += strlen(text);
    if (size > sizeof LINES - filled)
        return; // cannot happen: see LINES
    for (const char* text :
         {MOVED ? "\r\n" : "", static_cast<const char*>(about_text), ": "})
        filled = stpcpy(LINES + filled, text) - LINES;
    for (const char* text : texts)
        filled = stpcpy(LINES + filled, text) - LINES;
    filled = stpcpy(LINES + filled, "\r\n") - LINES;
    MOVED = false;
}

void screen_moved()
{
    MOVED = true;
}

const char* decimal(size_t number, char (&text)[24])
{
    *std::to_chars(text, text + sizeof text - 1, number).ptr = '\0';
    return text;
}

bool lines_waiting()
{
    return sent < filled;
}

int write_lines(int fd)
{
    bool waiting;
    sigset_t old = block_sigpipe(waiting);
    int error = 0;
    while (sent < filled && error == 0) {
        ssize_t n = write(fd, LINES + sent, filled - sent);
        if (n > 0)
            sent += n;
        else if (n == 0 || errno != EINTR)
            error = n < 0 ? errno : EIO;
    }
    unblock_sigpipe(old, waiting);
    if (error != EAGAIN && error != 0)
        sent = filled;
    if (sent == filled)
        sent = filled = 0;
    return error;
}

void report_error(const char* prefix, const char* words)
{
    int error = errno;
    bool waiting;
    sigset_t old = block_sigpipe(waiting);
    errno = error;
    if (words != nullptr)
        (void)fprintf(stderr, "%s: %s\n", prefix, words); // as perror's
    else
        perror(prefix);
    unblock_sigpipe(old, waiting);
}
