// Stand-in SDK: the single-camera device X1.
#include <cstdio>

#include "api/camera_ops.h"
#include "api/capture.h"
#include "api/playback.h"
#include "control/control.h"
#include "control/knobs.h"
#include "render/budget.h"

using namespace sim;

namespace TUVO {

namespace {

int index_of(const CameraState& c) { return camera_index(c.cid); }

}  // namespace

X1::X1() : slot(0), generation(0) {}

X1 X1::Create(const Device& device, CameraID camid) try {
    Call call("X1.Create");
    call.arg("device_slot", static_cast<long long>(device.slot)).arg("camid", static_cast<long long>(camid));
    if (call.failed()) return X1();
    if (!sdk_inited()) {
        call.fail(Error_NotInitialized, "SystemInit has not been called");
        return X1();
    }
    auto dev = device_of(device, call);
    if (!dev) return X1();
    if (!dev->x1) {
        call.fail(Error_NotSupported, "the device cannot be used as X1");
        return X1();
    }
    if (camera_index(camid) < 0 || !(dev->cameras & camid)) {
        call.fail(Error_NotFound, "the device has no camera " + std::to_string(camid));
        return X1();
    }
    auto c = std::make_shared<CameraState>();
    c->dev = dev;
    c->x2 = false;
    c->cid = camid;
    setup_camera(*c, read_knobs());
    return make_handle<X1>(cameras().add(c));
} catch (...) { return escaped(X1()); }

void X1::Destroy(X1& camera) try {
    Call call("X1.Destroy");
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

bool X1::Open() try {
    Call call("X1.Open");
    auto c = locked(*this, call, false);
    const std::string what = std::string("the ") + camera_name(c ? c->cid : 0) + " camera is";
    return ops::open(std::move(c), call, what);
} catch (...) { return escaped(false); }

bool X1::IsOpen() try {
    Call call("X1.IsOpen");
    auto c = locked(*this, call, false);
    return c && c->open;
} catch (...) { return escaped(false); }

void X1::Close() try {
    Call call("X1.Close");
    auto c = locked(*this, call, false);
    if (c) close_camera(*c.cam);
} catch (...) { escaped(); }

bool X1::IsValid() const try {
    Call call("X1.IsValid");
    return cameras().get(slot, generation) != nullptr;
} catch (...) { return escaped(false); }

bool X1::IsPhysicallyConnected() try {
    Call call("X1.IsPhysicallyConnected");
    auto c = locked(*this, call, false);
    return c && device_connected(c->dev->sn);
} catch (...) { return escaped(false); }

namespace {

bool capture_x1(X1& h, const X1::CaptureOptions* opts, Call& call) {
    auto c = locked(h, call, true);
    const Knobs k = read_knobs();
    if (!c || !connected(*c.cam, call) || !cover_ready(*c.cam, k, call)) return false;
    if (c->dev->playback) return replay::capture(*c.cam, opts, call);
    const X1::CaptureOptions o = opts ? *opts : ops::stored_or_default<X1::CaptureOptions>(*c.cam, c->cid);
    CaptureParams p = params_of(o);
    p.frame_camera = c->cid;
    return fits_memory(*c.cam, p, CaptureKind::Points, k, call) && capture_3d(*c.cam, p, k, call);
}

bool capture_2d_x1(X1& h, const X1::CaptureOptions* opts, Call& call) {
    auto c = locked(h, call, true);
    const Knobs k = read_knobs();
    if (!c || !connected(*c.cam, call) || !cover_ready(*c.cam, k, call)) return false;
    if (c->dev->playback) return replay::not_recorded(call, "a 2-D capture");
    const X1::CaptureOptions o = opts ? *opts : ops::stored_or_default<X1::CaptureOptions>(*c.cam, c->cid);
    return fits_memory(*c.cam, params_of(o), CaptureKind::Image, k, call) &&
           capture_2d(*c.cam, index_of(*c.cam), params_of(o), k, call);
}
}  // namespace

bool X1::Capture(const CaptureOptions& opts) try {
    Call call("X1.Capture");
    call.arg("exposure_time_3d", static_cast<long long>(opts.exposure_time_3d));
    return capture_x1(*this, &opts, call);
} catch (...) { return escaped(false); }

bool X1::Capture() try {
    Call call("X1.Capture()");
    return capture_x1(*this, nullptr, call);
} catch (...) { return escaped(false); }

bool X1::Capture2D(const CaptureOptions& opts) try {
    Call call("X1.Capture2D");
    call.arg("exposure_time_2d", static_cast<long long>(opts.exposure_time_2d));
    return capture_2d_x1(*this, &opts, call);
} catch (...) { return escaped(false); }

bool X1::Capture2D() try {
    Call call("X1.Capture2D()");
    return capture_2d_x1(*this, nullptr, call);
} catch (...) { return escaped(false); }

bool X1::SetBandwidth(float ratio) try {
    Call call("X1.SetBandwidth");
    call.arg("ratio", static_cast<double>(ratio));
    return ops::set_bandwidth(locked(*this, call, true), call, ratio);
} catch (...) { return escaped(false); }

bool X1::SetCustomTransformation(const CustomTransformOptions& opts) try {
    Call call("X1.SetCustomTransformation");
    call.arg("coordinate_select", static_cast<long long>(opts.coordinate_select));
    record_transform(call, opts.transform);
    auto c = locked(*this, call, true);
    const unsigned most = CustomTransformOptions::CoordinateSelect_CaliBoard;
    return ops::set_transform(std::move(c), call, opts.coordinate_select, most, opts.transform);
} catch (...) { return escaped(false); }

bool X1::GetCustomTransformation(CustomTransformOptions& opts) try {
    Call call("X1.GetCustomTransformation");
    unsigned select = 0;
    if (!ops::get_transform(locked(*this, call, true), &select, opts.transform)) return false;
    opts.coordinate_select = static_cast<CustomTransformOptions::CoordinateSelect>(select);
    return true;
} catch (...) { return escaped(false); }

bool X1::GetCameraResolution(Size& size) try {
    Call call("X1.GetCameraResolution");
    auto c = locked(*this, call, false);
    if (!c) return false;
    const CameraModel& m = c->optics.models[index_of(*c.cam)];
    size = Size{m.width, m.height};
    return true;
} catch (...) { return escaped(false); }

bool X1::GetProjectorTemperature(float& celsius) try {
    Call call("X1.GetProjectorTemperature");
    auto c = locked(*this, call, true);
    if (!c) return false;
    celsius = temperature(*c.cam, 6, read_knobs());
    return true;
} catch (...) { return escaped(false); }

Image X1::GetImage() try {
    Call call("X1.GetImage");
    auto c = locked(*this, call, false);
    if (!c) return Image();
    return take_image(*c.cam, index_of(*c.cam));
} catch (...) { return escaped(Image()); }

bool X1::GetExposureTimeRange(int* lo, int* hi) try {
    Call call("X1.GetExposureTimeRange");
    return ops::exposure_range(locked(*this, call, true), lo, hi);
} catch (...) { return escaped(false); }

bool X1::GetGainRange(float* lo, float* hi) try {
    Call call("X1.GetGainRange");
    return ops::gain_range(locked(*this, call, true), lo, hi);
} catch (...) { return escaped(false); }

bool X1::GetGammaRange(float* lo, float* hi) try {
    Call call("X1.GetGammaRange");
    return ops::gamma_range(locked(*this, call, true), lo, hi);
} catch (...) { return escaped(false); }

bool X1::GetCameraTemperature(CameraTempSelector selector, float& celsius) try {
    Call call("X1.GetCameraTemperature");
    call.arg("selector", static_cast<long long>(selector));
    auto c = locked(*this, call, true);
    if (!c) return false;
    if (selector > CameraTempSelector_SensorBoard) {
        call.fail(Error_InvalidArgument, "unknown temperature selector " + std::to_string(selector));
        return false;
    }
    celsius = temperature(*c.cam, static_cast<int>(selector), read_knobs()) + 0.4f * index_of(*c.cam);
    return true;
} catch (...) { return escaped(false); }

DepthMap X1::GetDepthMap() try {
    Call call("X1.GetDepthMap");
    auto c = locked(*this, call, false);
    if (!c) return DepthMap();
    return make_handle<DepthMap>(c->depth);
} catch (...) { return escaped(DepthMap()); }

PointMap X1::GetPointMap() try {
    Call call("X1.GetPointMap");
    auto c = locked(*this, call, false);
    if (!c) return PointMap();
    return take_points(*c.cam);
} catch (...) { return escaped(PointMap()); }

ConfidenceMap X1::GetConfidenceMap() try {
    Call call("X1.GetConfidenceMap");
    auto c = locked(*this, call, false);
    if (!c) return ConfidenceMap();
    return make_handle<ConfidenceMap>(c->confidence);
} catch (...) { return escaped(ConfidenceMap()); }

bool X1::SaveEncodedImagesData(const char* filename) try {
    Call call("X1.SaveEncodedImagesData");
    call.arg("filename", filename);
    auto c = locked(*this, call, true);
    return c && save_encoded(*c.cam, filename, call);
} catch (...) { return escaped(false); }

namespace {
int balance_channel(BalanceSelector s) {
    switch (s) {
        case BalanceSelector_Red: return 0;
        case BalanceSelector_Green: return 1;
        case BalanceSelector_Blue: return 2;
        default: return -1;
    }
}

bool colour_camera(CameraState& c, BalanceSelector s, Call& call) {
    if (!c.optics.models[camera_index(c.cid)].colour) {
        call.fail(Error_NotSupported, std::string("the ") + camera_name(c.cid) + " camera is monochrome");
        return false;
    }
    if (balance_channel(s) < 0) {
        call.fail(Error_InvalidArgument, "the balance selector must be red, green or blue");
        return false;
    }
    return true;
}
}  // namespace

bool X1::SetBalanceRatio(BalanceSelector selector, float ratio) try {
    Call call("X1.SetBalanceRatio");
    call.arg("selector", static_cast<long long>(selector)).arg("ratio", static_cast<double>(ratio));
    auto c = locked(*this, call, true);
    if (!c || !colour_camera(*c.cam, selector, call)) return false;
    if (!(ratio >= 0.5f && ratio <= 4.0f)) {
        call.fail(Error_InvalidArgument, "the balance ratio must be 0.5..4");
        return false;
    }
    c->balance[balance_channel(selector)] = ratio;
    return true;
} catch (...) { return escaped(false); }

bool X1::GetBalanceRatio(BalanceSelector selector, float* ratio) try {
    Call call("X1.GetBalanceRatio");
    call.arg("selector", static_cast<long long>(selector));
    auto c = locked(*this, call, true);
    if (!c || !ratio || !colour_camera(*c.cam, selector, call)) return false;
    *ratio = c->balance[balance_channel(selector)];
    return true;
} catch (...) { return escaped(false); }

bool X1::GetBalanceRange(BalanceSelector selector, float* lo, float* hi) try {
    Call call("X1.GetBalanceRange");
    call.arg("selector", static_cast<long long>(selector));
    auto c = locked(*this, call, true);
    if (!c || !lo || !hi || !colour_camera(*c.cam, selector, call)) return false;
    *lo = 0.5f;
    *hi = 4.0f;
    return true;
} catch (...) { return escaped(false); }

bool X1::AutoWhiteBalance(int iterations, const CaptureOptions& opts, const ROI& roi) try {
    Call call("X1.AutoWhiteBalance");
    call.arg("iterations", static_cast<long long>(iterations));
    auto c = locked(*this, call, true);
    const Knobs k = read_knobs();
    if (!c) return false;
    if (!fits_roi(*c.cam, call, roi) || !fits_memory(*c.cam, params_of(opts), CaptureKind::Image, k, call)) return false;
    return auto_white_balance(*c.cam, index_of(*c.cam), iterations, params_of(opts), roi, k, call);
} catch (...) { return escaped(false); }

bool X1::GetExtrinsicMatrix(float* matrix16) try {
    Call call("X1.GetExtrinsicMatrix");
    auto c = locked(*this, call, false);
    if (!c || !matrix16) return false;
    if (c->dev->playback) return replay::extrinsic(*c.cam, index_of(*c.cam), matrix16, call);
    pose_matrix(c->optics.calib[index_of(*c.cam)], matrix16);
    return true;
} catch (...) { return escaped(false); }

bool X1::GetIntrinsicParameters(float* k, float* d) try {
    Call call("X1.GetIntrinsicParameters");
    auto c = locked(*this, call, false);
    if (!c || !k || !d) return false;
    if (c->dev->playback) return replay::intrinsics(*c.cam, index_of(*c.cam), k, d, call);
    intrinsics(c->optics.calib[index_of(*c.cam)], k, d);
    return true;
} catch (...) { return escaped(false); }

bool X1::SaveCaptureOptionParameters(const CaptureOptions& opts) try {
    Call call("X1.SaveCaptureOptionParameters");
    auto c = locked(*this, call, true);
    const unsigned key = c ? c->cid : 0;
    return ops::save_options(std::move(c), key, opts);
} catch (...) { return escaped(false); }

bool X1::LoadCaptureOptionParameters(CaptureOptions& opts) try {
    Call call("X1.LoadCaptureOptionParameters");
    auto c = locked(*this, call, true);
    const unsigned key = c ? c->cid : 0;
    return ops::load_options(std::move(c), call, key, &opts, "camera");
} catch (...) { return escaped(false); }

bool X1::GetAutoCaptureSetting(CaptureOptions& opts, const ROI& roi) try {
    Call call("X1.GetAutoCaptureSetting");
    return ops::auto_capture(locked(*this, call, true), call, &opts, roi, false);
} catch (...) { return escaped(false); }

bool X1::GetAutoHdrCaptureSetting(CaptureOptions& opts, const ROI& roi) try {
    Call call("X1.GetAutoHdrCaptureSetting");
    return ops::auto_capture(locked(*this, call, true), call, &opts, roi, true);
} catch (...) { return escaped(false); }

bool X1::GetAutoNoiseRemovalSetting(CaptureOptions& opts) try {
    Call call("X1.GetAutoNoiseRemovalSetting");
    return ops::auto_noise_removal(locked(*this, call, true), &opts);
} catch (...) { return escaped(false); }

bool X1::LoadSettingFromFile(const char* filename) try {
    Call call("X1.LoadSettingFromFile");
    call.arg("filename", filename);
    return ops::load_settings(locked(*this, call, true), call, filename);
} catch (...) { return escaped(false); }

bool X1::SaveSettingToFile(const char* filename) try {
    Call call("X1.SaveSettingToFile");
    call.arg("filename", filename);
    return ops::save_settings(locked(*this, call, true), call, filename);
} catch (...) { return escaped(false); }

bool X1::CheckRoi(ROI roi) try {
    Call call("X1.CheckRoi");
    call.arg("x", static_cast<long long>(roi.x)).arg("y", static_cast<long long>(roi.y));
    call.arg("width", static_cast<long long>(roi.width)).arg("height", static_cast<long long>(roi.height));
    return ops::check_roi(locked(*this, call, false), roi);
} catch (...) { return escaped(false); }

ROI X1::AutoAdjustRoi(ROI roi) try {
    Call call("X1.AutoAdjustRoi");
    return ops::adjust_roi(locked(*this, call, false), roi);
} catch (...) { return escaped(ROI()); }

bool X1::GetRoiRange(ROIRange& range) try {
    Call call("X1.GetRoiRange");
    return ops::roi_range(locked(*this, call, false), &range);
} catch (...) { return escaped(false); }

bool X1::OpenProtectiveCover() try {
    Call call("X1.OpenProtectiveCover");
    return ops::move_cover(locked(*this, call, true), call, true, true);
} catch (...) { return escaped(false); }

bool X1::CloseProtectiveCover() try {
    Call call("X1.CloseProtectiveCover");
    return ops::move_cover(locked(*this, call, true), call, false, true);
} catch (...) { return escaped(false); }

bool X1::ResetProtectiveCover() try {
    Call call("X1.ResetProtectiveCover");
    return ops::reset_cover(locked(*this, call, true), call);
} catch (...) { return escaped(false); }

bool X1::OpenProtectiveCoverAsync() try {
    Call call("X1.OpenProtectiveCoverAsync");
    return ops::move_cover(locked(*this, call, true), call, true, false);
} catch (...) { return escaped(false); }

bool X1::CloseProtectiveCoverAsync() try {
    Call call("X1.CloseProtectiveCoverAsync");
    return ops::move_cover(locked(*this, call, true), call, false, false);
} catch (...) { return escaped(false); }

bool X1::GetProtectiveCoverStatus(ProtectiveCoverStatus& status) try {
    Call call("X1.GetProtectiveCoverStatus");
    return ops::cover_status(locked(*this, call, true), call, &status);
} catch (...) { return escaped(false); }

void release_all_objects() {
    // Taken from the table at once: a camera made by another thread meanwhile is either taken and
    // closed here or left whole, never dropped with its scan still running.
    for (auto& c : cameras().take_all()) {
        std::lock_guard<std::mutex> lock(c->m);
        c->gone = true;
        close_camera(*c);
        release_results(*c);
        release_maps(*c);
    }
}

}  // namespace TUVO
