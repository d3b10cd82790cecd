// Stand-in SDK: files read and written safely (regular files only, bounded sizes, atomic saves).
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

namespace sim {

// Closes a descriptor when it goes out of scope.
struct Fd {
    int fd = -1;
    explicit Fd(int f) : fd(f) {}
    ~Fd();
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
};

// Reads the regular file open on `fd` (at most `max_bytes`) into `bytes`; on failure `why` is
// `name`, a colon and the reason.
bool read_open_file(int fd, const std::string& name, std::size_t max_bytes, std::string* bytes, std::string* why);

// Reads a regular file (symbolic links followed) of at most `max_bytes`; FIFOs, devices and folders
// are refused without waiting on them. `why` names the file and the reason.
bool read_regular_file(const std::string& path, std::size_t max_bytes, std::string* bytes, std::string* why);

// The size of the regular file at `path` (same refusals as read_regular_file, nothing read).
bool regular_file_size(const std::string& path, std::uint64_t* size, std::string* why);

// `path` as seen from the folder of `base` (a file), unless `path` is absolute or `base` empty.
std::string resolve_path(const std::string& base, const std::string& path);

// Writes `bytes` to `path` through a temporary file in the same folder and a rename, so a failed
// save leaves an existing file whole.
bool write_file_atomic(const std::string& path, const std::string& bytes, std::string* why);

}  // namespace sim
