// SPDX-License-Identifier: MIT
#include "settings.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

speed_t BAUDRATE = B19200;
unsigned CUSTOM_RATE = 0;

// The default device: the first serial port.
#define CNF_DEVICE "/dev/ttyS0"

const char* const cnf_defaults[3] = {CNF_DEVICE "\n", "9600\n", "NONE\n"};

namespace {

// The speeds a portrc may name: the exact text of its second line and the
// speed code it gives.  Every speed of the Linux terminal interface, as its
// rate in bit/s; 134 stands for 134.5.
struct cnf_speed {
    const char* text;
    speed_t code;
};
const cnf_speed cnf_speeds[] = {
    {"50", B50},           {"75", B75},           {"110", B110},
    {"134", B134},         {"150", B150},         {"200", B200},
    {"300", B300},         {"600", B600},         {"1200", B1200},
    {"1800", B1800},       {"2400", B2400},       {"4800", B4800},
    {"9600", B9600},       {"19200", B19200},     {"38400", B38400},
    {"57600", B57600},     {"115200", B115200},   {"230400", B230400},
    {"460800", B460800},   {"500000", B500000},   {"576000", B576000},
    {"921600", B921600},   {"1000000", B1000000}, {"1152000", B1152000},
    {"1500000", B1500000}, {"2000000", B2000000}, {"2500000", B2500000},
    {"3000000", B3000000}, {"3500000", B3500000}, {"4000000", B4000000},
};

// What a line missing from a short portrc means: the default device, and an
// empty text (no recognised speed, no flow control) for the rest.
const char* const cnf_missing[3] = {CNF_DEVICE, "", ""};

// "Не могу создать файл portrc !" and "Не могу открыть файл portrc !", in
// KOI8-R: the program's messages are written as these bytes whatever the
// terminal's encoding.
const char cnf_cannot_create[] =
    "\xee\xc5 \xcd\xcf\xc7\xd5 \xd3\xcf\xda\xc4\xc1\xd4\xd8 \xc6\xc1\xca\xcc"
    " portrc !";
const char cnf_cannot_open[] =
    "\xee\xc5 \xcd\xcf\xc7\xd5 \xcf\xd4\xcb\xd2\xd9\xd4\xd8 \xc6\xc1\xca\xcc"
    " portrc !";

[[noreturn]] void cnf_fail(const char* message)
{
    printf("%s \n", message);
    exit(1);
}

// Out of memory while reading the settings: nothing sensible can be opened.
[[noreturn]] void cnf_out_of_memory()
{
    perror("portrc");
    exit(1);
}

char* cnf_copy(const char* text)
{
    char* copy = strdup(text);
    if (copy == nullptr)
        cnf_out_of_memory();
    return copy;
}

void cnf_set_speed(const char* text)
{
    for (const cnf_speed& row : cnf_speeds) {
        if (strcmp(text, row.text) == 0) {
            BAUDRATE = row.code;
            return;
        }
    }
    // Nothing else is a rate: not 0, which would hang the line up, nor a
    // sign, a blank, a leading zero or more than 32 bits.
    if (*text < '1' || *text > '9')
        return;
    // 64 bits wherever the program is built: a 32-bit unsigned long would
    // wrap before the test below sees the rate past its bound.
    uint64_t rate = 0;
    for (const char* digit = text; *digit != '\0'; ++digit) {
        if (*digit < '0' || *digit > '9')
            return;
        rate = rate * 10 + (*digit - '0');
        if (rate > UINT32_MAX)
            return;
    }
    CUSTOM_RATE = static_cast<unsigned>(rate);
}

FILE* cnf_open()
{
    // Opened for update although an existing file is only read: a portrc
    // the user cannot write is refused like a missing one.
    FILE* file = fopen("portrc", "r+t");
    if (file != nullptr)
        return file;

    file = fopen("portrc", "w+t");
    if (file == nullptr)
        cnf_fail(cnf_cannot_create);
    // A new file that cannot be written whole (a full disk, a quota) is
    // removed: read back short, it would run the line at other settings than
    // the defaults, this time and every time after.
    bool written = true;
    for (const char* line : cnf_defaults)
        written = written && fputs(line, file) != EOF;
    if (fclose(file) != 0 || !written) {
        (void)remove("portrc"); // the message says what went wrong
        cnf_fail(cnf_cannot_create);
    }

    file = fopen("portrc", "r+t");
    if (file == nullptr)
        cnf_fail(cnf_cannot_open);
    return file;
}

} // namespace

unsigned cnf_rate()
{
    return CUSTOM_RATE != 0 ? CUSTOM_RATE : speed_rate(BAUDRATE);
}

unsigned speed_rate(speed_t code)
{
    for (const cnf_speed& row : cnf_speeds)
        if (row.code == code)
            return strtoul(row.text, nullptr, 10);
    return 0;
}

void cnf_port(char* cnf_lines[3])
{
    FILE* file = cnf_open();
    char* line = nullptr;
    size_t size = 0;
    int i = 0;

    // Lines are read whole, however long; a read error ends the file like
    // its end does.
    while (i < 3) {
        errno = 0;
        ssize_t length = getline(&line, &size, file);
        if (length < 0) {
            if (errno == ENOMEM)
                cnf_out_of_memory();
            break;
        }
        if (length > 0 && line[length - 1] == '\n')
            line[length - 1] = '\0';
        // A zero byte ends the text: what follows it on the line is dropped.
        if (i == 1)
            cnf_set_speed(line);
        cnf_lines[i] = cnf_copy(line);
        ++i;
    }
    free(line);
    (void)fclose(file); // only read: nothing is lost if the close fails

    for (; i < 3; ++i)
        cnf_lines[i] = cnf_copy(cnf_missing[i]);
}
