// Stand-in SDK: the last error, which every SDK call may set and the script reads back.
#pragma once
#include <string>

namespace sim {

// Records a failure as the SDK's last error. The message names the operation and the reason.
void set_error(int code, const std::string& op, const std::string& reason);
void clear_error();
// A message as the test wrote it, taken as it stands.
void set_error_as_is(int code, const std::string& message);
// The code alone, the message emptied (when there is no room for a message).
void set_error_code(int code) noexcept;
int last_error_code();
std::string last_error_message();

}  // namespace sim
