// Stand-in SDK: the camera state shared by X1 and X2 (set-up, results, cover, ROI, settings).
#include "api/camera.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <mutex>
#include <sstream>

#include "api/capture.h"
#include "control/control.h"
#include "control/knobs.h"
#include "core/files.h"
#include "core/numbers.h"
#include "world/motion.h"
#include "world/scene_file.h"

namespace sim {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

double now_s() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}


}  // namespace

Table<CameraState>& cameras() {
    static auto* t = new Table<CameraState>;  // lives as long as the process
    return *t;
}

const char* camera_name(unsigned cid) {
    switch (cid) {
        case TUVO::CameraID_Left: return "left";
        case TUVO::CameraID_Right: return "right";
        case TUVO::CameraID_Extra: return "extra";
        default: return "unknown";
    }
}

std::shared_ptr<CameraState> camera_of(std::uint32_t slot, std::uint32_t gen, Call& call, bool need_open) {
    auto c = cameras().get(slot, gen);
    if (!c || c->gone) {
        call.fail(TUVO::Error_InvalidHandle, "invalid or destroyed camera handle");
        return nullptr;
    }
    if (need_open && !c->open) {
        call.fail(TUVO::Error_NotOpen, "the camera is not open");
        return nullptr;
    }
    return c;
}

CameraState::~CameraState() {
    // Every holder lets go of the lock before its reference to the camera: a camera freed while
    // locked would be unlocked afterwards, writing into freed memory. Stop loudly rather than
    // break the heap in silence (a try-lock answers "busy" for the owner too).
    if (!m.try_lock()) {
        std::fputs("stand-in SDK: a camera was freed while its lock was held\n", stderr);
        std::abort();
    }
    m.unlock();
}

Locked lock_camera(std::uint32_t slot, std::uint32_t gen, Call& call, bool need_open) {
    if (call.failed()) return Locked();
    auto c = camera_of(slot, gen, call, false);
    if (!c) return Locked();
    hold_point("camera lock");  // tests hold a call here, between finding the camera and locking it
    // Declared after `c`, so released before it: the camera destroyed meanwhile may go with `c`.
    std::unique_lock<std::mutex> lock(c->m);
    if (c->gone) {
        call.fail(TUVO::Error_InvalidHandle, "invalid or destroyed camera handle");
        return Locked();
    }
    if (need_open && !c->open) {
        call.fail(TUVO::Error_NotOpen, "the camera is not open");
        return Locked();
    }
    Locked l;
    l.cam = std::move(c);
    l.lock = std::move(lock);
    return l;
}

void record_transform(Call& call, const double* m) {
    static const char* names[16] = {"t0", "t1", "t2",  "t3",  "t4",  "t5",  "t6",  "t7",
                                    "t8", "t9", "t10", "t11", "t12", "t13", "t14", "t15"};
    for (int i = 0; i < 16; ++i) call.arg(names[i], m[i]);
}

bool connected(CameraState& c, Call& call) {
    if (!device_connected(c.dev->sn)) {
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
    for (int i = 0; i < 5; ++i) d[i] = static_cast<float>(m.dist[i]);
}

bool fits_roi(CameraState& c, Call& call, const TUVO::ROI& roi, int index) {
    if (check_roi(c, roi, index)) return true;
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
    const double travel = param_in("cover.travel_ms", 400.0, 0.0, 3.6e6) / 1000.0;
    if (now_s() - d.cover_since >= travel) {
        d.cover_from = d.cover_to;
        return d.cover_to;
    }
    return d.cover_to == TUVO::ProtectiveCoverStatus_Open ? TUVO::ProtectiveCoverStatus_Opening
                                                          : TUVO::ProtectiveCoverStatus_Closing;
}

bool move_cover(CameraState& c, bool open, Call& call) {
    if (!c.dev->cover) {
        call.fail(TUVO::Error_NotSupported, "the device has no protective cover");
        return false;
    }
    const auto target = open ? TUVO::ProtectiveCoverStatus_Open : TUVO::ProtectiveCoverStatus_Closed;
    std::lock_guard<std::mutex> lock(c.dev->m);
    auto now = cover_status(*c.dev);
    if (now == target) return true;
    if (c.dev->cover_to != target) {
        c.dev->cover_from = c.dev->cover_to == TUVO::ProtectiveCoverStatus_Open ? TUVO::ProtectiveCoverStatus_Open
                                                                                  : TUVO::ProtectiveCoverStatus_Closed;
        c.dev->cover_to = target;
        c.dev->cover_since = now_s();
    }
    return true;
}

namespace {

const char* cover_word(TUVO::ProtectiveCoverStatus s) {
    switch (s) {
        case TUVO::ProtectiveCoverStatus_Open: return "open";
        case TUVO::ProtectiveCoverStatus_Closed: return "closed";
        case TUVO::ProtectiveCoverStatus_Opening: return "opening";
        case TUVO::ProtectiveCoverStatus_Closing: return "closing";
        default: return "in an unknown state";
    }
}

}  // namespace

bool wait_cover(CameraState& c, bool open, Call& call) {
    const auto target = open ? TUVO::ProtectiveCoverStatus_Open : TUVO::ProtectiveCoverStatus_Closed;
    const long long limit_ms = static_cast<long long>(param_in("cover.timeout_ms", 10000.0, 0.0, 3.6e6));
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(limit_ms);
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(c.dev->m);
            const auto now = cover_status(*c.dev);
            if (now == target) return true;
            if (c.dev->cover_to != target) {
                call.fail(TUVO::Error_Failed, std::string("another handle reversed the protective cover: it is ") +
                                                  cover_word(now));
                return false;
            }
        }
        if (!c.open) {
            call.fail(TUVO::Error_NotOpen, "the camera was closed while the protective cover moved");
            return false;
        }
        if (std::chrono::steady_clock::now() >= until) {
            call.fail(TUVO::Error_Timeout,
                      "the protective cover did not arrive within " + std::to_string(limit_ms) + " ms");
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
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

int roi_camera(const CameraState& c) { return c.x2 ? 0 : std::max(0, camera_index(c.cid)); }

TUVO::ROIRange roi_range(const CameraState& c, int index) {
    // Steps of 16 columns and 2 rows, at least 64 x 64, on sensors too small for that the whole
    // width or height a step allows (single pixels on sensors narrower than one step).
    const CameraModel& m = c.optics.models[index < 0 ? roi_camera(c) : index];
    const int ws = m.width >= 16 ? 16 : 1, hs = m.height >= 2 ? 2 : 1;
    const int wmax = m.width - m.width % ws, hmax = m.height - m.height % hs;
    return TUVO::ROIRange{ws, hs, ws, hs, std::min(64, wmax), std::min(64, hmax), wmax, hmax};
}

bool check_roi(const CameraState& c, const TUVO::ROI& r, int index) {
    if (r.x == 0 && r.y == 0 && r.width == 0 && r.height == 0) return true;  // the whole image
    if (index < 0) index = roi_camera(c);
    const TUVO::ROIRange g = roi_range(c, index);
    const CameraModel& m = c.optics.models[index];
    return r.x >= 0 && r.y >= 0 && r.x % g.x_step == 0 && r.y % g.y_step == 0 && r.width % g.width_step == 0 &&
           r.height % g.height_step == 0 && r.width >= g.width_min && r.height >= g.height_min &&
           r.width <= g.width_max && r.height <= g.height_max && static_cast<long long>(r.x) + r.width <= m.width &&
           static_cast<long long>(r.y) + r.height <= m.height;
}

TUVO::ROI adjust_roi(const CameraState& c, TUVO::ROI r) {
    const TUVO::ROIRange g = roi_range(c);
    const CameraModel& m = c.optics.models[roi_camera(c)];
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

void release_maps(CameraState& c) {
    for (auto* m : {&c.depth, &c.confidence, &c.correspond}) {
        maps().remove(m->first, m->second);
        *m = {0, 0};
    }
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

TUVO::Image take_image(CameraState& c, int index) {
    c.image_given[index] = true;
    return c.images[index];
}

TUVO::PointMap take_points(CameraState& c) {
    c.points_given = true;
    return c.points;
}

ScanStop stop_scanner(CameraState& c, int* code, std::string* why) {
    std::unique_lock<std::mutex> lock(c.scan_m);
    if (c.scan_stopping) {
        c.scan_cv.wait(lock, [&] { return !c.scan_stopping; });
        return ScanStop::Stopped;
    }
    if (!c.scanner.joinable()) return ScanStop::Idle;
    const bool running = c.scanning;
    c.scan_stopping = true;
    c.scan_stop = true;
    c.scan_cancel = true;  // the sweep under way ends at its next row
    std::thread producer = std::move(c.scanner);
    lock.unlock();
    c.scan_cv.notify_all();
    producer.join();
    lock.lock();
    const TUVO::PointMap last = c.scan_latest;
    c.scan_latest = TUVO::PointMap();
    lock.unlock();
    TUVO::PointMap::Destroy(last, true);
    lock.lock();
    if (code) *code = c.scan_error_code;
    if (why) *why = c.scan_error;
    c.scan_error.clear();
    c.scan_error_code = 0;
    c.scanning = false;
    c.scan_stopping = false;
    c.scan_cv.notify_all();
    return running ? ScanStop::Stopped : ScanStop::Ended;
}

void stop_scanners_at_exit() {
    static std::once_flag once;
    std::call_once(once, [] {
        // A scanner's thread must not be left running while the process exits (the state it
        // works on is never destroyed, so the order of exit's work does not matter).
        std::atexit([] {
            for (auto& c : cameras().all()) stop_scanner(*c);
        });
    });
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

bool in_roi(const TUVO::ROI& r, int x, int y) {
    if (r.width <= 0 || r.height <= 0) return true;
    return x >= r.x && x < r.x + r.width && y >= r.y && y < r.y + r.height;
}

// ---- automatic settings ----

void auto_exposure(CameraState& c, const TUVO::ROI& roi, int* exposure_3d, int* exposure_2d, int hdr[3]) {
    // Look at the scene through a coarse grid and pick exposures that put its bright parts near
    // the top of the usable signal and its dark parts above the noise.
    const CameraModel& cam = c.optics.models[roi_camera(c)];
    std::vector<double> levels;
    for (int y = 4; y < cam.height; y += 8) {
        for (int x = 4; x < cam.width; x += 8) {
            if (!in_roi(roi, x, y)) continue;
            Hit h = cast(c.scene, cam.t, cam.R * cam.ray(x, y));
            if (h.t < 0) continue;
            const double cos_in = std::max(0.05, h.n.dot((c.optics.projector - h.p).normalized()));
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
    const CameraModel& cam = c.optics.models[0];
    const double z0 = c.dev->near_mm + 0.6 * (c.dev->far_mm - c.dev->near_mm);
    return 3.0 * z0 / cam.fx;  // three point spacings at the working distance
}

bool auto_white_balance(CameraState& c, int index, int iterations, const CaptureParams& p, const TUVO::ROI& roi,
                        const Knobs& k, Call& call) {
    if (!c.optics.models[index].colour) {
        call.fail(TUVO::Error_NotSupported, std::string("the ") + camera_name(1u << index) + " camera is monochrome");
        return false;
    }
    if (iterations < 1 || iterations > 10) {
        call.fail(TUVO::Error_InvalidArgument, "iterations must be 1..10");
        return false;
    }
    if (!valid_2d(p, call)) return false;
    View& v = thread_view(0);
    render_view(c.scene, c.optics.models[index], k.render_threads, v);
    for (int it = 0; it < iterations; ++it) {
        TUVO::Image img = render_image(c, index, p, k, v, 7 + it);
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
        !save_file(filename, png, &why)) {
        call.fail(TUVO::Error_FileIO, why);
        return false;
    }
    return true;
}

// ---- settings files ----

unsigned max_transform_select(const CameraState& c) {
    if (!c.x2) return TUVO::X1::CustomTransformOptions::CoordinateSelect_CaliBoard;
    return c.dev->extra ? TUVO::X2::CustomTransformOptions::CoordinateSelect_CameraExtra
                        : TUVO::X2::CustomTransformOptions::CoordinateSelect_CaliBoard;
}

std::string format_settings(CameraState& c) {
    std::ostringstream os;
    os.imbue(std::locale::classic());  // a decimal point whatever the program's locale
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
        if (!parse_number_list(std::string_view(line).substr(eq + 1), &v)) {
            *why = "line " + std::to_string(lineno) + ": malformed number";
            return false;
        }
        if (key == "bandwidth" && v.size() == 1 && v[0] > 0 && v[0] <= 1 && static_cast<float>(v[0]) > 0)  // not 0 as a float
            bandwidth = static_cast<float>(v[0]);
        else if (key == "balance" && v.size() == 3 && v[0] >= 0.5 && v[0] <= 4 && v[1] >= 0.5 && v[1] <= 4 && v[2] >= 0.5 &&
                 v[2] <= 4)
            for (int k = 0; k < 3; ++k) balance[k] = static_cast<float>(v[k]);
        else if (key == "transform_select") {
            const unsigned most = max_transform_select(c);
            if (v.size() != 1 || !(v[0] >= 0 && v[0] <= most) || v[0] != std::floor(v[0])) {
                *why = "line " + std::to_string(lineno) + ": transform_select must be an integer from 0 to " +
                       std::to_string(most);
                return false;
            }
            t.select = static_cast<unsigned>(v[0]);
        } else if (key == "transform" && v.size() == 16) {
            if (!std::all_of(v.begin(), v.end(), [](double x) { return std::isfinite(x); })) {
                *why = "line " + std::to_string(lineno) + ": the transformation holds a value that is not finite";
                return false;
            }
            std::copy(v.begin(), v.end(), t.m);
        } else {
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
    Scene s;  // the device's scene at rest
    place_scene(s, dev->scene ? dev->scene : default_scene(), dev->near_mm, dev->far_mm, 0, true);
    if (k < 0 || k >= s.marker_count()) return -1;
    const Vec3 p = s.marker_centre_device(k);
    for (int i = 0; i < 3; ++i) xyz[i] = p[i];
    *code = marker_code(s.patterns[k], s.markers.N);
    return s.marker_count();
}
