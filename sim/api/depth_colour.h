// Stand-in SDK: a depth map as a picture: grey levels of millimetres, or a colour scale from near to far.
#pragma once
#include <string>

#include "core/buffers.h"

namespace sim {

// Encodes depth map `m` as PNG: 16-bit grey, a millimetre a level (0 where there is no depth), or
// with `coloured` 8-bit RGB running from red at the nearest depth to blue at the farthest (black
// where there is none).
bool encode_depth_png(const MapObj& m, bool coloured, std::string* png, std::string* why);

}  // namespace sim
