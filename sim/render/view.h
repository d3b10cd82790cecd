// Stand-in SDK: a camera's rendered view of the scene.
#pragma once
#include <atomic>
#include <vector>

#include "world/scene.h"

namespace sim {

// A rendered view: hits per pixel, rows first.
struct View {
    int width = 0, height = 0;
    std::vector<Hit> hits;  // on the board near a marker, albedo averages 4x4 sub-pixel rays
};
// Renders into `v` (its memory reused from call to call); stops early, the rest left empty, once
// `cancel` reads true.
void render_view(const Scene& s, const CameraModel& cam, View& v, const std::atomic<bool>* cancel = nullptr);
// A view buffer of the calling thread (k = 0 or 1), kept for reuse: fresh ones cost page faults
// that serialise threads.
View& thread_view(int k);

}  // namespace sim
