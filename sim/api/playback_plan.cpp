// Stand-in SDK, playback devices: what a capture's options ask of a recorded frame, or why they
// cannot be honoured.
#include "api/playback.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <sstream>

#include "core/numbers.h"
#include "render/params.h"

namespace sim {
namespace replay {

namespace {

const char* const kNames[3] = {"left", "right", "extra"};

// Options a playback applies to the recorded frame; every other must equal the recording's.
const std::set<std::string> kAppliedX1 = {"roi", "truncate_z_min", "truncate_z_max", "transform_to_camera", "calc_normal",
                                          "enable_2d_in_capture"};
// The X2's line-scanner options do not touch a capture.
const std::set<std::string> kAppliedX2 = {"roi", "transform_to_camera", "calc_normal", "enable_2d_in_capture",
                                          "line_scanner_scan_time_ms", "line_scanner_exposure_time_us",
                                          "line_scanner_min_distance", "line_scanner_max_distance",
                                          "line_scanner_laser_position", "line_scanner_brightness_threshold"};

std::vector<std::pair<std::string, std::string>> fields_of(const std::string& text) {
    std::vector<std::pair<std::string, std::string>> out;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        const auto eq = line.find(" = ");
        if (eq != std::string::npos) out.emplace_back(line.substr(0, eq), line.substr(eq + 3));
    }
    return out;
}

// Compares the options in their text form (full precision), so every field is covered.
template <class Opts>
bool same_settings(const Opts& asked, const Opts& recorded, const std::set<std::string>& applied, Call& call) {
    const auto a = fields_of(format_options(asked)), r = fields_of(format_options(recorded));
    for (std::size_t i = 0; i < a.size() && i < r.size(); ++i) {
        if (applied.count(a[i].first) || a[i].second == r[i].second) continue;
        call.fail(TUVO::Error_NotSupported, "the recording was made with " + a[i].first + " = " + r[i].second +
                                                " and cannot replay " + a[i].first + " = " + a[i].second);
        return false;
    }
    return true;
}

// The frame points are given in: the device's (the frame extrinsic matrices lead into), a camera's,
// or the calibration board's, with a user matrix on top.
struct OutFrame {
    bool board = false;
    int camera = 0;  // -1: the device's frame
    bool user = false;
    double U[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
};

bool same(const OutFrame& a, const OutFrame& b) {
    return a.board == b.board && a.camera == b.camera && a.user == b.user &&
           (!a.user || std::memcmp(a.U, b.U, sizeof a.U) == 0);
}

// X1: select 1 is its own camera's frame, 2 the board's; 0 the camera's or the device's frame.
OutFrame x1_frame(unsigned cid, bool camera_frame, unsigned select, const double* m) {
    OutFrame f;
    f.camera = select == 0 && !camera_frame ? -1 : camera_index(cid);
    f.board = select == 2;
    f.user = select != 0;
    if (f.user) std::memcpy(f.U, m, sizeof f.U);
    return f;
}

// X2: select 1 left, 2 right, 3 the board, 4 extra; 0 the camera transform_to_camera names.
OutFrame x2_frame(unsigned frame_camera, unsigned select, const double* m) {
    OutFrame f;
    f.camera = select == 0 ? camera_index(frame_camera) : select == 2 ? 1 : select == 4 ? 2 : 0;
    f.board = select == 3;
    f.user = select != 0;
    if (f.user) std::memcpy(f.U, m, sizeof f.U);
    return f;
}

// The map from the device's frame to an output frame, from the recorded calibration.
bool to_output(const Recording& rec, const OutFrame& f, Eigen::Matrix4d* M, Call& call) {
    if (f.camera < 0) {
        M->setIdentity();
        return true;
    }
    const Calibration& cal = rec.cameras[f.camera];
    if (!cal.known) {
        call.fail(TUVO::Error_NotSupported, std::string("the recording holds no calibration of the ") + kNames[f.camera] +
                                                " camera, so its points cannot be given in that camera's frame");
        return false;
    }
    Eigen::Matrix4d E, U;
    for (int i = 0; i < 16; ++i) E(i / 4, i % 4) = cal.extrinsic[i], U(i / 4, i % 4) = f.U[i];
    *M = U * E.inverse();
    return true;
}

bool whole(const TUVO::ROI& r) { return r.x == 0 && r.y == 0 && r.width == 0 && r.height == 0; }

bool inside(const TUVO::ROI& r, const TUVO::ROI& outer) {
    if (whole(outer)) return true;
    if (whole(r)) return false;
    return r.x >= outer.x && r.y >= outer.y && static_cast<long long>(r.x) + r.width <= static_cast<long long>(outer.x) + outer.width &&
           static_cast<long long>(r.y) + r.height <= static_cast<long long>(outer.y) + outer.height;
}

std::string roi_text(const TUVO::ROI& r) {
    if (whole(r)) return "the whole image";
    return "(" + std::to_string(r.x) + ", " + std::to_string(r.y) + ", " + std::to_string(r.width) + ", " +
           std::to_string(r.height) + ")";
}

// What both devices share once the options are known: validity, images, normals, ROI, frame and
// truncation window.
struct Ask {
    CaptureParams p;                  // the options asked for
    bool rec_images, rec_normals;     // what the recording was made with
    TUVO::ROI rec_roi;
    OutFrame want, had;
    double rec_zmin, rec_zmax;
};

bool valid(const CaptureParams& p, Call& call) {
    return valid_3d(p, call) && (!p.enable_2d || valid_2d(p, call));
}

bool plan_common(const CameraState& c, const Ask& a, Plan* plan, Call& call) {
    const CaptureParams& p = a.p;
    if (!check_roi(c, p.roi)) {
        call.fail(TUVO::Error_InvalidArgument, "the ROI does not fit the camera's ROI range");
        return false;
    }
    plan->images = p.enable_2d;
    if (plan->images && !a.rec_images) {
        call.fail(TUVO::Error_NotSupported, "the recording holds no images: it was made with enable_2d_in_capture = false");
        return false;
    }
    plan->normals = p.calc_normal;
    if (plan->normals && !a.rec_normals) {
        call.fail(TUVO::Error_NotSupported, "the recording holds no normals: it was made with calc_normal = false");
        return false;
    }
    if (std::memcmp(&p.roi, &a.rec_roi, sizeof p.roi) != 0) {
        if (!inside(p.roi, a.rec_roi)) {
            call.fail(TUVO::Error_NotSupported, "the ROI " + roi_text(p.roi) + " reaches outside the recording's ROI " +
                                                    roi_text(a.rec_roi));
            return false;
        }
        plan->mask = true;
        plan->roi = p.roi;
    }
    plan->keep_correspond = p.correspond2d;
    if (!same(a.want, a.had)) {
        if (a.want.board || a.had.board) {
            call.fail(TUVO::Error_NotSupported, "the recording knows no calibration board pose, so its points cannot be moved "
                                                "into or out of the board's frame");
            return false;
        }
        Eigen::Matrix4d M_want, M_had;
        const Recording& rec = c.dev->playback->rec;
        if (!to_output(rec, a.want, &M_want, call) || !to_output(rec, a.had, &M_had, call)) return false;
        const Eigen::FullPivLU<Eigen::Matrix4d> lu(M_had);
        if (!lu.isInvertible()) {
            call.fail(TUVO::Error_NotSupported, "the recording's custom transformation cannot be undone (its matrix is singular)");
            return false;
        }
        plan->move = true;
        plan->T = M_want * lu.inverse();
    }
    if (plan->move || p.zmin != a.rec_zmin || p.zmax != a.rec_zmax) {
        if (p.zmin < a.rec_zmin || p.zmax > a.rec_zmax) {
            call.fail(TUVO::Error_NotSupported, "the truncation window " + format_double(p.zmin) + " to " + format_double(p.zmax) +
                                                    " mm reaches outside the recording's, " + format_double(a.rec_zmin) + " to " +
                                                    format_double(a.rec_zmax) + " mm");
            return false;
        }
        plan->truncate = true;
        plan->zmin = p.zmin;
        plan->zmax = p.zmax;
    }
    return true;
}

}  // namespace

bool plan_capture(const CameraState& c, const Stream& s, const TUVO::X1::CaptureOptions& o, Plan* plan, Call& call) {
    const TUVO::X1::CaptureOptions& r = s.x1_options;
    Ask a;
    a.p = params_of(o);
    if (!valid(a.p, call) || !same_settings(o, r, kAppliedX1, call)) return false;
    a.p.frame_camera = c.cid;
    a.rec_images = r.enable_2d_in_capture;
    a.rec_normals = r.calc_normal;
    a.rec_roi = r.roi;
    a.want = x1_frame(c.cid, o.transform_to_camera, c.transform.select, c.transform.m);
    a.had = x1_frame(c.cid, r.transform_to_camera, s.transform.select, s.transform.matrix);
    a.rec_zmin = r.truncate_z_min;
    a.rec_zmax = r.truncate_z_max;
    if (s.balance_known && std::memcmp(c.balance, s.balance, sizeof c.balance) != 0) {
        call.fail(TUVO::Error_NotSupported, "the balance ratios differ from the recording's (" + format_double(s.balance[0]) + ", " +
                                                format_double(s.balance[1]) + ", " + format_double(s.balance[2]) + ")");
        return false;
    }
    return plan_common(c, a, plan, call);
}

bool plan_capture(const CameraState& c, const Stream& s, const TUVO::X2::CaptureOptions& o, Plan* plan, Call& call) {
    const TUVO::X2::CaptureOptions& r = s.x2_options;
    Ask a;
    a.p = params_of(o);
    if (!valid(a.p, call) || !same_settings(o, r, kAppliedX2, call)) return false;
    a.rec_images = r.enable_2d_in_capture;
    a.rec_normals = r.calc_normal;
    a.rec_roi = r.roi;
    a.want = x2_frame(o.transform_to_camera, c.transform.select, c.transform.m);
    a.had = x2_frame(r.transform_to_camera, s.transform.select, s.transform.matrix);
    a.rec_zmin = a.p.zmin;  // X2 captures keep the SDK's fixed window
    a.rec_zmax = a.p.zmax;
    // The X2 does not report its balance, so a recording holds none: its colour images show the
    // balance they were made with, which a playback X2 keeps (1, 1, 1) until something changes it.
    const Recording& rec = c.dev->playback->rec;
    const bool colour = std::any_of(rec.cameras.begin(), rec.cameras.end(), [](const Calibration& k) { return k.colour; });
    if (colour && (c.balance[0] != 1.0f || c.balance[1] != 1.0f || c.balance[2] != 1.0f)) {
        call.fail(TUVO::Error_NotSupported, "the white balance was changed: the recording cannot show another (" +
                                                format_double(c.balance[0]) + ", " + format_double(c.balance[1]) + ", " +
                                                format_double(c.balance[2]) + ")");
        return false;
    }
    return plan_common(c, a, plan, call);
}

}  // namespace replay
}  // namespace sim
