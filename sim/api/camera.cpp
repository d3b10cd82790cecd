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

#include "api/calibration.h"
#include "api/capture.h"
#include "api/device_scene.h"
#include "api/line_scan.h"
#include "api/materials.h"
#include "api/playback.h"
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
        !save_file(filename, png, read_knobs().save_fail_after_bytes, &why)) {
        call.fail(TUVO::Error_FileIO, why);
        return false;
    }
    return true;
}

}  // namespace sim

int tuvo_sim_marker_truth(const char* sn, int k, double* xyz, int* code) {
    using namespace sim;
    auto dev = device_by_serial(sn);
    if (!dev || !xyz || !code) return -1;
    Scene s;  // the device's scene at rest
    place_scene(s, dev->scene ? dev->scene : default_scene(), dev->near_mm, dev->far_mm, 0, true);
    if (k < 0 || k >= s.marker_count()) return -1;
    const Vec3 p = s.marker_centre_device(k);
    for (int i = 0; i < 3; ++i) xyz[i] = p[i];
    *code = marker_code(s.patterns[k], s.markers.N);
    return s.marker_count();
}
