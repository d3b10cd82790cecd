// Stand-in SDK: the tables of the objects behind image, point-map and per-pixel map handles.
#pragma once
#include "control/core.h"
#include "core/buffers.h"
#include "core/files.h"
#include "core/handles.h"
#include "core/png.h"

namespace sim {

// Whether an image or point map of this size can be made.
bool usable_size(TUVO::Size s);

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

}  // namespace sim
