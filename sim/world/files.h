// Stand-in SDK: reading the files a scene names, refusing anything but bounded regular files.
#pragma once
#include <cstdint>
#include <string>

namespace sim {

// Reads the whole of `path` when it is a regular file of at most `max_bytes` bytes. Refuses (false,
// `why` set) NUL characters in the name, directories, devices, FIFOs, sockets, symlink loops and
// larger files, without blocking on any of them and without allocating more than the file holds.
bool read_regular_file(const std::string& path, std::uint64_t max_bytes, std::string* bytes, std::string* why);

// The size of the regular file at `path` (same refusals as read_regular_file, nothing read).
bool regular_file_size(const std::string& path, std::uint64_t* size, std::string* why);

// `path` as seen from the folder of `base` (a file), unless `path` is absolute or `base` empty.
std::string resolve_path(const std::string& base, const std::string& path);

}  // namespace sim
