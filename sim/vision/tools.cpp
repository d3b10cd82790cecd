// Stand-in SDK: point-cloud transform, fixed-marker compensator, external camera and accuracy tools.
#include <cmath>
#include <limits>
#include <map>

#include "control/control.h"
#include "render/lens.h"
#include "vision/markers.h"
#include "world/scene.h"

using namespace sim;

namespace sim {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// The fixed-marker compensator's state.
struct Compensation {
    std::mutex m;
    TUVO::CodedCircleMarkerType type;
    std::map<int, Eigen::Vector3d> reference;  // code -> centre in the reference capture
    Eigen::Matrix4d correction = Eigen::Matrix4d::Identity();
    bool initialised = false, updated = false;
};

// Projects a point in the external camera's frame: K and distortion k1 k2 p1 p2 k3.
bool project(const float* K, const float* D, const Eigen::Vector3d& p, double* u, double* v) {
    if (p.z() <= 1e-9) return false;
    const double lens[5] = {D[0], D[1], D[2], D[3], D[4]};
    double xd, yd;
    lens_distort(lens, p.x() / p.z(), p.y() / p.z(), &xd, &yd);
    *u = K[0] * xd + K[1] * yd + K[2];
    *v = K[4] * yd + K[5];
    return std::isfinite(*u) && std::isfinite(*v);
}

Eigen::Matrix4d matrix_of(const float* m) {
    Eigen::Matrix4d T;
    for (int i = 0; i < 16; ++i) T(i / 4, i % 4) = m[i];
    return T;
}

// Pose of a camera from 3-D/2-D pairs: linear start (DLT on undistorted rays), then Gauss-Newton
// on the reprojection error with the full lens model.
bool solve_pose(const std::vector<Eigen::Vector3d>& X, const std::vector<Eigen::Vector2d>& uv, const float* K,
                const float* D, Eigen::Matrix4d* pose, double* rms) {
    const std::size_t n = X.size();
    if (n < 6) return false;
    // Undistort the observations (the lens model's fixed-point steps) for the linear start.
    const double lens[5] = {D[0], D[1], D[2], D[3], D[4]};
    std::vector<Eigen::Vector2d> ray(n);
    for (std::size_t i = 0; i < n; ++i) {
        const double yd = (uv[i].y() - K[5]) / K[4];
        const double xd = (uv[i].x() - K[2] - K[1] * yd) / K[0];
        double x, y;
        lens_undistort(lens, xd, yd, &x, &y);
        ray[i] = Eigen::Vector2d(x, y);
    }
    Eigen::MatrixXd A(2 * n, 12);
    for (std::size_t i = 0; i < n; ++i) {
        const Eigen::Vector4d P(X[i].x(), X[i].y(), X[i].z(), 1.0);
        A.row(2 * i) << P.transpose(), Eigen::RowVector4d::Zero(), -ray[i].x() * P.transpose();
        A.row(2 * i + 1) << Eigen::RowVector4d::Zero(), P.transpose(), -ray[i].y() * P.transpose();
    }
    Eigen::JacobiSVD<Eigen::MatrixXd> svd(A, Eigen::ComputeFullV);
    Eigen::VectorXd h = svd.matrixV().col(11);
    Eigen::Matrix<double, 3, 4> Pm;
    Pm << h.segment<4>(0).transpose(), h.segment<4>(4).transpose(), h.segment<4>(8).transpose();
    Eigen::Matrix3d M = Pm.leftCols<3>();
    double scale = std::cbrt(M.determinant());
    if (!std::isfinite(scale) || std::abs(scale) < 1e-12) return false;
    Pm /= scale;
    Eigen::JacobiSVD<Eigen::Matrix3d> rs(Pm.leftCols<3>(), Eigen::ComputeFullU | Eigen::ComputeFullV);
    Eigen::Matrix3d R = rs.matrixU() * rs.matrixV().transpose();
    Eigen::Vector3d t = Pm.col(3) / (rs.singularValues().mean());
    // Gauss-Newton on (rotation vector, translation).
    for (int it = 0; it < 30; ++it) {
        Eigen::MatrixXd J(2 * n, 6);
        Eigen::VectorXd r(2 * n);
        auto residuals = [&](const Eigen::Matrix3d& RR, const Eigen::Vector3d& tt, Eigen::VectorXd* out) {
            for (std::size_t i = 0; i < n; ++i) {
                double u, v;
                if (!project(K, D, RR * X[i] + tt, &u, &v)) return false;
                (*out)(2 * i) = u - uv[i].x();
                (*out)(2 * i + 1) = v - uv[i].y();
            }
            return true;
        };
        if (!residuals(R, t, &r)) return false;
        const double eps = 1e-6;
        for (int k = 0; k < 6; ++k) {
            Eigen::Matrix3d R2 = R;
            Eigen::Vector3d t2 = t;
            if (k < 3) {
                Eigen::Vector3d w = Eigen::Vector3d::Zero();
                w[k] = eps;
                R2 = Eigen::AngleAxisd(eps, w.normalized()).toRotationMatrix() * R;
            } else {
                t2[k - 3] += eps * 1000;
            }
            Eigen::VectorXd r2(2 * n);
            if (!residuals(R2, t2, &r2)) return false;
            J.col(k) = (r2 - r) / (k < 3 ? eps : eps * 1000);
        }
        const Eigen::VectorXd step = (J.transpose() * J).ldlt().solve(-J.transpose() * r);
        const Eigen::Vector3d w = step.head<3>();
        if (w.norm() > 1e-15) R = Eigen::AngleAxisd(w.norm(), w.normalized()).toRotationMatrix() * R;
        t += step.tail<3>();
        if (step.norm() < 1e-10) break;
    }
    Eigen::VectorXd r(2 * n);
    double sum = 0;
    for (std::size_t i = 0; i < n; ++i) {
        double u, v;
        if (!project(K, D, R * X[i] + t, &u, &v)) return false;
        sum += (u - uv[i].x()) * (u - uv[i].x()) + (v - uv[i].y()) * (v - uv[i].y());
    }
    *rms = std::sqrt(sum / n);
    *pose = Eigen::Matrix4d::Identity();
    pose->topLeftCorner<3, 3>() = R;
    pose->topRightCorner<3, 1>() = t;
    return true;
}

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
    auto obj = lookup(pointmaps(), pm);
    if (!obj) {
        call.fail(Error_InvalidHandle, "invalid or destroyed point map");
        return;
    }
    double* p = obj->pts();
    double* n = obj->nrm();
    for (std::size_t i = 0; i < obj->count(); ++i) {
        double* q = p + 3 * i;
        const double x = q[0], y = q[1], z = q[2];
        q[0] = R[0] * x + R[1] * y + R[2] * z + T[0];
        q[1] = R[3] * x + R[4] * y + R[5] * z + T[1];
        q[2] = R[6] * x + R[7] * y + R[8] * z + T[2];
        if (n) {
            double* m = n + 3 * i;
            const double a = m[0], b = m[1], c = m[2];
            m[0] = R[0] * a + R[1] * b + R[2] * c;
            m[1] = R[3] * a + R[4] * b + R[5] * c;
            m[2] = R[6] * a + R[7] * b + R[8] * c;
        }
    }
} catch (...) { escaped(); }

Compensator_FixedMarkers::Compensator_FixedMarkers() : impl_(new Compensation) {}

Compensator_FixedMarkers::~Compensator_FixedMarkers() { delete static_cast<Compensation*>(impl_); }

int Compensator_FixedMarkers::Initialize(const PointMap& pointmap, const Image& image, int min_code) try {
    Call call("Compensator_FixedMarkers.Initialize");
    call.arg("min_code", static_cast<long long>(min_code));
    if (call.failed()) return GetLastError();
    auto* c = static_cast<Compensation*>(impl_);
    std::map<int, Eigen::Vector3d> found;
    if (!marker_centres(pointmap, image, c->type, call, &found)) return GetLastError();
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
    if (!marker_centres(pointmap, image, c->type, call, &found)) return false;
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
    if (!lookup(pointmaps(), pointmap)) {
        call.fail(Error_InvalidHandle, "invalid or destroyed point map");
        return false;
    }
    double R[9], t[3];
    for (int r = 0; r < 3; ++r) {
        for (int k = 0; k < 3; ++k) R[3 * r + k] = T(r, k);
        t[r] = T(r, 3);
    }
    TransformPointCloud(R, t, pointmap);
    return true;
} catch (...) { return escaped(false); }

namespace {

// The external camera's lens as given: finite values, positive focal lengths.
bool usable_lens(const float* K, const float* D, Call& call) {
    bool fine = K[0] > 0 && K[4] > 0;
    for (int i = 0; i < 9; ++i) fine = fine && std::isfinite(K[i]);
    for (int i = 0; i < 5; ++i) fine = fine && std::isfinite(D[i]);
    if (!fine)
        call.fail(Error_InvalidArgument,
                  "the external camera's intrinsics and distortion must be finite, its focal lengths positive");
    return fine;
}

}  // namespace

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
        if (!marker_centres(*pms[v], *imgs[v], type, call, &device)) return 0;
        std::map<int, int> seen;
        const std::vector<Detected> seen_ext = detect_markers(ext[v], width, height, type);
        for (const Detected& d : seen_ext) ++seen[d.code];
        for (const Detected& d : seen_ext) {
            auto it = device.find(d.code);
            if (it == device.end() || seen[d.code] != 1) continue;
            X.push_back(it->second);
            uv.emplace_back(d.x, d.y);
        }
    }
    Eigen::Matrix4d pose;
    double rms;
    if (X.size() < 6) {
        call.fail(Error_Failed, "the views share " + std::to_string(X.size()) +
                                    " markers with the external camera; 6 are needed for a pose");
        return 0;
    }
    if (!solve_pose(X, uv, K, D, &pose, &rms) || !std::isfinite(rms)) {
        call.fail(Error_Failed, "no pose of the external camera fits the " + std::to_string(X.size()) +
                                    " markers the views share (check its intrinsics and distortion)");
        return 0;
    }
    for (int i = 0; i < 16; ++i) extrinsic16[i] = static_cast<float>(pose(i / 4, i % 4));
    *rms_px = rms;
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
    auto src = lookup(pointmaps(), pointmap);
    if (!src) {
        call.fail(Error_InvalidHandle, "invalid or destroyed point map");
        return PointMap();
    }
    const Eigen::Matrix4d E = matrix_of(extrinsic16);
    std::shared_ptr<PointMapObj> dst;
    PointMap out = new_pointmap(width, height, false, nullptr, &dst);
    std::vector<double> zbuf(static_cast<std::size_t>(width) * height, std::numeric_limits<double>::infinity());
    const double* p = src->pts();
    double* q = dst->pts();
    for (std::size_t i = 0; i < src->count(); ++i) {
        const Eigen::Vector3d x(p[3 * i], p[3 * i + 1], p[3 * i + 2]);
        if (!x.allFinite()) continue;
        const Eigen::Vector3d c = E.topLeftCorner<3, 3>() * x + E.topRightCorner<3, 1>();
        double u, v;
        // Round first, then test the pixel it names: one rule, whatever the rounding does at
        // the half-pixel edges. The first test keeps llround within its range.
        if (!project(K, D, c, &u, &v) || !(std::abs(u) < 1e9 && std::abs(v) < 1e9)) continue;
        const long long ui = std::llround(u), vi = std::llround(v);
        if (ui < 0 || vi < 0 || ui >= width || vi >= height) continue;
        const std::size_t j = static_cast<std::size_t>(vi) * width + static_cast<std::size_t>(ui);
        if (c.z() >= zbuf[j]) continue;  // keep the nearest point per pixel
        zbuf[j] = c.z();
        q[3 * j] = c.x();
        q[3 * j + 1] = c.y();
        q[3 * j + 2] = c.z();
    }
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
    auto points = lookup(pointmaps(), pointmap);
    if (!points) {
        call.fail(Error_InvalidHandle, "invalid or destroyed point map");
        return Error_InvalidHandle;
    }
    std::vector<Detected> found;
    if (!detect_in(image, type, call, &found)) return GetLastError();
    // The image weighs the points where it matches the point map pixel for pixel.
    auto img = lookup(images(), image);
    const std::uint8_t* grey =
        img && img->width == points->width && img->height == points->height ? detected_grey().data() : nullptr;
    const int n = rows * cols;
    // Code -> board position, in the order of the stand-in's code book; positions beyond it have no
    // code, so no marker is found there.
    std::map<int, int> slot;
    const std::vector<std::uint32_t> book = marker_patterns(n, type.N);
    for (std::size_t k = 0; k < book.size(); ++k) slot[marker_code(book[k], type.N)] = static_cast<int>(k);
    std::vector<Eigen::Vector3d> ideal, measured;
    std::vector<double> w;
    for (const Detected& d : found) {
        auto it = slot.find(d.code);
        if (it == slot.end()) continue;
        const int k = it->second;
        Eigen::Vector3d p;
        if (!point_at(*points, grey, d.x, d.y, d.radius * type.r2_to_r0_ratio, &p)) continue;
        image_xy[2 * k] = static_cast<float>(d.x);
        image_xy[2 * k + 1] = static_cast<float>(d.y);
        for (int i = 0; i < 3; ++i) board_xyz[3 * k + i] = static_cast<float>(p[i]);
        const int r = k / cols, c = k % cols;
        const double bx = expected_xy ? expected_xy[2 * k] : (c - (cols - 1) / 2.0) * spacing_mm;
        const double by = expected_xy ? expected_xy[2 * k + 1] : ((rows - 1) / 2.0 - r) * spacing_mm;
        const double weight = weights ? weights[k] : 1.0;
        if (!std::isfinite(bx) || !std::isfinite(by) || !std::isfinite(weight)) {
            call.fail(Error_InvalidArgument, "the expected position or weight of board marker " + std::to_string(k) +
                                                 " is not a finite number");
            return Error_InvalidArgument;
        }
        ideal.emplace_back(bx, by, 0.0);
        measured.push_back(p);
        w.push_back(std::max(0.0, weight));
    }
    if (ideal.size() < 3) {
        call.fail(Error_Failed, "only " + std::to_string(ideal.size()) + " board markers were measured; 3 are needed");
        return Error_Failed;
    }
    int weighted = 0;
    for (double x : w) weighted += x > 0;
    if (weighted < 3) {
        call.fail(Error_Failed, std::to_string(weighted) + " of the " + std::to_string(ideal.size()) +
                                    " board markers measured have a positive weight; 3 are needed");
        return Error_Failed;
    }
    double rms;
    const Eigen::Matrix4d T = rigid_fit(ideal, measured, &w, &rms);
    double worst = 0;
    for (std::size_t i = 0; i < ideal.size(); ++i) {
        const Eigen::Vector3d fitted = T.topLeftCorner<3, 3>() * ideal[i] + T.topRightCorner<3, 1>();
        if (w[i] > 0) worst = std::max(worst, (fitted - measured[i]).norm());
    }
    *rms_mm = static_cast<float>(rms);
    *max_mm = static_cast<float>(worst);
    return static_cast<int>(ideal.size());
} catch (...) { return escaped_code(); }

}  // namespace TUVO
