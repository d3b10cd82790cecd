// Stand-in SDK: working memory of large buffers, taken from the kernel and given straight back.
#pragma once
#include <cstddef>
#include <new>

namespace sim {

// Blocks of at least kMappedBytes are mapped and unmapped directly: freed through malloc, the C
// library would keep them for later (it raises its mapping threshold to the largest block freed,
// and keeps arenas of ended threads), so memory freed after a large call would stay resident.
constexpr std::size_t kMappedBytes = 1 << 20;
// Working buffers a thread keeps between calls are freed after a call that left them larger.
constexpr std::size_t kKeptScratchBytes = 64u << 20;

// Registers a function that frees what the calling thread keeps beyond kKeptScratchBytes; it runs
// on that thread whenever an SDK entry point returns (registered once per thread and function).
void trim_after_calls(void (*trim)());
// Runs the calling thread's trimmers (the end of an entry point calls it).
void trim_thread_scratch() noexcept;

// Throws std::bad_alloc when the memory cannot be had.
void* scratch_allocate(std::size_t bytes);
void scratch_free(void* p, std::size_t bytes) noexcept;

// A std::allocator for scratch vectors.
template <class T>
struct ScratchAllocator {
    using value_type = T;
    ScratchAllocator() = default;
    template <class U>
    ScratchAllocator(const ScratchAllocator<U>&) noexcept {}
    T* allocate(std::size_t n) {
        if (n > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_alloc();
        return static_cast<T*>(scratch_allocate(n * sizeof(T)));
    }
    void deallocate(T* p, std::size_t n) noexcept { scratch_free(p, n * sizeof(T)); }
    template <class U>
    bool operator==(const ScratchAllocator<U>&) const noexcept { return true; }
    template <class U>
    bool operator!=(const ScratchAllocator<U>&) const noexcept { return false; }
};

}  // namespace sim
