// SPDX-License-Identifier: MIT
// Fuzz target for the telnet decoder: bytes from the network are untrusted.
// Each input is decoded whole and again split at a point the input picks;
// both give the same data and owe the same answers, the data holds no
// command, and what is owed fits the answers' room.

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "telnet.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    size_t cut = data[0] % size;
    std::vector<unsigned char> whole(data + 1, data + size), split = whole;
    telnet a, b;
    telnet_start(a);
    telnet_start(b);
    size_t n = telnet_decode(a, whole.data(), whole.size());
    size_t m = telnet_decode(b, split.data(), std::min(cut, split.size()));
    if (cut < split.size()) {
        // What the second part leaves goes right after the first's.
        std::vector<unsigned char> rest(split.data() + cut,
                                        split.data() + split.size());
        size_t k = telnet_decode(b, rest.data(), rest.size());
        memcpy(split.data() + m, rest.data(), k);
        m += k;
    }
    if (n != m || n > whole.size() ||
        memcmp(whole.data(), split.data(), n) != 0)
        abort();
    unsigned char out[2048], again[2048];
    size_t owed = telnet_answers(a, out, sizeof out);
    if (owed != telnet_answers(b, again, sizeof again) ||
        memcmp(out, again, owed) != 0 || a.owes)
        abort();
    return 0;
}
