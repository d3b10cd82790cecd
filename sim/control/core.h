// Stand-in SDK internals: error state, the test-control hooks and generation-checked handle tables.
#pragma once
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "TUVO.h"

namespace sim {

// Records a failure as the SDK's last error. The message names the operation and the reason.
void set_error(int code, const std::string& op, const std::string& reason);
void clear_error();

// One SDK call as seen by the control interface: counts it, records its arguments, applies any
// delay or block, and tells whether a failure was injected for it.
class Call {
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
    void fail(int code, const std::string& reason);
    const char* op() const { return op_; }

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

// A point inside an operation where a test can hold it: tuvo_sim_delay, tuvo_sim_block and
// tuvo_sim_wait_entered apply to `name` as to an operation's name (it counts as entered while held).
void hold_point(const char* name);

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
// Throws std::bad_alloc, once, when the test set `key` to a non-zero value: memory running out at
// that point of the work.
void allocation_fault(const std::string& key);

// Handle tables: a handle is (slot + 1, generation); destroying bumps the generation, so stale
// copies are refused without touching freed memory.
template <class T>
class Table {
public:
    std::pair<std::uint32_t, std::uint32_t> add(std::shared_ptr<T> obj) {
        std::lock_guard<std::mutex> lock(m_);
        for (std::size_t i = 0; i < entries_.size(); ++i) {
            if (!entries_[i].obj) {
                entries_[i].obj = std::move(obj);
                return {static_cast<std::uint32_t>(i + 1), entries_[i].gen};
            }
        }
        entries_.push_back({1u, std::move(obj)});
        return {static_cast<std::uint32_t>(entries_.size()), 1u};
    }
    std::shared_ptr<T> get(std::uint32_t slot, std::uint32_t gen) const {
        std::lock_guard<std::mutex> lock(m_);
        if (slot == 0 || slot > entries_.size()) return nullptr;
        const Entry& e = entries_[slot - 1];
        if (e.gen != gen) return nullptr;
        return e.obj;
    }
    // Removes the object; returns it so the caller can finish with it outside the lock.
    std::shared_ptr<T> remove(std::uint32_t slot, std::uint32_t gen) {
        std::lock_guard<std::mutex> lock(m_);
        if (slot == 0 || slot > entries_.size()) return nullptr;
        Entry& e = entries_[slot - 1];
        if (e.gen != gen || !e.obj) return nullptr;
        std::shared_ptr<T> out = std::move(e.obj);
        e.obj.reset();
        ++e.gen;
        if (e.gen == 0) e.gen = 1;
        return out;
    }
    std::vector<std::shared_ptr<T>> all() const {
        std::lock_guard<std::mutex> lock(m_);
        std::vector<std::shared_ptr<T>> out;
        for (const Entry& e : entries_)
            if (e.obj) out.push_back(e.obj);
        return out;
    }
    // Removes every object at once; returns them so the caller can finish with them outside the lock
    // (objects added meanwhile are not touched).
    std::vector<std::shared_ptr<T>> take_all() {
        std::lock_guard<std::mutex> lock(m_);
        std::vector<std::shared_ptr<T>> out;
        for (Entry& e : entries_) {
            if (!e.obj) continue;
            out.push_back(std::move(e.obj));
            e.obj.reset();
            ++e.gen;
            if (e.gen == 0) e.gen = 1;
        }
        return out;
    }
    void clear() {
        std::lock_guard<std::mutex> lock(m_);
        for (Entry& e : entries_) {
            if (e.obj) {
                e.obj.reset();
                ++e.gen;
                if (e.gen == 0) e.gen = 1;
            }
        }
    }
    std::size_t live() const {
        std::lock_guard<std::mutex> lock(m_);
        std::size_t n = 0;
        for (const Entry& e : entries_) n += e.obj ? 1 : 0;
        return n;
    }

private:
    struct Entry {
        std::uint32_t gen;
        std::shared_ptr<T> obj;
    };
    mutable std::mutex m_;
    std::vector<Entry> entries_;
};

template <class H, class T>
std::shared_ptr<T> lookup(const Table<T>& table, const H& handle) {
    return table.get(handle.slot, handle.generation);
}

template <class H>
H make_handle(std::pair<std::uint32_t, std::uint32_t> sg) {
    H h;
    h.slot = sg.first;
    h.generation = sg.second;
    return h;
}

std::string json_escape(const std::string& s);
// Whether every byte of `s` belongs to a well-formed UTF-8 sequence.
bool is_utf8(const std::string& s);

}  // namespace sim
