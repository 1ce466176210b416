// SPDX-License-Identifier: MIT
#include "watch.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <linux/magic.h>
#include <sys/inotify.h>
#include <sys/vfs.h>
#include <unistd.h>

#include "clock.h"
#include "path.h"
#include "remote.h"

namespace {

// What no directory change announces is tried this often.
const int64_t RETRY_MS = 200;
// What a directory change announces is tried again this often all the
// same, for file systems that report no changes.
const int64_t SAFETY_MS = 5000;
// A remote port, which no directory announces, is tried after RETRY_MS,
// then at twice the interval each time, up to BACKOFF_MS; from RETRY_MS
// again once a connection has stayed up STAYED_MS.
const int64_t BACKOFF_MS = 2000, STAYED_MS = 10000;

// In a directory whose entries the path needs (one holding a link of it,
// or where it ends): an entry made or moved in, a node given its owner and
// mode a moment after it appears.  In any on the path: the directory
// deleted or moved away, whose watch moves up.  /tmp and / are busy: of
// them, only their own move or removal counts.
const uint32_t OWN_EVENTS = IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
const uint32_t EVENTS = IN_CREATE | IN_MOVED_TO | IN_ATTRIB | OWN_EVENTS;

// The watches the path needs: a watch and the name the path looks up in
// its directory, one for each directory it runs through (the same watch
// again for a directory it runs through twice).
const size_t WATCHES_MAX = 64;
struct watch_set {
    struct {
        int wd;
        char name[NAME_MAX + 1];
    } at[WATCHES_MAX];
    size_t count;
};

// The wait for the device's return.  Times are ms of the monotonic clock.
struct waiting {
    int fd = -1;               // inotify's, or -1
    bool cannot_watch = false; // inotify cannot be had: the timer does it
    watch_set watches;         // the watches held
    watch_set walked;          // a walk's, while the watches are placed
    watch_set placed;          // every watch placed meanwhile
    bool partial = false;      // a directory whose entries the path needs
                               // could not be watched, or the walk did not
                               // settle: the timer stands in for its news
    int64_t next_try = 0;      // when the path is tried at the latest,
    int64_t earliest = 0;      // and, once news has come, at the earliest
    bool news = false;         // news has come since the last try
    bool fresh = false;        // and the try it brought was refused
    int64_t quiet_from = 0;    // nothing heard of the path since then
    int64_t taken_at = INT64_MIN / 2; // the device last taken back
    int64_t interval = RETRY_MS;      // a remote port's, between tries
};
waiting W;

// Whether the set holds the watch, for name (any, when null).
bool holds(const watch_set& set, int wd, const char* name = nullptr)
{
    for (size_t i = 0; i < set.count; ++i)
        if (set.at[i].wd == wd &&
            (name == nullptr || strcmp(set.at[i].name, name) == 0))
            return true;
    return false;
}

void add(watch_set& set, int wd, const char* name)
{
    if (set.count == WATCHES_MAX || holds(set, wd, name))
        return;
    set.at[set.count].wd = wd;
    strncpy(set.at[set.count].name, name, NAME_MAX); // a name: it fits
    set.at[set.count++].name[NAME_MAX] = '\0';
}

bool same(const watch_set& a, const watch_set& b)
{
    for (size_t i = 0; i < a.count; ++i)
        if (!holds(b, a.at[i].wd, a.at[i].name))
            return false;
    return a.count == b.count;
}

// A devpts directory is never watched: its entries change with every
// terminal opened on the machine.  A pseudo-terminal is reached through a
// link, and the link's directory is watched.  A watch only ever gains
// events.  A directory on the way that cannot be watched (a home directory
// of mode 0711, as another user) puts nothing on the timer: its own move
// is the rarest of news, and the rest of the path is watched.
void watch_directory(const char* directory, const char* name, bool entries)
{
    struct statfs fs;
    if (statfs(directory, &fs) == 0 && fs.f_type == DEVPTS_SUPER_MAGIC)
        return;
    int wd = inotify_add_watch(W.fd, directory,
                               (entries ? EVENTS : OWN_EVENTS) | IN_MASK_ADD);
    if (wd >= 0)
        add(W.placed, wd, "");
    if (wd < 0 || W.walked.count == WATCHES_MAX)
        W.partial = W.partial || entries; // no watches left, no permission
    else
        add(W.walked, wd, name);
}

// Watches the directories the path runs through now, down to where it
// stops, and lets go of every other: those it no longer runs through, and
// those an earlier walk placed that the last did not keep.  A directory
// made or a link re-pointed while the watches are placed is seen by the
// next walk: they are walked again until two walks agree, at most three
// times more.
void rewatch()
{
    static watch_set had, before;
    had = W.watches;
    W.placed.count = 0;
    bool settled = false;
    for (int walk = 0; walk < 4 && !settled; ++walk) {
        before = W.walked;
        W.walked.count = 0;
        W.partial = false;
        walk_path(MODEMDEVICE, watch_directory);
        settled = walk > 0 && same(W.walked, before);
    }
    W.partial = W.partial || !settled;
    W.watches = W.walked;
    for (const watch_set* set : {&had, &W.placed})
        for (size_t i = 0; i < set->count; ++i)
            if (!holds(W.watches, set->at[i].wd))
                inotify_rm_watch(W.fd, set->at[i].wd); // gone already: none
}

// Reads all the news there is; true when any of it may concern the path:
// news of a name the path looks up, or news that names nothing (an
// overflow, which has lost news; a watched directory moved, removed, given
// another mode, or its watch let go).
bool take_news()
{
    alignas(struct inotify_event) char news[4096];
    bool any = false;
    ssize_t n;
    while ((n = read(W.fd, news, sizeof news)) > 0) {
        for (char* at = news; at < news + n;) {
            auto* event = reinterpret_cast<struct inotify_event*>(at);
            at += sizeof *event + event->len;
            any = any || (event->mask & IN_Q_OVERFLOW) != 0 ||
                  holds(W.watches, event->wd,
                        event->len == 0 ? nullptr : event->name);
        }
    }
    return any;
}

} // namespace

void watch_path()
{
    int64_t now = now_ms();
    if (kind_of(MODEMDEVICE) != line_kind::terminal) {
        if (now - W.taken_at >= STAYED_MS)
            W.interval = RETRY_MS;
        W.news = false;
        W.next_try = std::max(now + W.interval, W.taken_at + RETRY_MS + 1);
        return;
    }
    if (W.fd < 0 && !W.cannot_watch) {
        W.fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        W.cannot_watch = W.fd < 0;
    }
    // Watched first, then tried: what appears meanwhile is news.
    if (W.fd >= 0)
        rewatch();
    W.news = true;
    W.quiet_from = now;
    // A device that flaps (a board in a reset loop, a radio link out of
    // range) is tried no sooner than RETRY_MS after it was last taken back:
    // it is opened, and said, at most five times a second, however long
    // each time it stays.  A count of whole ms may be up to one short.
    W.next_try = W.earliest = std::max(now, W.taken_at + RETRY_MS + 1);
}

int watch_fd()
{
    return W.fd;
}

int64_t until_try_ms()
{
    int64_t left = W.next_try - now_ms();
    return left > 0 ? left : 0;
}

bool path_due()
{
    // A new or moved watch may have missed what appeared just before it.
    if (W.fd >= 0 && take_news()) {
        W.news = W.fresh = true;
        W.quiet_from = now_ms();
        rewatch();
    }
    int64_t now = now_ms();
    return now >= W.next_try || (W.news && now >= W.earliest);
}

void path_back()
{
    W.taken_at = W.earliest = now_ms();
    W.news = false;
    for (size_t i = 0; i < W.watches.count; ++i)
        inotify_rm_watch(W.fd, W.watches.at[i].wd); // again for a name: none
    W.watches.count = W.walked.count = 0;
}

bool time_to_say(const why_not& why)
{
    int64_t now = now_ms();
    W.news = false;
    W.earliest = now;
    if (kind_of(MODEMDEVICE) != line_kind::terminal) {
        W.interval = std::min(2 * W.interval, BACKOFF_MS);
        W.next_try = now + W.interval;
        return true;
    }
    // A directory change announces when these change.
    bool announced =
        why.kind == reason::missing || why.kind == reason::not_a_directory ||
        why.kind == reason::link_loop || why.kind == reason::refused ||
        why.kind == reason::not_a_terminal || why.kind == reason::stale_link ||
        why.kind == reason::another_session;
    // A socket's server makes its node, then listens: a connect refused
    // right after the node appeared is tried once more on the timer.
    bool listening_soon = why.error == ECONNREFUSED && W.fresh;
    W.fresh = false;
    W.next_try = now + (W.fd >= 0 && !W.partial && announced && !listening_soon
                            ? SAFETY_MS
                            : RETRY_MS);
    if (why.kind != reason::refused || now - W.quiet_from >= REFUSAL_MS)
        return true;
    // Tried again, and said if it still holds, once it has lasted.
    W.next_try = std::min(W.next_try, W.quiet_from + REFUSAL_MS);
    return false;
}
