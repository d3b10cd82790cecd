// Stand-in SDK: the operations X1 and X2 share.
#include "api/camera_ops.h"

#include <algorithm>
#include <cmath>

#include "api/settings.h"
#include "control/knobs.h"
#include "core/files.h"

namespace sim {
namespace ops {

bool open(Locked c, Call& call, const std::string& what) {
    if (!c || !connected(*c.cam, call)) return false;
    if (c->open) return true;
    std::lock_guard<std::mutex> lock(c->dev->m);
    if (c->dev->open_cameras & c->cid) {
        call.fail(TUVO::Error_Busy, what + " already open by another handle");
        return false;
    }
    c->dev->open_cameras |= c->cid;
    c->open = true;
    c->opened_at = std::chrono::steady_clock::now();
    return true;
}

bool set_bandwidth(Locked c, Call& call, float ratio) {
    if (!c) return false;
    if (!(ratio > 0.0f && ratio <= 1.0f)) {
        call.fail(TUVO::Error_InvalidArgument, "bandwidth must be in (0, 1]");
        return false;
    }
    c->bandwidth = ratio;
    return true;
}

bool set_transform(Locked c, Call& call, unsigned select, unsigned max_select, const double* m16) {
    if (!c) return false;
    if (select > max_select) {
        call.fail(TUVO::Error_InvalidArgument, "unknown coordinate selection " + std::to_string(select));
        return false;
    }
    if (!std::all_of(m16, m16 + 16, [](double v) { return std::isfinite(v); })) {
        call.fail(TUVO::Error_InvalidArgument, "the transformation holds a value that is not finite");
        return false;
    }
    c->transform.select = select;
    std::copy(m16, m16 + 16, c->transform.m);
    return true;
}

bool get_transform(Locked c, unsigned* select, double* m16) {
    if (!c) return false;
    *select = c->transform.select;
    std::copy(c->transform.m, c->transform.m + 16, m16);
    return true;
}

namespace {
template <class T>
bool range(const Locked& c, T* lo, T* hi, T low, T high) {
    if (!c || !lo || !hi) return false;
    *lo = low;
    *hi = high;
    return true;
}
}  // namespace

bool exposure_range(Locked c, int* lo, int* hi) { return range(c, lo, hi, 3, 100); }
bool gain_range(Locked c, float* lo, float* hi) { return range(c, lo, hi, 0.0f, 20.0f); }
bool gamma_range(Locked c, float* lo, float* hi) { return range(c, lo, hi, 0.5f, 3.0f); }

bool load_settings(Locked c, Call& call, const char* filename) {
    if (!c) return false;
    if (!filename) {
        call.fail(TUVO::Error_InvalidArgument, "null file name");
        return false;
    }
    std::string text, why;
    if (!read_regular_file(filename, kMaxSettingsBytes, &text, &why)) {
        call.fail(TUVO::Error_FileIO, why);
        return false;
    }
    if (!parse_settings(*c.cam, text, &why)) {
        call.fail(TUVO::Error_FileIO, std::string(filename) + ": " + why);
        return false;
    }
    return true;
}

bool save_settings(Locked c, Call& call, const char* filename) {
    if (!c) return false;
    if (!filename) {
        call.fail(TUVO::Error_InvalidArgument, "null file name");
        return false;
    }
    std::string why;
    if (!save_file(filename, format_settings(*c.cam), read_knobs().save_fail_after_bytes, &why)) {
        call.fail(TUVO::Error_FileIO, why);
        return false;
    }
    return true;
}

bool check_roi(Locked c, const TUVO::ROI& roi) { return c && sim::check_roi(*c.cam, roi); }

TUVO::ROI adjust_roi(Locked c, const TUVO::ROI& roi) {
    return c ? sim::adjust_roi(*c.cam, roi) : TUVO::ROI{0, 0, 0, 0};
}

bool roi_range(Locked c, TUVO::ROIRange* range) {
    if (!c) return false;
    *range = sim::roi_range(*c.cam);
    return true;
}

bool move_cover(Locked c, Call& call, bool open, bool wait) {
    const Knobs k = read_knobs();
    if (!c || !sim::move_cover(*c.cam, open, k, call)) return false;
    if (!wait) return true;
    // The wait lets the camera go: its other calls, and SystemShutdown, go on meanwhile.
    const std::shared_ptr<CameraState> cam = c.cam;
    c.lock.unlock();
    return sim::wait_cover(*cam, open, k, call);
}

bool reset_cover(Locked c, Call& call) { return c && sim::reset_cover(*c.cam, call); }

bool cover_status(Locked c, Call& call, TUVO::ProtectiveCoverStatus* status) {
    if (!c) return false;
    if (!c->dev->cover) {
        call.fail(TUVO::Error_NotSupported, "the device has no protective cover");
        return false;
    }
    std::lock_guard<std::mutex> lock(c->dev->m);
    *status = sim::cover_status(*c->dev, read_knobs());
    return true;
}


}  // namespace ops
}  // namespace sim
