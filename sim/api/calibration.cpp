// Stand-in SDK: a camera's optics as it keeps them, made again only when what they depend on changes.
#include "api/calibration.h"

namespace sim {

DeviceSpec spec_of(const DeviceState& d) {
    DeviceSpec s;
    s.sn = d.sn;
    s.width = d.width;
    s.height = d.height;
    s.focal_px = d.focal_px;
    s.baseline_mm = d.baseline_mm;
    s.near_mm = d.near_mm;
    s.far_mm = d.far_mm;
    s.color = d.color;
    s.max_angle_deg = d.max_angle_deg;
    s.projector_colors = d.projector_colors;
    s.port_type = d.port_type;
    return s;
}

DevicePose pose_of(const Knobs& k) {
    // Moves within a kilometre (turns, in radians, within a million); a value not a number: none.
    DevicePose pose;
    pose.t = Vec3(k.move_x, k.move_y, k.move_z);
    pose.R = rot_y(k.turn_y) * rot_x(k.turn_x);
    return pose;
}

const DeviceOptics& optics_for(CameraState& c, const Knobs& k) {
    const OpticsInputs in{true, k.truth_mode(), {k.move_x, k.move_y, k.move_z, k.turn_x, k.turn_y}};
    if (!(in == c.optics_inputs)) {
        c.optics = make_optics(spec_of(*c.dev), in.truth, pose_of(k));
        c.optics_inputs = in;
    }
    return c.optics;
}

}  // namespace sim
