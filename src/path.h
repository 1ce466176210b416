// SPDX-License-Identifier: MIT
// The device's path followed as the kernel follows it: name by name, each
// link on the way in whatever part of the path it stands, up to the
// kernel's bound of 40 links.
#pragma once

#include <sys/stat.h>

// Where a walk ended: 0 at an entry that exists, or the errno of the name
// it could not pass (ENOENT: the path goes no further yet).  linked: a link
// was followed on the way, the last of them link.
struct walk_end {
    int error;
    bool linked;
    struct statx link;
};

// Follows path, calling visit (when not null), in the order met, with each
// directory that holds a link of it, and the one where it ends: the one
// that holds its last name, or the name it could not pass.
walk_end walk_path(const char* path, void (*visit)(const char* directory));

// When the link was made: its birth time where the file system keeps one
// (ext4, tmpfs; touch -h does not move it), else its change time; in ns.
long long made_ns(const struct statx& link);
