// SPDX-License-Identifier: MIT
// The device's path followed as the kernel follows it: name by name, each
// link on the way in whatever part of the path it stands, up to the
// kernel's bound of 40 links.
#pragma once

#include <sys/stat.h>

// A file's handle (name_to_handle_at), which carries its inode's
// generation; size 0 where the file system gives none.
struct file_id {
    unsigned size;
    int type;
    unsigned char bytes[128];
};

// Where a walk ended.
struct walk_end {
    int error;         // 0 at an entry that exists, or the errno of the name
                       // it could not pass (ENOENT: no further yet)
    bool linked;       // a link was followed on the way
    bool named;        // the path's own last name is the entry, no link
    struct statx link; // the last link followed
    file_id handle;    // its handle, where it has no birth time
    struct statx node; // the entry, when it exists
    int directory;     // with open_end: a descriptor (O_PATH) of the
                       // directory that holds the entry, else -1
    const char* name;  // the entry's name there, until the next walk
};

// Follows path, calling visit (when not null) with each directory it runs
// through, in the order met, and the name it looks up there: entries is
// true where what the directory holds matters (the name is a link, the
// last name, or one it could not pass), false where only the directory
// itself does (it leads on to the next).
walk_end walk_path(const char* path,
                   void (*visit)(const char* directory, const char* name,
                                 bool entries),
                   bool open_end = false);
