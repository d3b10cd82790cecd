// Stand-in SDK: the 3-D measurement: what the device decodes at each pixel and the point it triangulates.
#pragma once
#include <atomic>

#include "core/knobs.h"
#include "render/optics.h"
#include "render/params.h"
#include "render/sensor.h"
#include "render/view.h"

namespace sim {

class ImageShader;

// Where a measurement writes, W x H of the measuring camera; null: not wanted.
struct MeasureOut {
    double* points = nullptr;        // 3 per pixel, output frame (every pixel written)
    double* normals = nullptr;       // 3 per pixel, output frame (every pixel written)
    double* depth = nullptr;         // z in the measuring camera's (reported) frame
    double* confidence = nullptr;
    double* correspond = nullptr;    // two-camera measurements: 2 per pixel, the match in the other camera
    std::uint16_t* phase = nullptr;  // decoded projector column, 1/32 pixel
    std::uint8_t* image = nullptr;   // the measuring camera's 2-D image, made in the same pass
    const ImageShader* shader = nullptr;
};

// One 3-D measurement through camera `index`. With `other` >= 0 the points come from matching the
// fringes' phase in that camera (two-camera devices), else from the camera and the projector.
struct MeasureJob {
    int index = 0, other = -1;
    Eigen::Matrix4d output = Eigen::Matrix4d::Identity();  // device frame -> output frame
    std::uint64_t key = 0;                                 // the capture's noise
    const Sensor* sensor = nullptr;                        // the sensor as the capture set it
};

// Device coordinates to output coordinates: the frame of the camera the options name (the left
// camera's, which is the device's, when they ask for the device frame), as the calibration reports
// it; with a custom transformation, its matrix applied to the chosen camera's or the calibration
// board's frame. `x2`: a two-camera handle; `cid`: an X1's camera.
Eigen::Matrix4d output_transform(const DeviceOptics& o, const Scene& s, bool x2, unsigned cid, const CaptureParams& p,
                                 const CustomTransform& t);

// Renders the true scene `s` through camera `index` of the optics, measures every pixel in the same pass and
// triangulates with the calibration the device reports. Rows run in parallel; each pixel's noise
// depends only on the key and the pixel. Once `cancel` reads true the rows not yet rendered are
// measured as if they saw nothing.
void measure(const Scene& s, const DeviceOptics& o, const CaptureParams& p, const Knobs& k, const MeasureJob& job,
             const MeasureOut& out, const std::atomic<bool>* cancel = nullptr);

}  // namespace sim
