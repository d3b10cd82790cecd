// Stand-in SDK: the 3-D measurement: what the device decodes at each pixel and the point it triangulates.
#pragma once
#include <atomic>
#include <cmath>

#include "core/knobs.h"
#include "render/optics.h"
#include "render/params.h"
#include "render/sensor.h"
#include "render/noise.h"
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
    double warm_c = 0;  // the device's temperature less the one it was calibrated at: the calibration drifts
};

// Device coordinates to output coordinates: the frame of the camera the options name (the left
// camera's, which is the device's, when they ask for the device frame), as the calibration reports
// it; with a custom transformation, its matrix applied to the chosen camera's or the calibration
// board's frame. `x2`: a two-camera handle; `cid`: an X1's camera.
Eigen::Matrix4d output_transform(const DeviceOptics& o, const Scene& s, bool x2, unsigned cid, const CaptureParams& p,
                                 const CustomTransform& t);

// Depth edges: a pixel is looked at closely (its footprint sampled by sub-pixel rays) where the
// true distance along the camera's rays bends or steps between neighbours, or meets nothing beside
// it. Marks pixels x0 .. x0 + n - 1 of row y of the W x H distances `t` (NaN: no hit); the first and
// last rows compare along the row only, the first and last columns across it only. The capture and
// the ray-casting floor both pick the pixels this way.
void edge_marks(const float* t, int W, int H, int y, int x0, int n, std::uint8_t* marked);
// The rays a marked pixel with a hit casts: its own ray again (the centre, `c`), then kRays rays
// over its footprint (a little over a pixel: the lens blurs), each jittered within its third, the
// same jitter in every capture; a footprint ray that meets another surface than the centre's, which
// faces the projector, casts a shadow ray towards it (as lighting_of does).
struct EdgeRays {
    static constexpr int kRays = 9;
    static constexpr double kFootprintPx = 1.5;
    explicit EdgeRays(const Knobs& k);
    // The offsets in pixels of pixel i's (row-major index) footprint rays from its centre.
    void offsets(std::size_t i, double dx[kRays], double dy[kRays]) const;
    // Whether a footprint ray's hit `q` lies on the centre hit `c`'s surface.
    static bool same(const Hit& c, const Hit& q) {
        return q.t >= 0 && q.object == c.object && std::abs(c.n.dot(q.p - c.p)) < 0.05;
    }
    PixelNoise noise;
};

// Whether a point (device frame) lies in camera m's view, and where: (u, v) in pixels.
bool in_view(const CameraModel& m, const Vec3& p, double* u, double* v);
// Two-camera devices: the ray from a lit pixel's point `p` towards the other camera, which must see
// it too. 0: it lies outside that camera's view; 1: in view with no ray to cast (the camera too close);
// 2: in view, with the ray o + t d, t in (1e-6, len) to cast (as occluded() casts it). The capture
// casts one for each lit pixel with a hit, and the ray-casting floor the same.
int other_camera_ray(const CameraModel& other, const Vec3& p, double* u, double* v, Vec3* o, Vec3* d, double* len);

// Renders the true scene `s` through camera `index` of the optics, measures every pixel in the same pass and
// triangulates with the calibration the device reports. Rows run in parallel; each pixel's noise
// depends only on the key and the pixel. Once `cancel` reads true the rows not yet rendered are
// measured as if they saw nothing.
void measure(const Scene& s, const DeviceOptics& o, const CaptureParams& p, const Knobs& k, const MeasureJob& job,
             const MeasureOut& out, const std::atomic<bool>* cancel = nullptr);

}  // namespace sim
