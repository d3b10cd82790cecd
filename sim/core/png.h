// Stand-in SDK: the PNG codec (libpng): images, depth maps and phase maps as PNG files.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "core/files.h"

namespace sim {

// PNG through libpng: 8-bit grey or RGB, or 16-bit grey.
bool encode_png(const std::uint8_t* data, int width, int height, int channels, int bit_depth,
                std::string* out, std::string* why);
bool decode_png(const std::string& bytes, std::vector<std::uint8_t>* pixels, int* width,
                int* height, int* channels, int* bit_depth, std::string* why);
// The same from a file, read only as far as the image needs.
bool decode_png(InFile& file, std::vector<std::uint8_t>* pixels, int* width, int* height, int* channels,
                int* bit_depth, std::string* why);

}  // namespace sim
