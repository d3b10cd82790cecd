// Stand-in SDK: the objects behind image, point-map and per-pixel map handles.
#pragma once
#include "control/core.h"
#include "core/files.h"

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
    std::vector<std::uint8_t> storage;  // empty when looking at foreign memory
    std::uint8_t* data = nullptr;
    std::size_t bytes() const {
        return static_cast<std::size_t>(width) * height * TUVO::ImageType::GetPixelSize(type);
    }
};

struct PointMapObj {
    int width = 0, height = 0;
    std::vector<double> points;   // owned points, 3 per pixel
    double* foreign = nullptr;    // caller's memory when created on it
    std::vector<double> normals;  // empty when the map has no normals
    double* pts() { return foreign ? foreign : points.data(); }
    double* nrm() { return normals.empty() ? nullptr : normals.data(); }
    std::size_t count() const { return static_cast<std::size_t>(width) * height; }
};

// Depth, confidence and correspondence maps: `comps` doubles per pixel.
struct MapObj {
    int width = 0, height = 0, comps = 1;
    std::vector<double> data;
};

Table<ImageObj>& images();
Table<PointMapObj>& pointmaps();
Table<MapObj>& maps();

// `held`, when given, receives the new object itself: writing through it stays safe while another
// thread destroys the handle or shuts the system down (a lookup afterwards may find nothing).
TUVO::Image new_image(TUVO::ImageType::Enum type, int width, int height, std::shared_ptr<ImageObj>* held = nullptr);
// A point map filled with NaN; `spare`, when it holds as many values, gives its memory to the points
// instead, unfilled, for a caller that writes every value (memory already in use costs no page
// faults, and a capture's 24 bytes per pixel are written once, not twice).
TUVO::PointMap new_pointmap(int width, int height, bool normals, std::vector<double>* spare = nullptr,
                            std::shared_ptr<PointMapObj>* held = nullptr);
std::pair<std::uint32_t, std::uint32_t> new_map(int width, int height, int comps);
// The map behind `slot`, kept while its size holds (so views taken earlier keep pointing at live
// memory, refreshed in place), else replaced by a new map of the right size.
std::shared_ptr<MapObj> map_for(std::pair<std::uint32_t, std::uint32_t>& slot, int w, int h, int comps);
// Puts `data` into the map behind `slot` (map_for).
void store_map(std::pair<std::uint32_t, std::uint32_t>& slot, int w, int h, int comps, const std::vector<double>& data);

// PNG through libpng: 8-bit grey or RGB, or 16-bit grey.
bool encode_png(const std::uint8_t* data, int width, int height, int channels, int bit_depth,
                std::string* out, std::string* why);
bool decode_png(const std::string& bytes, std::vector<std::uint8_t>* pixels, int* width,
                int* height, int* channels, int* bit_depth, std::string* why);
// The same from a file, read only as far as the image needs.
bool decode_png(InFile& file, std::vector<std::uint8_t>* pixels, int* width, int* height, int* channels,
                int* bit_depth, std::string* why);

}  // namespace sim
