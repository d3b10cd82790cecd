// Stand-in SDK: image memory kept for reuse, so that a stream of same-sized images costs no new pages.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/unfilled.h"

namespace sim {

// `n` bytes, taken from memory given back for an image of that size when there is some: zeroed,
// or (`zeroed` false, for a caller that writes every byte) left as they are.
Pixels take_pixels(std::size_t n, bool zeroed = true);
// Keeps `v` for a later take_pixels of its size (the eight most recent only).
void give_pixels(Pixels v);

}  // namespace sim
