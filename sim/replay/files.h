// Stand-in SDK, playback: reading a recording's files safely (regular files only, bounded sizes).
#pragma once
#include <cstddef>
#include <string>

#include "core/files.h"

namespace sim {
namespace replay {

// Whether `rel` names a place inside a recording: at most `max_components` components of letters,
// digits, '.', '_' and '-', none of them "." or "..".
bool safe_relative(const std::string& rel, int max_components);

// Opens the file `rel` of the recording folder `root` for reading, under the rules of read_file_in;
// nothing is read.
bool open_file_in(const std::string& root, const std::string& rel, std::size_t max_bytes, InFile* file,
                  std::string* why);

// Reads the file `rel` of the recording folder `root` into `bytes`. No component may be a
// symbolic link; the file must be a regular file of at most `max_bytes`. On failure `why` names
// the file and the reason.
bool read_file_in(const std::string& root, const std::string& rel, std::size_t max_bytes, std::string* bytes,
                  std::string* why);

}  // namespace replay
}  // namespace sim
