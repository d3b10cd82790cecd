// Stand-in SDK: text that messages and records carry: UTF-8 checks and JSON escaping.
#pragma once
#include <string>

namespace sim {

// Messages echo file names and file contents: every byte that is not part of valid UTF-8 is
// written as \xNN, so the message always decodes.
std::string printable(const std::string& s);
// Whether every byte of `s` belongs to a well-formed UTF-8 sequence.
bool is_utf8(const std::string& s);
std::string json_escape(const std::string& s);

}  // namespace sim
