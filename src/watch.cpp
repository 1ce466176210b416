// SPDX-License-Identifier: MIT
#include "watch.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <linux/magic.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include "device.h"

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
// The watches held: the path's directory, and one for each link it runs
// through.
const size_t WATCHES_MAX = 8;
int WATCHES[WATCHES_MAX];
size_t WATCHED = 0;
// The watch of the directory that holds the path's last name, or -1.
int PATH_DIRECTORY = -1;

// When the path is tried at the latest, and, once news has come, at the
// earliest (ms of the monotonic clock); when the device was last back.
int64_t NEXT_TRY, EARLIEST, TAKEN_AT;
bool NEWS;

// The directory that holds path's last name, in dir.  False when it does
// not fit: such a path names nothing.
bool directory_of(const char* path, char (&dir)[PATH_MAX])
{
    const char* slash = strrchr(path, '/');
    size_t n = slash == nullptr ? 0 : slash == path ? 1 : slash - path;
    if (n >= sizeof dir)
        return false;
    memmove(dir, n == 0 ? "." : path, n == 0 ? 1 : n);
    dir[n == 0 ? 1 : n] = '\0';
    return true;
}

bool watching(int wd)
{
    for (size_t i = 0; i < WATCHED; ++i)
        if (WATCHES[i] == wd)
            return true;
    return false;
}

// Watches the directory that holds path's last name, or, while it does not
// exist, the nearest one above it, whose news moves the watch down as the
// path grows back; then, when path is a link, where it leads.  A directory
// of pseudo-terminals is never watched: its entries change with every
// terminal opened on the machine, and a link to one waits for the link.
void watch_along(const char* path, int links)
{
    char dir[PATH_MAX], up[PATH_MAX];
    if (!directory_of(path, dir))
        return;
    memcpy(up, dir, sizeof dir);
    struct stat node;
    while ((stat(up, &node) != 0 || !S_ISDIR(node.st_mode)) &&
           strcmp(up, ".") != 0 && strcmp(up, "/") != 0)
        directory_of(up, up);
    struct statfs fs;
    if (statfs(up, &fs) != 0 || fs.f_type != DEVPTS_SUPER_MAGIC) {
        int wd = inotify_add_watch(WATCHFD, up, EVENTS);
        if (wd >= 0 && !watching(wd) && WATCHED < WATCHES_MAX)
            WATCHES[WATCHED++] = wd;
        if (links == 0 && strcmp(up, dir) == 0)
            PATH_DIRECTORY = wd;
    }
    char target[PATH_MAX];
    ssize_t n = readlink(path, target, sizeof target - 1);
    if (n <= 0 || links == 8)
        return;
    target[n] = '\0';
    if (target[0] == '/') {
        watch_along(target, links + 1);
    } else if (snprintf(up, sizeof up, "%s/%s", dir, target) <
               static_cast<int>(sizeof up)) {
        watch_along(up, links + 1);
    }
}

// Watches the directories the path runs through now, and lets go of those
// it no longer runs through.
void rewatch()
{
    int had[WATCHES_MAX];
    size_t held = WATCHED;
    memcpy(had, WATCHES, sizeof had);
    WATCHED = 0;
    PATH_DIRECTORY = -1;
    watch_along(MODEMDEVICE, 0);
    for (size_t i = 0; i < held; ++i)
        if (!watching(had[i]))
            inotify_rm_watch(WATCHFD, had[i]); // a directory gone: no watch
}

// Reads all the news there is; true when any of it may concern the path.
// The path's own name made or moved in is a link made anew.
bool take_news()
{
    const char* slash = strrchr(MODEMDEVICE, '/');
    const char* name = slash != nullptr ? slash + 1 : MODEMDEVICE;
    alignas(struct inotify_event) char news[4096];
    bool any = false;
    ssize_t n;
    while ((n = read(WATCHFD, news, sizeof news)) > 0) {
        for (char* at = news; at < news + n;) {
            auto* event = reinterpret_cast<struct inotify_event*>(at);
            at += sizeof *event + event->len;
            // An overflow has lost news; a watch let go here says so too.
            if ((event->mask & IN_Q_OVERFLOW) == 0 && !watching(event->wd))
                continue;
            any = true;
            if (event->wd == PATH_DIRECTORY &&
                (event->mask & (IN_CREATE | IN_MOVED_TO)) != 0 &&
                event->len > 0 && strcmp(event->name, name) == 0)
                LINK_RENEWED = true;
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
    // A device that flaps (a board in a reset loop, a radio link out of
    // range) is tried no sooner than RETRY_MS after it was last taken back:
    // it is opened, and said, at most five times a second, however long
    // each time it stays.
    NEXT_TRY = EARLIEST = std::max(now, TAKEN_AT + RETRY_MS);
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
        rewatch();
    }
    int64_t now = now_ms();
    return now >= NEXT_TRY || (NEWS && now >= EARLIEST);
}

void path_tried(int error)
{
    int64_t now = now_ms();
    NEWS = false;
    EARLIEST = now;
    if (error == 0) {
        TAKEN_AT = now;
        for (size_t i = 0; i < WATCHED; ++i)
            inotify_rm_watch(WATCHFD, WATCHES[i]);
        WATCHED = 0;
        return;
    }
    // Missing, refused for its permissions, or not a terminal: a directory
    // change announces when that changes.
    bool announced = error == ENOENT || error == ENOTDIR || error == ELOOP ||
                     error == EACCES || error == EPERM || error == ENOTTY;
    NEXT_TRY = now + (WATCHFD >= 0 && announced ? SAFETY_MS : RETRY_MS);
}
