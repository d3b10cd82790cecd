// Stand-in SDK entry points: point-cloud transform, fixed-marker compensator, external camera and
// accuracy tools.
#include <cmath>
#include <map>
#include <mutex>

#include "api/markers.h"
#include "control/control.h"
#include "vision/tools.h"

using namespace sim;

namespace sim {
namespace {

// The fixed-marker compensator's state.
struct Compensation {
    std::mutex m;
    TUVO::CodedCircleMarkerType type;
    std::map<int, Eigen::Vector3d> reference;  // code -> centre in the reference capture
    Eigen::Matrix4d correction = Eigen::Matrix4d::Identity();
    bool initialised = false, updated = false;
};

}  // namespace
}  // namespace sim

namespace TUVO {

void TransformPointCloud(const double* R, const double* T, PointMap& pm) try {
    Call call("TransformPointCloud");
    call.arg("slot", static_cast<long long>(pm.slot));
    if (call.failed()) return;
    if (!R || !T) {
        call.fail(Error_InvalidArgument, "null rotation or translation");
        return;
    }
    auto obj = points_of(pm, call);
    if (!obj) return;
    transform_points(obj->pts(), obj->nrm(), obj->count(), R, T);
} catch (...) { escaped(); }

Compensator_FixedMarkers::Compensator_FixedMarkers() : impl_(new Compensation) {}

Compensator_FixedMarkers::~Compensator_FixedMarkers() { delete static_cast<Compensation*>(impl_); }

int Compensator_FixedMarkers::Initialize(const PointMap& pointmap, const Image& image, int min_code) try {
    Call call("Compensator_FixedMarkers.Initialize");
    call.arg("min_code", static_cast<long long>(min_code));
    if (call.failed()) return GetLastError();
    auto* c = static_cast<Compensation*>(impl_);
    std::map<int, Eigen::Vector3d> found;
    if (!centres_of(pointmap, image, c->type, call, &found)) return GetLastError();
    std::lock_guard<std::mutex> lock(c->m);
    c->reference.clear();
    for (const auto& kv : found)
        if (kv.first >= min_code) c->reference.insert(kv);
    c->initialised = true;
    c->updated = false;
    c->correction.setIdentity();
    return static_cast<int>(c->reference.size());
} catch (...) { return escaped_code(); }

bool Compensator_FixedMarkers::Update(const PointMap& pointmap, const Image& image, double& rms_mm) try {
    Call call("Compensator_FixedMarkers.Update");
    if (call.failed()) return false;
    auto* c = static_cast<Compensation*>(impl_);
    {
        std::lock_guard<std::mutex> lock(c->m);
        if (!c->initialised) {
            call.fail(Error_Failed, "Initialize has not been called");
            return false;
        }
        c->updated = false;  // a failed Update leaves no correction to apply: it would be stale
    }
    std::map<int, Eigen::Vector3d> found;
    if (!centres_of(pointmap, image, c->type, call, &found)) return false;
    std::lock_guard<std::mutex> lock(c->m);
    std::vector<Eigen::Vector3d> now, then;
    double drift = 0;
    for (const auto& kv : c->reference) {
        auto it = found.find(kv.first);
        if (it == found.end()) continue;
        now.push_back(it->second);
        then.push_back(kv.second);
        drift += (it->second - kv.second).squaredNorm();
    }
    if (now.size() < 3) {
        call.fail(Error_Failed, "only " + std::to_string(now.size()) + " reference markers were found; 3 are needed");
        return false;
    }
    rms_mm = std::sqrt(drift / now.size());
    c->correction = rigid_fit(now, then, nullptr, nullptr);
    c->updated = true;
    return true;
} catch (...) { return escaped(false); }

bool Compensator_FixedMarkers::Apply(PointMap& pointmap) try {
    Call call("Compensator_FixedMarkers.Apply");
    if (call.failed()) return false;
    auto* c = static_cast<Compensation*>(impl_);
    Eigen::Matrix4d T;
    {
        std::lock_guard<std::mutex> lock(c->m);
        if (!c->updated) {
            call.fail(Error_Failed, "Update has not measured the markers (not yet, or its last call failed)");
            return false;
        }
        T = c->correction;
    }
    if (!points_of(pointmap, call)) return false;
    double R[9], t[3];
    for (int r = 0; r < 3; ++r) {
        for (int k = 0; k < 3; ++k) R[3 * r + k] = T(r, k);
        t[r] = T(r, 3);
    }
    TransformPointCloud(R, t, pointmap);
    return true;
} catch (...) { return escaped(false); }

int GetExternalCameraExtrinsicMatrix(const Image& image1, const PointMap& pointmap1, const unsigned char* external1,
                                     const Image& image2, const PointMap& pointmap2, const unsigned char* external2,
                                     const Image& image3, const PointMap& pointmap3, const unsigned char* external3,
                                     int width, int height, const float* K, const float* D, float* extrinsic16,
                                     double* rms_px) try {
    Call call("GetExternalCameraExtrinsicMatrix");
    call.arg("width", static_cast<long long>(width)).arg("height", static_cast<long long>(height));
    if (call.failed()) return 0;
    if (!external1 || !external2 || !external3 || !K || !D || !extrinsic16 || !rms_px) {
        call.fail(Error_InvalidArgument, "null image data, calibration or output");
        return 0;
    }
    if (width < 16 || height < 16 || static_cast<long long>(width) * height > kMaxPixels) {
        call.fail(Error_InvalidArgument, "the external image size " + std::to_string(width) + "x" +
                                             std::to_string(height) + " is not usable (at most " +
                                             std::to_string(kMaxPixels) + " pixels)");
        return 0;
    }
    if (!usable_lens(K, D, call)) return 0;
    const CodedCircleMarkerType type;
    const Image* imgs[3] = {&image1, &image2, &image3};
    const PointMap* pms[3] = {&pointmap1, &pointmap2, &pointmap3};
    const unsigned char* ext[3] = {external1, external2, external3};
    std::vector<Eigen::Vector3d> X;
    std::vector<Eigen::Vector2d> uv;
    for (int v = 0; v < 3; ++v) {
        std::map<int, Eigen::Vector3d> device;
        if (!centres_of(*pms[v], *imgs[v], type, call, &device)) return 0;
        match_external(device, ext[v], width, height, type, &X, &uv);
    }
    if (!external_pose(X, uv, K, D, extrinsic16, rms_px, call)) return 0;
    return 1;
} catch (...) { return escaped_code(); }

PointMap GetExternalCameraPointMap(const PointMap& pointmap, int width, int height, const float* K, const float* D,
                                   const float* extrinsic16) try {
    Call call("GetExternalCameraPointMap");
    call.arg("width", static_cast<long long>(width)).arg("height", static_cast<long long>(height));
    if (call.failed()) return PointMap();
    if (!K || !D || !extrinsic16) {
        call.fail(Error_InvalidArgument, "null calibration");
        return PointMap();
    }
    if (width <= 0 || height <= 0 || static_cast<long long>(width) * height > kMaxPixels) {
        call.fail(Error_InvalidArgument, "the external camera's size " + std::to_string(width) + "x" +
                                             std::to_string(height) + " is not usable (at most " +
                                             std::to_string(kMaxPixels) + " pixels)");
        return PointMap();
    }
    if (!usable_lens(K, D, call)) return PointMap();
    auto src = points_of(pointmap, call);
    if (!src) return PointMap();
    std::shared_ptr<PointMapObj> dst;
    PointMap out = new_pointmap(width, height, false, nullptr, &dst);
    external_point_map(view_of(*src), width, height, K, D, extrinsic16, dst->pts());
    return out;
} catch (...) { return escaped(PointMap()); }

int TestAccuracy(const Image& image, const PointMap& pointmap, const float* expected_xy, const float* weights, int rows,
                 int cols, float spacing_mm, float* image_xy, float* board_xyz, float* rms_mm, float* max_mm) try {
    Call call("TestAccuracy");
    call.arg("rows", static_cast<long long>(rows)).arg("cols", static_cast<long long>(cols));
    call.arg("spacing_mm", static_cast<double>(spacing_mm)).arg_bool("expected", expected_xy != nullptr);
    call.arg_bool("weights", weights != nullptr);
    if (call.failed()) return GetLastError();
    if (rows <= 0 || cols <= 0 || static_cast<long long>(rows) * cols > 100000) {
        call.fail(Error_InvalidArgument, "rows and cols must be positive");
        return Error_InvalidArgument;
    }
    if (!image_xy || !board_xyz || !rms_mm || !max_mm) {
        call.fail(Error_InvalidArgument, "null output");
        return Error_InvalidArgument;
    }
    if (!expected_xy && !(spacing_mm > 0 && std::isfinite(spacing_mm))) {
        call.fail(Error_InvalidArgument, "the marker spacing must be positive and finite");
        return Error_InvalidArgument;
    }
    const CodedCircleMarkerType type;
    auto points = points_of(pointmap, call);
    if (!points) return Error_InvalidHandle;
    auto img = image_of(image, call);
    std::vector<Detected> found;
    if (!img || !detect_in(view_of(*img), type, call, &found)) return GetLastError();
    // The image weighs the points where it matches the point map pixel for pixel.
    const std::uint8_t* grey =
        img->width == points->width && img->height == points->height ? detected_grey().data() : nullptr;
    return board_accuracy(found, view_of(*points), grey, type, expected_xy, weights, rows, cols, spacing_mm, image_xy,
                          board_xyz, rms_mm, max_mm, call);
} catch (...) { return escaped_code(); }

}  // namespace TUVO
