// Stand-in SDK, playback: how a recorded frame becomes the result of a capture (the plan the entry
// points make of the capture's options, api/playback_plan.cpp).
#pragma once
#include <Eigen/Dense>

#include "TUVO.h"

namespace sim {
namespace replay {

// How a recorded frame becomes the result of a capture. Every other option must equal the
// recording's: a recording cannot show another exposure, gain, mode or filter.
struct Plan {
    bool images = true;     // replace the images (enable_2d_in_capture)
    bool normals = false;   // hand out normals (calc_normal)
    bool mask = false;      // clear everything outside `roi`
    TUVO::ROI roi{0, 0, 0, 0};
    bool keep_correspond = false;  // correspond2d: correspondences outside the ROI stay
    bool move = false;      // points into another frame by `T` (output frame or custom transformation)
    Eigen::Matrix4d T = Eigen::Matrix4d::Identity();
    bool truncate = false;  // clear points whose output z lies outside [zmin, zmax]
    double zmin = -9999, zmax = 9999;
};

}  // namespace replay
}  // namespace sim
