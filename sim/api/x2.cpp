// Stand-in SDK: the two-camera device X2, with its fixed line scan.
#include <cmath>

#include "api/camera_ops.h"
#include "api/capture.h"
#include "api/line_scan.h"
#include "api/playback.h"
#include "control/control.h"
#include "control/knobs.h"
#include "render/budget.h"

using namespace sim;

namespace TUVO {

namespace {

constexpr unsigned kStereo = CameraID_Left | CameraID_Right;

// The X2 cameras a CameraID names (the extra one only where the device has it).
int x2_index(const CameraState& c, CameraID cid, Call& call) {
    const int i = camera_index(cid);
    if (i < 0 || !(c.dev->cameras & cid)) {
        call.fail(Error_InvalidArgument, "the device has no camera " + std::to_string(cid));
        return -1;
    }
    return i;
}

// Captures need the cameras to themselves: not while the fixed line scan runs.
bool not_scanning(CameraState& c, Call& call) {
    std::lock_guard<std::mutex> lock(c.scan_m);
    if (c.scanning) {
        call.fail(Error_Busy, "a fixed line scan is running");
        return false;
    }
    return true;
}

bool capture_x2(X2& h, const X2::CaptureOptions* opts, Call& call) {
    auto c = locked(h, call, true);
    const Knobs k = read_knobs();
    if (!c || !connected(*c.cam, call) || !cover_ready(*c.cam, k, call) || !not_scanning(*c.cam, call)) return false;
    if (c->dev->playback) return replay::capture(*c.cam, opts, call);
    const X2::CaptureOptions o = opts ? *opts : ops::stored_or_default<X2::CaptureOptions>(*c.cam, kStereo);
    CaptureParams p = params_of(o);
    if (camera_index(p.frame_camera) < 0 || !(c->dev->cameras & p.frame_camera)) {
        call.fail(Error_InvalidArgument, "transform_to_camera names a camera the device lacks");
        return false;
    }
    return fits_memory(*c.cam, p, CaptureKind::Points, k, call) && capture_3d(*c.cam, p, k, call);
}

}  // namespace

X2::X2() : slot(0), generation(0) {}

X2 X2::Create(const Device& device) try {
    Call call("X2.Create");
    call.arg("device_slot", static_cast<long long>(device.slot));
    if (call.failed()) return X2();
    if (!sdk_inited()) {
        call.fail(Error_NotInitialized, "SystemInit has not been called");
        return X2();
    }
    auto dev = device_of(device, call);
    if (!dev) return X2();
    if (!dev->x2) {
        call.fail(Error_NotSupported, "the device cannot be used as X2");
        return X2();
    }
    auto c = std::make_shared<CameraState>();
    c->dev = dev;
    c->x2 = true;
    c->cid = dev->cameras;  // left, right and the extra camera where there is one
    setup_camera(*c, read_knobs());
    return make_handle<X2>(cameras().add(c));
} catch (...) { return escaped(X2()); }

void X2::Destroy(X2& camera) try {
    Call call("X2.Destroy");
    call.arg("slot", static_cast<long long>(camera.slot));
    auto c = cameras().remove(camera.slot, camera.generation);
    camera.slot = camera.generation = 0;
    if (!c) return;
    std::lock_guard<std::mutex> lock(c->m);
    c->gone = true;
    close_camera(*c);
    release_results(*c);
    release_maps(*c);
} catch (...) { escaped(); }

bool X2::Open() try {
    Call call("X2.Open");
    auto c = locked(*this, call, false);
    const std::string what = std::string("the device's cameras are");
    return ops::open(std::move(c), call, what);
} catch (...) { return escaped(false); }

bool X2::IsOpen() try {
    Call call("X2.IsOpen");
    auto c = locked(*this, call, false);
    return c && c->open;
} catch (...) { return escaped(false); }

void X2::Close() try {
    Call call("X2.Close");
    auto c = locked(*this, call, false);
    if (!c) return;
    close_camera(*c.cam);
} catch (...) { escaped(); }

bool X2::IsValid() const try {
    Call call("X2.IsValid");
    return cameras().get(slot, generation) != nullptr;
} catch (...) { return escaped(false); }

bool X2::IsPhysicallyConnected() try {
    Call call("X2.IsPhysicallyConnected");
    auto c = locked(*this, call, false);
    return c && device_connected(c->dev->sn);
} catch (...) { return escaped(false); }

bool X2::Capture(const CaptureOptions& opts) try {
    Call call("X2.Capture");
    call.arg("exposure_time_3d", static_cast<long long>(opts.exposure_time_3d));
    return capture_x2(*this, &opts, call);
} catch (...) { return escaped(false); }

bool X2::Capture() try {
    Call call("X2.Capture()");
    return capture_x2(*this, nullptr, call);
} catch (...) { return escaped(false); }

// ---- fixed line scan (its producer: api/line_scan.cpp) ----

namespace {

bool start_scan(X2& h, const X2::CaptureOptions* opts, Call& call) {
    auto c = locked(h, call, true);
    const Knobs k = read_knobs();
    if (!c || !connected(*c.cam, call) || !cover_ready(*c.cam, k, call)) return false;
    if (!(c->dev->capture_modes & CaptureMode_FixedLineScan)) {
        call.fail(Error_NotSupported, "the device has no fixed line scan");
        return false;
    }
    if (c->dev->playback) return replay::not_recorded(call, "the fixed line scan");
    const X2::CaptureOptions o = opts ? *opts : ops::stored_or_default<X2::CaptureOptions>(*c.cam, kStereo);
    if (o.line_scanner_scan_time_ms < 10 || o.line_scanner_scan_time_ms > 60000 || o.line_scanner_exposure_time_us < 10 ||
        o.line_scanner_exposure_time_us > 100000) {
        call.fail(Error_InvalidArgument, "line_scanner_scan_time_ms must be 10..60000 and "
                                         "line_scanner_exposure_time_us 10..100000");
        return false;
    }
    if (!valid_3d(params_of(o), call) || !fits_memory(*c.cam, params_of(o), CaptureKind::LineScan, k, call)) return false;
    if (o.line_scanner_max_distance > 0 && o.line_scanner_min_distance >= o.line_scanner_max_distance) {
        call.fail(Error_InvalidArgument, "line_scanner_min_distance must be below line_scanner_max_distance");
        return false;
    }
    stop_scanners_at_exit();
    std::unique_lock<std::mutex> lock(c->scan_m);
    c->scan_cv.wait(lock, [&] { return !c->scan_stopping; });
    if (c->scanning) {
        call.fail(Error_Busy, "a fixed line scan is already running");
        return false;
    }
    if (c->scanner.joinable()) c->scanner.join();  // a producer that ended on its own
    c->scan_error.clear();
    c->scan_error_code = 0;
    c->scanning = true;
    c->scan_stop = false;
    c->scan_cancel = false;
    c->scan_frames = 0;
    c->scanner = std::thread(scan_loop, c.cam, params_of(o), c->transform, o.line_scanner_scan_time_ms,
                             static_cast<double>(o.line_scanner_min_distance),
                             static_cast<double>(o.line_scanner_max_distance));
    return true;
}

}  // namespace

bool X2::StartFixedLineScan(const CaptureOptions& opts) try {
    Call call("X2.StartFixedLineScan");
    call.arg("line_scanner_scan_time_ms", static_cast<long long>(opts.line_scanner_scan_time_ms));
    return start_scan(*this, &opts, call);
} catch (...) { return escaped(false); }

bool X2::StartFixedLineScan() try {
    Call call("X2.StartFixedLineScan()");
    return start_scan(*this, nullptr, call);
} catch (...) { return escaped(false); }

PointMap X2::GetFixedLineScanPointMap() try {
    Call call("X2.GetFixedLineScanPointMap");
    PointMap out;
    if (!GetFixedLineScanPointMap(out)) return PointMap();
    return out;
} catch (...) { return escaped(PointMap()); }

bool X2::GetFixedLineScanPointMap(PointMap& pointmap) try {
    Call call("X2.GetFixedLineScanPointMap(pm)");
    if (call.failed()) return false;
    auto c = camera_of(slot, generation, call, true);
    if (!c) return false;
    std::unique_lock<std::mutex> lock(c->scan_m);
    auto ended = [&] {
        if (c->scan_error.empty()) call.fail(Error_Failed, "no fixed line scan is running");
        else call.fail(c->scan_error_code, "the fixed line scan ended: " + c->scan_error);
        return false;
    };
    if (!c->scanning) return ended();
    // Wait for the first complete sweep.
    ++c->dev->scan_waiters;
    const bool arrived = c->scan_cv.wait_for(lock, std::chrono::seconds(65), [&] {
        return c->scan_frames > 0 || c->scan_stop || !c->scanning;
    });
    --c->dev->scan_waiters;
    if (!c->scanning) return ended();
    if (c->scan_stop) {  // stopped while this call waited (StopFixedLineScan, Close, Destroy, shutdown)
        call.fail(Error_Failed, "the fixed line scan was stopped before a point map arrived");
        return false;
    }
    if (!arrived) {
        call.fail(Error_Timeout, "no point map arrived");
        return false;
    }
    auto src = lookup(pointmaps(), c->scan_latest);
    if (!src) {
        call.fail(Error_Failed, "no point map arrived");
        return false;
    }
    // Fill the caller's point map in place when it fits, else give it back and hand the caller a new one.
    auto dst = lookup(pointmaps(), pointmap);
    if (!dst || dst->width != src->width || dst->height != src->height) {
        dst.reset();
        pointmaps().remove(pointmap.slot, pointmap.generation);
        pointmap = new_pointmap(src->width, src->height, false, nullptr, &dst);
    }
    std::copy(src->pts(), src->pts() + src->count() * 3, dst->pts());
    return true;
} catch (...) { return escaped(false); }

bool X2::StopFixedLineScan() try {
    Call call("X2.StopFixedLineScan");
    if (call.failed()) return false;
    auto c = camera_of(slot, generation, call, true);
    if (!c) return false;
    int code = 0;
    std::string why;
    switch (stop_scanner(*c, &code, &why)) {
        case ScanStop::Stopped: return true;
        case ScanStop::Ended: call.fail(code, "the fixed line scan had ended: " + why); return false;
        case ScanStop::Idle: break;
    }
    call.fail(Error_Failed, "no fixed line scan is running");
    return false;
} catch (...) { return escaped(false); }

bool X2::Capture2D(CameraID cid, const CaptureOptions& opts) try {
    Call call("X2.Capture2D");
    call.arg("cid", static_cast<long long>(cid)).arg("exposure_time_2d", static_cast<long long>(opts.exposure_time_2d));
    auto c = locked(*this, call, true);
    const Knobs k = read_knobs();
    if (!c || !connected(*c.cam, call) || !cover_ready(*c.cam, k, call) || !not_scanning(*c.cam, call)) return false;
    if (c->dev->playback) return replay::not_recorded(call, "a 2-D capture");
    const int i = x2_index(*c.cam, cid, call);
    return i >= 0 && fits_memory(*c.cam, params_of(opts), CaptureKind::Image, k, call) &&
           capture_2d(*c.cam, i, params_of(opts), k, call);
} catch (...) { return escaped(false); }

bool X2::Capture2D(CameraID cid) try {
    Call call("X2.Capture2D(cid)");
    call.arg("cid", static_cast<long long>(cid));
    auto c = locked(*this, call, true);
    const Knobs k = read_knobs();
    if (!c || !connected(*c.cam, call) || !cover_ready(*c.cam, k, call) || !not_scanning(*c.cam, call)) return false;
    if (c->dev->playback) return replay::not_recorded(call, "a 2-D capture");
    const int i = x2_index(*c.cam, cid, call);
    const CaptureOptions o = ops::stored_or_default<CaptureOptions>(*c.cam, kStereo);
    return i >= 0 && fits_memory(*c.cam, params_of(o), CaptureKind::Image, k, call) &&
           capture_2d(*c.cam, i, params_of(o), k, call);
} catch (...) { return escaped(false); }

bool X2::SetBandwidth(float ratio) try {
    Call call("X2.SetBandwidth");
    call.arg("ratio", static_cast<double>(ratio));
    return ops::set_bandwidth(locked(*this, call, true), call, ratio);
} catch (...) { return escaped(false); }

bool X2::SetCustomTransformation(const CustomTransformOptions& opts) try {
    Call call("X2.SetCustomTransformation");
    call.arg("coordinate_select", static_cast<long long>(opts.coordinate_select));
    record_transform(call, opts.transform);
    auto c = locked(*this, call, true);
    const unsigned most = (c && c->dev->extra) ? CustomTransformOptions::CoordinateSelect_CameraExtra : CustomTransformOptions::CoordinateSelect_CaliBoard;
    return ops::set_transform(std::move(c), call, opts.coordinate_select, most, opts.transform);
} catch (...) { return escaped(false); }

bool X2::GetCustomTransformation(CustomTransformOptions& opts) try {
    Call call("X2.GetCustomTransformation");
    unsigned select = 0;
    if (!ops::get_transform(locked(*this, call, true), &select, opts.transform)) return false;
    opts.coordinate_select = static_cast<CustomTransformOptions::CoordinateSelect>(select);
    return true;
} catch (...) { return escaped(false); }

bool X2::GetCameraResolution(Size& size) try {
    Call call("X2.GetCameraResolution");
    auto c = locked(*this, call, false);
    if (!c) return false;
    size = Size{c->optics.models[0].width, c->optics.models[0].height};
    return true;
} catch (...) { return escaped(false); }

bool X2::GetProjectorTemperature(float& celsius) try {
    Call call("X2.GetProjectorTemperature");
    auto c = locked(*this, call, true);
    if (!c) return false;
    celsius = temperature(*c.cam, 6, read_knobs());
    return true;
} catch (...) { return escaped(false); }

Image X2::GetImage(CameraID cid) try {
    Call call("X2.GetImage");
    call.arg("cid", static_cast<long long>(cid));
    auto c = locked(*this, call, false);
    if (!c) return Image();
    const int i = x2_index(*c.cam, cid, call);
    return i < 0 ? Image() : take_image(*c.cam, i);
} catch (...) { return escaped(Image()); }

PointMap X2::GetPointMap() try {
    Call call("X2.GetPointMap");
    auto c = locked(*this, call, false);
    return c ? take_points(*c.cam) : PointMap();
} catch (...) { return escaped(PointMap()); }

ConfidenceMap X2::GetConfidenceMap() try {
    Call call("X2.GetConfidenceMap");
    auto c = locked(*this, call, false);
    return c ? make_handle<ConfidenceMap>(c->confidence) : ConfidenceMap();
} catch (...) { return escaped(ConfidenceMap()); }

CorrespondMap X2::GetCorrespondMap() try {
    Call call("X2.GetCorrespondMap");
    auto c = locked(*this, call, false);
    return c ? make_handle<CorrespondMap>(c->correspond) : CorrespondMap();
} catch (...) { return escaped(CorrespondMap()); }

bool X2::SaveEncodedImagesData(const char* filename) try {
    Call call("X2.SaveEncodedImagesData");
    call.arg("filename", filename);
    auto c = locked(*this, call, true);
    return c && save_encoded(*c.cam, filename, call);
} catch (...) { return escaped(false); }

DepthMap X2::GetDepthMap() try {
    Call call("X2.GetDepthMap");
    auto c = locked(*this, call, false);
    return c ? make_handle<DepthMap>(c->depth) : DepthMap();
} catch (...) { return escaped(DepthMap()); }

bool X2::AutoWhiteBalance(int iterations, const CaptureOptions& opts, const ROI& roi) try {
    Call call("X2.AutoWhiteBalance");
    call.arg("iterations", static_cast<long long>(iterations));
    auto c = locked(*this, call, true);
    const Knobs k = read_knobs();
    if (!c) return false;
    // The colour camera of the rig is the one balanced; the ROI is in its pixels.
    int index = -1;
    for (int i = 0; i < 3; ++i)
        if ((c->dev->cameras & (1u << i)) && c->optics.models[i].colour) index = i;
    if (index < 0) {
        call.fail(Error_NotSupported, "the device has no colour camera");
        return false;
    }
    if (!fits_roi(*c.cam, call, roi, index) || !fits_memory(*c.cam, params_of(opts), CaptureKind::Image, k, call))
        return false;
    return auto_white_balance(*c.cam, index, iterations, params_of(opts), roi, k, call);
} catch (...) { return escaped(false); }

bool X2::GetExtrinsicMatrix(CameraID cid, float* matrix16) try {
    Call call("X2.GetExtrinsicMatrix");
    call.arg("cid", static_cast<long long>(cid));
    auto c = locked(*this, call, false);
    if (!c || !matrix16) return false;
    const int i = x2_index(*c.cam, cid, call);
    if (i < 0) return false;
    if (c->dev->playback) return replay::extrinsic(*c.cam, i, matrix16, call);
    pose_matrix(c->optics.calib[i], matrix16);
    return true;
} catch (...) { return escaped(false); }

bool X2::GetIntrinsicParameters(CameraID cid, float* k, float* d) try {
    Call call("X2.GetIntrinsicParameters");
    call.arg("cid", static_cast<long long>(cid));
    auto c = locked(*this, call, false);
    if (!c || !k || !d) return false;
    const int i = x2_index(*c.cam, cid, call);
    if (i < 0) return false;
    if (c->dev->playback) return replay::intrinsics(*c.cam, i, k, d, call);
    intrinsics(c->optics.calib[i], k, d);
    return true;
} catch (...) { return escaped(false); }

bool X2::GetExposureTimeRange(int* lo, int* hi) try {
    Call call("X2.GetExposureTimeRange");
    return ops::exposure_range(locked(*this, call, true), lo, hi);
} catch (...) { return escaped(false); }

bool X2::GetGainRange(float* lo, float* hi) try {
    Call call("X2.GetGainRange");
    return ops::gain_range(locked(*this, call, true), lo, hi);
} catch (...) { return escaped(false); }

bool X2::GetGammaRange(float* lo, float* hi) try {
    Call call("X2.GetGammaRange");
    return ops::gamma_range(locked(*this, call, true), lo, hi);
} catch (...) { return escaped(false); }

bool X2::GetCameraTemperature(CameraID cid, CameraTempSelector selector, float& celsius) try {
    Call call("X2.GetCameraTemperature");
    call.arg("cid", static_cast<long long>(cid)).arg("selector", static_cast<long long>(selector));
    auto c = locked(*this, call, true);
    if (!c) return false;
    const int i = x2_index(*c.cam, cid, call);
    if (i < 0) return false;
    if (selector > CameraTempSelector_SensorBoard) {
        call.fail(Error_InvalidArgument, "unknown temperature selector " + std::to_string(selector));
        return false;
    }
    celsius = temperature(*c.cam, static_cast<int>(selector), read_knobs()) + 0.4f * i;
    return true;
} catch (...) { return escaped(false); }

bool X2::SaveCaptureOptionParameters(const CaptureOptions& opts) try {
    Call call("X2.SaveCaptureOptionParameters");
    return ops::save_options(locked(*this, call, true), kStereo, opts);
} catch (...) { return escaped(false); }

bool X2::LoadCaptureOptionParameters(CaptureOptions& opts) try {
    Call call("X2.LoadCaptureOptionParameters");
    return ops::load_options(locked(*this, call, true), call, kStereo, &opts, "device");
} catch (...) { return escaped(false); }

bool X2::GetAutoCaptureSetting(CaptureOptions& opts, const ROI& roi) try {
    Call call("X2.GetAutoCaptureSetting");
    return ops::auto_capture(locked(*this, call, true), call, &opts, roi, false);
} catch (...) { return escaped(false); }

bool X2::GetAutoHdrCaptureSetting(CaptureOptions& opts, const ROI& roi) try {
    Call call("X2.GetAutoHdrCaptureSetting");
    return ops::auto_capture(locked(*this, call, true), call, &opts, roi, true);
} catch (...) { return escaped(false); }

bool X2::GetAutoNoiseRemovalSetting(CaptureOptions& opts) try {
    Call call("X2.GetAutoNoiseRemovalSetting");
    return ops::auto_noise_removal(locked(*this, call, true), &opts);
} catch (...) { return escaped(false); }

bool X2::LoadSettingFromFile(const char* filename) try {
    Call call("X2.LoadSettingFromFile");
    call.arg("filename", filename);
    return ops::load_settings(locked(*this, call, true), call, filename);
} catch (...) { return escaped(false); }

bool X2::SaveSettingToFile(const char* filename) try {
    Call call("X2.SaveSettingToFile");
    call.arg("filename", filename);
    return ops::save_settings(locked(*this, call, true), call, filename);
} catch (...) { return escaped(false); }

bool X2::CheckRoi(ROI roi) try {
    Call call("X2.CheckRoi");
    call.arg("x", static_cast<long long>(roi.x)).arg("y", static_cast<long long>(roi.y));
    call.arg("width", static_cast<long long>(roi.width)).arg("height", static_cast<long long>(roi.height));
    return ops::check_roi(locked(*this, call, false), roi);
} catch (...) { return escaped(false); }

ROI X2::AutoAdjustRoi(ROI roi) try {
    Call call("X2.AutoAdjustRoi");
    return ops::adjust_roi(locked(*this, call, false), roi);
} catch (...) { return escaped(ROI()); }

bool X2::GetRoiRange(ROIRange& range) try {
    Call call("X2.GetRoiRange");
    return ops::roi_range(locked(*this, call, false), &range);
} catch (...) { return escaped(false); }

bool X2::OpenProtectiveCover() try {
    Call call("X2.OpenProtectiveCover");
    return ops::move_cover(locked(*this, call, true), call, true, true);
} catch (...) { return escaped(false); }

bool X2::CloseProtectiveCover() try {
    Call call("X2.CloseProtectiveCover");
    return ops::move_cover(locked(*this, call, true), call, false, true);
} catch (...) { return escaped(false); }

bool X2::ResetProtectiveCover() try {
    Call call("X2.ResetProtectiveCover");
    return ops::reset_cover(locked(*this, call, true), call);
} catch (...) { return escaped(false); }

bool X2::OpenProtectiveCoverAsync() try {
    Call call("X2.OpenProtectiveCoverAsync");
    return ops::move_cover(locked(*this, call, true), call, true, false);
} catch (...) { return escaped(false); }

bool X2::CloseProtectiveCoverAsync() try {
    Call call("X2.CloseProtectiveCoverAsync");
    return ops::move_cover(locked(*this, call, true), call, false, false);
} catch (...) { return escaped(false); }

bool X2::GetProtectiveCoverStatus(ProtectiveCoverStatus& status) try {
    Call call("X2.GetProtectiveCoverStatus");
    return ops::cover_status(locked(*this, call, true), call, &status);
} catch (...) { return escaped(false); }

}  // namespace TUVO
