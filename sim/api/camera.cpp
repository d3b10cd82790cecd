// Stand-in SDK: the camera state shared by X1 and X2: the table of cameras, their results, closing, and
// the settings file.
#include "api/camera.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <mutex>
#include <sstream>

#include "api/capture.h"
#include "api/line_scan.h"
#include "control/control.h"
#include "control/knobs.h"
#include "core/files.h"
#include "core/numbers.h"
#include "world/motion.h"
#include "world/scene_file.h"

namespace sim {

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

void record_transform(Call& call, const double* m) {
    static const char* names[16] = {"t0", "t1", "t2",  "t3",  "t4",  "t5",  "t6",  "t7",
                                    "t8", "t9", "t10", "t11", "t12", "t13", "t14", "t15"};
    for (int i = 0; i < 16; ++i) call.arg(names[i], m[i]);
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

void close_camera(CameraState& c) {
    stop_scanner(c);
    if (!c.open) return;
    {
        std::lock_guard<std::mutex> lock(c.dev->m);
        c.dev->open_cameras &= ~c.cid;
    }
    c.open = false;
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
