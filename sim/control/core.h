// Stand-in SDK: one SDK call as the test-control interface sees it, and the values tests put in place.
#pragma once
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "TUVO.h"
#include "core/report.h"

namespace sim {

// One SDK call as seen by the control interface: counts it, records its arguments, applies any
// delay or block, and tells whether a failure was injected for it.
class Call final : public Report {
public:
    explicit Call(const char* op);
    ~Call();
    Call(const Call&) = delete;
    Call& operator=(const Call&) = delete;

    Call& arg(const char* name, long long v);
    Call& arg(const char* name, double v);
    Call& arg_bool(const char* name, bool v);
    Call& arg(const char* name, const char* text);  // null is recorded as null
    // True (and the last error set) when the test made this operation fail.
    bool failed();
    // Sets the last error for a real failure of this operation.
    void fail(int code, const std::string& reason) override;
    const char* op() const override { return op_; }

private:
    const char* op_;
    int unwinding_;  // exceptions in flight when the call began: one more at its end is leaving it
    std::vector<std::pair<std::string, std::string>> args_;
};

// What an SDK entry point does with an exception that reaches it (memory running out deep in the
// work, a library's error): nothing may leave the SDK as an exception. Each entry point's body is a
// function-try-block whose handler returns `escaped(failure)`: the last error becomes
// Error_OutOfMemory for std::bad_alloc, else Error_Failed naming the exception, for the operation
// the exception left; `failure` is the operation's failure value. Call only inside a handler.
// Tests make an operation's start fail so with the parameter sim.bad_alloc = its name.
void record_escape() noexcept;
template <class R>
R escaped(R failure) {
    record_escape();
    return failure;
}
inline void escaped() { record_escape(); }
// For entry points that return their error code: records it as escaped() does and returns it.
int escaped_code() noexcept;

// Values the test put in place of what an operation would answer.
struct Blob {
    bool is_null = false;
    std::string bytes;
};
std::optional<Blob> override_bytes(const std::string& key);
std::optional<long long> override_int(const std::string& key);
std::optional<double> override_double(const std::string& key);
// A Size the test put in place of an answer (8 bytes: width, height).
std::optional<TUVO::Size> override_size(const std::string& key);
// A text the test put in place of an answer: set, then null or the text (valid until the
// calling thread's next override_text).
std::optional<const char*> override_text(const std::string& key);
// A scene parameter: the override if set, else `fallback`.
double param(const std::string& key, double fallback);
// A scene parameter held to [lo, hi]; `fallback` when unset or not a number.
double param_in(const std::string& key, double fallback, double lo, double hi);
// A number that changes whenever `key` is set or unset (0: never since the last reset).
std::uint64_t param_version(const std::string& key);

}  // namespace sim
