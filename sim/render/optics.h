// Stand-in SDK: a device's optics: its true cameras and projector, the calibration it reports and
// where it stands, made once per device and kept until what they were made from changes.
#pragma once
#include <string>

#include "TUVO.h"
#include "render/camera_model.h"

namespace sim {

// What the rig says of a device that its optics and the renderer need.
struct DeviceSpec {
    std::string sn;
    int width = 1280, height = 1024;
    double focal_px = 0;  // 0: derived from the field of view
    double baseline_mm = 120.0;
    int near_mm = 400, far_mm = 1200;
    bool color = false;  // the left and right cameras see colour (the extra camera always does)
    double max_angle_deg = 75;
    unsigned projector_colors = TUVO::ProjectorColor_Blue;
    TUVO::PortType port_type = TUVO::PortType_USB;
};

// Where the device stands: x_scene = R * x_device + t.
struct DevicePose {
    Mat3 R = Mat3::Identity();
    Vec3 t = Vec3::Zero();
};

struct DeviceOptics {
    DeviceSpec device;
    // Calibration as the device reports it: the cameras and the projector in the device's frame
    // (the left camera's). The true optics differ from it by a small residual (none in truth mode).
    CameraModel calib[3], projector_calib;
    // The true cameras and projector where the device stands, in the scene's frame.
    CameraModel models[3], projector_model;
    Vec3 projector = Vec3::Zero();  // projector_model's centre
    DevicePose pose;
};

// Camera index within a device's optics: 0 left, 1 right, 2 extra (-1 for no single camera).
inline int camera_index(unsigned cid) {
    switch (cid) {
        case TUVO::CameraID_Left: return 0;
        case TUVO::CameraID_Right: return 1;
        case TUVO::CameraID_Extra: return 2;
        default: return -1;
    }
}

// The optics of a device standing at `pose`. The lens distortion and the calibration residual are
// fixed per device (seeded by its serial number); in truth mode the reported calibration is the
// true one.
DeviceOptics make_optics(const DeviceSpec& d, bool truth, const DevicePose& pose);

}  // namespace sim
