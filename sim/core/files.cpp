// Stand-in SDK: files read and written safely (regular files only, bounded reads, careful saves).
#include "core/files.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/statfs.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>


namespace sim {

namespace {

// The size of the regular file open on `fd`, refused when it is no regular file or larger than
// `max_bytes`.
bool regular_size(int fd, const std::string& name, std::size_t max_bytes, std::size_t* size, std::string* why) {
    auto fail = [&](const std::string& what) {
        *why = name + ": " + what;
        return false;
    };
    struct stat st;
    if (::fstat(fd, &st) != 0) return fail(std::strerror(errno));
    if (!S_ISREG(st.st_mode)) return fail("is not a regular file");
    if (st.st_size < 0 || static_cast<unsigned long long>(st.st_size) > max_bytes)
        return fail("is larger than " + std::to_string(max_bytes) + " bytes");
    *size = static_cast<std::size_t>(st.st_size);
    return true;
}

// Reads exactly `n` bytes; 0 when done, else the errno (0 stands for end of file reached early
// and is reported as ENODATA).
int read_all(int fd, char* out, std::size_t n) {
    std::size_t got = 0;
    while (got < n) {
        const ssize_t r = ::read(fd, out + got, n - got);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return errno;
        if (r == 0) return ENODATA;
        got += static_cast<std::size_t>(r);
    }
    return 0;
}

int write_all(int fd, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t w = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (w < 0 && errno == EINTR) continue;
        if (w < 0) return errno;
        done += static_cast<std::size_t>(w);
    }
    return 0;
}

int open_for_reading(const std::string& path) {
    // O_NONBLOCK: opening a FIFO must not wait for a writer; it is refused as no regular file.
    return ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
}

}  // namespace

Fd::~Fd() {
    if (fd >= 0) ::close(fd);
}

// ---- reading ----

InFile::~InFile() {
    if (fd_ >= 0) ::close(fd_);
}

bool InFile::open(const std::string& path, std::size_t max_bytes, std::string* why) {
    if (path.find('\0') != std::string::npos) {
        *why = path + ": the name holds a NUL character";
        return false;
    }
    const int fd = open_for_reading(path);
    if (fd < 0) {
        *why = path + ": " + std::strerror(errno);
        return false;
    }
    return adopt(fd, path, max_bytes, why);
}

bool InFile::adopt(int fd, const std::string& name, std::size_t max_bytes, std::string* why) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
    name_ = name;
    offset_ = size_ = 0;
    return regular_size(fd_, name_, max_bytes, &size_, why);
}

std::string InFile::identity() const {
    struct stat st;
    if (fd_ < 0 || ::fstat(fd_, &st) != 0) return "";
    return std::to_string(static_cast<unsigned long long>(st.st_dev)) + ":" +
           std::to_string(static_cast<unsigned long long>(st.st_ino));
}

bool InFile::read(void* out, std::size_t n, std::string* why) {
    if (n > size_ - offset_) {
        *why = name_ + ": is truncated";
        return false;
    }
    const int err = read_all(fd_, static_cast<char*>(out), n);
    if (err != 0) {
        *why = name_ + ": " + (err == ENODATA ? std::string("became shorter while it was read") : std::strerror(err));
        return false;
    }
    offset_ += n;
    return true;
}

bool InFile::seek(std::size_t offset, std::string* why) {
    if (offset > size_) {
        *why = name_ + ": is truncated";
        return false;
    }
    if (::lseek(fd_, static_cast<off_t>(offset), SEEK_SET) < 0) {
        *why = name_ + ": " + std::strerror(errno);
        return false;
    }
    offset_ = offset;
    return true;
}

bool InFile::append(std::size_t n, std::string* bytes, std::string* why) {
    n = std::min(n, size_ - offset_);
    const std::size_t base = bytes->size();
    bytes->resize(base + n);
    if (read(&(*bytes)[base], n, why)) return true;
    bytes->resize(base);
    return false;
}

bool read_regular_file(const std::string& path, std::size_t max_bytes, std::string* bytes, std::string* why) {
    InFile file;
    if (!file.open(path, max_bytes, why)) return false;
    bytes->clear();
    return file.append(file.size(), bytes, why);
}

bool file_identity(const std::string& path, std::string* identity, std::string* why) {
    InFile file;
    if (!file.open(path, SIZE_MAX, why)) return false;
    *identity = file.identity();
    return true;
}

bool regular_file_size(const std::string& path, std::uint64_t* size, std::string* why) {
    InFile file;
    if (!file.open(path, SIZE_MAX, why)) return false;
    *size = file.size();
    return true;
}

namespace {

// Where the extension of the last component of `path` starts (its dot), or npos when it has none
// (a leading dot, as in ".hidden", starts no extension).
std::size_t extension_dot(const std::string& path) {
    const auto slash = path.rfind('/');
    const std::size_t name = slash == std::string::npos ? 0 : slash + 1;
    const auto dot = path.rfind('.');
    return dot == std::string::npos || dot <= name ? std::string::npos : dot;
}

}  // namespace

std::string file_extension(const std::string& path) {
    const auto dot = extension_dot(path);
    std::string ext = dot == std::string::npos ? std::string() : path.substr(dot + 1);
    for (char& c : ext)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return ext;
}

int pick_format(const std::string& path, std::initializer_list<const char*> known, std::string* why) {
    if (extension_dot(path) == std::string::npos) return 0;
    const std::string ext = file_extension(path);  // empty after a trailing dot: refused too
    int index = 0;
    std::string names;
    for (const char* k : known) {
        if (ext == k) return index;
        names += (index++ ? ", ." : ".") + std::string(k);
    }
    *why = path + ": unknown file extension '." + ext + "' (known: " + names + ")";
    return -1;
}

std::string resolve_path(const std::string& base, const std::string& path) {
    if (path.empty() || path[0] == '/' || base.empty()) return path;
    const auto slash = base.rfind('/');
    if (slash == std::string::npos) return path;
    return base.substr(0, slash + 1) + path;
}

// ---- saving ----

namespace {

struct Target {
    std::string path;  // the file the name leads to, after symbolic links
    bool exists = false;
    // Reached through a link of /proc (/dev/stdout, /proc/self/fd/N): its text names no file
    // ("pipe:[N]", or a path the open file may no longer have), so only opening it reaches the file.
    bool by_process_link = false;
    int own_fd = -1;  // the link is one of this process's open files, writable: written through it
    struct stat st {};
};

// The folder holding `path`: "." for a bare name, "/" for a name in the root folder.
std::string folder_of(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

// The descriptor N of "/proc/self/fd/N" (by any name that leads there: /dev/fd/N, /dev/stdout)
// when this process holds it open for writing, else -1.
int own_writable_fd(const std::string& link) {
    const std::size_t slash = link.rfind('/');
    if (slash == std::string::npos) return -1;
    const std::string n = link.substr(slash + 1);
    if (n.empty() || n.size() > 9 || n.find_first_not_of("0123456789") != std::string::npos) return -1;
    char* real = ::realpath(folder_of(link).c_str(), nullptr);
    const bool ours = real && std::string(real) == "/proc/" + std::to_string(::getpid()) + "/fd";
    std::free(real);
    if (!ours) return -1;
    const int fd = std::stoi(n);
    const int flags = ::fcntl(fd, F_GETFL);
    return flags >= 0 && (flags & O_ACCMODE) != O_RDONLY ? fd : -1;
}

// Whether the link `path` lies in a folder of /proc (reached by any name: /dev/fd/N is
// /proc/self/fd/N), where links name open files, not paths.
bool in_procfs(const std::string& path) {
    struct statfs fs;
    return ::statfs(folder_of(path).c_str(), &fs) == 0 && fs.f_type == PROC_SUPER_MAGIC;
}

// Follows symbolic links from `path` to the file they name (which may not exist yet).
bool resolve(const std::string& path, Target* t, std::string* why) {
    std::string cur = path;
    for (int hops = 0; hops <= 40; ++hops) {
        if (::lstat(cur.c_str(), &t->st) != 0) {
            if (errno != ENOENT) return *why = std::strerror(errno), false;
            t->path = cur;
            t->exists = false;
            return true;
        }
        if (!S_ISLNK(t->st.st_mode)) {
            t->path = cur;
            t->exists = true;
            return true;
        }
        if (in_procfs(cur)) {
            if (::stat(cur.c_str(), &t->st) != 0) return *why = std::strerror(errno), false;
            t->path = cur;
            t->exists = true;
            t->by_process_link = true;
            t->own_fd = own_writable_fd(cur);
            return true;
        }
        std::vector<char> buf(static_cast<std::size_t>(t->st.st_size > 0 ? t->st.st_size : 4096) + 1);
        const ssize_t n = ::readlink(cur.c_str(), buf.data(), buf.size());
        if (n < 0) return *why = std::strerror(errno), false;
        if (static_cast<std::size_t>(n) >= buf.size()) return *why = "a symbolic link changed while it was read", false;
        const std::string link(buf.data(), static_cast<std::size_t>(n));
        const std::size_t slash = cur.rfind('/');
        cur = (link[0] == '/' || slash == std::string::npos) ? link : cur.substr(0, slash + 1) + link;
    }
    return *why = std::strerror(ELOOP), false;
}

// Writes through a temporary file beside `t.path` and renames it over the target. The temporary
// name is short and of fixed length, so any name the folder accepts can be saved. *no_room: the
// folder takes no new file (not writable), though the target itself may be.
bool replace(const Target& t, const std::string& bytes, std::string* why, bool* no_room) {
    const std::size_t slash = t.path.rfind('/');
    const std::string folder = folder_of(t.path);
    const std::string base = slash == std::string::npos ? t.path : t.path.substr(slash + 1);
    if (base.empty()) return *why = std::strerror(EISDIR), false;
    // O_PATH: a folder we may search but not read (0711) still takes files by name.
    Fd dir(::open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (dir.fd < 0) return *why = std::strerror(errno), false;
    static std::atomic<unsigned long> counter{0};
    const mode_t mode = t.exists ? (t.st.st_mode & 07777) : 0666;  // new files: 0666 less the umask
    std::string tmp;
    int fd = -1;
    for (int attempt = 0; fd < 0; ++attempt) {
        tmp = ".tuvo-" + std::to_string(::getpid()) + "-" + std::to_string(counter++) + ".tmp";
        fd = ::openat(dir.fd, tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
        if (fd < 0 && (errno != EEXIST || attempt > 100)) {
            *no_room = errno == EACCES || errno == EPERM;
            return *why = std::strerror(errno), false;
        }
    }
    Fd file(fd);
    if (t.exists) {
        // The old file's owner and group when allowed, else its group alone (a member of a shared
        // file's group may keep it), and its mode, which the umask may have narrowed.
        if (::fchown(fd, t.st.st_uid, t.st.st_gid) != 0 && ::fchown(fd, static_cast<uid_t>(-1), t.st.st_gid) != 0) {
            // neither: the file becomes ours
        }
        ::fchmod(fd, mode);
    }
    int err = write_all(fd, bytes);
    if (err == 0 && ::fsync(fd) != 0) err = errno;
    if (err == 0 && ::renameat(dir.fd, tmp.c_str(), dir.fd, base.c_str()) != 0) {
        err = errno;
        *no_room = err == EACCES || err == EPERM;  // a sticky folder: another's file is not ours to replace
    }
    if (err != 0) {
        ::unlinkat(dir.fd, tmp.c_str(), 0);
        return *why = std::strerror(err), false;
    }
    return true;
}

// Writes `n` bytes at `offset`; the bytes written before an error in *done.
int write_at(int fd, const char* data, std::size_t n, off_t offset, std::size_t* done) {
    *done = 0;
    while (*done < n) {
        const ssize_t w = ::pwrite(fd, data + *done, n - *done, offset + static_cast<off_t>(*done));
        if (w < 0 && errno == EINTR) continue;
        if (w < 0) return errno;
        *done += static_cast<std::size_t>(w);
    }
    return 0;
}

// Rewrites a regular file where it is (for files with other hard links, in a folder that takes no
// new file, or reached through a link of /proc). The room is taken first, so a full disk fails the
// save before the old contents are touched; the old bytes the new ones cover are kept, so a write
// that fails even so (a file size limit) puts them back.
bool rewrite(const Target& t, const std::string& bytes, double fail_after_bytes, std::string* why) {
    Fd file(::open(t.path.c_str(), O_RDWR | O_CLOEXEC | (t.by_process_link ? 0 : O_NOFOLLOW)));
    if (file.fd < 0) return *why = std::strerror(errno), false;
    struct stat st;
    if (::fstat(file.fd, &st) != 0) return *why = std::strerror(errno), false;
    if (!bytes.empty()) {
        const int room = ::posix_fallocate(file.fd, 0, static_cast<off_t>(bytes.size()));
        if (room != 0 && room != EOPNOTSUPP && room != EINVAL) {
            if (::ftruncate(file.fd, st.st_size) != 0) { /* the room taken before it failed stays */ }
            return *why = std::strerror(room), false;
        }
    }
    std::string old(std::min(bytes.size(), static_cast<std::size_t>(st.st_size)), '\0');
    for (std::size_t got = 0; got < old.size();) {
        const ssize_t r = ::pread(file.fd, &old[got], old.size() - got, static_cast<off_t>(got));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return *why = r < 0 ? std::strerror(errno) : "the file shrank while it was read", false;
        got += static_cast<std::size_t>(r);
    }
    std::size_t done = 0;
    // Tests make the disk fail part-way through.
    const double cut = fail_after_bytes;
    const bool fails = cut >= 0 && cut < static_cast<double>(bytes.size());
    int err = write_at(file.fd, bytes.data(), fails ? static_cast<std::size_t>(cut) : bytes.size(), 0, &done);
    if (err == 0 && fails) err = EIO;
    if (err == 0 && ::fsync(file.fd) != 0) err = errno;
    if (err != 0) {  // back as it was, as far as it can be
        std::size_t back = 0;
        write_at(file.fd, old.data(), std::min(done, old.size()), 0, &back);
        if (::ftruncate(file.fd, st.st_size) != 0) { /* what grew stays */ }
        return *why = std::strerror(err), false;
    }
    // The old tail goes only once the new contents are safely written.
    if (::ftruncate(file.fd, static_cast<off_t>(bytes.size())) != 0 || ::fsync(file.fd) != 0)
        return *why = std::strerror(errno), false;
    return true;
}

// Writes to a character device or FIFO as it is. A FIFO without a reader is refused rather than
// waited on.
bool write_special(const Target& t, const std::string& bytes, std::string* why) {
    Fd file(::open(t.path.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (file.fd < 0) {
        if (errno == ENXIO && S_ISFIFO(t.st.st_mode)) return *why = "is a FIFO without a reader", false;
        return *why = std::strerror(errno), false;
    }
    const int flags = ::fcntl(file.fd, F_GETFL);
    if (flags >= 0) ::fcntl(file.fd, F_SETFL, flags & ~O_NONBLOCK);
    const int err = write_all(file.fd, bytes);
    return err == 0 || (*why = std::strerror(err), false);
}

}  // namespace

bool save_file(const std::string& path, const std::string& bytes, double fail_after_bytes, std::string* why) {
    if (path.empty()) {
        *why = "empty file name";
        return false;
    }
    std::string reason;
    const bool ok = [&] {
        if (path.find('\0') != std::string::npos) return reason = "the name holds a NUL character", false;
        Target t;
        if (!resolve(path, &t, &reason)) return false;
        bool no_room = false;
        if (!t.exists) {
            if (replace(t, bytes, &reason, &no_room)) return true;
            if (no_room) reason = "the folder is not writable (" + reason + ")";
            return false;
        }
        if (t.own_fd >= 0) {  // one of our own streams (/dev/stdout): the bytes follow what it holds
            const int err = write_all(t.own_fd, bytes);
            return err == 0 || (reason = std::strerror(err), false);
        }
        const mode_t m = t.st.st_mode;
        if (S_ISREG(m)) {
            if ((m & 0222) == 0 || ::faccessat(AT_FDCWD, t.path.c_str(), W_OK, AT_EACCESS) != 0)
                return reason = "is read-only", false;
            if (t.st.st_nlink > 1 || t.by_process_link) return rewrite(t, bytes, fail_after_bytes, &reason);
            return replace(t, bytes, &reason, &no_room) || (no_room && rewrite(t, bytes, fail_after_bytes, &reason));
        }
        if (S_ISDIR(m)) return reason = "is a folder", false;
        if (S_ISCHR(m) || S_ISFIFO(m)) return write_special(t, bytes, &reason);
        return reason = "is a block device or socket, not a file", false;
    }();
    if (!ok) *why = "cannot write " + path + ": " + reason;
    return ok;
}

}  // namespace sim
