// SPDX-License-Identifier: MIT
#include "keys.h"

#include <cstring>

namespace {

// Below this much room behind the waiting keys, those already sent make
// way: a read of the keyboard takes up to this much.
const size_t KEY_READ = 4096;

// keys[sent] to keys[filled - 1].  In static storage, which starts at
// zero: a page is touched only once keys have come that far.
struct key_store {
    char keys[KEYS_MAX];
    size_t sent;
    size_t filled;
};
key_store K;

} // namespace

bool make_room()
{
    if (K.sent == K.filled)
        K.sent = K.filled = 0;
    if (KEYS_MAX - K.filled < KEY_READ && K.sent > 0) {
        memmove(K.keys, K.keys + K.sent, K.filled - K.sent);
        K.filled -= K.sent;
        K.sent = 0;
    }
    return K.filled < KEYS_MAX;
}

char* key_room(size_t& size)
{
    size = KEYS_MAX - K.filled;
    return K.keys + K.filled;
}

void keys_read(size_t count)
{
    K.filled += count;
}

const char* waiting_keys()
{
    return K.keys + K.sent;
}

size_t keys_waiting()
{
    return K.filled - K.sent;
}

void keys_sent(size_t count)
{
    K.sent += count;
}

size_t drop_waiting_keys()
{
    size_t count = K.filled - K.sent;
    K.sent = K.filled = 0;
    return count;
}
