// Stand-in SDK: point maps written as point-cloud files, PLY or PCD.
#pragma once
#include <cstdint>
#include <string>

#include "api/containers.h"

namespace sim {

enum class CloudFormat { Ply, Pcd };

// What a point-cloud file holds: the map's points (NaN where none was measured) times `scale`, in
// the grid of the map, with the colour of `image` (same size, or null for none) per point.
struct CloudData {
    const double* points = nullptr;
    int width = 0, height = 0;
    double scale = 1.0;
    const char* unit = "mm";
    const ImageObj* image = nullptr;
};

// The file's bytes, binary (little-endian) or text.
std::string encode_cloud(CloudFormat format, const CloudData& cloud, bool binary);

}  // namespace sim
