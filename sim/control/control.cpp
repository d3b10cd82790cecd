// Stand-in SDK: last-error state and the tuvo_sim_ control interface that tests steer it with.
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <exception>
#include <fstream>
#include <map>
#include <new>
#include <sstream>
#include <thread>
#include <unistd.h>

#include "control/control.h"
#include "control/core.h"
#include "core/errors.h"
#include "core/hooks.h"
#include "core/numbers.h"
#include "core/scratch.h"
#include "core/text.h"

namespace sim {
namespace {

struct OpControl {
    long long calls = 0;
    int inside = 0;
    int delay_ms = 0;
    bool blocked = false;
    bool fail = false;
    int fail_remaining = 0;  // 0: every call fails
    int fail_code = 0;
    std::string fail_message;
    std::string last_args;
    bool has_last_args = false;
};

struct Control {
    std::mutex m;
    std::condition_variable cv;
    std::map<std::string, OpControl> ops;
    std::map<std::string, Blob> values;
    std::map<std::string, std::uint64_t> versions;  // per key: the write count when it last changed
    std::uint64_t writes = 0;
};
Control& control() {
    static Control* c = new Control;
    return *c;
}

}  // namespace

namespace {

// Counts an entry of `op` and applies its delay and block (with `lock` on the control's mutex).
void enter(Control& c, std::unique_lock<std::mutex>& lock, const char* op) {
    OpControl& oc = c.ops[op];
    ++oc.calls;
    ++oc.inside;
    c.cv.notify_all();
    if (oc.delay_ms > 0) {
        int ms = oc.delay_ms;
        lock.unlock();
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        lock.lock();
    }
    // A blocked operation waits for the test to release it, at most 10 s so a broken test
    // cannot hang the process.
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    c.cv.wait_until(lock, until, [&] { return !c.ops[op].blocked; });
}

}  // namespace

namespace {
thread_local int t_call_depth = 0;  // entry points running on this thread (they nest)
// The operation an exception in flight on this thread has left last: the outermost Call's
// destructor runs last while it unwinds, so this names the entry point.
thread_local const char* t_escaping_op = nullptr;
}  // namespace

Call::Call(const char* op) : op_(op), unwinding_(std::uncaught_exceptions()) {
    t_escaping_op = op_;  // an exception thrown before the call is set up leaves it too
    Control& c = control();
    std::unique_lock<std::mutex> lock(c.m);
    enter(c, lock, op_);
    // A test's allocation failure at the start of the operation it names (sim.bad_alloc); the
    // count of entries goes back, as the call never began.
    auto it = c.values.find("sim.bad_alloc");
    if (it != c.values.end() && !it->second.is_null && it->second.bytes == op_) {
        --c.ops[op_].inside;
        c.cv.notify_all();
        throw std::bad_alloc();
    }
    ++t_call_depth;  // counted once the call is set up: its destructor takes it back
}

void record_escape() noexcept {
    int code = TUVO::Error_Failed;
    const char* reason = "an internal error";
    std::string what;
    try {
        throw;
    } catch (const std::bad_alloc&) {
        code = TUVO::Error_OutOfMemory;
        reason = "out of memory";
    } catch (const std::exception& e) {
        try {
            what = std::string("an internal error: ") + e.what();
            reason = what.c_str();
        } catch (...) {
        }
    } catch (...) {
    }
    const char* op = t_escaping_op ? t_escaping_op : "TUVO";
    try {
        set_error(code, op, reason);
    } catch (...) {  // no room even for the message: the code alone
        set_error_code(code);
    }
}

int escaped_code() noexcept {
    record_escape();
    return last_error_code();
}

void hold_at(const char* name) {
    Control& c = control();
    std::unique_lock<std::mutex> lock(c.m);
    enter(c, lock, name);
    --c.ops[name].inside;
    c.cv.notify_all();
}

Call::~Call() {
    if (std::uncaught_exceptions() > unwinding_) t_escaping_op = op_;
    {
        Control& c = control();
        std::lock_guard<std::mutex> lock(c.m);
        try {
            OpControl& oc = c.ops[op_];
            --oc.inside;
            std::string text = "{";
            for (std::size_t i = 0; i < args_.size(); ++i) {
                if (i) text += ", ";
                text += json_escape(args_[i].first) + ": " + args_[i].second;
            }
            oc.last_args = text + "}";
            oc.has_last_args = true;
        } catch (...) {  // no room to record the call: its own outcome matters more
        }
        c.cv.notify_all();
    }
    if (--t_call_depth == 0) trim_thread_scratch();  // what the call kept beyond the bound goes
}

Call& Call::arg(const char* name, long long v) {
    args_.emplace_back(name, std::to_string(v));
    return *this;
}

Call& Call::arg(const char* name, double v) {
    std::ostringstream os;
    os.imbue(std::locale::classic());
    os.precision(17);
    if (v != v)
        os << "NaN";
    else if (v > 1e308)
        os << "Infinity";
    else if (v < -1e308)
        os << "-Infinity";
    else
        os << v;
    args_.emplace_back(name, os.str());
    return *this;
}

Call& Call::arg_bool(const char* name, bool v) {
    args_.emplace_back(name, v ? "true" : "false");
    return *this;
}

Call& Call::arg(const char* name, const char* text) {
    args_.emplace_back(name, text ? json_escape(text) : std::string("null"));
    return *this;
}

bool Call::failed() {
    int code;
    std::string message;
    {
        Control& c = control();
        std::lock_guard<std::mutex> lock(c.m);
        OpControl& oc = c.ops[op_];
        if (!oc.fail) return false;
        if (oc.fail_remaining > 0 && --oc.fail_remaining == 0) oc.fail = false;
        code = oc.fail_code;
        message = oc.fail_message;
    }
    set_error_as_is(code, message);
    return true;
}

void Call::fail(int code, const std::string& reason) { set_error(code, op_, reason); }

std::optional<Blob> override_bytes(const std::string& key) {
    Control& c = control();
    std::lock_guard<std::mutex> lock(c.m);
    auto it = c.values.find(key);
    if (it == c.values.end()) return std::nullopt;
    return it->second;
}

std::optional<long long> override_int(const std::string& key) {
    auto b = override_bytes(key);
    if (!b || b->is_null) return std::nullopt;
    try {
        return std::stoll(b->bytes);
    } catch (...) {
        return std::nullopt;
    }
}

std::optional<double> override_double(const std::string& key) {
    auto b = override_bytes(key);
    if (!b || b->is_null) return std::nullopt;
    double v;
    if (!parse_double(b->bytes, &v)) return std::nullopt;
    return v;
}

std::optional<TUVO::Size> override_size(const std::string& key) {
    auto o = override_bytes(key);
    if (!o) return std::nullopt;
    TUVO::Size size{0, 0};
    std::memcpy(&size, o->bytes.data(), std::min(o->bytes.size(), sizeof size));
    return size;
}

std::optional<const char*> override_text(const std::string& key) {
    auto o = override_bytes(key);
    if (!o) return std::nullopt;
    thread_local std::string text;
    if (o->is_null) return static_cast<const char*>(nullptr);
    text = o->bytes;
    return text.c_str();
}

double param(const std::string& key, double fallback) {
    auto v = override_double(key);
    return v ? *v : fallback;
}

double param_in(const std::string& key, double fallback, double lo, double hi) {
    const double v = param(key, fallback);
    return std::isnan(v) ? fallback : std::min(hi, std::max(lo, v));
}

std::uint64_t param_version(const std::string& key) {
    Control& c = control();
    std::lock_guard<std::mutex> lock(c.m);
    auto it = c.versions.find(key);
    return it == c.versions.end() ? 0 : it->second;
}

void fault_at(const std::string& key) {
    {
        Control& c = control();
        std::lock_guard<std::mutex> lock(c.m);
        auto it = c.values.find(key);
        if (it == c.values.end() || it->second.is_null || it->second.bytes == "0") return;
        c.values.erase(it);
    }
    throw std::bad_alloc();
}

namespace {
// The hooks of the work below the entry points, installed when the library is loaded.
[[maybe_unused]] const bool g_hooks_installed = (install_hooks(Hooks{hold_at, fault_at}), true);
}  // namespace

void reset_control() {
    Control& c = control();
    std::lock_guard<std::mutex> lock(c.m);
    for (auto& kv : c.ops) {
        OpControl& oc = kv.second;
        oc.blocked = false;
        oc.fail = false;
        oc.delay_ms = 0;
        oc.calls = 0;
        oc.has_last_args = false;
        oc.last_args.clear();
    }
    c.values.clear();
    c.versions.clear();
    c.cv.notify_all();
}

}  // namespace sim

using namespace sim;

extern "C" {

void tuvo_sim_fail(const char* op, int code, const char* message, int times) {
    Control& c = control();
    std::lock_guard<std::mutex> lock(c.m);
    OpControl& oc = c.ops[op];
    oc.fail = true;
    oc.fail_code = code;
    oc.fail_message = message ? message : "";
    oc.fail_remaining = times > 0 ? times : 0;
}

void tuvo_sim_clear(const char* op) {
    Control& c = control();
    std::lock_guard<std::mutex> lock(c.m);
    OpControl& oc = c.ops[op];
    oc.fail = false;
    oc.delay_ms = 0;
    oc.blocked = false;
    c.cv.notify_all();
}

void tuvo_sim_set_bytes(const char* key, const char* data, long long len) {
    Control& c = control();
    std::lock_guard<std::mutex> lock(c.m);
    Blob b;
    if (len < 0 || !data)
        b.is_null = true;
    else
        b.bytes.assign(data, static_cast<std::size_t>(len));
    c.values[key] = b;
    c.versions[key] = ++c.writes;
}

void tuvo_sim_unset(const char* key) {
    Control& c = control();
    std::lock_guard<std::mutex> lock(c.m);
    c.values.erase(key);
    c.versions[key] = ++c.writes;
}

const char* tuvo_sim_last_args(const char* op) {
    thread_local std::string out;
    Control& c = control();
    std::lock_guard<std::mutex> lock(c.m);
    auto it = c.ops.find(op);
    out = (it != c.ops.end() && it->second.has_last_args) ? it->second.last_args : "";
    return out.c_str();
}

long long tuvo_sim_call_count(const char* op) {
    Control& c = control();
    std::lock_guard<std::mutex> lock(c.m);
    auto it = c.ops.find(op);
    return it == c.ops.end() ? 0 : it->second.calls;
}

void tuvo_sim_delay(const char* op, int ms) {
    Control& c = control();
    std::lock_guard<std::mutex> lock(c.m);
    c.ops[op].delay_ms = ms;
}

void tuvo_sim_block(const char* op) {
    Control& c = control();
    std::lock_guard<std::mutex> lock(c.m);
    c.ops[op].blocked = true;
}

void tuvo_sim_unblock(const char* op) {
    Control& c = control();
    std::lock_guard<std::mutex> lock(c.m);
    c.ops[op].blocked = false;
    c.cv.notify_all();
}

int tuvo_sim_inside(const char* op) {
    Control& c = control();
    std::lock_guard<std::mutex> lock(c.m);
    auto it = c.ops.find(op);
    return it == c.ops.end() ? 0 : it->second.inside;
}

int tuvo_sim_wait_entered(const char* op, int timeout_ms) {
    Control& c = control();
    std::unique_lock<std::mutex> lock(c.m);
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    c.cv.wait_until(lock, until, [&] { return c.ops[op].inside > 0; });
    return c.ops[op].inside;
}

}  // extern "C"
