// Stand-in SDK: bounded, non-blocking reading of the files a scene names.
#include "world/files.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace sim {

namespace {

// Opens `path` for reading without blocking (a FIFO with no writer would block a plain open)
// and checks that it is a regular file. Returns the descriptor, or -1 with `why` set.
int open_regular(const std::string& path, struct stat* st, std::string* why) {
    if (path.empty()) {
        *why = "empty file name";
        return -1;
    }
    if (path.find('\0') != std::string::npos) {
        *why = "the file name contains a NUL character";
        return -1;
    }
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        *why = path + ": " + std::strerror(errno);
        return -1;
    }
    if (::fstat(fd, st) != 0) {
        *why = path + ": " + std::strerror(errno);
        ::close(fd);
        return -1;
    }
    if (!S_ISREG(st->st_mode)) {
        *why = path + (S_ISDIR(st->st_mode) ? ": is a directory" : ": is not a regular file");
        ::close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

bool regular_file_size(const std::string& path, std::uint64_t* size, std::string* why) {
    struct stat st;
    const int fd = open_regular(path, &st, why);
    if (fd < 0) return false;
    ::close(fd);
    *size = static_cast<std::uint64_t>(st.st_size);
    return true;
}

bool read_regular_file(const std::string& path, std::uint64_t max_bytes, std::string* bytes, std::string* why) {
    struct stat st;
    const int fd = open_regular(path, &st, why);
    if (fd < 0) return false;
    const std::uint64_t size = static_cast<std::uint64_t>(st.st_size);
    if (size > max_bytes) {
        *why = path + ": " + std::to_string(size) + " bytes, more than the limit of " + std::to_string(max_bytes);
        ::close(fd);
        return false;
    }
    std::string out(static_cast<std::size_t>(size), '\0');
    std::size_t got = 0;
    while (got < out.size()) {
        const ssize_t n = ::read(fd, &out[got], out.size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            *why = path + ": " + std::strerror(errno);
            ::close(fd);
            return false;
        }
        if (n == 0) break;  // shrank while read: keep what is there
        got += static_cast<std::size_t>(n);
    }
    ::close(fd);
    out.resize(got);
    *bytes = std::move(out);
    return true;
}

std::string resolve_path(const std::string& base, const std::string& path) {
    if (path.empty() || path[0] == '/' || base.empty()) return path;
    const auto slash = base.rfind('/');
    if (slash == std::string::npos) return path;
    return base.substr(0, slash + 1) + path;
}

}  // namespace sim
