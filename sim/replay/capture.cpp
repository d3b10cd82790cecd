// Stand-in SDK, playback: the next recorded frame, read and shaped as a live capture's result.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "render/budget.h"
#include "replay/playback.h"

namespace sim {
namespace replay {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

bool in_roi(const TUVO::ROI& r, int x, int y) {
    return x >= r.x && x < r.x + r.width && y >= r.y && y < r.y + r.height;
}

void clear_point(const FrameOut& f, std::size_t i) {
    for (int k = 0; k < 3; ++k) {
        f.points[3 * i + k] = kNaN;
        if (f.normals) f.normals[3 * i + k] = kNaN;
    }
    if (f.depth) f.depth[i] = kNaN;
    if (f.confidence) f.confidence[i] = 0;
}

// The ROI, the output frame and the truncation window, as a live capture applies them.
void apply(const Plan& plan, int width, int height, const FrameOut& f) {
    const std::size_t n = static_cast<std::size_t>(width) * height;
    if (plan.mask) {
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) {
                if (in_roi(plan.roi, x, y)) continue;
                const std::size_t i = static_cast<std::size_t>(y) * width + x;
                clear_point(f, i);
                if (f.correspond && !plan.keep_correspond) f.correspond[2 * i] = f.correspond[2 * i + 1] = kNaN;
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
        if (f.normals) {
            const Eigen::Vector3d nn = R * Eigen::Vector3d(f.normals[3 * i], f.normals[3 * i + 1], f.normals[3 * i + 2]);
            for (int k = 0; k < 3; ++k) f.normals[3 * i + k] = nn[k];
        }
    }
}

std::string megabytes(std::uint64_t bytes) { return std::to_string((bytes + 500000) / 1000000) + " MB"; }

// The memory check a live capture makes (render/budget.h), for the frame a playback capture
// yields: its results up to three times over while it runs (a compressed file as read and inflated,
// the new point map and maps it is read into, the results it replaces while views of them may be
// held). Nothing is allocated before it.
bool fits_memory(const Recording& rec, const Stream& s, const Frame& f, const Plan& plan, const Knobs& knobs,
                 Report& report) {
    const std::uint64_t pixels = static_cast<std::uint64_t>(s.width) * s.height;
    std::uint64_t results = pixels * (24 + (f.normals ? 24 : 0) + (f.depth.empty() ? 0 : 8) +
                                      (f.confidence.empty() ? 0 : 8) + (f.correspond.empty() ? 0 : 16));
    if (plan.images)
        for (int i = 0; i < 3; ++i)
            if (!f.images[i].file.empty())
                results += static_cast<std::uint64_t>(rec.cameras[i].width) * rec.cameras[i].height *
                           (f.images[i].type == TUVO::ImageType::Mono8 ? 1 : 3);
    const std::uint64_t need = 3 * results, avail = available_memory(knobs);
    if (need <= avail) return true;
    report.fail(TUVO::Error_OutOfMemory, "a " + std::to_string(s.width) + " x " + std::to_string(s.height) +
                                             " playback capture returns " + megabytes(results) + " and needs up to " +
                                             megabytes(need) + " while it runs; " + megabytes(avail) +
                                             " of memory is available");
    return false;
}

}  // namespace

bool open_next(Playback& pb, const Stream& s, const Plan& plan, const std::string& what, const Knobs& knobs,
               FrameReader* out, std::size_t* index, Report& report) {
    std::size_t i;
    {
        std::lock_guard<std::mutex> lock(pb.m);
        i = pb.next[s.name];
        if (i >= s.frames.size() && pb.loop) i = 0;
    }
    if (i >= s.frames.size()) {
        report.fail(TUVO::Error_Failed, "end of recording: all " + std::to_string(s.frames.size()) + " frames of " + what +
                                            " have been played");
        return false;
    }
    if (!fits_memory(pb.rec, s, s.frames[i], plan, knobs, report)) return false;
    std::string why;
    if (!out->open(pb.rec, s, s.frames[i], plan.images, &why)) {
        report.fail(TUVO::Error_FileIO, why);
        return false;
    }
    *index = i;
    return true;
}

bool read_frame(FrameReader& frame, const Stream& s, const Plan& plan, const FrameOut& out, Report& report) {
    std::string why;
    if (!frame.read(out, &why)) {
        report.fail(TUVO::Error_FileIO, why);
        return false;
    }
    apply(plan, s.width, s.height, out);
    return true;
}

void played(Playback& pb, const Stream& s, std::size_t index) {
    std::lock_guard<std::mutex> lock(pb.m);
    pb.next[s.name] = index + 1;
}

bool not_recorded(Report& report, const std::string& what) {
    report.fail(TUVO::Error_NotSupported, "a playback device replays recorded 3-D captures only; " + what + " is not recorded");
    return false;
}

}  // namespace replay
}  // namespace sim
