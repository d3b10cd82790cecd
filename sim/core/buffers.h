// Stand-in SDK: the plain buffers behind the SDK's image, point-map and per-pixel map handles, and
// the limits of their sizes and files.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "TUVO.h"
#include "core/unfilled.h"

namespace sim {

// The largest image or map the SDK makes: 16 M pixels (4096 x 4096).
constexpr long long kMaxPixels = 1LL << 24;
// The largest files the SDK reads: a PNG of that many RGBA pixels stored uncompressed, a point map
// (PLY) of that many points, a settings file.
constexpr std::size_t kMaxImageFileBytes = 4 * kMaxPixels + (1 << 20);
constexpr std::size_t kMaxPointFileBytes = std::size_t(1) << 30;
constexpr std::size_t kMaxSettingsBytes = 1 << 20;

struct ImageObj {
    TUVO::ImageType::Enum type = TUVO::ImageType::None;
    int width = 0, height = 0;
    Pixels storage;  // empty when looking at foreign memory
    std::uint8_t* data = nullptr;
    std::size_t bytes() const {
        return static_cast<std::size_t>(width) * height * TUVO::ImageType::GetPixelSize(type);
    }
};

struct PointMapObj {
    int width = 0, height = 0;
    Numbers points;               // owned points, 3 per pixel
    double* foreign = nullptr;    // caller's memory when created on it
    Numbers normals;              // empty when the map has no normals
    double* pts() { return foreign ? foreign : points.data(); }
    double* nrm() { return normals.empty() ? nullptr : normals.data(); }
    std::size_t count() const { return static_cast<std::size_t>(width) * height; }
};

// Depth, confidence and correspondence maps: `comps` doubles per pixel.
struct MapObj {
    int width = 0, height = 0, comps = 1;
    Numbers data;
};

}  // namespace sim
