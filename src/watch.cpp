// SPDX-License-Identifier: MIT
#include "watch.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <linux/magic.h>
#include <sys/inotify.h>
#include <sys/vfs.h>
#include <unistd.h>

#include "device.h"
#include "path.h"

namespace {

// What no directory change announces is tried this often.
const int64_t RETRY_MS = 200;
// What a directory change announces is tried again this often all the
// same, for file systems that report no changes.
const int64_t SAFETY_MS = 5000;

// An entry made or moved in, a node given its owner and mode a moment
// after it appears; a directory deleted or moved away, whose watch moves up.
const uint32_t EVENTS = IN_CREATE | IN_MOVED_TO | IN_ATTRIB | IN_DELETE_SELF |
                        IN_MOVE_SELF | IN_ONLYDIR;

int WATCHFD = -1;
bool CANNOT_WATCH = false;

// The watches the path needs, one for each directory it runs through: the
// last walk's, and the one before, to tell when they have settled.
const size_t WATCHES_MAX = 64;
struct watch_set {
    int wd[WATCHES_MAX];
    size_t count;
};
watch_set WATCHES, WALKED;
// A directory on the way could not be watched, or the walk did not settle:
// the timer stands in for what its news would say.
bool PARTIAL;

// When the path is tried at the latest, and, once news has come, at the
// earliest (ms of the monotonic clock); when the device was last back;
// since when nothing has been heard of the path.
int64_t NEXT_TRY, EARLIEST, TAKEN_AT = INT64_MIN / 2, QUIET_FROM;
bool NEWS;

bool holds(const watch_set& set, int wd)
{
    return std::find(set.wd, set.wd + set.count, wd) != set.wd + set.count;
}

// A directory of pseudo-terminals is never watched: its entries change with
// every terminal opened on the machine, and a link to one waits for the
// link.
void watch_directory(const char* directory)
{
    struct statfs fs;
    if (statfs(directory, &fs) == 0 && fs.f_type == DEVPTS_SUPER_MAGIC)
        return;
    int wd = inotify_add_watch(WATCHFD, directory, EVENTS);
    if (wd < 0 || WALKED.count == WATCHES_MAX)
        PARTIAL = true; // no watches left, no permission
    else if (!holds(WALKED, wd))
        WALKED.wd[WALKED.count++] = wd;
}

// Watches the directories the path runs through now, down to where it
// stops, and lets go of those it no longer runs through.  A directory made
// while the watches were placed is seen by the next walk: they are walked
// again until two walks agree, at most three times more.
void rewatch()
{
    watch_set had = WATCHES;
    bool settled = false;
    for (int walk = 0; walk < 4 && !settled; ++walk) {
        watch_set before = WALKED;
        WALKED.count = 0;
        PARTIAL = false;
        walk_path(MODEMDEVICE, watch_directory);
        settled = walk > 0 && WALKED.count == before.count &&
                  std::equal(WALKED.wd, WALKED.wd + WALKED.count, before.wd);
    }
    PARTIAL = PARTIAL || !settled;
    WATCHES = WALKED;
    for (size_t i = 0; i < had.count; ++i)
        if (!holds(WATCHES, had.wd[i]))
            inotify_rm_watch(WATCHFD, had.wd[i]); // a directory gone: none
}

// Reads all the news there is; true when any of it may concern the path.
bool take_news()
{
    alignas(struct inotify_event) char news[4096];
    bool any = false;
    ssize_t n;
    while ((n = read(WATCHFD, news, sizeof news)) > 0) {
        for (char* at = news; at < news + n;) {
            auto* event = reinterpret_cast<struct inotify_event*>(at);
            at += sizeof *event + event->len;
            // An overflow has lost news; a watch let go here says so too.
            any = any || (event->mask & IN_Q_OVERFLOW) != 0 ||
                  holds(WATCHES, event->wd);
        }
    }
    return any;
}

} // namespace

void watch_path()
{
    if (WATCHFD < 0 && !CANNOT_WATCH) {
        WATCHFD = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        CANNOT_WATCH = WATCHFD < 0; // the timer does it all
    }
    // Watched first, then tried: what appears meanwhile is news.
    if (WATCHFD >= 0)
        rewatch();
    int64_t now = now_ms();
    NEWS = true;
    QUIET_FROM = now;
    // A device that flaps (a board in a reset loop, a radio link out of
    // range) is tried no sooner than RETRY_MS after it was last taken back:
    // it is opened, and said, at most five times a second, however long
    // each time it stays.  A count of whole ms may be up to one short.
    NEXT_TRY = EARLIEST = std::max(now, TAKEN_AT + RETRY_MS + 1);
}

int watch_fd()
{
    return WATCHFD;
}

int64_t until_try_ms()
{
    int64_t left = NEXT_TRY - now_ms();
    return left > 0 ? left : 0;
}

bool path_due()
{
    // A new or moved watch may have missed what appeared just before it.
    if (WATCHFD >= 0 && take_news()) {
        NEWS = true;
        QUIET_FROM = now_ms();
        rewatch();
    }
    int64_t now = now_ms();
    return now >= NEXT_TRY || (NEWS && now >= EARLIEST);
}

bool path_tried(int error)
{
    int64_t now = now_ms();
    NEWS = false;
    EARLIEST = now;
    if (error == 0) {
        TAKEN_AT = now;
        for (size_t i = 0; i < WATCHES.count; ++i)
            inotify_rm_watch(WATCHFD, WATCHES.wd[i]);
        WATCHES.count = WALKED.count = 0;
        return true;
    }
    // Missing, refused for its permissions, not a terminal, or a terminal
    // newer than its link: a directory change announces when that changes.
    bool announced = error == ENOENT || error == ENOTDIR || error == ELOOP ||
                     error == EACCES || error == EPERM || error == ENOTTY ||
                     error == ESTALE;
    NEXT_TRY =
        now + (WATCHFD >= 0 && !PARTIAL && announced ? SAFETY_MS : RETRY_MS);
    bool refused = error == EACCES || error == EPERM;
    if (!refused || now - QUIET_FROM >= REFUSAL_MS)
        return true;
    // Tried again, and said if it still holds, once it has lasted.
    NEXT_TRY = std::min(NEXT_TRY, QUIET_FROM + REFUSAL_MS);
    return false;
}
