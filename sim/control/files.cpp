// Stand-in SDK: files read and written safely (regular files only, bounded sizes, atomic saves).
#include "control/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace sim {

Fd::~Fd() {
    if (fd >= 0) ::close(fd);
}

bool read_open_file(int fd, const std::string& name, std::size_t max_bytes, std::string* bytes, std::string* why) {
    auto fail = [&](const std::string& what) {
        *why = name + ": " + what;
        return false;
    };
    struct stat st;
    if (::fstat(fd, &st) != 0) return fail(std::strerror(errno));
    if (!S_ISREG(st.st_mode)) return fail("is not a regular file");
    if (st.st_size < 0 || static_cast<unsigned long long>(st.st_size) > max_bytes)
        return fail("is larger than " + std::to_string(max_bytes) + " bytes");
    bytes->assign(static_cast<std::size_t>(st.st_size), '\0');
    std::size_t got = 0;
    while (got < bytes->size()) {
        const ssize_t n = ::read(fd, &(*bytes)[got], bytes->size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return fail(std::strerror(errno));
        if (n == 0) return fail("became shorter while it was read");
        got += static_cast<std::size_t>(n);
    }
    return true;
}

namespace {

// Opens `path` for reading; O_NONBLOCK so that opening a FIFO does not wait for a writer (it is
// then refused as no regular file).
int open_for_reading(const std::string& path, std::string* why) {
    if (path.find('\0') != std::string::npos) {
        *why = path + ": the name holds a NUL character";
        return -1;
    }
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) *why = path + ": " + std::strerror(errno);
    return fd;
}

}  // namespace

bool read_regular_file(const std::string& path, std::size_t max_bytes, std::string* bytes, std::string* why) {
    Fd file(open_for_reading(path, why));
    return file.fd >= 0 && read_open_file(file.fd, path, max_bytes, bytes, why);
}

bool regular_file_size(const std::string& path, std::uint64_t* size, std::string* why) {
    Fd file(open_for_reading(path, why));
    if (file.fd < 0) return false;
    struct stat st;
    if (::fstat(file.fd, &st) != 0) {
        *why = path + ": " + std::strerror(errno);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        *why = path + ": is not a regular file";
        return false;
    }
    *size = static_cast<std::uint64_t>(st.st_size);
    return true;
}

std::string resolve_path(const std::string& base, const std::string& path) {
    if (path.empty() || path[0] == '/' || base.empty()) return path;
    const auto slash = base.rfind('/');
    if (slash == std::string::npos) return path;
    return base.substr(0, slash + 1) + path;
}

bool write_file_atomic(const std::string& path, const std::string& bytes, std::string* why) {
    if (path.empty()) {
        *why = "empty file name";
        return false;
    }
    std::string tmp = path + ".tmp." + std::to_string(::getpid()) + "." +
                      std::to_string(reinterpret_cast<std::uintptr_t>(&bytes));
    FILE* f = std::fopen(tmp.c_str(), "wb");
    if (!f) {
        *why = "cannot write " + path + ": " + std::strerror(errno);
        return false;
    }
    bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    ok = (std::fflush(f) == 0) && ok;
    ok = (::fsync(::fileno(f)) == 0) && ok;
    ok = (std::fclose(f) == 0) && ok;
    if (!ok || std::rename(tmp.c_str(), path.c_str()) != 0) {
        *why = "cannot write " + path + ": " + std::strerror(errno);
        std::remove(tmp.c_str());
        return false;
    }
    return true;
}


}  // namespace sim
