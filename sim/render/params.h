// Stand-in SDK: the settings of one capture as the renderer takes them, whichever device's option
// record they came from, and their range checks.
#pragma once
#include "TUVO.h"
#include "core/report.h"

namespace sim {

// Capture settings common to both option records.
struct CaptureParams {
    bool calc_normal = false;
    int exposure_2d = 11, exposure_3d = 11, brightness = 240;
    float gain_2d = 0, gain_3d = 0, gamma_2d = 1, gamma_3d = 1;
    int hdr_times = 0;
    int hdr_exposure[3] = {11, 20, 50};
    float hdr_gain[3] = {0, 0, 0};
    int hdr_scan[3] = {1, 1, 1};
    int hdr_brightness[3] = {240, 240, 240};
    bool use_projector_2d = true, enable_2d = true, noise_removal = true;
    unsigned smoothness = 0, capture_mode = TUVO::CaptureMode_Normal;
    double confidence_threshold = 0, zmin = -9999, zmax = 9999;
    int contrast_threshold = 3;  // grey levels of fringe swing a pixel needs to decode
    unsigned projector_color = 0;  // ProjectorColor of the fringes; 0: the device's own
    TUVO::ROI roi{0, 0, 0, 0};
    int scan_times = 1, bilateral_kernel = 0;
    unsigned frame_camera = TUVO::CameraID_Left;  // CameraID whose frame the points are given in
    bool camera_frame = true;                      // X1: false gives the device (left camera) frame
    bool correspond2d = false, completion = false;
};

// The custom transformation a camera applies to its points.
struct CustomTransform {
    unsigned select = 0;  // 0 disabled, else a CoordinateSelect value
    double m[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
};

// Range checks of the settings a 2-D or 3-D capture uses (the failure reported when they fail).
bool valid_2d(const CaptureParams& p, Report& report);
bool valid_3d(const CaptureParams& p, Report& report);

}  // namespace sim
