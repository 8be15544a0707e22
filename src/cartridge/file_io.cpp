#include "cartridge/file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

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
    // Closes now, reporting the error a deferred write may surface only here.
    int close() {
        const int result = ::close(fd_);
        fd_ = -1;
        return result;
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

bool sync_folder(const std::string& folder) {
    Fd fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return fd.get() >= 0 && ::fsync(fd.get()) == 0;
}

bool write_all(int fd, const u8* data, size_t size) {
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

bool replace_file(const std::string& path, const u8* data, size_t size, std::string& error) {
    std::string target;
    if (!resolve_links(path, target, error)) return false;
    struct stat old {};
    const bool exists = ::lstat(target.c_str(), &old) == 0;
    if (exists && !S_ISREG(old.st_mode)) {
        error = target + " is " + describe_kind(old.st_mode);
        return false;
    }

    // A temporary name of our own: created here and now, never an old file
    // or a link someone left under that name.
    std::string temp;
    int raw_fd = -1;
    for (int n = 1; n <= 100 && raw_fd < 0; ++n) {
        temp = numbered(target + ".tmp", n);
        raw_fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (raw_fd < 0 && errno != EEXIST) break;
    }
    if (raw_fd < 0) {
        error = "cannot create " + temp + " (" + system_error(errno) + ")";
        return false;
    }
    Fd fd(raw_fd);
    auto give_up = [&](const std::string& why) {
        const int e = errno;
        error = why + " (" + system_error(e) + ")";
        ::unlink(temp.c_str());
        return false;
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
    if (::fsync(fd.get()) != 0) return give_up("flushing " + temp + " to the disk failed");
    if (fd.close() != 0) return give_up("closing " + temp + " failed");
    const std::string folder = folder_of(target);
    if (!sync_folder(folder)) return give_up("cannot sync the folder " + folder);
    if (::rename(temp.c_str(), target.c_str()) != 0) return give_up("cannot replace " + target);
    // The new file is in place; this makes the rename itself durable.
    sync_folder(folder);
    return true;
}

std::string unused_name(const std::string& path, const std::string& suffix) {
    for (int n = 1; n < 1000; ++n) {
        const std::string name = numbered(path + suffix, n);
        struct stat st {};
        if (::lstat(name.c_str(), &st) != 0 && errno == ENOENT) return name;
    }
    // A folder that cannot be searched, or a thousand such names: the first
    // name it is, and the write that follows says what went wrong.
    return path + suffix;
}

}  // namespace file_io
