// Stand-in SDK: the capture pipeline: the sensor model, 3-D measurement, images and the line scan.
#include <algorithm>
#include <cmath>
#include <limits>

#include "render/capture.h"
#include "control/control.h"
#include "render/noise.h"

namespace sim {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// How strongly the projector's pattern comes back: 1 is a well exposed, unsaturated signal.
double signal(double albedo, double cos_in, int exposure, float gain_db, int brightness) {
    return albedo * cos_in * (exposure / 11.0) * std::pow(10.0, gain_db / 20.0) * (brightness / 240.0);
}

// Noise of one depth measurement, in mm, at distance z.
double depth_sigma(const CaptureParams& p, double z, double conf, int scans) {
    double s = 0.035 * (z / 600.0) * (z / 600.0);
    if (p.capture_mode & TUVO::CaptureMode_Fast) s *= 1.6;
    if (p.capture_mode & TUVO::CaptureMode_Ultra) s *= 0.6;
    static const double smooth[4] = {1.0, 0.8, 0.6, 0.45};
    s *= smooth[std::min(p.smoothness, 3u)];
    if (p.bilateral_kernel > 1) s *= 0.85;
    s /= std::sqrt(static_cast<double>(std::max(1, scans)));
    return s / (0.25 + 0.75 * conf);
}

struct Frame {
    std::vector<double> pts, normals, depth, conf;
    std::vector<std::uint16_t> phase;
};

// Points are given in a chosen camera's frame, then the custom transformation applies.
// The map from scene coordinates into a frame given by its pose (R, t) in the scene.
Eigen::Matrix4d into_frame(const Mat3& R, const Vec3& t) {
    Eigen::Matrix4d m = Eigen::Matrix4d::Identity();
    m.topLeftCorner<3, 3>() = R.transpose();
    m.topRightCorner<3, 1>() = -R.transpose() * t;
    return m;
}

// Scene coordinates to output coordinates: the frame of the camera the options name (the left
// camera's, which is the device's, when they ask for the device frame); with a custom
// transformation, its matrix applied to the chosen camera's or the calibration board's frame.
Eigen::Matrix4d output_transform(const CameraState& c, const CaptureParams& p, const CustomTransform& t) {
    if (t.select == 0) {
        const int idx = p.camera_frame ? std::max(0, camera_index(p.frame_camera)) : 0;
        return into_frame(c.models[idx].R, c.models[idx].t);
    }
    Eigen::Matrix4d user;
    for (int i = 0; i < 16; ++i) user(i / 4, i % 4) = t.m[i];
    const bool board = (!c.x2 && t.select == 2) || (c.x2 && t.select == 3);
    if (board) return user * into_frame(c.scene.board_R, c.scene.board_t);
    unsigned cam = c.cid;  // X1: its own camera
    if (c.x2) cam = t.select == 2 ? TUVO::CameraID_Right : t.select == 4 ? TUVO::CameraID_Extra : TUVO::CameraID_Left;
    const CameraModel& m = c.models[std::max(0, camera_index(cam))];
    return user * into_frame(m.R, m.t);
}

// The 3-D measurement seen from camera `index`, in the device frame; invalid points are NaN.
Frame measure(CameraState& c, int index, const CaptureParams& p, const View& v, std::uint64_t seed,
              const View* other, int other_index) {
    const CameraModel& cam = c.models[index];
    const int W = cam.width, H = cam.height;
    const std::size_t n = static_cast<std::size_t>(W) * H;
    Frame f;
    f.pts.assign(n * 3, kNaN);
    f.normals.assign(n * 3, kNaN);
    f.depth.assign(n, kNaN);
    f.conf.assign(n, 0.0);
    f.phase.assign(n, 0);
    Gauss gauss(seed);
    const DeviceState& d = *c.dev;
    // HDR picks, per pixel, the exposure of the schedule whose signal is best.
    const int steps = (p.hdr_times >= 2 && p.hdr_times <= 3) ? p.hdr_times : 0;
    std::vector<double> z_cam(n, kNaN);
    for (int y = 0; y < H; ++y) {
        for (int x = 0; x < W; ++x) {
            const std::size_t i = static_cast<std::size_t>(y) * W + x;
            const Hit& h = v.hits[i];
            const double noise = gauss.next();
            if (h.t < 0 || !in_roi(p.roi, x, y)) continue;
            const Vec3 to_proj = (c.projector - h.p).normalized();
            const double cos_in = h.n.dot(to_proj);
            if (cos_in <= 0.05 || occluded(c.scene, h.p, c.projector)) continue;  // in the projector's shadow
            // Both cameras must see a point to match it, unless completion fills it from one.
            if (other && !p.completion) {
                const CameraModel& oc = c.models[other_index];
                double u, vv;
                const Vec3 q = oc.from_device(h.p);
                if (!oc.project(q, &u, &vv) || u < 0 || vv < 0 || u > oc.width - 1 || vv > oc.height - 1) continue;
                if (occluded(c.scene, h.p, oc.t)) continue;
            }
            const double lum = h.albedo.dot(Vec3(0.299, 0.587, 0.114));
            double best_conf = -1;
            int scans = p.scan_times;
            const double sat = 1.8;
            auto consider = [&](double s, int sc) {
                if (s < 0.03 || s > sat) return;
                const double conf = std::clamp(s / 0.25, 0.0, 1.0) * std::clamp((sat - s) / 0.4, 0.0, 1.0) *
                                    (0.55 + 0.45 * cos_in);
                if (conf > best_conf) best_conf = conf, scans = sc;
            };
            if (steps) {
                for (int k = 0; k < steps; ++k)
                    consider(signal(lum, cos_in, p.hdr_exposure[k], p.hdr_gain[k], p.hdr_brightness[k]),
                             std::max(p.scan_times, p.hdr_scan[k]));
            } else {
                consider(signal(lum, cos_in, p.exposure_3d, p.gain_3d, p.brightness), p.scan_times);
            }
            if (best_conf <= 0 || best_conf < p.confidence_threshold) continue;
            const Vec3 pc = cam.from_device(h.p);
            if (pc.z() < d.near_mm * 0.85 || pc.z() > d.far_mm * 1.15) continue;  // out of the working range
            const double sigma = depth_sigma(p, pc.z(), best_conf, scans);
            const Vec3 measured = h.p + (h.p - cam.t).normalized() * (noise * sigma);
            f.pts[3 * i] = measured.x();
            f.pts[3 * i + 1] = measured.y();
            f.pts[3 * i + 2] = measured.z();
            f.normals[3 * i] = h.n.x();
            f.normals[3 * i + 1] = h.n.y();
            f.normals[3 * i + 2] = h.n.z();
            f.conf[i] = best_conf;
            z_cam[i] = cam.from_device(measured).z();
            // The projector column that lit this point, as the decoded pattern would give it.
            const Vec3 pj = h.p - c.projector;
            f.phase[i] = static_cast<std::uint16_t>(std::clamp(32768.0 + 40000.0 * pj.x() / pj.z(), 1.0, 65535.0));
        }
    }
    // Depth edges: mixed pixels there are removed with noise removal, or left as flying points.
    std::vector<char> edge(n, 0);
    for (int y = 1; y + 1 < H; ++y) {
        for (int x = 1; x + 1 < W; ++x) {
            const std::size_t i = static_cast<std::size_t>(y) * W + x;
            if (!(z_cam[i] == z_cam[i])) continue;
            for (std::size_t j : {i - 1, i + 1, i - W, i + W}) {
                if (z_cam[j] == z_cam[j] && std::abs(z_cam[j] - z_cam[i]) > std::max(8.0, 0.02 * z_cam[i])) edge[i] = 1;
            }
        }
    }
    for (std::size_t i = 0; i < n; ++i) {
        if (!edge[i]) continue;
        if (p.noise_removal) {
            f.pts[3 * i] = f.pts[3 * i + 1] = f.pts[3 * i + 2] = kNaN;
            f.normals[3 * i] = f.normals[3 * i + 1] = f.normals[3 * i + 2] = kNaN;
            f.conf[i] = 0;
            z_cam[i] = kNaN;
        } else {
            // A flying point halfway along the ray.
            for (int k = 0; k < 3; ++k) f.pts[3 * i + k] = cam.t[k] + (f.pts[3 * i + k] - cam.t[k]) * 0.97;
            f.conf[i] *= 0.3;
        }
    }
    for (std::size_t i = 0; i < n; ++i) f.depth[i] = z_cam[i];
    // The truncation window applies to the depth of the output frame.
    return f;
}

void apply_output(const Eigen::Matrix4d& T, const CaptureParams& p, Frame& f) {
    const std::size_t n = f.depth.size();
    const Mat3 R = T.topLeftCorner<3, 3>();
    const Vec3 t = T.topRightCorner<3, 1>();
    for (std::size_t i = 0; i < n; ++i) {
        if (!(f.pts[3 * i] == f.pts[3 * i])) continue;
        Vec3 q = R * Vec3(f.pts[3 * i], f.pts[3 * i + 1], f.pts[3 * i + 2]) + t;
        if (q.z() < p.zmin || q.z() > p.zmax) {
            for (int k = 0; k < 3; ++k) f.pts[3 * i + k] = f.normals[3 * i + k] = kNaN;
            f.depth[i] = kNaN;
            f.conf[i] = 0;
            continue;
        }
        Vec3 nn = R * Vec3(f.normals[3 * i], f.normals[3 * i + 1], f.normals[3 * i + 2]);
        for (int k = 0; k < 3; ++k) f.pts[3 * i + k] = q[k], f.normals[3 * i + k] = nn[k];
    }
}

}  // namespace

TUVO::Image render_image(CameraState& c, int index, const CaptureParams& p, const View& v, std::uint64_t seed) {
    const CameraModel& cam = c.models[index];
    const bool colour = cam.colour;
    TUVO::Image img = new_image(colour ? TUVO::ImageType::RGB8 : TUVO::ImageType::Mono8, cam.width, cam.height);
    auto obj = lookup(images(), img);
    Gauss noise(seed ^ 0x9e3779b97f4a7c15ull);
    const double scale = 190.0 * (p.exposure_2d / 11.0) * std::pow(10.0, p.gain_2d / 20.0);
    const double inv_gamma = 1.0 / std::max(0.05f, p.gamma_2d);
    const Vec3 tint(1.12, 1.0, 0.82);  // a warm light; white balance evens it out
    const Vec3 wb(c.balance[0], c.balance[1], c.balance[2]);
    const std::size_t n = static_cast<std::size_t>(cam.width) * cam.height;
    std::uint8_t* out = obj->data;
    for (std::size_t i = 0; i < n; ++i) {
        const Hit& h = v.hits[i];
        Vec3 rgb = Vec3::Zero();
        if (h.t > 0) {
            double light = 0.35;
            if (p.use_projector_2d) {
                const Vec3 to_proj = (c.projector - h.p).normalized();
                const double cos_in = std::max(0.0, h.n.dot(to_proj));
                light += 0.65 * cos_in * (p.brightness / 240.0);
            }
            rgb = h.albedo.cwiseProduct(tint).cwiseProduct(colour ? wb : Vec3(1, 1, 1)) * (light * scale);
        }
        auto encode = [&](double value) {
            double vv = std::clamp(value + 0.8 * noise.next(), 0.0, 255.0);
            if (inv_gamma != 1.0) vv = 255.0 * std::pow(vv / 255.0, inv_gamma);
            return static_cast<std::uint8_t>(std::clamp(vv, 0.0, 255.0) + 0.5);
        };
        if (colour) {
            out[3 * i] = encode(rgb.x());
            out[3 * i + 1] = encode(rgb.y());
            out[3 * i + 2] = encode(rgb.z());
        } else {
            out[i] = encode(rgb.dot(Vec3(0.299, 0.587, 0.114)));
        }
    }
    return img;
}

namespace {

void set_image(CameraState& c, int index, TUVO::Image img) {
    if (!c.image_given[index]) TUVO::Image::Destroy(c.images[index], true);
    c.images[index] = img;
    c.image_given[index] = false;
}

std::uint64_t next_seed(CameraState& c) {
    std::lock_guard<std::mutex> lock(c.dev->m);
    const std::uint64_t base = static_cast<std::uint64_t>(param("noise.seed", 1.0));
    return base * 0x100000001b3ull + (++c.dev->captures) * 0x9e3779b97f4a7c15ull;
}

}  // namespace

bool valid_2d(const CaptureParams& p, Call& call) {
    if (p.exposure_2d < 3 || p.exposure_2d > 100) {
        call.fail(TUVO::Error_InvalidArgument, "exposure_time_2d must be 3..100");
        return false;
    }
    if (!(p.gain_2d >= 0 && p.gain_2d <= 20) || !(p.gamma_2d >= 0.5f && p.gamma_2d <= 3.0f) || p.brightness < 1 ||
        p.brightness > 255) {
        call.fail(TUVO::Error_InvalidArgument, "gain_2d must be 0..20, gamma_2d 0.5..3 and projector_brightness 1..255");
        return false;
    }
    return true;
}

bool valid_3d(const CaptureParams& p, Call& call) {
    if (p.exposure_3d < 3 || p.exposure_3d > 100 || p.brightness < 1 || p.brightness > 255 || p.scan_times < 1 ||
        p.scan_times > 8) {
        call.fail(TUVO::Error_InvalidArgument, "exposure_time_3d must be 3..100, projector_brightness 1..255 and "
                                               "scan_times 1..8");
        return false;
    }
    if (!(p.gain_3d >= 0 && p.gain_3d <= 20) || !(p.gamma_3d >= 0.5f && p.gamma_3d <= 3.0f)) {
        call.fail(TUVO::Error_InvalidArgument, "gain_3d must be 0..20 and gamma_3d 0.5..3");
        return false;
    }
    if (p.hdr_times < 0 || p.hdr_times > 3) {
        call.fail(TUVO::Error_InvalidArgument, "hdr_exposure_times must be 0..3");
        return false;
    }
    for (int k = 0; k < p.hdr_times; ++k) {
        if (p.hdr_exposure[k] < 3 || p.hdr_exposure[k] > 100 || !(p.hdr_gain[k] >= 0 && p.hdr_gain[k] <= 20) ||
            p.hdr_brightness[k] < 1 || p.hdr_brightness[k] > 255 || p.hdr_scan[k] < 1 || p.hdr_scan[k] > 8) {
            call.fail(TUVO::Error_InvalidArgument, "HDR step " + std::to_string(k) + " is out of range");
            return false;
        }
    }
    if (std::isnan(p.confidence_threshold) || std::isnan(p.zmin) || std::isnan(p.zmax)) {
        call.fail(TUVO::Error_InvalidArgument, "confidence_threshold and the truncation limits must be numbers");
        return false;
    }
    return true;
}

bool capture_3d(CameraState& c, const CaptureParams& p, Call& call) {
    const DeviceState& d = *c.dev;
    if (!valid_3d(p, call) || (p.enable_2d && !valid_2d(p, call))) return false;
    if ((p.capture_mode & d.capture_modes) != p.capture_mode || p.capture_mode == 0) {
        call.fail(TUVO::Error_NotSupported, "capture mode " + std::to_string(p.capture_mode) + " is not supported by this device");
        return false;
    }
    if (!fits_roi(c, call, p.roi)) return false;
    setup_camera(c);  // the scene and the device's pose as they are now
    const std::uint64_t seed = next_seed(c);
    const int index = c.x2 ? 0 : camera_index(c.cid);
    View& v = thread_view(0);
    render_view(c.scene, c.models[index], v);
    View& other = thread_view(1);
    if (c.x2) render_view(c.scene, c.models[1], other);
    Frame f = measure(c, index, p, v, seed, c.x2 ? &other : nullptr, 1);
    const CameraModel& cam = c.models[index];
    const int W = cam.width, H = cam.height;
    // Correspondences (X2): where the left pixel's point falls in the right image.
    std::vector<double> corr;
    if (c.x2) {
        corr.assign(static_cast<std::size_t>(W) * H * 2, kNaN);
        const CameraModel& rc = c.models[1];
        for (std::size_t i = 0; i < f.depth.size(); ++i) {
            const Hit& h = v.hits[i];
            const bool has3d = f.pts[3 * i] == f.pts[3 * i];
            if (!has3d && !(p.correspond2d && h.t > 0)) continue;
            const Vec3 q = rc.from_device(h.p);
            double u, vv;
            if (!rc.project(q, &u, &vv) || u < 0 || vv < 0 || u > rc.width - 1 || vv > rc.height - 1) continue;
            if (occluded(c.scene, h.p, rc.t)) continue;
            corr[2 * i] = u;
            corr[2 * i + 1] = vv;
        }
    }
    apply_output(output_transform(c, p, c.transform), p, f);
    auto obj = std::make_shared<PointMapObj>();
    obj->width = W;
    obj->height = H;
    obj->points = std::move(f.pts);
    if (p.calc_normal) obj->normals = std::move(f.normals);
    const TUVO::PointMap pm = make_handle<TUVO::PointMap>(pointmaps().add(obj));
    if (!c.points_given) TUVO::PointMap::Destroy(c.points, true);
    c.points = pm;
    c.points_given = false;
    store_map(c.depth, W, H, 1, f.depth);
    store_map(c.confidence, W, H, 1, f.conf);
    if (c.x2) store_map(c.correspond, W, H, 2, corr);
    c.phase = std::move(f.phase);
    c.phase_w = W;
    c.phase_h = H;
    if (p.enable_2d) {
        set_image(c, index, render_image(c, index, p, v, seed));
        if (c.x2) set_image(c, 1, render_image(c, 1, p, other, seed + 1));
    }
    return true;
}

bool capture_2d(CameraState& c, int index, const CaptureParams& p, Call& call) {
    if (!valid_2d(p, call)) return false;
    setup_camera(c);
    const std::uint64_t seed = next_seed(c);
    View& v = thread_view(0);
    render_view(c.scene, c.models[index], v);
    set_image(c, index, render_image(c, index, p, v, seed));
    return true;
}

TUVO::PointMap render_line_scan(CameraState& c, const CaptureParams& p, const CustomTransform& t, std::uint64_t seed) {
    // One sweep of the laser line over the scene, measured from the left camera and matched in the
    // right one.
    View& left = thread_view(0);
    View& right = thread_view(1);
    render_view(c.scene, c.models[0], left, &c.scan_cancel);
    render_view(c.scene, c.models[1], right, &c.scan_cancel);
    CaptureParams q = p;
    q.brightness = 240;
    q.exposure_3d = 11;
    q.hdr_times = 0;
    Frame f = measure(c, 0, q, left, seed, &right, 1);
    const int W = c.models[0].width, H = c.models[0].height;
    apply_output(output_transform(c, q, t), q, f);
    allocation_fault("scan.fail_alloc");
    TUVO::PointMap pm = new_pointmap(W, H, false);
    lookup(pointmaps(), pm)->points = std::move(f.pts);
    return pm;
}

}  // namespace sim
