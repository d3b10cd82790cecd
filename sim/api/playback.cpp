// Stand-in SDK, playback devices: the recording's description, calibration and frames put into the
// device's and its cameras' state.
#include "api/playback.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "core/hooks.h"

namespace sim {
namespace replay {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

bool read_x1_options(const std::string& text, TUVO::X1::CaptureOptions* o, std::string* why) {
    return parse_options(text, o, why);
}
bool read_x2_options(const std::string& text, TUVO::X2::CaptureOptions* o, std::string* why) {
    return parse_options(text, o, why);
}

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

// A frame without a map of this kind: the camera's map (if any) shows nothing measured rather
// than an earlier frame's values; it stays, as views of it may be held.
void clear_map(const std::pair<std::uint32_t, std::uint32_t>& slot, double nothing) {
    if (auto m = maps().get(slot.first, slot.second)) std::fill(m->data.begin(), m->data.end(), nothing);
}

void set_image(CameraState& c, int index, const FrameReader::Picture& pic) {
    std::shared_ptr<ImageObj> obj;
    TUVO::Image img = new_image(pic.type, pic.width, pic.height, &obj, true);  // the picture decoded to its full size
    std::memcpy(obj->data, pic.pixels.data(), pic.pixels.size());
    if (!c.image_given[index]) TUVO::Image::Destroy(c.images[index], true);
    c.images[index] = img;
    c.image_given[index] = false;
}

// The camera's map behind `slot` for a frame that has one (made unfilled when the camera has none
// of this size: the frame's numbers are read into every value), else null.
std::shared_ptr<MapObj> frame_map(bool has, std::pair<std::uint32_t, std::uint32_t>& slot, const Stream& s, int comps) {
    return has ? map_for(slot, s.width, s.height, comps, true) : nullptr;
}

// The frame's numbers are read straight into a new point map and into the camera's maps (in
// place, so views taken earlier follow), then the frame becomes the camera's latest result, as a
// live capture's would. A frame the reader refused at opening leaves every result as it was; one
// whose file fails while it is read (the disk, or a file changed under it) leaves the point map and
// the maps showing nothing measured rather than part of a frame beside an earlier one.
bool publish(CameraState& c, const Stream& s, const Plan& plan, FrameReader& f, Call& call) {
    const std::size_t n = static_cast<std::size_t>(s.width) * s.height;
    auto obj = std::make_shared<PointMapObj>();
    obj->width = s.width;
    obj->height = s.height;
    std::shared_ptr<MapObj> depth, confidence, correspond;
    auto show_nothing = [&] {
        for (MapObj* m : {depth.get(), correspond.get()})
            if (m) std::fill(m->data.begin(), m->data.end(), kNaN);
        if (confidence) std::fill(confidence->data.begin(), confidence->data.end(), 0.0);
    };
    bool read = false;
    try {
        obj->points.resize(n * 3);  // unfilled: every value is read
        if (plan.normals && f.normals()) obj->normals.resize(n * 3);
        depth = frame_map(f.has_depth(), c.depth, s, 1);
        confidence = frame_map(f.has_confidence(), c.confidence, s, 1);
        correspond = frame_map(f.has_correspond(), c.correspond, s, 2);
        FrameOut out;
        out.points = obj->points.data();
        out.normals = obj->nrm();
        out.depth = depth ? depth->data.data() : nullptr;
        out.confidence = confidence ? confidence->data.data() : nullptr;
        out.correspond = correspond ? correspond->data.data() : nullptr;
        allocation_fault("capture.fail_alloc");  // tests make the capture run out of memory here
        read = read_frame(f, s, plan, out, call);
    } catch (...) {  // memory ran out: as a live capture's, no point map and maps that show nothing
        show_nothing();
        if (!c.points_given) TUVO::PointMap::Destroy(c.points, true);
        c.points = TUVO::PointMap();
        c.points_given = false;
        throw;
    }
    if (!read) {  // every result shows nothing measured, the points as the maps
        std::fill(obj->points.begin(), obj->points.end(), kNaN);
        std::fill(obj->normals.begin(), obj->normals.end(), kNaN);
        show_nothing();
    }
    const TUVO::PointMap pm = make_handle<TUVO::PointMap>(pointmaps().add(obj));
    if (!c.points_given) TUVO::PointMap::Destroy(c.points, true);
    c.points = pm;
    c.points_given = false;
    if (!depth) clear_map(c.depth, kNaN);
    if (!confidence) clear_map(c.confidence, 0);
    if (!correspond) clear_map(c.correspond, kNaN);
    c.phase.clear();  // a recording holds no decoded pattern
    c.phase_w = c.phase_h = 0;
    if (read && plan.images)
        for (int i = 0; i < 3; ++i)
            if (f.image(i).type != TUVO::ImageType::None) set_image(c, i, f.image(i));
    return read;
}

template <class Opts>
bool replay_capture(CameraState& c, const Opts* opts, unsigned key, Call& call) {
    const Stream* s = stream_of(c, call);
    if (!s) return false;
    const Opts o = opts ? *opts : stored_or_recorded(c, key, recorded_options(*s, opts));
    Plan plan;
    if (!plan_capture(c, *s, o, &plan, call)) return false;
    FrameReader f;
    std::size_t index;
    if (!open_next(*c.dev->playback, *s, plan, what(c), read_knobs(), &f, &index, call)) return false;
    hold_point("playback.read");  // tests change the frame's files here, after they were checked
    if (!publish(c, *s, plan, f, call)) return false;
    played(*c.dev->playback, *s, index);
    return true;
}

}  // namespace

bool attach(DeviceState& d, const RigEntry& e, std::string* why) {
    std::shared_ptr<Playback> pb;
    if (!open_recording(e, OptionReaders{read_x1_options, read_x2_options}, read_knobs(), &pb, why)) return false;
    if (!pb) return true;  // a virtual device
    const Description& r = pb->rec.device;
    if (!e.keys.count("name")) d.name = r.name;
    if (!e.keys.count("sn")) d.sn = r.sn;
    if (!e.keys.count("port")) d.port = r.port;
    if (!e.keys.count("port_type")) d.port_type = r.port_type;
    d.factory_date = r.factory_date;
    d.cameras = r.cameras;
    d.boardmodel = r.boardmodel;
    d.x1 = r.x1;
    d.x2 = r.x2;
    d.cover = r.cover;
    d.extra = r.extra;
    d.projector_colors = r.colors;
    d.capture_modes = r.capture_modes;
    d.near_mm = r.near_mm;
    d.far_mm = r.far_mm;
    const Calibration& left = pb->rec.cameras[0];
    if (left.known) {
        d.width = left.width;
        d.height = left.height;
    } else if (!pb->rec.streams.empty()) {
        d.width = pb->rec.streams.front().width;
        d.height = pb->rec.streams.front().height;
    }
    d.color = left.known && left.colour;
    d.playback = std::move(pb);
    return true;
}

void setup_camera(CameraState& c) {
    const Recording& rec = c.dev->playback->rec;
    for (int i = 0; i < 3; ++i) {
        const Calibration& cal = rec.cameras[i];
        if (!cal.known) continue;
        CameraModel& m = c.optics.models[i];
        m.width = cal.width;
        m.height = cal.height;
        m.fx = cal.intrinsics[0];
        m.fy = cal.intrinsics[4];
        m.cx = cal.intrinsics[2];
        m.cy = cal.intrinsics[5];
        for (int r = 0; r < 3; ++r) {
            for (int k = 0; k < 3; ++k) m.R(r, k) = cal.extrinsic[4 * r + k];
            m.t[r] = cal.extrinsic[4 * r + 3];
        }
        m.colour = cal.colour;
        c.optics.calib[i] = m;
    }
    const Stream* s = rec.stream(stream_name(c));
    if (s && s->balance_known) std::copy(s->balance, s->balance + 3, c.balance);
}

bool extrinsic(const CameraState& c, int index, float* m16, Call& call) {
    const Calibration* cal = recorded_calibration(c.dev->playback->rec, index, call);
    if (!cal) return false;
    std::copy(cal->extrinsic, cal->extrinsic + 16, m16);
    return true;
}

bool intrinsics(const CameraState& c, int index, float* k9, float* d5, Call& call) {
    const Calibration* cal = recorded_calibration(c.dev->playback->rec, index, call);
    if (!cal) return false;
    std::copy(cal->intrinsics, cal->intrinsics + 9, k9);
    std::copy(cal->distortion, cal->distortion + 5, d5);
    return true;
}

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

}  // namespace replay
}  // namespace sim
