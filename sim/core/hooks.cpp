// Stand-in SDK: the points inside the work where tests can step in.
#include "core/hooks.h"

#include <atomic>

namespace sim {
namespace {
std::atomic<void (*)(const char*)> g_hold{nullptr};
std::atomic<void (*)(const std::string&)> g_alloc{nullptr};
}  // namespace

void install_hooks(const Hooks& h) {
    g_hold.store(h.hold_point);
    g_alloc.store(h.allocation_fault);
}

void hold_point(const char* name) {
    if (auto f = g_hold.load()) f(name);
}

void allocation_fault(const std::string& key) {
    if (auto f = g_alloc.load()) f(key);
}

}  // namespace sim
