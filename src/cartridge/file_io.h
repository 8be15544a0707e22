#pragma once
// Reading and replacing the files that belong to a cartridge (ROM, battery
// RAM, clock) without ever blocking on, following into or half-writing
// something that is not the plain file it should be.
#include <string>
#include <vector>

#include "core/types.h"

namespace file_io {

enum class ReadStatus {
    Ok,       // a regular file, read
    Missing,  // nothing by that name (or a link to nothing)
    Failed,   // something is there but could not be read: see `error`
};

struct FileRead {
    ReadStatus status = ReadStatus::Missing;
    std::vector<u8> bytes;  // the file's first min(size, limit) bytes
    u64 size = 0;           // the file's whole size
    std::string error;      // why it could not be read
};

// Reads at most `limit` bytes from the start of the regular file at `path`.
// Anything else that is there (a folder, a FIFO, a device) fails with a
// message and is never waited on: the file is opened without blocking and
// checked before a byte is read.
FileRead read_regular_file(const std::string& path, u64 limit);

enum class ReplaceStatus {
    Replaced,  // the new bytes are in place
    ReadOnly,  // the file there is one this user may not write: left as it is
    Failed,    // could not be done: see `error`; the old file untouched
};

// Replaces the file at `path` with `size` bytes, all or nothing. A symbolic
// link is followed to the file it names, which is replaced in its own folder
// and keeps its permissions (and, when run as root, its owner). A file this
// user may not write is never replaced: one whose write bits leave this user
// out (for root, one with no write bit at all, such as mode 0444: someone
// made it read-only to keep it). The bytes go to a new temporary file
// created exclusively beside it (never an old one, never through a link) and
// are flushed to the disk before the rename, and the folder after it, so a
// power cut leaves the old file or the new one. Temporary files that an
// earlier writer left when it was killed are removed first, so they never
// block a save.
ReplaceStatus replace_file(const std::string& path, const u8* data, size_t size, std::string& error);

// Writes `size` bytes to a file of a name nothing has yet: the first free one
// of `path` + `suffix`, then with "-2", "-3", ... "-1000" appended. The bytes
// go to a temporary file first, which takes the name only once it is complete
// and on the disk, and only if nothing has that name by then: two writers at
// once each get a name of their own, and nothing that is there (a file, a
// folder, a link) is ever replaced or followed. Returns false with the
// reason in `error`, leaving nothing behind (also when every name is taken);
// else its name is in `created`.
bool create_numbered_file(const std::string& path, const std::string& suffix, const u8* data, size_t size,
                          std::string& created, std::string& error);

// The same with a copy of the regular file at `source` (of at most `limit`
// bytes), made a block at a time, never whole in memory. Missing when
// nothing is at `source`; Failed, with the reason in `error`, when it is not
// a regular file, is larger than `limit`, cannot be read, changes while it
// is read, or when the copy cannot be written.
ReadStatus copy_to_numbered_file(const std::string& source, const std::string& suffix, u64 limit,
                                 std::string& created, std::string& error);

// Where a symbolic link at `path` (or a chain of them) leads when nothing is
// there; empty when `path` is no such link.
std::string dangling_link_target(const std::string& path);

}  // namespace file_io
