// Stand-in SDK: files read and written safely (regular files only, bounded reads, careful saves).
#pragma once
#include <cstddef>
#include <cstdint>
#include <initializer_list>
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

// A regular file open for reading. Opening refuses anything else (FIFOs, devices and folders,
// without waiting on them) and files larger than a limit, before a byte is read; afterwards the
// file is read only as far as its reader asks, so a header that promises little costs little
// whatever the file's size.
class InFile {
public:
    InFile() = default;
    InFile(const InFile&) = delete;
    InFile& operator=(const InFile&) = delete;
    ~InFile();

    // Opens `path` (symbolic links followed); `why` names the file and the reason on failure.
    bool open(const std::string& path, std::size_t max_bytes, std::string* why);
    // The same for a descriptor already open (taken over: closed with this object).
    bool adopt(int fd, const std::string& name, std::size_t max_bytes, std::string* why);

    std::size_t size() const { return size_; }
    std::size_t offset() const { return offset_; }
    bool at_end() const { return offset_ >= size_; }
    const std::string& name() const { return name_; }
    // Which file it is, however its path was spelt (device and inode, "" before a successful open).
    std::string identity() const;

    // Reads exactly `n` bytes to `out`; false when the file ends first or a read fails.
    bool read(void* out, std::size_t n, std::string* why);
    // Goes to `offset` (at most the file's size) for the next read.
    bool seek(std::size_t offset, std::string* why);
    // Appends the next min(n, bytes left) bytes to `bytes`.
    bool append(std::size_t n, std::string* bytes, std::string* why);

private:
    int fd_ = -1;
    std::string name_;
    std::size_t size_ = 0, offset_ = 0;
};

// Reads a regular file (symbolic links followed) of at most `max_bytes`; FIFOs, devices and folders
// are refused without waiting on them. `why` names the file and the reason.
bool read_regular_file(const std::string& path, std::size_t max_bytes, std::string* bytes, std::string* why);

// Which regular file `path` names (same refusals as read_regular_file, nothing read): equal for
// every spelling of its path and every link to it.
bool file_identity(const std::string& path, std::string* identity, std::string* why);

// The size of the regular file at `path` (same refusals as read_regular_file, nothing read).
bool regular_file_size(const std::string& path, std::uint64_t* size, std::string* why);

// The extension of the last component of `path`, lower-cased and without its dot; empty when the
// name has none (a leading dot, as in ".hidden", starts no extension) or ends in a dot.
std::string file_extension(const std::string& path);

// Which of the formats `known` (extensions in lower case without the dot, the first the default)
// the name `path` asks for: its index, also 0 for a name without extension (devices, pipes, bare
// names); -1 for any other extension, an empty one (a trailing dot) too, with `why` naming it and
// the known ones.
int pick_format(const std::string& path, std::initializer_list<const char*> known, std::string* why);

// `path` as seen from the folder of `base` (a file), unless `path` is absolute or `base` empty.
std::string resolve_path(const std::string& base, const std::string& path);

// Saves `bytes` as the file `path`:
// - a symbolic link is followed to the file it names, which is written instead of the link;
// - a regular file (or a new one) is replaced atomically: a temporary file in the same folder,
//   given the old file's mode, then a rename, so a failed save leaves the old file whole; a file
//   with other hard links is rewritten in place so the links keep sharing it;
// - a read-only file is refused, as are folders, block devices and sockets;
// - character devices and FIFOs (with a reader) are written directly, never replaced.
// A file rewritten in place fails with EIO after `fail_after_bytes` bytes when that is below the
// file's new size (a disk that fails part-way through; tests set it, < 0: never).
bool save_file(const std::string& path, const std::string& bytes, double fail_after_bytes, std::string* why);

}  // namespace sim
