// SPDX-License-Identifier: MIT
#include "keys.h"

#include <algorithm>
#include <cstring>
#include <sys/mman.h>
#include <unistd.h>

namespace {

// Below this much room behind the waiting keys, those already sent make
// way: a read of the keyboard takes up to this much.
const size_t KEY_READ = 4096;

// What the store keeps of its memory once it is empty; the rest, pages a
// paste held on a line used, goes back to the system.
const size_t KEPT = size_t{64} << 10;

// keys[sent] to keys[filled - 1].  In static storage, which starts at
// zero: a page is touched only once keys have come that far; reach is how
// far they have come since the store was last given back.  Aligned for
// the largest pages (64 KiB, ppc64el's), so that KEPT ends on a page.
struct key_store {
    alignas(KEPT) char keys[KEYS_MAX];
    size_t sent;
    size_t filled;
    size_t reach;
};
key_store K;

// The store is empty: the pages beyond KEPT that keys used go back.
void empty()
{
    K.sent = K.filled = 0;
    if (K.reach <= KEPT)
        return;
    size_t page = sysconf(_SC_PAGESIZE);
    size_t end = (K.reach + page - 1) / page * page;
    // Advice: on a kernel that ignores it, the pages stay, and nothing else.
    (void)madvise(K.keys + KEPT, end - KEPT, MADV_DONTNEED);
    K.reach = 0;
}

} // namespace

bool make_room()
{
    if (K.sent == K.filled)
        empty();
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
    K.reach = std::max(K.reach, K.filled);
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
    empty();
    return count;
}
