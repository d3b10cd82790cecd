// Stand-in SDK: the last error, which every SDK call may set and the script reads back.
#include "core/errors.h"

#include <mutex>

#include "core/text.h"

namespace sim {
namespace {

struct ErrorState {
    std::mutex m;
    int code = 0;
    std::string message;
};
// The error state lives as long as the process (calls may still run in other threads
// while it exits).
ErrorState& errors() {
    static ErrorState* e = new ErrorState;
    return *e;
}

}  // namespace

void set_error(int code, const std::string& op, const std::string& reason) {
    std::string message = printable(op + ": " + reason);
    ErrorState& e = errors();
    std::lock_guard<std::mutex> lock(e.m);
    e.code = code;
    e.message = std::move(message);
}

void clear_error() {
    ErrorState& e = errors();
    std::lock_guard<std::mutex> lock(e.m);
    e.code = 0;
    e.message.clear();
}

int last_error_code() {
    ErrorState& e = errors();
    std::lock_guard<std::mutex> lock(e.m);
    return e.code;
}

std::string last_error_message() {
    ErrorState& e = errors();
    std::lock_guard<std::mutex> lock(e.m);
    return e.message;
}

void set_error_as_is(int code, const std::string& message) {
    ErrorState& e = errors();
    std::lock_guard<std::mutex> lock(e.m);
    e.code = code;
    e.message = message;
}

void set_error_code(int code) noexcept {
    ErrorState& e = errors();
    std::lock_guard<std::mutex> lock(e.m);
    e.code = code;
    e.message.clear();
}

}  // namespace sim
