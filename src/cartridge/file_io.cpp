#include "cartridge/file_io.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <functional>

namespace file_io {

namespace {

std::string system_error(int error) { return std::strerror(error); }

std::string describe_kind(mode_t mode) {
    if (S_ISDIR(mode)) return "a folder, not a file";
    if (S_ISFIFO(mode)) return "a FIFO, not a regular file";
    if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device, not a regular file";
    if (S_ISSOCK(mode)) return "a socket, not a regular file";
    return "not a regular file";
}

class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    void reset(int fd) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }

private:
    int fd_;
};

std::string folder_of(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Follows a chain of symbolic links to the name that is not a link (which
// may not exist yet). Relative targets count from the link's own folder.
bool resolve_links(const std::string& path, std::string& resolved, std::string& error) {
    resolved = path;
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st {};
        if (::lstat(resolved.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return true;
        std::vector<char> target(size_t(st.st_size > 0 ? st.st_size : 255) + 1);
        const ssize_t n = ::readlink(resolved.c_str(), target.data(), target.size());
        if (n < 0 || size_t(n) >= target.size()) {
            error = "cannot read the link " + resolved;
            return false;
        }
        const std::string link(target.data(), size_t(n));
        resolved = link[0] == '/' ? link : folder_of(resolved) + "/" + link;
    }
    error = "too many levels of symbolic links at " + path;
    return false;
}

// base, then base-2, base-3, ...
std::string numbered(const std::string& base, int n) {
    std::string name = base;
    if (n > 1) {
        name += '-';
        name += std::to_string(n);
    }
    return name;
}

// Names of numbered files: base, base-2, ... up to this many.
constexpr int NUMBERED_NAMES = 1000;
// Temporary names a writer takes beside the file it replaces: target.tmp,
// then target.tmp-2 ... target.tmp-100 while others are busy.
constexpr int TEMPORARY_NAMES = 100;

std::string temporary_name(const std::string& target, int n) { return numbered(target + ".tmp", n); }

// Makes the folder's entries (a new name, a rename) durable. A folder that
// may be written but not read (mode 0333) cannot be opened for its own sync;
// the whole file system holding `file_fd` is synced then, which covers it.
void sync_folder(const std::string& folder, int file_fd) {
    Fd fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.get() >= 0 && ::fsync(fd.get()) == 0) return;
#ifdef __linux__
    ::syncfs(file_fd);
#else
    (void)file_fd;
    ::sync();
#endif
}

// Past the file-size limit (ulimit -f) the system ends a writing process
// with SIGXFSZ; while the signal is ignored the write fails with EFBIG
// instead, like that of a full disk, and the writer can clean up and report.
class FileSizeLimitIsAnError {
public:
    FileSizeLimitIsAnError() {
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        sigemptyset(&ignore.sa_mask);
        restore_ = ::sigaction(SIGXFSZ, &ignore, &old_) == 0;
    }
    ~FileSizeLimitIsAnError() {
        if (restore_) ::sigaction(SIGXFSZ, &old_, nullptr);
    }
    FileSizeLimitIsAnError(const FileSizeLimitIsAnError&) = delete;
    FileSizeLimitIsAnError& operator=(const FileSizeLimitIsAnError&) = delete;

private:
    struct sigaction old_ {};
    bool restore_ = false;
};

bool write_all(int fd, const u8* data, size_t size) {
    const FileSizeLimitIsAnError limit_is_an_error;
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += n;
        size -= size_t(n);
    }
    return true;
}

bool same_file(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// What a temporary file this program left can look like: a regular file
// with no other name, of this user (or, when run as root, of the user it was
// handed to, the owner of the file it was to replace).
bool may_be_own_temporary(const struct stat& st, uid_t handed_to) {
    const uid_t self = ::geteuid();
    return S_ISREG(st.st_mode) && st.st_nlink == 1 && (st.st_uid == self || (self == 0 && st.st_uid == handed_to));
}

// Removes the file at `name` when it is a temporary file of a writer that
// is gone (killed during its save). A writer holds an exclusive lock on its
// temporary file from its creation to its rename, so a file that can be
// locked now has nobody writing it. The name is checked again just before
// it is removed, so only the file that was examined goes.
void remove_if_left_over(const std::string& name, uid_t handed_to) {
    struct stat named {};
    if (::lstat(name.c_str(), &named) != 0 || !may_be_own_temporary(named, handed_to)) return;
    // The writer set the mode of the file it replaces, which may let the
    // owner only read or only write.
    Fd fd(::open(name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (fd.get() < 0) fd.reset(::open(name.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat opened {};
    if (fd.get() < 0 || ::fstat(fd.get(), &opened) != 0 || !same_file(named, opened)) return;
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) return;  // a writer is at work on it, or locks are not known here
    struct stat again {};
    if (::lstat(name.c_str(), &again) == 0 && same_file(again, opened) && may_be_own_temporary(again, handed_to))
        ::unlink(name.c_str());
}

// Creates a temporary file of this writer's own beside `target` and locks
// it; -1 with errno set when none of the names is free.
int create_temporary(const std::string& target, std::string& temp) {
    for (int n = 1; n <= TEMPORARY_NAMES; ++n) {
        temp = temporary_name(target, n);
        const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd < 0) {
            if (errno == EEXIST) continue;
            return -1;
        }
        // Between the creation and the lock another instance's sweep may
        // have taken the file away (and the name may be someone else's
        // now): the name must still be this file once it is locked.
        const bool locked = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
        const bool sweep_at_it = !locked && errno == EWOULDBLOCK;
        struct stat mine {}, named {};
        if (!sweep_at_it && ::fstat(fd, &mine) == 0 && ::lstat(temp.c_str(), &named) == 0 && same_file(mine, named))
            return fd;
        ::close(fd);
        errno = EEXIST;
    }
    return -1;
}

// Whether this user may write the file `st` describes at `name`. Root may
// write any file, but leaves one alone that no one may write: that one was
// made read-only to keep it. Anyone else goes by the write bit that applies
// to them (and by access lists where the file system has them). A refusal
// for another reason (a read-only file system) is left to the write itself
// to report.
bool may_write(const std::string& name, const struct stat& st) {
    if (::geteuid() == 0) return (st.st_mode & 0222) != 0;
    if (::faccessat(AT_FDCWD, name.c_str(), W_OK, AT_EACCESS) == 0) return true;
    return errno != EACCES && errno != EPERM;
}

// Gives the complete file `temp` the name `name` unless something has that
// name: 0 when done, else the error (EEXIST: taken). Where the file system
// cannot rename without replacing, the file is linked under the new name
// instead, which fails just the same when the name is taken.
int name_without_replacing(const std::string& temp, const std::string& name) {
#ifdef __linux__
    if (::renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, name.c_str(), RENAME_NOREPLACE) == 0) return 0;
    if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) return errno;
#endif
    if (::link(temp.c_str(), name.c_str()) != 0) return errno;
    ::unlink(temp.c_str());
    return 0;
}

// Makes a file of the first free name of `base`, base-2, ... from what
// `fill` writes to the file open at its first argument, named by the second
// (false with the reason in the third when it could not): written to a temporary file of this writer's own, flushed, and then
// named without replacing anything.
bool create_numbered(const std::string& base, const std::function<bool(int, const std::string&, std::string&)>& fill,
                     std::string& created, std::string& error) {
    for (int n = 1; n <= TEMPORARY_NAMES; ++n) remove_if_left_over(temporary_name(base, n), ::geteuid());
    std::string temp;
    Fd fd(create_temporary(base, temp));
    if (fd.get() < 0) {
        error = "cannot create " + temp + " (" + system_error(errno) + ")";
        return false;
    }
    auto give_up = [&](const std::string& why) {
        error = why;
        ::unlink(temp.c_str());
        return false;
    };
    std::string why;
    if (!fill(fd.get(), temp, why)) return give_up(why);
    if (::fsync(fd.get()) != 0) return give_up("flushing " + temp + " to the disk failed (" + system_error(errno) + ")");
    for (int n = 1; n <= NUMBERED_NAMES; ++n) {
        const std::string name = numbered(base, n);
        const int e = name_without_replacing(temp, name);
        if (e == EEXIST) continue;
        if (e != 0) return give_up("cannot create " + name + " (" + system_error(e) + ")");
        sync_folder(folder_of(name), fd.get());
        created = name;
        return true;
    }
    return give_up("every name from " + base + " to " + numbered(base, NUMBERED_NAMES) + " is taken");
}

}  // namespace

FileRead read_regular_file(const std::string& path, u64 limit) {
    FileRead out;
    // Non-blocking, so that a FIFO's open returns at once instead of waiting
    // for a writer; the kind check below then turns it away.
    Fd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (fd.get() < 0) {
        const int e = errno;
        if (e == ENOENT) return out;
        out.status = ReadStatus::Failed;
        out.error = system_error(e);
        return out;
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) {
        out.status = ReadStatus::Failed;
        out.error = system_error(errno);
        return out;
    }
    if (!S_ISREG(st.st_mode)) {
        out.status = ReadStatus::Failed;
        out.error = describe_kind(st.st_mode);
        return out;
    }
    out.size = u64(st.st_size);
    // A file that grows while it is read gives no more than it had.
    out.bytes.resize(size_t(std::min(out.size, limit)));
    size_t got = 0;
    while (got < out.bytes.size()) {
        const ssize_t n = ::read(fd.get(), out.bytes.data() + got, out.bytes.size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            out.status = ReadStatus::Failed;
            out.error = system_error(errno);
            out.bytes.clear();
            return out;
        }
        if (n == 0) break;  // shrank meanwhile
        got += size_t(n);
    }
    out.bytes.resize(got);
    out.status = ReadStatus::Ok;
    return out;
}

ReplaceStatus replace_file(const std::string& path, const u8* data, size_t size, std::string& error) {
    std::string target;
    if (!resolve_links(path, target, error)) return ReplaceStatus::Failed;
    struct stat old {};
    const bool exists = ::lstat(target.c_str(), &old) == 0;
    if (exists && !S_ISREG(old.st_mode)) {
        error = target + " is " + describe_kind(old.st_mode);
        return ReplaceStatus::Failed;
    }
    if (exists && !may_write(target, old)) {
        error = target + " is read-only";
        return ReplaceStatus::ReadOnly;
    }

    const uid_t handed_to = exists ? old.st_uid : ::geteuid();
    for (int n = 1; n <= TEMPORARY_NAMES; ++n) remove_if_left_over(temporary_name(target, n), handed_to);
    // A temporary name of our own: created here and now, never an old file
    // or a link someone left under that name.
    std::string temp;
    Fd fd(create_temporary(target, temp));
    if (fd.get() < 0) {
        error = "cannot create " + temp + " (" + system_error(errno) + ")";
        return ReplaceStatus::Failed;
    }
    auto give_up = [&](const std::string& why) {
        const int e = errno;
        error = why + " (" + system_error(e) + ")";
        ::unlink(temp.c_str());
        return ReplaceStatus::Failed;
    };
    if (!write_all(fd.get(), data, size)) return give_up("writing " + temp + " failed");
    if (exists) {
        if (::fchmod(fd.get(), old.st_mode & 07777) != 0) return give_up("cannot set the permissions of " + temp);
        // Only root can hand a file to another owner; everyone else keeps
        // their own files anyway.
        if (::geteuid() == 0 && (old.st_uid != ::geteuid() || old.st_gid != ::getegid()) &&
            ::fchown(fd.get(), old.st_uid, old.st_gid) != 0) {
            // Not fatal: the data matters more than who owns it.
        }
    }
    // The flush reports what a deferred write could otherwise report only at
    // the close; the file stays open (and locked) until it has its name.
    if (::fsync(fd.get()) != 0) return give_up("flushing " + temp + " to the disk failed");
    if (::rename(temp.c_str(), target.c_str()) != 0) return give_up("cannot replace " + target);
    // The new file is in place; this makes the rename itself durable.
    sync_folder(folder_of(target), fd.get());
    return ReplaceStatus::Replaced;
}

bool create_numbered_file(const std::string& path, const std::string& suffix, const u8* data, size_t size,
                          std::string& created, std::string& error) {
    return create_numbered(
        path + suffix,
        [&](int fd, const std::string& temp, std::string& why) {
            if (write_all(fd, data, size)) return true;
            why = "writing " + temp + " failed (" + system_error(errno) + ")";
            return false;
        },
        created, error);
}

ReadStatus copy_to_numbered_file(const std::string& source, const std::string& suffix, u64 limit,
                                 std::string& created, std::string& error) {
    Fd in(::open(source.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    struct stat st {};
    if (in.get() < 0 || ::fstat(in.get(), &st) != 0) {
        if (errno == ENOENT) return ReadStatus::Missing;
        error = system_error(errno);
        return ReadStatus::Failed;
    }
    if (!S_ISREG(st.st_mode)) {
        error = describe_kind(st.st_mode);
        return ReadStatus::Failed;
    }
    const u64 size = u64(st.st_size);
    if (size > limit) {
        error = "larger than " + std::to_string(limit >> 20) + " MiB";
        return ReadStatus::Failed;
    }
    const bool copied = create_numbered(
        source + suffix,
        [&](int out, const std::string& temp, std::string& why) {
            std::array<u8, 64 * 1024> block;
            u64 total = 0;
            for (;;) {
                const ssize_t n = ::read(in.get(), block.data(), block.size());
                if (n < 0 && errno == EINTR) continue;
                if (n < 0) {
                    why = "reading " + source + " failed (" + system_error(errno) + ")";
                    return false;
                }
                if (n == 0) break;
                total += u64(n);
                if (total > size) break;  // grew meanwhile
                if (!write_all(out, block.data(), size_t(n))) {
                    why = "writing " + temp + " failed (" + system_error(errno) + ")";
                    return false;
                }
            }
            if (total == size) return true;
            why = "it changed while it was read";
            return false;
        },
        created, error);
    return copied ? ReadStatus::Ok : ReadStatus::Failed;
}

std::string dangling_link_target(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return "";
    if (::stat(path.c_str(), &st) == 0 || errno != ENOENT) return "";
    std::string target, error;
    return resolve_links(path, target, error) ? target : "";
}

}  // namespace file_io
