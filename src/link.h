// SPDX-License-Identifier: MIT
// Whether a link still leads to the pseudo-terminal it was made for.  Once
// a pseudo-terminal closes, its number goes to the next terminal opened: a
// link that a device simulator left behind may name another program's
// terminal, perhaps another user's login.  A pseudo-terminal reached
// through links is taken back only once the last link, the one that names
// it, is made anew, as the simulator makes it when it starts again; and
// only if the terminal is older than that link, or, where times cannot
// tell, is no session's controlling terminal.
#pragma once

#include "modem.h"
#include "path.h"

// Why the device at the end of walk is not taken back: missing while the
// last link is the one the device was last opened through, stale_link for
// a pseudo-terminal newer than the link, another_session for one that
// times cannot tell from a new one and that a session holds; else none.
why_not link_refusal(const walk_end& walk);

// The device has been opened at the end of walk: the link that names it,
// if any and if it is a pseudo-terminal, is the one to be made anew.
void keep_link(const walk_end& walk);
