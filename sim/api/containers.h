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
// A black image; `written`: the caller writes every byte, which are left unset.
TUVO::Image new_image(TUVO::ImageType::Enum type, int width, int height, std::shared_ptr<ImageObj>* held = nullptr,
                      bool written = false);
// A point map filled with NaN. `written`: the caller writes every value before anything reads
// them, so the values are left unset (no fill that the caller's writes would undo); `spare`, when
// it holds as many values, gives its memory to the points instead, unfilled, for such a caller
// (memory already in use costs no page faults, and a capture's 24 bytes per pixel are written once,
// not twice).
TUVO::PointMap new_pointmap(int width, int height, bool normals, Numbers* spare = nullptr,
                            std::shared_ptr<PointMapObj>* held = nullptr, bool written = false);
// A map filled with NaN, or with `written` left unset for a caller that writes every value.
std::pair<std::uint32_t, std::uint32_t> new_map(int width, int height, int comps, bool written = false);
// The map behind `slot`, kept while its size holds (so views taken earlier keep pointing at live
// memory, refreshed in place), else replaced by a new map of the right size (made as new_map).
std::shared_ptr<MapObj> map_for(std::pair<std::uint32_t, std::uint32_t>& slot, int w, int h, int comps,
                                bool written = false);

}  // namespace sim
