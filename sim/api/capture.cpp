// Stand-in SDK: a capture as a camera makes it: the scene and optics as they stand, the noise of
// each capture, the renderer's buffers put into the camera's results, and the capture's pacing.
#include "api/capture.h"

#include <algorithm>
#include <limits>
#include <thread>

#include "api/calibration.h"
#include "api/device_scene.h"
#include "api/materials.h"
#include "api/playback.h"
#include "core/hooks.h"
#include "render/image.h"
#include "render/measure.h"
#include "render/noise.h"
#include "render/timing.h"
#include "world/motion.h"
#include "world/scene_file.h"

namespace sim {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// The noise of the next capture through camera `camera`: a function of the seed, the device, the
// camera and how many captures that camera made since the seed was last set. The device counts
// each capture once (`first`: the first camera of the capture).
std::uint64_t next_shot(CameraState& c, const Knobs& k, int camera, bool first = true) {
    const double seed = k.noise_seed;
    const std::uint64_t version = k.noise_seed_version;
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

void setup_camera(CameraState& c, const Knobs& k) {
    place_scene(c.scene, *c.dev, k);
    apply_material_params(c.scene);
    optics_for(c, k);
    if (c.dev->playback) replay::setup_camera(c);
}

TUVO::Image render_image(CameraState& c, int index, const CaptureParams& p, const Knobs& k, const View& v,
                         std::uint64_t key) {
    const CameraModel& cam = c.optics.models[index];
    std::shared_ptr<ImageObj> obj;  // held while it is written
    TUVO::Image img = new_image(cam.colour ? TUVO::ImageType::RGB8 : TUVO::ImageType::Mono8, cam.width, cam.height, &obj,
                                true);  // every pixel shaded
    shade_image(c.scene, c.optics, index, p, k, c.balance, v, key, obj->data);
    return img;
}

bool realistic_timing(const DeviceState& d, const Knobs& k) { return d.realistic_timing || k.realistic_timing(); }

void finish_capture(CameraState& c, const Knobs& k, double modelled_ms, std::chrono::steady_clock::time_point start) {
    {
        std::lock_guard<std::mutex> lock(c.dev->m);
        c.dev->last_capture_ms = modelled_ms;
    }
    if (!realistic_timing(*c.dev, k)) return;
    std::this_thread::sleep_until(start + std::chrono::microseconds(static_cast<long long>(modelled_ms * 1000)));
}

bool capture_3d(CameraState& c, const CaptureParams& p, const Knobs& k, Call& call) {
    const auto start = std::chrono::steady_clock::now();
    const DeviceState& d = *c.dev;
    if (!valid_3d(p, call) || (p.enable_2d && !valid_2d(p, call))) return false;
    if ((p.capture_mode & d.capture_modes) != p.capture_mode || p.capture_mode == 0) {
        call.fail(TUVO::Error_NotSupported, "capture mode " + std::to_string(p.capture_mode) + " is not supported by this device");
        return false;
    }
    if (!fits_roi(c, call, p.roi)) return false;
    setup_camera(c, k);  // the scene and the device's pose as they are now
    const DeviceOptics& o = c.optics;
    const int index = c.x2 ? 0 : camera_index(c.cid);
    const CameraModel& cam = o.models[index];
    if (!fits(cam, call)) return false;
    const std::uint64_t shot = next_shot(c, k, index);
    const std::uint64_t other_shot = c.x2 ? next_shot(c, k, 1, false) : 0;
    const Sensor sensor(p);
    const int W = cam.width, H = cam.height;
    const std::size_t n = static_cast<std::size_t>(W) * H;

    // What this capture replaces and the script has not taken goes before the new results come
    // (the points' memory, which nothing else holds, serves the new ones).
    Numbers spare;
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
    job.output = output_transform(o, c.scene, c.x2, c.cid, p, c.transform);
    job.key = combine(shot, kDepthStream);
    job.sensor = &sensor;
    job.warm_c = calibration_offset_c(c, k);
    // The results are written where they will live.
    std::shared_ptr<PointMapObj> obj;  // held while it is written
    TUVO::PointMap pm;
    std::shared_ptr<MapObj> depth, confidence, correspond;
    TUVO::Image image;
    std::shared_ptr<ImageObj> image_obj;
    std::unique_ptr<ImageShader> shader;
    try {
        // The measurement writes every pixel of each output it is given (an ROI's outside and a
        // cancelled capture's rest as nothing measured), the image among them: none is filled first.
        pm = new_pointmap(W, H, p.calc_normal, &spare, &obj, true);
        depth = map_for(c.depth, W, H, 1, true);
        confidence = map_for(c.confidence, W, H, 1, true);
        if (c.x2) correspond = map_for(c.correspond, W, H, 2, true);
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
        if (p.enable_2d) {  // the measuring camera's image comes from the same pass
            shader = std::make_unique<ImageShader>(c.scene, o, index, p, k, c.balance, combine(shot, kImageStream));
            image = new_image(cam.colour ? TUVO::ImageType::RGB8 : TUVO::ImageType::Mono8, W, H, &image_obj, true);
            out.image = image_obj->data;
            out.shader = shader.get();
        }
        allocation_fault("capture.fail_alloc");  // tests make the measurement run out of memory here
        measure(c.scene, o, p, k, job, out);
    } catch (...) {  // memory ran out part-way: the maps made or kept in place show nothing measured
        for (MapObj* m : {depth.get(), correspond.get()})
            if (m) std::fill(m->data.begin(), m->data.end(), kNaN);
        if (confidence) std::fill(confidence->data.begin(), confidence->data.end(), 0.0);
        c.phase.clear();
        c.phase_w = c.phase_h = 0;
        if (obj) TUVO::PointMap::Destroy(pm, true);
        if (image_obj) TUVO::Image::Destroy(image, true);
        throw;
    }
    c.points = pm;
    c.points_given = false;
    if (p.enable_2d) {
        set_image(c, index, image);
        if (c.x2) {
            View& other = thread_view(1);
            render_view(c.scene, o.models[1], k.render_threads, other);
            set_image(c, 1, render_image(c, 1, p, k, other, combine(other_shot, kImageStream)));
        }
    }
    finish_capture(c, k, capture_ms(o, c.x2, c.bandwidth, &sensor, p, p.enable_2d), start);
    return true;
}

bool capture_2d(CameraState& c, int index, const CaptureParams& p, const Knobs& k, Call& call) {
    const auto start = std::chrono::steady_clock::now();
    if (!valid_2d(p, call)) return false;
    setup_camera(c, k);
    if (!fits(c.optics.models[index], call)) return false;
    const std::uint64_t shot = next_shot(c, k, index);
    View& v = thread_view(0);
    render_view(c.scene, c.optics.models[index], k.render_threads, v);
    set_image(c, index, render_image(c, index, p, k, v, combine(shot, kImageStream)));
    finish_capture(c, k, capture_ms(c.optics, c.x2, c.bandwidth, nullptr, p, true), start);
    return true;
}

TUVO::PointMap render_line_scan(CameraState& c, const CaptureParams& p, const CustomTransform& t, std::uint64_t frame,
                                const Knobs& k) {
    // One sweep of the laser line over the scene, measured from the left camera and matched in the
    // right one.
    CaptureParams q = p;
    q.brightness = 240;
    q.exposure_3d = 11;
    q.hdr_times = 0;
    const DeviceOptics& o = c.optics;
    const int W = o.models[0].width, H = o.models[0].height;
    const Sensor sensor(q);
    allocation_fault("scan.fail_alloc");
    std::shared_ptr<PointMapObj> obj;  // held while the sweep writes it, whoever destroys the handle
    TUVO::PointMap pm = new_pointmap(W, H, false, nullptr, &obj);
    MeasureJob job;
    job.index = 0;
    job.other = 1;
    job.output = output_transform(o, c.scene, c.x2, c.cid, q, t);
    job.key = combine(combine(hash_double(k.noise_seed), hash_text(c.dev->sn + ":line scan")), frame);
    job.sensor = &sensor;
    job.warm_c = calibration_offset_c(c, k);
    MeasureOut out;
    out.points = obj->pts();
    try {
        measure(c.scene, o, q, k, job, out, &c.scan_cancel);
    } catch (...) {  // memory ran out: the half-made map goes with the error
        TUVO::PointMap::Destroy(pm, true);
        throw;
    }
    return pm;
}

}  // namespace sim
