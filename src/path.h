// SPDX-License-Identifier: MIT
// The device's path followed as the kernel follows it: name by name, each
// link on the way in whatever part of the path it stands, up to the
// kernel's bound of 40 links.
#pragma once

#include <sys/stat.h>

// Where a walk ended.
struct walk_end {
    int error;         // 0 at an entry that exists, or the errno of the name
                       // it could not pass (ENOENT: no further yet)
    bool linked;       // a link was followed on the way
    bool named;        // the path's own last name is the entry, no link
    struct statx link; // the last link followed
    struct statx node; // the entry, when it exists
    int directory;     // with open_end: a descriptor (O_PATH) of the
                       // directory that holds the entry, else -1
    const char* name;  // the entry's name there, until the next walk
};

// Follows path, calling visit (when not null), in the order met, with each
// directory that holds a link of it, and the one where it ends: the one
// that holds its last name, or the name it could not pass.
walk_end walk_path(const char* path, void (*visit)(const char* directory),
                   bool open_end = false);
