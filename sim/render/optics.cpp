// Stand-in SDK: a device's optics: its true cameras and projector, and the calibration it reports.
#include "render/optics.h"

#include <cmath>

#include "render/noise.h"

namespace sim {

namespace {

// Reproducible normal draws for one device: draw(k) is the k-th.
struct Draws {
    PixelNoise noise;
    explicit Draws(const std::string& sn) : noise(hash_text("calibration:" + sn)) {}
    double operator()(std::uint64_t k) const { return noise.normal(noise.bits(k), 0); }
};

// How far the calibration is from the truth (one standard deviation). Triangulation turns any
// error across the fringes into depth: at 880 mm with a 60 mm baseline one thousandth of a pixel is
// 8 um. A good factory calibration leaves a few thousandths of a pixel and a few micrometres, so
// the points land tens of micrometres from the truth.
constexpr double kFocalResidual = 5e-6;       // relative
constexpr double kCentreResidual = 0.003;     // pixels
constexpr double kDistortionResidual = 1e-3;  // relative to each coefficient
constexpr double kAngleResidual = 1e-6;       // radians, per axis (0.2 arc second)
constexpr double kShiftResidual = 0.002;      // mm, per axis

// The lens: a mild barrel distortion, about 0.8 % at the image corners whatever the field of view,
// a little different from camera to camera.
void set_lens(CameraModel& m, const Draws& draw, int k) {
    const double rx = m.width / 2.0 / m.fx, ry = m.height / 2.0 / m.fy;
    const double rc2 = rx * rx + ry * ry;
    m.dist[0] = (-0.012 + 0.002 * draw(k)) / rc2;
    m.dist[1] = (0.004 + 0.001 * draw(k + 1)) / (rc2 * rc2);
    m.dist[2] = 1.5e-4 + 1e-4 * draw(k + 2);
    m.dist[3] = -1.0e-4 + 1e-4 * draw(k + 3);
    m.dist[4] = 0;
    m.r2_limit = 4 * rc2;  // twice the corner's radius
}

// The true pose moved by a small rotation and shift.
void perturb_pose(CameraModel& m, const Draws& draw, int k) {
    const Vec3 w(draw(k), draw(k + 1), draw(k + 2));
    const Vec3 s(draw(k + 3), draw(k + 4), draw(k + 5));
    const double angle = w.norm() * kAngleResidual;
    if (angle > 0) m.R = Eigen::AngleAxisd(angle, w.normalized()).toRotationMatrix() * m.R;
    m.t += s * kShiftResidual;
}

void perturb_intrinsics(CameraModel& m, const Draws& draw, int k) {
    m.fx *= 1 + kFocalResidual * draw(k);
    m.fy *= 1 + kFocalResidual * draw(k + 1);
    m.cx += kCentreResidual * draw(k + 2);
    m.cy += kCentreResidual * draw(k + 3);
    for (int i = 0; i < 4; ++i) m.dist[i] *= 1 + kDistortionResidual * draw(k + 4 + i);
}

}  // namespace

DeviceOptics make_optics(const DeviceSpec& d, bool truth, const DevicePose& pose) {
    DeviceOptics c;
    c.device = d;
    const Draws draw(d.sn);
    const double z0 = d.near_mm + 0.6 * (d.far_mm - d.near_mm);
    const double focal = d.focal_px > 0 ? d.focal_px : 1.26 * d.width;
    for (int i = 0; i < 3; ++i) {
        CameraModel& m = c.models[i];
        m = CameraModel();
        m.width = d.width;
        m.height = d.height;
        m.fx = focal * (1.0 + 0.002 * i);
        m.fy = m.fx * 1.0004;
        m.cx = d.width / 2.0 - 0.5 + 3.7 - i;
        m.cy = d.height / 2.0 - 0.5 - 2.9 + i;
        m.colour = (i == 2) || d.color;
        set_lens(m, draw, 10 * i);
    }
    // Left and right cameras on either side of the projector, both turned towards the middle of
    // the working range; the colour camera beside the right one, below it.
    const double b = d.baseline_mm;
    const double toe = std::atan2(b / 2.0, z0);
    c.models[1].R = rot_y(-toe) * rot_x(0.004);
    c.models[1].t = Vec3(b, 0.8, -1.2);
    c.models[2].R = rot_y(-std::atan2(0.3 * b, z0)) * rot_x(0.05);
    c.models[2].t = Vec3(0.8 * b, -45.0, 4.0);
    // The projector: halfway between the cameras, its fringes vertical (it codes columns).
    CameraModel& p = c.projector_model;
    p = CameraModel();
    p.width = 1280;
    p.height = 800;
    p.fx = p.fy = 1.2 * p.width;
    p.cx = p.width / 2.0;
    p.cy = p.height / 2.0;
    p.t = Vec3(b / 2.0, 12.0, 0.0);
    for (int i = 0; i < 3; ++i) c.calib[i] = c.models[i];
    c.projector_calib = p;
    if (!truth) {
        // The calibration the device reports: the left camera defines the device's frame, so its
        // pose is exact; every lens and the other poses carry a small residual.
        for (int i = 0; i < 3; ++i) perturb_intrinsics(c.calib[i], draw, 100 + 20 * i);
        perturb_pose(c.calib[1], draw, 200);
        perturb_pose(c.calib[2], draw, 210);
        perturb_pose(c.projector_calib, draw, 220);
    }
    for (int i = 0; i < 3; ++i) {
        c.models[i].prepare_rays();
        c.calib[i].prepare_rays();
    }
    // Where the device stands (a moved device sees the scene from a shifted pose).
    c.pose = pose;
    for (CameraModel* m : {&c.models[0], &c.models[1], &c.models[2], &c.projector_model}) {
        m->R = pose.R * m->R;
        m->t = pose.R * m->t + pose.t;
    }
    c.projector = c.projector_model.t;
    return c;
}

}  // namespace sim
