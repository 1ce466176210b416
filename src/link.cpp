// SPDX-License-Identifier: MIT
#include "link.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <unistd.h>

#include "node.h"

namespace {

// The last link to a pseudo-terminal that the device was opened through,
// and its handle; stx_ino 0 when there is none.
struct statx PTY_LINK;
file_id PTY_LINK_ID;

long long ns(const struct statx_timestamp& t)
{
    return t.tv_sec * 1000000000LL + t.tv_nsec;
}

bool born(const struct statx& link)
{
    return (link.stx_mask & STATX_BTIME) != 0;
}

// A link is made anew when it is another file.  Its birth time tells,
// where the file system keeps one (touch -h does not move it); else its
// handle, which carries the inode's generation (ext4 may give a link made
// again the same inode number), or, where there is none (ramfs), its
// inode number alone.
bool same_link(const walk_end& walk)
{
    const struct statx& a = walk.link;
    const struct statx& b = PTY_LINK;
    if (a.stx_ino != b.stx_ino || a.stx_dev_major != b.stx_dev_major ||
        a.stx_dev_minor != b.stx_dev_minor || born(a) != born(b))
        return false;
    if (born(a))
        return ns(a.stx_btime) == ns(b.stx_btime);
    const file_id& x = walk.handle;
    const file_id& y = PTY_LINK_ID;
    return x.size == y.size && x.type == y.type &&
           memcmp(x.bytes, y.bytes, x.size) == 0;
}

// When the terminal was made, as far as its times tell.  A mode or owner
// change moves the change time alone; reads and writes move the access and
// modification times in 8-second steps; devpts sets all three as it makes
// a terminal.  But its owner may set the other two (utimensat): they count
// only for a terminal of the link's owner or of the user running this.
long long age_ns(const struct statx& terminal, const struct statx& link)
{
    if (terminal.stx_uid != link.stx_uid && terminal.stx_uid != getuid())
        return ns(terminal.stx_ctime);
    return std::min({ns(terminal.stx_atime), ns(terminal.stx_mtime),
                     ns(terminal.stx_ctime)});
}

} // namespace

why_not link_refusal(const walk_end& walk)
{
    if (!walk.linked)
        return reason_of(0);
    if (same_link(walk))
        return reason_of(ENOENT); // not back yet
    if (!is_pseudo_terminal(walk.node))
        return reason_of(0);
    long long age = age_ns(walk.node, walk.link);
    if (born(walk.link) && age < ns(walk.link.stx_btime))
        return reason_of(0);
    if (born(walk.link) && age > ns(walk.link.stx_btime))
        return {reason::stale_link, 0};
    // Made in the very tick of the link (the file times' clock is coarse),
    // or no birth time to hold it against: another session's terminal that
    // took the number is told apart only by being one.
    if (session_terminal(walk.node))
        return {reason::another_session, 0};
    return reason_of(0);
}

void keep_link(const walk_end& walk)
{
    PTY_LINK = {};
    PTY_LINK_ID = {};
    if (walk.linked && is_pseudo_terminal(walk.node)) {
        PTY_LINK = walk.link;
        PTY_LINK_ID = walk.handle;
    }
}
