// Stand-in SDK: the capture pipeline: checks, the noise of each capture, rendering, measuring and
// handing out the results.
#include "render/capture.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "control/control.h"
#include "render/measure.h"
#include "render/noise.h"
#include "render/timing.h"

namespace sim {

namespace {

// The map from device coordinates into a frame given by its pose (R, t) in the device's frame.
Eigen::Matrix4d into_frame(const Mat3& R, const Vec3& t) {
    Eigen::Matrix4d m = Eigen::Matrix4d::Identity();
    m.topLeftCorner<3, 3>() = R.transpose();
    m.topRightCorner<3, 1>() = -R.transpose() * t;
    return m;
}

// Device coordinates to output coordinates: the frame of the camera the options name (the left
// camera's, which is the device's, when they ask for the device frame), as the calibration reports
// it; with a custom transformation, its matrix applied to the chosen camera's or the calibration
// board's frame.
Eigen::Matrix4d output_transform(const CameraState& c, const CaptureParams& p, const CustomTransform& t) {
    if (t.select == 0) {
        const int idx = p.camera_frame ? std::max(0, camera_index(p.frame_camera)) : 0;
        return into_frame(c.calib[idx].R, c.calib[idx].t);
    }
    Eigen::Matrix4d user;
    for (int i = 0; i < 16; ++i) user(i / 4, i % 4) = t.m[i];
    const bool board = (!c.x2 && t.select == 2) || (c.x2 && t.select == 3);
    if (board) {  // the board where it stands relative to the device now
        const Mat3 R = c.device_R.transpose() * c.scene.board_R;
        const Vec3 tb = c.device_R.transpose() * (c.scene.board_t - c.device_t);
        return user * into_frame(R, tb);
    }
    unsigned cam = c.cid;  // X1: its own camera
    if (c.x2) cam = t.select == 2 ? TUVO::CameraID_Right : t.select == 4 ? TUVO::CameraID_Extra : TUVO::CameraID_Left;
    const CameraModel& m = c.calib[std::max(0, camera_index(cam))];
    return user * into_frame(m.R, m.t);
}

// The noise of the next capture through camera `camera`: a function of the seed, the device, the
// camera and how many captures that camera made since the seed was last set. The device counts
// each capture once (`first`: the first camera of the capture).
std::uint64_t next_shot(CameraState& c, int camera, bool first = true) {
    const double seed = param("noise.seed", 1.0);
    const std::uint64_t version = param_version("noise.seed");
    std::lock_guard<std::mutex> lock(c.dev->m);
    DeviceState& d = *c.dev;
    if (d.shots_version != version) {
        d.shots.fill(0);
        d.shots_version = version;
    }
    if (first) ++d.captures;
    const std::uint64_t n = d.shots[camera]++;
    return combine(combine(combine(hash_double(seed), hash_text(d.sn)), static_cast<std::uint64_t>(camera)), n);
}

constexpr std::uint64_t kDepthStream = 0x3d, kImageStream = 0x2d;

void set_image(CameraState& c, int index, TUVO::Image img) {
    if (!c.image_given[index]) TUVO::Image::Destroy(c.images[index], true);
    c.images[index] = img;
    c.image_given[index] = false;
}

// Results are refused before anything is allocated when they would not fit the SDK's containers.
bool fits(const CameraModel& m, Call& call) {
    if (static_cast<long long>(m.width) * m.height <= kMaxPixels) return true;
    call.fail(TUVO::Error_Failed, "a " + std::to_string(m.width) + " x " + std::to_string(m.height) +
                                      " capture exceeds the " + std::to_string(kMaxPixels >> 20) +
                                      " M pixels an image or map holds");
    return false;
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
    const auto start = std::chrono::steady_clock::now();
    const DeviceState& d = *c.dev;
    if (!valid_3d(p, call) || (p.enable_2d && !valid_2d(p, call))) return false;
    if ((p.capture_mode & d.capture_modes) != p.capture_mode || p.capture_mode == 0) {
        call.fail(TUVO::Error_NotSupported, "capture mode " + std::to_string(p.capture_mode) + " is not supported by this device");
        return false;
    }
    if (!fits_roi(c, call, p.roi)) return false;
    setup_camera(c);  // the scene and the device's pose as they are now
    const int index = c.x2 ? 0 : camera_index(c.cid);
    const CameraModel& cam = c.models[index];
    if (!fits(cam, call)) return false;
    const std::uint64_t shot = next_shot(c, index);
    const std::uint64_t other_shot = c.x2 ? next_shot(c, 1, false) : 0;
    const int W = cam.width, H = cam.height;
    const std::size_t n = static_cast<std::size_t>(W) * H;

    // What this capture replaces and the script has not taken goes before the new results come
    // (the points' memory, which nothing else holds, serves the new ones).
    std::vector<double> spare;
    if (!c.points_given) {
        auto old = lookup(pointmaps(), c.points);
        TUVO::PointMap::Destroy(c.points, true);
        if (old && old.use_count() == 1 && !old->foreign) spare.swap(old->points);
    }
    c.points = TUVO::PointMap();
    if (p.enable_2d)
        for (int i : {index, c.x2 ? 1 : index}) set_image(c, i, TUVO::Image());
    MeasureJob job;
    job.index = index;
    job.other = c.x2 ? 1 : -1;
    job.output = output_transform(c, p, c.transform);
    job.key = combine(shot, kDepthStream);
    // The results are written where they will live.
    std::shared_ptr<PointMapObj> obj;  // held while it is written
    const TUVO::PointMap pm = new_pointmap(W, H, p.calc_normal, &spare, &obj);
    auto depth = map_for(c.depth, W, H, 1);
    auto confidence = map_for(c.confidence, W, H, 1);
    std::shared_ptr<MapObj> correspond = c.x2 ? map_for(c.correspond, W, H, 2) : nullptr;
    c.phase.resize(n);  // every pixel written by the measurement
    c.phase_w = W;
    c.phase_h = H;
    MeasureOut out;
    out.points = obj->pts();
    out.normals = obj->nrm();
    out.depth = depth->data.data();
    out.confidence = confidence->data.data();
    out.correspond = correspond ? correspond->data.data() : nullptr;
    out.phase = c.phase.data();
    TUVO::Image image;
    std::shared_ptr<ImageObj> image_obj;
    std::unique_ptr<ImageShader> shader;
    if (p.enable_2d) {  // the measuring camera's image comes from the same pass
        shader = std::make_unique<ImageShader>(c, index, p, combine(shot, kImageStream));
        image = new_image(cam.colour ? TUVO::ImageType::RGB8 : TUVO::ImageType::Mono8, W, H, &image_obj);
        out.image = image_obj->data;
        out.shader = shader.get();
    }
    measure(c, p, job, out);
    c.points = pm;
    c.points_given = false;
    if (p.enable_2d) {
        set_image(c, index, image);
        if (c.x2) {
            View& other = thread_view(1);
            render_view(c.scene, c.models[1], other);
            set_image(c, 1, render_image(c, 1, p, other, combine(other_shot, kImageStream)));
        }
    }
    finish_capture(c, capture_ms(c, p, true, p.enable_2d), start);
    return true;
}

bool capture_2d(CameraState& c, int index, const CaptureParams& p, Call& call) {
    const auto start = std::chrono::steady_clock::now();
    if (!valid_2d(p, call)) return false;
    setup_camera(c);
    if (!fits(c.models[index], call)) return false;
    const std::uint64_t shot = next_shot(c, index);
    View& v = thread_view(0);
    render_view(c.scene, c.models[index], v);
    set_image(c, index, render_image(c, index, p, v, combine(shot, kImageStream)));
    finish_capture(c, capture_ms(c, p, false, true), start);
    return true;
}

TUVO::PointMap render_line_scan(CameraState& c, const CaptureParams& p, const CustomTransform& t, std::uint64_t frame) {
    // One sweep of the laser line over the scene, measured from the left camera and matched in the
    // right one.
    CaptureParams q = p;
    q.brightness = 240;
    q.exposure_3d = 11;
    q.hdr_times = 0;
    const int W = c.models[0].width, H = c.models[0].height;
    allocation_fault("scan.fail_alloc");
    std::shared_ptr<PointMapObj> obj;  // held while the sweep writes it, whoever destroys the handle
    TUVO::PointMap pm = new_pointmap(W, H, false, nullptr, &obj);
    MeasureJob job;
    job.index = 0;
    job.other = 1;
    job.output = output_transform(c, q, t);
    job.key = combine(combine(hash_double(param("noise.seed", 1.0)), hash_text(c.dev->sn + ":line scan")), frame);
    MeasureOut out;
    out.points = obj->pts();
    try {
        measure(c, q, job, out, &c.scan_cancel);
    } catch (...) {  // memory ran out: the half-made map goes with the error
        TUVO::PointMap::Destroy(pm, true);
        throw;
    }
    return pm;
}

}  // namespace sim
