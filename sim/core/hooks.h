// Stand-in SDK: the points inside the work where tests can step in. The control interface installs
// what they do; with nothing installed they do nothing, so the layers below it need not know it.
#pragma once
#include <string>

namespace sim {

// A point inside an operation where a test can hold it: tuvo_sim_delay, tuvo_sim_block and
// tuvo_sim_wait_entered apply to `name` as to an operation's name (it counts as entered while held).
void hold_point(const char* name);

// Throws std::bad_alloc, once, when the test set `key` to a non-zero value: memory running out at
// that point of the work.
void allocation_fault(const std::string& key);

struct Hooks {
    void (*hold_point)(const char* name) = nullptr;
    void (*allocation_fault)(const std::string& key) = nullptr;
};
// Installs the hooks (once, before any call runs).
void install_hooks(const Hooks& h);

}  // namespace sim
