// Stand-in SDK: image memory kept for reuse, so that a stream of same-sized images costs no new pages.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

namespace sim {

// `n` zeroed bytes, taken from memory given back for an image of that size when there is some.
std::vector<std::uint8_t> take_pixels(std::size_t n);
// Keeps `v` for a later take_pixels of its size (the eight most recent only).
void give_pixels(std::vector<std::uint8_t> v);

}  // namespace sim
