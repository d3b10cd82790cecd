// Stand-in SDK: the camera pipeline shared by X1 and X2 (rendering, results, cover, ROI, settings).
#include "camera.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <random>
#include <sstream>

#include "control.h"

namespace sim {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Seeded, reproducible standard normal samples: a fixed table of quantiles picked by a fast
// generator (splitmix64), so noise costs a few instructions per pixel.
class Gauss {
public:
    explicit Gauss(std::uint64_t seed) : state_(seed) {}
    double next() {
        std::uint64_t z = (state_ += 0x9e3779b97f4a7c15ull);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
        z ^= z >> 31;
        return table()[z & (kSize - 1)];
    }

private:
    static constexpr std::size_t kSize = 1 << 16;
    static const std::vector<double>& table() {
        static const std::vector<double> t = [] {
            std::vector<double> v(kSize);
            std::mt19937_64 rng(12345);
            std::normal_distribution<double> g(0.0, 1.0);
            for (double& x : v) x = g(rng);
            return v;
        }();
        return t;
    }
    std::uint64_t state_;
};

double now_s() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

Mat3 rot_y(double a) {
    Mat3 r;
    r << std::cos(a), 0, std::sin(a), 0, 1, 0, -std::sin(a), 0, std::cos(a);
    return r;
}
Mat3 rot_x(double a) {
    Mat3 r;
    r << 1, 0, 0, 0, std::cos(a), -std::sin(a), 0, std::sin(a), std::cos(a);
    return r;
}

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

}  // namespace

Table<CameraState>& cameras() {
    static Table<CameraState> t;
    return t;
}

int camera_index(unsigned cid) {
    switch (cid) {
        case TUVO::CameraID_Left: return 0;
        case TUVO::CameraID_Right: return 1;
        case TUVO::CameraID_Extra: return 2;
        default: return -1;
    }
}

const char* camera_name(unsigned cid) {
    switch (cid) {
        case TUVO::CameraID_Left: return "left";
        case TUVO::CameraID_Right: return "right";
        case TUVO::CameraID_Extra: return "extra";
        default: return "unknown";
    }
}

void setup_camera(CameraState& c) {
    const DeviceState& d = *c.dev;
    c.scene = Scene::make(d.near_mm, d.far_mm);
    c.scene.with_board = param("scene.board", 1.0) != 0.0;
    const double z0 = d.near_mm + 0.6 * (d.far_mm - d.near_mm);
    for (int i = 0; i < 3; ++i) {
        CameraModel& m = c.models[i];
        m.width = d.width;
        m.height = d.height;
        m.fx = 1.26 * d.width * (1.0 + 0.002 * i);
        m.fy = m.fx * 1.0004;
        m.cx = d.width / 2.0 - 0.5 + 3.7 - i;
        m.cy = d.height / 2.0 - 0.5 - 2.9 + i;
        m.colour = (i == 2) || d.color;
    }
    c.models[0].R = Mat3::Identity();
    c.models[0].t = Vec3::Zero();
    const double toe = std::atan2(d.baseline_mm / 2.0, z0);
    c.models[1].R = rot_y(-toe) * rot_x(0.004);
    c.models[1].t = Vec3(d.baseline_mm, 0.8, -1.2);
    c.models[2].R = rot_y(-toe / 2) * rot_x(0.05);
    c.models[2].t = Vec3(d.baseline_mm / 2.0, -45.0, 4.0);
    c.projector = Vec3(d.baseline_mm / 2.0, 12.0, 0.0);
    for (int i = 0; i < 3; ++i) c.calib[i] = c.models[i];
    // A moved device sees the scene from a shifted pose (tests move it through scene.move_*).
    const Vec3 shift(param("scene.move_x", 0), param("scene.move_y", 0), param("scene.move_z", 0));
    const Mat3 turn = rot_y(param("scene.turn_y", 0)) * rot_x(param("scene.turn_x", 0));
    for (auto& m : c.models) {
        m.R = turn * m.R;
        m.t = turn * m.t + shift;
    }
    c.projector = turn * c.projector + shift;
}

std::shared_ptr<CameraState> camera_of(std::uint32_t slot, std::uint32_t gen, Call& call, bool need_open) {
    auto c = cameras().get(slot, gen);
    if (!c) {
        call.fail(TUVO::Error_InvalidHandle, "invalid or destroyed camera handle");
        return nullptr;
    }
    if (need_open && !c->open) {
        call.fail(TUVO::Error_NotOpen, "the camera is not open");
        return nullptr;
    }
    return c;
}

Locked lock_camera(std::uint32_t slot, std::uint32_t gen, Call& call, bool need_open) {
    Locked l;
    if (call.failed()) return l;
    auto c = camera_of(slot, gen, call, false);
    if (!c) return l;
    l.lock = std::unique_lock<std::mutex>(c->m);
    if (need_open && !c->open) {
        call.fail(TUVO::Error_NotOpen, "the camera is not open");
        return l;
    }
    l.cam = std::move(c);
    return l;
}

void record_transform(Call& call, const double* m) {
    static const char* names[16] = {"t0", "t1", "t2",  "t3",  "t4",  "t5",  "t6",  "t7",
                                    "t8", "t9", "t10", "t11", "t12", "t13", "t14", "t15"};
    for (int i = 0; i < 16; ++i) call.arg(names[i], m[i]);
}

bool connected(CameraState& c, Call& call) {
    if (param("device." + c.dev->sn + ".connected", 1.0) == 0.0) {
        call.fail(TUVO::Error_Failed, "the device is not connected");
        return false;
    }
    return true;
}

void pose_matrix(const CameraModel& m, float* out) {
    for (int r = 0; r < 3; ++r) {
        for (int k = 0; k < 3; ++k) out[4 * r + k] = static_cast<float>(m.R(r, k));
        out[4 * r + 3] = static_cast<float>(m.t[r]);
    }
    out[12] = out[13] = out[14] = 0.0f;
    out[15] = 1.0f;
}

void intrinsics(const CameraModel& m, float* k, float* d) {
    const float K[9] = {static_cast<float>(m.fx), 0, static_cast<float>(m.cx), 0, static_cast<float>(m.fy),
                        static_cast<float>(m.cy), 0, 0, 1};
    std::copy(K, K + 9, k);
    std::fill(d, d + 5, 0.0f);
}

bool fits_roi(CameraState& c, Call& call, const TUVO::ROI& roi) {
    if (check_roi(c, roi)) return true;
    call.fail(TUVO::Error_InvalidArgument, "the ROI does not fit the camera's ROI range");
    return false;
}

bool cover_ready(CameraState& c, Call& call) {
    if (!c.dev->cover) return true;
    std::lock_guard<std::mutex> lock(c.dev->m);
    auto st = cover_status(*c.dev);
    if (st != TUVO::ProtectiveCoverStatus_Open) {
        call.fail(TUVO::Error_Busy, "the protective cover is not open");
        return false;
    }
    return true;
}

TUVO::ProtectiveCoverStatus cover_status(DeviceState& d) {
    if (d.cover_from == d.cover_to) return d.cover_to;
    const double travel = param("cover.travel_ms", 400.0) / 1000.0;
    if (now_s() - d.cover_since >= travel) {
        d.cover_from = d.cover_to;
        return d.cover_to;
    }
    return d.cover_to == TUVO::ProtectiveCoverStatus_Open ? TUVO::ProtectiveCoverStatus_Opening
                                                          : TUVO::ProtectiveCoverStatus_Closing;
}

bool move_cover(CameraState& c, bool open, bool wait, Call& call) {
    if (!c.dev->cover) {
        call.fail(TUVO::Error_NotSupported, "the device has no protective cover");
        return false;
    }
    const auto target = open ? TUVO::ProtectiveCoverStatus_Open : TUVO::ProtectiveCoverStatus_Closed;
    {
        std::lock_guard<std::mutex> lock(c.dev->m);
        auto now = cover_status(*c.dev);
        if (now == target) return true;
        if (c.dev->cover_to != target) {
            c.dev->cover_from = c.dev->cover_to == TUVO::ProtectiveCoverStatus_Open ? TUVO::ProtectiveCoverStatus_Open
                                                                                      : TUVO::ProtectiveCoverStatus_Closed;
            c.dev->cover_to = target;
            c.dev->cover_since = now_s();
        }
    }
    if (!wait) return true;
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(c.dev->m);
            if (cover_status(*c.dev) == target) return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

bool reset_cover(CameraState& c, Call& call) {
    if (!c.dev->cover) {
        call.fail(TUVO::Error_NotSupported, "the device has no protective cover");
        return false;
    }
    std::lock_guard<std::mutex> lock(c.dev->m);
    c.dev->cover_from = c.dev->cover_to = TUVO::ProtectiveCoverStatus_Closed;
    return true;
}

float temperature(const CameraState& c, int sensor) {
    // Warms up after opening towards a steady value, with a slow ripple.
    const double t = std::chrono::duration<double>(std::chrono::steady_clock::now() - c.opened_at).count();
    static const double base[7] = {38.0, 45.0, 52.0, 41.0, 36.0, 39.0, 47.0};  // selectors 0-5, projector 6
    const double b = base[std::clamp(sensor, 0, 6)];
    return static_cast<float>(b + 4.0 * (1.0 - std::exp(-t / 900.0)) + 0.15 * std::sin(t / 45.0));
}

TUVO::ROIRange roi_range(const CameraState& c) {
    const CameraModel& m = c.models[0];
    return TUVO::ROIRange{16, 2, 16, 2, 64, 64, m.width - m.width % 16, m.height - m.height % 2};
}

bool check_roi(const CameraState& c, const TUVO::ROI& r) {
    if (r.x == 0 && r.y == 0 && r.width == 0 && r.height == 0) return true;  // the whole image
    const TUVO::ROIRange g = roi_range(c);
    const CameraModel& m = c.models[0];
    return r.x >= 0 && r.y >= 0 && r.x % g.x_step == 0 && r.y % g.y_step == 0 && r.width % g.width_step == 0 &&
           r.height % g.height_step == 0 && r.width >= g.width_min && r.height >= g.height_min &&
           r.width <= g.width_max && r.height <= g.height_max && static_cast<long long>(r.x) + r.width <= m.width &&
           static_cast<long long>(r.y) + r.height <= m.height;
}

TUVO::ROI adjust_roi(const CameraState& c, TUVO::ROI r) {
    const TUVO::ROIRange g = roi_range(c);
    const CameraModel& m = c.models[0];
    auto clampi = [](long long v, long long lo, long long hi) { return static_cast<int>(std::max(lo, std::min(v, hi))); };
    int w = clampi((static_cast<long long>(r.width) + g.width_step - 1) / g.width_step * g.width_step, g.width_min, g.width_max);
    int h = clampi((static_cast<long long>(r.height) + g.height_step - 1) / g.height_step * g.height_step, g.height_min,
                   g.height_max);
    int x = clampi(r.x, 0, m.width - w);
    int y = clampi(r.y, 0, m.height - h);
    x -= x % g.x_step;
    y -= y % g.y_step;
    return TUVO::ROI{x, y, w, h};
}

// ---- capture ----

namespace {

struct Frame {
    std::vector<double> pts, normals, depth, conf;
    std::vector<std::uint16_t> phase;
};

bool in_roi(const TUVO::ROI& r, int x, int y) {
    if (r.width <= 0 || r.height <= 0) return true;
    return x >= r.x && x < r.x + r.width && y >= r.y && y < r.y + r.height;
}

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

void store_map(std::pair<std::uint32_t, std::uint32_t>& slot, int w, int h, int comps, const std::vector<double>& data) {
    // The SDK keeps one map of each kind per camera and refreshes it in place while its size holds,
    // so views taken earlier keep pointing at live memory.
    auto m = maps().get(slot.first, slot.second);
    if (!m || m->width != w || m->height != h || m->comps != comps) {
        if (m) maps().remove(slot.first, slot.second);
        slot = new_map(w, h, comps);
        m = maps().get(slot.first, slot.second);
    }
    std::copy(data.begin(), data.end(), m->data.begin());
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

void release_results(CameraState& c) {
    for (int i = 0; i < 3; ++i) {
        if (!c.image_given[i]) TUVO::Image::Destroy(c.images[i], true);
        c.images[i] = TUVO::Image();
        c.image_given[i] = false;
    }
    if (!c.points_given) TUVO::PointMap::Destroy(c.points, true);
    c.points = TUVO::PointMap();
    c.points_given = false;
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
    TUVO::PointMap pm = new_pointmap(W, H, false);
    lookup(pointmaps(), pm)->points = std::move(f.pts);
    return pm;
}

TUVO::Image take_image(CameraState& c, int index) {
    c.image_given[index] = true;
    return c.images[index];
}

TUVO::PointMap take_points(CameraState& c) {
    c.points_given = true;
    return c.points;
}

void stop_scanner(CameraState& c) {
    {
        std::lock_guard<std::mutex> lock(c.scan_m);
        if (!c.scanning) return;
        c.scan_stop = true;
        c.scan_cancel = true;  // the sweep under way ends at its next row
    }
    c.scan_cv.notify_all();
    if (c.scanner.joinable()) c.scanner.join();
    std::lock_guard<std::mutex> lock(c.scan_m);
    c.scanning = false;
    TUVO::PointMap::Destroy(c.scan_latest, true);
    c.scan_latest = TUVO::PointMap();
}

void close_camera(CameraState& c) {
    stop_scanner(c);
    if (!c.open) return;
    {
        std::lock_guard<std::mutex> lock(c.dev->m);
        c.dev->open_cameras &= ~c.cid;
    }
    c.open = false;
}

// ---- automatic settings ----

void auto_exposure(CameraState& c, const TUVO::ROI& roi, int* exposure_3d, int* exposure_2d, int hdr[3]) {
    // Look at the scene through a coarse grid and pick exposures that put its bright parts near
    // the top of the usable signal and its dark parts above the noise.
    const CameraModel& cam = c.models[c.x2 ? 0 : std::max(0, camera_index(c.cid))];
    std::vector<double> levels;
    for (int y = 4; y < cam.height; y += 8) {
        for (int x = 4; x < cam.width; x += 8) {
            if (!in_roi(roi, x, y)) continue;
            Hit h = cast(c.scene, cam.t, cam.R * cam.ray(x, y));
            if (h.t < 0) continue;
            const double cos_in = std::max(0.05, h.n.dot((c.projector - h.p).normalized()));
            levels.push_back(h.albedo.dot(Vec3(0.299, 0.587, 0.114)) * cos_in);
        }
    }
    if (levels.empty()) levels.push_back(0.5);
    std::sort(levels.begin(), levels.end());
    auto pct = [&](double q) { return levels[static_cast<std::size_t>(q * (levels.size() - 1))]; };
    auto exposure_for = [](double level, double target) {
        return std::clamp(static_cast<int>(std::lround(11.0 * target / std::max(level, 1e-3))), 3, 100);
    };
    *exposure_3d = exposure_for(pct(0.95), 1.2);
    *exposure_2d = exposure_for(pct(0.95), 1.0);
    // Short for the bright parts, middle, long for the dark parts.
    hdr[0] = exposure_for(pct(0.98), 1.0);
    hdr[1] = exposure_for(pct(0.5), 1.0);
    hdr[2] = exposure_for(pct(0.05), 1.0);
    std::sort(hdr, hdr + 3);
}

double auto_noise_distance(CameraState& c) {
    const CameraModel& cam = c.models[0];
    const double z0 = c.dev->near_mm + 0.6 * (c.dev->far_mm - c.dev->near_mm);
    return 3.0 * z0 / cam.fx;  // three point spacings at the working distance
}

bool auto_white_balance(CameraState& c, int index, int iterations, const CaptureParams& p, const TUVO::ROI& roi,
                        Call& call) {
    if (!c.models[index].colour) {
        call.fail(TUVO::Error_NotSupported, std::string("the ") + camera_name(1u << index) + " camera is monochrome");
        return false;
    }
    if (iterations < 1 || iterations > 10) {
        call.fail(TUVO::Error_InvalidArgument, "iterations must be 1..10");
        return false;
    }
    if (!valid_2d(p, call)) return false;
    View& v = thread_view(0);
    render_view(c.scene, c.models[index], v);
    for (int it = 0; it < iterations; ++it) {
        TUVO::Image img = render_image(c, index, p, v, 7 + it);
        auto obj = lookup(images(), img);
        double sum[3] = {0, 0, 0};
        for (int y = 0; y < obj->height; ++y)
            for (int x = 0; x < obj->width; ++x) {
                if (!in_roi(roi, x, y)) continue;
                const std::uint8_t* px = obj->data + 3 * (static_cast<std::size_t>(y) * obj->width + x);
                if (px[0] > 250 || px[1] > 250 || px[2] > 250) continue;  // saturated pixels say nothing
                for (int k = 0; k < 3; ++k) sum[k] += px[k];
            }
        TUVO::Image::Destroy(img, true);
        if (sum[0] <= 0 || sum[2] <= 0 || sum[1] <= 0) {
            call.fail(TUVO::Error_Failed, "the ROI holds no usable pixels");
            return false;
        }
        c.balance[0] = std::clamp(static_cast<float>(c.balance[0] * sum[1] / sum[0]), 0.5f, 4.0f);
        c.balance[2] = std::clamp(static_cast<float>(c.balance[2] * sum[1] / sum[2]), 0.5f, 4.0f);
    }
    return true;
}

bool save_encoded(CameraState& c, const char* filename, Call& call) {
    if (!filename) {
        call.fail(TUVO::Error_InvalidArgument, "null file name");
        return false;
    }
    if (c.phase.empty()) {
        call.fail(TUVO::Error_Failed, "no 3-D capture has been made");
        return false;
    }
    std::string png, why;
    if (!encode_png(reinterpret_cast<const std::uint8_t*>(c.phase.data()), c.phase_w, c.phase_h, 1, 16, &png, &why) ||
        !write_file_atomic(filename, png, &why)) {
        call.fail(TUVO::Error_FileIO, why);
        return false;
    }
    return true;
}

// ---- settings files ----

std::string format_settings(CameraState& c) {
    std::ostringstream os;
    os.precision(9);
    os << "# TUVO camera settings\n[camera]\n";
    os << "bandwidth = " << c.bandwidth << "\n";
    os << "balance = " << c.balance[0] << ", " << c.balance[1] << ", " << c.balance[2] << "\n";
    os << "transform_select = " << c.transform.select << "\n";
    os << "transform =";
    os.precision(17);
    for (int i = 0; i < 16; ++i) os << (i ? ", " : " ") << c.transform.m[i];
    os << "\n";
    return os.str();
}

bool parse_settings(CameraState& c, const std::string& text, std::string* why) {
    std::istringstream in(text);
    std::string line;
    int lineno = 0;
    float bandwidth = c.bandwidth, balance[3] = {c.balance[0], c.balance[1], c.balance[2]};
    CustomTransform t = c.transform;
    bool section = false;
    auto numbers = [](const std::string& s, std::vector<double>* out) {
        std::string item;
        std::istringstream ss(s);
        while (std::getline(ss, item, ',')) {
            char* end;
            const double v = std::strtod(item.c_str(), &end);
            while (*end == ' ' || *end == '\t' || *end == '\r') ++end;
            if (end == item.c_str() || *end) return false;
            out->push_back(v);
        }
        return true;
    };
    while (std::getline(in, line)) {
        ++lineno;
        const auto b = line.find_first_not_of(" \t\r");
        if (b == std::string::npos || line[b] == '#') continue;
        line = line.substr(b);
        if (line.rfind("[camera]", 0) == 0) {
            section = true;
            continue;
        }
        const auto eq = line.find('=');
        if (!section || eq == std::string::npos) {
            *why = "line " + std::to_string(lineno) + ": expected key = value in a [camera] section";
            return false;
        }
        std::string key = line.substr(0, eq);
        key.erase(key.find_last_not_of(" \t") + 1);
        std::vector<double> v;
        if (!numbers(line.substr(eq + 1), &v)) {
            *why = "line " + std::to_string(lineno) + ": malformed number";
            return false;
        }
        if (key == "bandwidth" && v.size() == 1 && v[0] > 0 && v[0] <= 1) bandwidth = static_cast<float>(v[0]);
        else if (key == "balance" && v.size() == 3 && v[0] >= 0.5 && v[0] <= 4 && v[1] >= 0.5 && v[1] <= 4 && v[2] >= 0.5 &&
                 v[2] <= 4)
            for (int k = 0; k < 3; ++k) balance[k] = static_cast<float>(v[k]);
        else if (key == "transform_select" && v.size() == 1 && v[0] >= 0 && v[0] <= 4) t.select = static_cast<unsigned>(v[0]);
        else if (key == "transform" && v.size() == 16) std::copy(v.begin(), v.end(), t.m);
        else {
            *why = "line " + std::to_string(lineno) + ": unknown key or value out of range: " + key;
            return false;
        }
    }
    if (!section) {
        *why = "no [camera] section";
        return false;
    }
    c.bandwidth = bandwidth;
    std::copy(balance, balance + 3, c.balance);
    c.transform = t;
    return true;
}

}  // namespace sim

// The true centres of the board's markers, for tests: device frame at rest (mm) and the code.
extern "C" __attribute__((visibility("default"))) int tuvo_sim_marker_truth(const char* sn, int k, double* xyz,
                                                                            int* code) {
    using namespace sim;
    std::shared_ptr<DeviceState> dev;
    {
        World& w = world();
        std::lock_guard<std::mutex> lock(w.m);
        for (auto& d : w.rig)
            if (sn && d->sn == sn) dev = d;
    }
    if (!dev || !xyz || !code) return -1;
    const Scene s = Scene::make(dev->near_mm, dev->far_mm);
    if (k < 0 || k >= s.marker_count()) return -1;
    const Vec3 p = s.marker_centre_device(k);
    for (int i = 0; i < 3; ++i) xyz[i] = p[i];
    *code = marker_code(s.patterns[k], s.markers.N);
    return s.marker_count();
}
