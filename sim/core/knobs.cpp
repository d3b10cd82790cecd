// Stand-in SDK: the table of the tuvo_sim knobs: names, defaults, ranges and what each does.
#include "core/knobs.h"

#include <algorithm>
#include <cmath>

namespace sim {

namespace {
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
}  // namespace

const KnobField kKnobFields[] = {
    {"noise.seed", 1, -kInf, kInf, "the captures' noise: the same seed set again repeats the same captures",
     &Knobs::noise_seed},
    {"noise.scale", 1, 0, 100, "multiplies all random noise (0 removes it)", &Knobs::noise_scale},
    {"sim.truth", 0, 0, 1, "1: the reported calibration is the true one; no systematic error or correlated noise",
     &Knobs::truth},
    {"sim.max_angle_deg", kNaN, 1, 89.9, "surfaces seen or lit more obliquely give no points (in place of the rig's)",
     &Knobs::max_angle_deg},
    {"render.threads", 0, 0, kInf, "threads a capture renders on (0 or more than the cores: all cores)",
     &Knobs::render_threads},
    {"timing.realistic", 0, 0, 1, "1: captures take their modelled time", &Knobs::timing_realistic},
    {"memory.available_mb", -1, -kInf, kInf, "the memory captures are checked against (negative: the machine's)",
     &Knobs::memory_available_mb},
    {"scene.move_x", 0, -1e6, 1e6, "moves the device along its x axis, mm", &Knobs::move_x},
    {"scene.move_y", 0, -1e6, 1e6, "moves the device along its y axis, mm", &Knobs::move_y},
    {"scene.move_z", 0, -1e6, 1e6, "moves the device along its z axis, mm", &Knobs::move_z},
    {"scene.turn_x", 0, -1e6, 1e6, "turns the device about its x axis, radians", &Knobs::turn_x},
    {"scene.turn_y", 0, -1e6, 1e6, "turns the device about its y axis, radians", &Knobs::turn_y},
    {"scene.board", 1, -kInf, kInf, "0 hides the marker board", &Knobs::board},
    {"cover.travel_ms", 400, 0, 3.6e6, "how long the protective cover takes to move", &Knobs::cover_travel_ms},
    {"cover.timeout_ms", 10000, 0, 3.6e6, "how long a blocking cover move waits", &Knobs::cover_timeout_ms},
    {"save.fail_after_bytes", -1, -kInf, kInf, "a save that rewrites a file in place fails after that many bytes",
     &Knobs::save_fail_after_bytes},
    {"scene.max_mesh_bytes", 268435456, -kInf, kInf, "read at SystemInit: the size limit of a mesh's files",
     &Knobs::max_mesh_bytes},
    {"scene.max_mesh_triangles", 4000000, -kInf, kInf, "read at SystemInit: triangles per mesh (a scene: twice that)",
     &Knobs::max_mesh_triangles},
    {"sim.warm_up_s", 0, 0, 1e7, "seconds added to the time each camera has been open (its warm-up and drift)",
     &Knobs::warm_up_s},
};
const std::size_t kKnobCount = sizeof kKnobFields / sizeof kKnobFields[0];

double Knobs::max_angle(double rig_deg) const {
    return std::clamp(std::isnan(max_angle_deg) ? rig_deg : max_angle_deg, 1.0, 89.9);
}

}  // namespace sim
