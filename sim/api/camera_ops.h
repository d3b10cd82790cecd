// Stand-in SDK: the operations X1 and X2 share, each on a camera locked for the call.
#pragma once
#include "api/camera.h"
#include "api/capture.h"

namespace sim {
namespace ops {

bool open(Locked c, Call& call, const std::string& what);
bool set_bandwidth(Locked c, Call& call, float ratio);
bool set_transform(Locked c, Call& call, unsigned select, unsigned max_select, const double* m16);
bool get_transform(Locked c, unsigned* select, double* m16);
bool exposure_range(Locked c, int* lo, int* hi);
bool gain_range(Locked c, float* lo, float* hi);
bool gamma_range(Locked c, float* lo, float* hi);
bool load_settings(Locked c, Call& call, const char* filename);
bool save_settings(Locked c, Call& call, const char* filename);
bool check_roi(Locked c, const TUVO::ROI& roi);
TUVO::ROI adjust_roi(Locked c, const TUVO::ROI& roi);
bool roi_range(Locked c, TUVO::ROIRange* range);
bool move_cover(Locked c, Call& call, bool open, bool wait);
bool reset_cover(Locked c, Call& call);
bool cover_status(Locked c, Call& call, TUVO::ProtectiveCoverStatus* status);

// Capture options kept per camera (under `key`) as their text form.
template <class Opts>
bool save_options(Locked c, unsigned key, const Opts& opts) {
    if (!c) return false;
    std::lock_guard<std::mutex> lock(c->dev->m);
    c->dev->stored_options[key] = format_options(opts);
    return true;
}

template <class Opts>
bool load_options(Locked c, Call& call, unsigned key, Opts* opts, const char* owner) {
    if (!c) return false;
    std::lock_guard<std::mutex> lock(c->dev->m);
    auto it = c->dev->stored_options.find(key);
    if (it == c->dev->stored_options.end()) {
        call.fail(TUVO::Error_NotFound, std::string("no capture options have been saved for this ") + owner);
        return false;
    }
    std::string why;
    if (!parse_options(it->second, opts, &why)) {
        call.fail(TUVO::Error_Failed, "stored capture options are damaged: " + why);
        return false;
    }
    return true;
}

// The stored options, or the defaults when none were saved.
template <class Opts>
Opts stored_or_default(CameraState& c, unsigned key) {
    Opts o;
    std::lock_guard<std::mutex> lock(c.dev->m);
    auto it = c.dev->stored_options.find(key);
    std::string why;
    if (it != c.dev->stored_options.end() && !parse_options(it->second, &o, &why)) o = Opts();
    return o;
}

// Exposures for the scene as the camera sees it; with `hdr` a three-step schedule.
template <class Opts>
bool auto_capture(Locked c, Call& call, Opts* opts, const TUVO::ROI& roi, bool hdr) {
    if (!c || !fits_roi(*c.cam, call, roi)) return false;
    int e3, e2, steps[3];
    auto_exposure(*c.cam, roi, &e3, &e2, steps);
    opts->exposure_time_2d = e2;
    if (hdr) {
        opts->hdr_exposure_times = 3;
        for (int k = 0; k < 3; ++k) opts->hdr_exposure_time_content[k] = steps[k];
    } else {
        opts->exposure_time_3d = e3;
        opts->hdr_exposure_times = 0;
    }
    return true;
}

template <class Opts>
bool auto_noise_removal(Locked c, Opts* opts) {
    if (!c) return false;
    opts->use_auto_noise_removal = true;
    opts->noise_removal_distance = auto_noise_distance(*c.cam);
    opts->noise_removal_point_number = 40;
    return true;
}

}  // namespace ops
}  // namespace sim
