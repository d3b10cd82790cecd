// Stand-in SDK, playback: a capture on a playback device yields the next recorded frame.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "render/budget.h"
#include "replay/frame_data.h"
#include "replay/plan.h"

namespace sim {
namespace replay {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

std::string stream_name(const CameraState& c) { return c.x2 ? "x2" : std::string("x1-") + camera_name(c.cid); }

std::string what(const CameraState& c) {
    return c.x2 ? std::string("the X2") : std::string("the X1 on the ") + camera_name(c.cid) + " camera";
}

// The options a capture without options uses: those saved for the camera, else the recording's.
template <class Opts>
Opts stored_or_recorded(CameraState& c, unsigned key, const Opts& recorded) {
    Opts o = recorded;
    std::lock_guard<std::mutex> lock(c.dev->m);
    auto it = c.dev->stored_options.find(key);
    std::string why;
    if (it != c.dev->stored_options.end() && !parse_options(it->second, &o, &why)) o = recorded;
    return o;
}

const TUVO::X1::CaptureOptions& recorded_options(const Stream& s, const TUVO::X1::CaptureOptions*) { return s.x1_options; }
const TUVO::X2::CaptureOptions& recorded_options(const Stream& s, const TUVO::X2::CaptureOptions*) { return s.x2_options; }

const Stream* stream_of(const CameraState& c, Call& call) {
    const Stream* s = c.dev->playback->rec.stream(stream_name(c));
    if (!s) call.fail(TUVO::Error_NotSupported, "the recording holds no captures of " + what(c));
    return s;
}

// The frame the next capture yields; at the end, the first again or the end of the recording.
bool next_frame(const CameraState& c, const Stream& s, std::size_t* index, Call& call) {
    Playback& pb = *c.dev->playback;
    std::lock_guard<std::mutex> lock(pb.m);
    std::size_t i = pb.next[s.name];
    if (i >= s.frames.size() && pb.loop) i = 0;
    if (i >= s.frames.size()) {
        call.fail(TUVO::Error_Failed, "end of recording: all " + std::to_string(s.frames.size()) + " frames of " + what(c) +
                                          " have been played");
        return false;
    }
    *index = i;
    return true;
}

void played(const CameraState& c, const Stream& s, std::size_t index) {
    Playback& pb = *c.dev->playback;
    std::lock_guard<std::mutex> lock(pb.m);
    pb.next[s.name] = index + 1;
}

bool in_roi(const TUVO::ROI& r, int x, int y) {
    return x >= r.x && x < r.x + r.width && y >= r.y && y < r.y + r.height;
}

void clear_point(FrameData& f, std::size_t i) {
    for (int k = 0; k < 3; ++k) {
        f.points[3 * i + k] = kNaN;
        if (!f.normals.empty()) f.normals[3 * i + k] = kNaN;
    }
    if (!f.depth.empty()) f.depth[i] = kNaN;
    if (!f.confidence.empty()) f.confidence[i] = 0;
}

// The ROI, the output frame and the truncation window, as a live capture applies them.
void apply(const Plan& plan, int width, int height, FrameData& f) {
    const std::size_t n = static_cast<std::size_t>(width) * height;
    if (plan.mask) {
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) {
                if (in_roi(plan.roi, x, y)) continue;
                const std::size_t i = static_cast<std::size_t>(y) * width + x;
                clear_point(f, i);
                if (!f.correspond.empty() && !plan.keep_correspond) f.correspond[2 * i] = f.correspond[2 * i + 1] = kNaN;
            }
    }
    if (!plan.move && !plan.truncate) return;
    const Eigen::Matrix3d R = plan.T.topLeftCorner<3, 3>();
    const Eigen::Vector3d t = plan.T.topRightCorner<3, 1>();
    for (std::size_t i = 0; i < n; ++i) {
        double* p = &f.points[3 * i];
        if (std::isnan(p[0])) continue;
        Eigen::Vector3d q(p[0], p[1], p[2]);
        if (plan.move) q = R * q + t;
        if (plan.truncate && (q.z() < plan.zmin || q.z() > plan.zmax)) {
            clear_point(f, i);
            continue;
        }
        if (!plan.move) continue;
        for (int k = 0; k < 3; ++k) p[k] = q[k];
        if (!f.normals.empty()) {
            const Eigen::Vector3d nn = R * Eigen::Vector3d(f.normals[3 * i], f.normals[3 * i + 1], f.normals[3 * i + 2]);
            for (int k = 0; k < 3; ++k) f.normals[3 * i + k] = nn[k];
        }
    }
}

// A frame without a map of this kind: the camera's map (if any) shows nothing measured rather
// than an earlier frame's values; it stays, as views of it may be held.
void clear_map(const std::pair<std::uint32_t, std::uint32_t>& slot, double nothing) {
    if (auto m = maps().get(slot.first, slot.second)) std::fill(m->data.begin(), m->data.end(), nothing);
}

void set_image(CameraState& c, int index, const FrameData::Picture& pic) {
    std::shared_ptr<ImageObj> obj;
    TUVO::Image img = new_image(pic.type, pic.width, pic.height, &obj);
    std::memcpy(obj->data, pic.pixels.data(), pic.pixels.size());
    if (!c.image_given[index]) TUVO::Image::Destroy(c.images[index], true);
    c.images[index] = img;
    c.image_given[index] = false;
}

// The frame becomes the camera's latest result, as a live capture's would.
void publish(CameraState& c, const Stream& s, const Plan& plan, FrameData& f) {
    auto obj = std::make_shared<PointMapObj>();
    obj->width = s.width;
    obj->height = s.height;
    obj->points = std::move(f.points);
    if (plan.normals) obj->normals = std::move(f.normals);
    const TUVO::PointMap pm = make_handle<TUVO::PointMap>(pointmaps().add(obj));
    if (!c.points_given) TUVO::PointMap::Destroy(c.points, true);
    c.points = pm;
    c.points_given = false;
    if (!f.depth.empty()) store_map(c.depth, s.width, s.height, 1, f.depth);
    else clear_map(c.depth, kNaN);
    if (!f.confidence.empty()) store_map(c.confidence, s.width, s.height, 1, f.confidence);
    else clear_map(c.confidence, 0);
    if (!f.correspond.empty()) store_map(c.correspond, s.width, s.height, 2, f.correspond);
    else clear_map(c.correspond, kNaN);
    c.phase.clear();  // a recording holds no decoded pattern
    c.phase_w = c.phase_h = 0;
    if (plan.images)
        for (int i = 0; i < 3; ++i)
            if (f.images[i].type != TUVO::ImageType::None) set_image(c, i, f.images[i]);
}

std::string megabytes(std::uint64_t bytes) { return std::to_string((bytes + 500000) / 1000000) + " MB"; }

// The memory check a live capture makes (render/budget.h), for the frame a playback capture
// yields: its results three times over while it runs (a file as read and, compressed, inflated;
// the frame decoded; the camera's maps it is copied into). Nothing is allocated before it.
bool fits_memory(const Recording& rec, const Stream& s, const Frame& f, const Plan& plan, Call& call) {
    const std::uint64_t pixels = static_cast<std::uint64_t>(s.width) * s.height;
    std::uint64_t results = pixels * (24 + (f.normals ? 24 : 0) + (f.depth.empty() ? 0 : 8) +
                                      (f.confidence.empty() ? 0 : 8) + (f.correspond.empty() ? 0 : 16));
    if (plan.images)
        for (int i = 0; i < 3; ++i)
            if (!f.images[i].file.empty())
                results += static_cast<std::uint64_t>(rec.cameras[i].width) * rec.cameras[i].height *
                           (f.images[i].type == TUVO::ImageType::Mono8 ? 1 : 3);
    const std::uint64_t need = 3 * results, avail = available_memory(read_knobs());
    if (need <= avail) return true;
    call.fail(TUVO::Error_OutOfMemory, "a " + std::to_string(s.width) + " x " + std::to_string(s.height) +
                                           " playback capture returns " + megabytes(results) + " and needs up to " +
                                           megabytes(need) + " while it runs; " + megabytes(avail) +
                                           " of memory is available");
    return false;
}

template <class Opts>
bool replay_capture(CameraState& c, const Opts* opts, unsigned key, Call& call) {
    const Stream* s = stream_of(c, call);
    if (!s) return false;
    const Opts o = opts ? *opts : stored_or_recorded(c, key, recorded_options(*s, opts));
    Plan plan;
    if (!plan_capture(c, *s, o, &plan, call)) return false;
    std::size_t index;
    if (!next_frame(c, *s, &index, call)) return false;
    if (!fits_memory(c.dev->playback->rec, *s, s->frames[index], plan, call)) return false;
    FrameData f;
    std::string why;
    if (!load_frame(c.dev->playback->rec, *s, s->frames[index], plan.images, plan.normals, &f, &why)) {
        call.fail(TUVO::Error_FileIO, why);
        return false;
    }
    apply(plan, s->width, s->height, f);
    publish(c, *s, plan, f);
    played(c, *s, index);
    return true;
}

}  // namespace

bool capture(CameraState& c, const TUVO::X1::CaptureOptions* opts, Call& call) {
    return replay_capture(c, opts, c.cid, call);
}

bool capture(CameraState& c, const TUVO::X2::CaptureOptions* opts, Call& call) {
    if (opts && (camera_index(opts->transform_to_camera) < 0 || !(c.dev->cameras & opts->transform_to_camera))) {
        call.fail(TUVO::Error_InvalidArgument, "transform_to_camera names a camera the device lacks");
        return false;
    }
    return replay_capture(c, opts, TUVO::CameraID_Left | TUVO::CameraID_Right, call);
}

bool not_recorded(Call& call, const std::string& what) {
    call.fail(TUVO::Error_NotSupported, "a playback device replays recorded 3-D captures only; " + what + " is not recorded");
    return false;
}

}  // namespace replay
}  // namespace sim
