// SPDX-License-Identifier: MIT
#include "link.h"

#include <cerrno>

#include "node.h"

namespace {

// The last link to a pseudo-terminal that the device was opened through;
// stx_ino 0 when there is none.
struct statx PTY_LINK;

long long ns(const struct statx_timestamp& t)
{
    return t.tv_sec * 1000000000LL + t.tv_nsec;
}

// When the link was made: its birth time where the file system keeps one
// (ext4, tmpfs; touch -h does not move it), else its change time.
long long made_ns(const struct statx& link)
{
    return ns((link.stx_mask & STATX_BTIME) != 0 ? link.stx_btime
                                                 : link.stx_ctime);
}

bool same_link(const struct statx& a, const struct statx& b)
{
    return a.stx_ino == b.stx_ino && a.stx_dev_major == b.stx_dev_major &&
           a.stx_dev_minor == b.stx_dev_minor && made_ns(a) == made_ns(b);
}

} // namespace

why_not link_refusal(const walk_end& walk)
{
    if (!walk.linked)
        return reason_of(0);
    if (same_link(walk.link, PTY_LINK))
        return reason_of(ENOENT); // not back yet
    if (is_pseudo_terminal(walk.node) &&
        ns(walk.node.stx_ctime) > made_ns(walk.link))
        return {reason::stale_link, 0};
    return reason_of(0);
}

void keep_link(const walk_end& walk)
{
    PTY_LINK = {};
    if (walk.linked && is_pseudo_terminal(walk.node))
        PTY_LINK = walk.link;
}
