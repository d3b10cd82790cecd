// Stand-in SDK, playback: reading a recording's files safely (regular files only, bounded sizes).
#include "replay/files.h"

#include "core/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

namespace sim {
namespace replay {

namespace {

std::vector<std::string> components(const std::string& rel) {
    std::vector<std::string> out;
    std::size_t start = 0;
    for (;;) {
        const std::size_t slash = rel.find('/', start);
        out.push_back(rel.substr(start, slash == std::string::npos ? std::string::npos : slash - start));
        if (slash == std::string::npos) return out;
        start = slash + 1;
    }
}

// Why opening `name` in folder `at` failed; a symbolic link is named as such whatever the error.
std::string reason(int at, const std::string& name, int err) {
    struct stat st;
    if (err == ELOOP || (::fstatat(at, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode)))
        return "is a symbolic link";
    if (err == ENOENT) return "is missing";
    if (err == ENOTDIR) return "is not a folder";
    return std::strerror(err);
}

}  // namespace

bool safe_relative(const std::string& rel, int max_components) {
    if (rel.empty() || rel.size() > 255) return false;
    const auto parts = components(rel);
    if (static_cast<int>(parts.size()) > max_components) return false;
    for (const std::string& p : parts) {
        if (p.empty() || p == "." || p == "..") return false;
        for (unsigned char ch : p)
            if (!(std::isalnum(ch) || ch == '.' || ch == '_' || ch == '-')) return false;
    }
    return true;
}

bool open_file_in(const std::string& root, const std::string& rel, std::size_t max_bytes, InFile* file,
                  std::string* why) {
    const std::string name = root + "/" + rel;
    auto fail = [&](const std::string& what) {
        *why = name + ": " + what;
        return false;
    };
    if (root.find('\0') != std::string::npos || !safe_relative(rel, 3)) return fail("not a file name a recording uses");
    Fd dir(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.fd < 0) {
        const int err = errno;
        *why = root + ": " + reason(AT_FDCWD, root, err);
        return false;
    }
    const auto parts = components(rel);
    std::vector<std::unique_ptr<Fd>> folders;
    int at = dir.fd;
    std::string path = root;
    for (std::size_t i = 0; i + 1 < parts.size(); ++i) {
        path += "/" + parts[i];
        folders.push_back(std::make_unique<Fd>(::openat(at, parts[i].c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)));
        if (folders.back()->fd < 0) {
            const int err = errno;
            *why = path + ": " + reason(at, parts[i], err);
            return false;
        }
        at = folders.back()->fd;
    }
    // O_NONBLOCK: opening a FIFO must not wait for a writer; it is refused below.
    const int fd = ::openat(at, parts.back().c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int err = errno;
        return fail(reason(at, parts.back(), err));
    }
    return file->adopt(fd, name, max_bytes, why);
}

bool read_file_in(const std::string& root, const std::string& rel, std::size_t max_bytes, std::string* bytes,
                  std::string* why) {
    InFile file;
    if (!open_file_in(root, rel, max_bytes, &file, why)) return false;
    bytes->clear();
    return file.append(file.size(), bytes, why);
}

}  // namespace replay
}  // namespace sim
