// Stand-in SDK: vectors whose new elements are left unset, for memory written whole before it is read.
#pragma once
#include <cstdint>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

namespace sim {

// An allocator whose vectors make new numbers without a fill: resize() leaves them unset, for
// memory that is written whole before it is read (a capture's outputs, a recorded frame read
// into its map, an image shaded or copied whole). assign() and a value given to the constructor
// still fill.
template <class T>
struct Unfilled : std::allocator<T> {
    template <class U>
    struct rebind {
        using other = Unfilled<U>;
    };
    Unfilled() = default;
    template <class U>
    Unfilled(const Unfilled<U>&) noexcept {}
    template <class U>
    void construct(U* p) noexcept(std::is_nothrow_default_constructible<U>::value) {
        ::new (static_cast<void*>(p)) U;
    }
    template <class U, class... A>
    void construct(U* p, A&&... a) {
        ::new (static_cast<void*>(p)) U(std::forward<A>(a)...);
    }
};

using Numbers = std::vector<double, Unfilled<double>>;
using Pixels = std::vector<std::uint8_t, Unfilled<std::uint8_t>>;

}  // namespace sim
