// SPDX-License-Identifier: MIT
#include "path.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

const int LINKS_MAX = 40;

// Puts text, then rest after a slash (none when rest is empty), in to.
// False when that does not fit: no such path names anything.
bool join(char* to, size_t size, const char* text, const char* rest)
{
    // rest, and text, may lie in to: rest is moved first.
    size_t a = strlen(text), b = strlen(rest), gap = b > 0 ? 1 : 0;
    if (a + gap + b >= size)
        return false;
    memmove(to + a + gap, rest, b);
    to[a + gap + b] = '\0';
    memmove(to, text, a);
    if (gap != 0)
        to[a] = '/';
    return true;
}

const unsigned LOOK = STATX_BASIC_STATS | STATX_BTIME;

// The walk ends at name, an entry of directory.
walk_end& end_at(walk_end& end, const char* directory, const char* name,
                 bool open_end)
{
    end.name = name;
    if (open_end) {
        end.directory = open(directory, O_PATH | O_DIRECTORY | O_CLOEXEC);
        end.error = end.directory < 0 ? errno : 0;
    }
    return end;
}

} // namespace

// The handle of the link at path, where the file system gives one.
file_id handle_of(const char* path)
{
    alignas(struct file_handle) unsigned char
        space[sizeof(struct file_handle) + sizeof file_id::bytes];
    auto* handle = reinterpret_cast<struct file_handle*>(space);
    handle->handle_bytes = sizeof file_id::bytes;
    int mount;
    file_id id = {0, 0, {}};
    if (name_to_handle_at(AT_FDCWD, path, handle, &mount, 0) == 0) {
        id = {handle->handle_bytes, handle->handle_type, {}};
        memcpy(id.bytes, handle->f_handle, id.size);
    }
    return id;
}

walk_end walk_path(const char* path,
                   void (*visit)(const char*, const char*, bool), bool open_end)
{
    // at: the directory reached, without a link in it; rest: what is left.
    static char at[PATH_MAX], rest[2 * PATH_MAX], entry[PATH_MAX];
    static char target[PATH_MAX];
    walk_end end = {0, false, true, {}, {}, {}, -1, ""};
    if (*path == '\0' || !join(rest, sizeof rest, path, "")) {
        end.error = *path == '\0' ? ENOENT : ENAMETOOLONG;
        return end;
    }
    join(at, sizeof at, path[0] == '/' ? "/" : ".", "");
    for (int links = 0;;) {
        char* name = rest + strspn(rest, "/");
        if (*name == '\0') { // it ends at the directory reached
            if (statx(AT_FDCWD, at, AT_SYMLINK_NOFOLLOW, LOOK, &end.node) != 0)
                end.error = errno;
            return end.error != 0 ? end : end_at(end, at, ".", open_end);
        }
        char* after = name + strcspn(name, "/");
        bool last = after[strspn(after, "/")] == '\0';
        if (*after != '\0')
            *after++ = '\0';
        if (strcmp(name, ".") == 0) {
            memmove(rest, after, strlen(after) + 1);
            continue;
        }
        if (strcmp(name, "..") == 0) {
            // at holds no link: its parent is its text's.
            char* slash = strrchr(at, '/');
            if (strcmp(at, ".") == 0 ||
                strcmp(slash ? slash + 1 : at, "..") == 0)
                join(at, sizeof at, at, "..");
            else if (slash != nullptr)
                slash[slash == at ? 1 : 0] = '\0';
            else
                join(at, sizeof at, ".", "");
            memmove(rest, after, strlen(after) + 1);
            continue;
        }
        struct statx& node = end.node;
        bool fits =
            join(entry, sizeof entry, strcmp(at, "/") == 0 ? "" : at, name);
        if (!fits ||
            statx(AT_FDCWD, entry, AT_SYMLINK_NOFOLLOW, LOOK, &node) != 0) {
            end.error = fits ? errno : ENAMETOOLONG;
            if (visit != nullptr)
                visit(at, name, true);
            return end;
        }
        if (visit != nullptr)
            visit(at, name,
                  last || S_ISLNK(node.stx_mode) || !S_ISDIR(node.stx_mode));
        if (S_ISLNK(node.stx_mode)) {
            ssize_t n = readlink(entry, target, sizeof target - 1);
            if (++links > LINKS_MAX || n <= 0) {
                end.error = n <= 0 ? errno : ELOOP;
                return end;
            }
            target[n] = '\0';
            end.linked = true;
            end.named = end.named && !last;
            end.link = node;
            end.handle = (node.stx_mask & STATX_BTIME) != 0 ? file_id{0, 0, {}}
                                                            : handle_of(entry);
            if (target[0] == '/')
                join(at, sizeof at, "/", "");
            if (!join(rest, sizeof rest, target, after)) {
                end.error = ENAMETOOLONG;
                return end;
            }
            continue;
        }
        if (last)
            return end_at(end, at, name, open_end);
        join(at, sizeof at, entry, "");
        if (!S_ISDIR(node.stx_mode)) {
            end.error = ENOTDIR;
            return end;
        }
        memmove(rest, after, strlen(after) + 1);
    }
}
