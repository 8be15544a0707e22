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

// Replaces the file at `path` with `size` bytes, all or nothing. A symbolic
// link is followed to the file it names, which is replaced in its own folder
// and keeps its permissions (and, when run as root, its owner). The bytes go
// to a new temporary file created exclusively beside it (never an old one,
// never through a link) and are flushed to the disk before the rename, and
// the folder after it, so a power cut leaves the old file or the new one.
// Temporary files that an earlier writer left when it was killed are removed
// first, so they never block a save. Returns false with the reason in
// `error`, the old file untouched.
bool replace_file(const std::string& path, const u8* data, size_t size, std::string& error);

// Writes `size` bytes to a file of a name nothing has yet: the first free one
// of `path` + `suffix`, then with "-2", "-3", ... appended. It is created
// exclusively, so nothing that is there (a file, a folder, a link) is ever
// replaced or followed. Returns false with the reason in `error`, leaving
// nothing behind; else its name is in `created`.
bool create_numbered_file(const std::string& path, const std::string& suffix, const u8* data, size_t size,
                          std::string& created, std::string& error);

// The first of `path` + `suffix`, then with "-2", "-3", ... appended, that
// names nothing yet (not even a dangling link).
std::string unused_name(const std::string& path, const std::string& suffix);

}  // namespace file_io
