// Stand-in SDK: point maps as point-cloud files, PLY or PCD, read and written.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

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

// The points of a PLY or PCD file, in `unit`, and the grid they were saved in (else one row). Only
// the header and the records it announces are read; `why` gives the reason on failure.
bool parse_ply(InFile& file, TUVO::PointMapUnit::Enum unit, Numbers* pts, int* width, int* height,
               std::string* why);
bool parse_pcd(InFile& file, TUVO::PointMapUnit::Enum unit, Numbers* pts, int* width, int* height,
               std::string* why);

}  // namespace sim
