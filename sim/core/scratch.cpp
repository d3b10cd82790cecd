// Stand-in SDK: large working buffers mapped straight from the kernel.
#include "core/scratch.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstdlib>
#include <vector>

namespace sim {

namespace {

thread_local std::vector<void (*)()> t_trimmers;

}  // namespace

void trim_after_calls(void (*trim)()) {
    if (std::find(t_trimmers.begin(), t_trimmers.end(), trim) == t_trimmers.end()) t_trimmers.push_back(trim);
}

void trim_thread_scratch() noexcept {
    for (auto* trim : t_trimmers) trim();
}

void* scratch_allocate(std::size_t bytes) {
    if (bytes < kMappedBytes) {
        if (void* p = std::malloc(bytes ? bytes : 1)) return p;
        throw std::bad_alloc();
    }
    void* p = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) throw std::bad_alloc();
    return p;
}

void scratch_free(void* p, std::size_t bytes) noexcept {
    if (!p) return;
    if (bytes < kMappedBytes) std::free(p);
    else ::munmap(p, bytes);
}

}  // namespace sim
