// Stand-in SDK: objects and the device moving from capture to capture, and a scene placed for a capture.
#pragma once
#include <cstdint>
#include <memory>

#include "world/scene.h"

namespace sim {

// A fixed step per capture: after k captures a thing has turned by k * deg about `axis` through
// `centre`, then shifted by k * translate (all in the device's frame at rest).
struct MotionStep {
    Vec3 translate = Vec3::Zero();  // mm per capture
    double deg = 0;                 // degrees per capture
    Vec3 axis = Vec3::UnitZ();      // unit
    Vec3 centre = Vec3::Zero();     // mm
    bool moves() const { return deg != 0 || translate != Vec3::Zero(); }
    // The rigid transform x -> R x + t after k captures.
    void after(std::uint64_t k, Mat3* R, Vec3* t) const;
};

// Places the objects of `source` for a device with this working range at its capture `step`
// (the number of captures the device made before), with the marker board shown or hidden. Keeps
// the Embree scene already in `s` when nothing it depends on changed; materials and names are
// always reset from the source.
void place_scene(Scene& s, const std::shared_ptr<const SceneSource>& source, double near_mm, double far_mm,
                 std::uint64_t step, bool board);

}  // namespace sim
