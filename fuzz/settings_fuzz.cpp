// SPDX-License-Identifier: MIT
// Fuzz target for the settings file reader: each input is written as portrc
// in a private directory and read back, and what was read is checked
// against the input itself.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <termios.h>
#include <unistd.h>

#include "settings.h"

namespace {

char DIR[64];

void remove_dir()
{
    unlink("portrc");
    rmdir(DIR);
}

[[noreturn]] void fail(const char* what, int line, const std::string& got,
                       const std::string& want)
{
    // Said as well as it can be: the abort is what the fuzzer reports.
    (void)fprintf(stderr,
                  "settings_fuzz: %s of line %d: got \"%s\", want \"%s\"\n",
                  what, line, got.c_str(), want.c_str());
    abort();
}

// The text of line i of the input: without its line feed, up to its first
// zero byte.  False when the input has no such line.
bool input_line(const uint8_t* data, size_t size, int i, std::string& text)
{
    size_t start = 0;
    for (int k = 0; k < i; ++k) {
        const void* lf = memchr(data + start, '\n', size - start);
        if (lf == nullptr)
            return false;
        start = static_cast<const uint8_t*>(lf) - data + 1;
    }
    if (start >= size)
        return false;
    const void* lf = memchr(data + start, '\n', size - start);
    size_t end = lf ? static_cast<const uint8_t*>(lf) - data : size;
    text.assign(reinterpret_cast<const char*>(data + start), end - start);
    text = text.c_str(); // cut at the first zero byte
    return true;
}

// The C library's cfsetspeed takes a rate in bit/s as well as a speed code:
// the code for each rate comes from there, not from the program's table.
speed_t expected_speed(const std::string& text)
{
    const char* const rates[] = {
        "50",      "75",      "110",     "134",     "150",     "200",
        "300",     "600",     "1200",    "1800",    "2400",    "4800",
        "9600",    "19200",   "38400",   "57600",   "115200",  "230400",
        "460800",  "500000",  "576000",  "921600",  "1000000", "1152000",
        "1500000", "2000000", "2500000", "3000000", "3500000", "4000000",
    };
    struct termios t = {};
    for (const char* rate : rates)
        if (text == rate && cfsetspeed(&t, strtoul(rate, nullptr, 10)) == 0)
            return cfgetospeed(&t);
    return B19200;
}

// Any other rate of 1 to 4294967295 bit/s, as decimal digits without a
// leading zero, is a custom rate; anything else none (0).
unsigned expected_custom_rate(const std::string& text, speed_t code)
{
    if (code != B19200 || text == "19200" || text.empty() || text[0] == '0' ||
        text.size() > 10 ||
        text.find_first_not_of("0123456789") != std::string::npos)
        return 0;
    unsigned long long rate = std::stoull(text);
    return rate <= 0xffffffffULL ? static_cast<unsigned>(rate) : 0;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // Memory-backed where the machine has it: every run writes the file.
    (void)snprintf(DIR, sizeof DIR, "%s/portterm-fuzz-XXXXXX", // fits
                   access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp");
    if (mkdtemp(DIR) == nullptr || chdir(DIR) != 0) {
        perror("settings_fuzz: working directory");
        exit(1);
    }
    if (atexit(remove_dir) != 0) {
        remove_dir(); // nothing would remove it at the end
        exit(1);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FILE* file = fopen("portrc", "w");
    if (file == nullptr || fwrite(data, 1, size, file) != size ||
        fclose(file) != 0) {
        perror("settings_fuzz: portrc");
        exit(1);
    }
    BAUDRATE = B19200;
    CUSTOM_RATE = 0;
    char* lines[4] = {nullptr, nullptr, nullptr, nullptr};
    cnf_port(lines);

    // A line the file does not have means the default device, or nothing.
    const char* missing[3] = {"/dev/ttyS0", "", ""};
    speed_t want_speed = B19200;
    unsigned want_custom = 0;
    for (int i = 0; i < 3; ++i) {
        std::string want;
        if (!input_line(data, size, i, want))
            want = missing[i];
        if (lines[i] == nullptr)
            fail("no entry", i + 1, "(null)", want);
        if (want != lines[i])
            fail("entry", i + 1, lines[i], want);
        if (i == 1) {
            want_speed = expected_speed(want); // a missing line: 19200
            want_custom = expected_custom_rate(want, want_speed);
        }
    }
    if (lines[3] != nullptr)
        fail("a fourth entry", 4, lines[3], "");
    if (BAUDRATE != want_speed)
        fail("speed code", 2, std::to_string(BAUDRATE),
             std::to_string(want_speed));
    if (CUSTOM_RATE != want_custom)
        fail("custom rate", 2, std::to_string(CUSTOM_RATE),
             std::to_string(want_custom));
    for (char* line : lines)
        free(line);
    return 0;
}
