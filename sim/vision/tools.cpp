// Stand-in SDK: point-cloud transform, external camera and accuracy tools.
#include "vision/tools.h"

#include <cmath>
#include <limits>
#include <map>

#include "render/lens.h"
#include "world/scene.h"

namespace sim {
namespace {

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

void transform_points(double* p, double* n, std::size_t count, const double* R, const double* T) {
    for (std::size_t i = 0; i < count; ++i) {
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
}

bool usable_lens(const float* K, const float* D, Report& report) {
    bool fine = K[0] > 0 && K[4] > 0;
    for (int i = 0; i < 9; ++i) fine = fine && std::isfinite(K[i]);
    for (int i = 0; i < 5; ++i) fine = fine && std::isfinite(D[i]);
    if (!fine)
        report.fail(TUVO::Error_InvalidArgument,
                    "the external camera's intrinsics and distortion must be finite, its focal lengths positive");
    return fine;
}

void match_external(const std::map<int, Eigen::Vector3d>& device, const std::uint8_t* external, int width, int height,
                    const TUVO::CodedCircleMarkerType& type, std::vector<Eigen::Vector3d>* X,
                    std::vector<Eigen::Vector2d>* uv) {
    std::map<int, int> seen;
    const std::vector<Detected> seen_ext = detect_markers(external, width, height, type);
    for (const Detected& d : seen_ext) ++seen[d.code];
    for (const Detected& d : seen_ext) {
        auto it = device.find(d.code);
        if (it == device.end() || seen[d.code] != 1) continue;
        X->push_back(it->second);
        uv->emplace_back(d.x, d.y);
    }
}

bool external_pose(const std::vector<Eigen::Vector3d>& X, const std::vector<Eigen::Vector2d>& uv, const float* K,
                   const float* D, float* extrinsic16, double* rms_px, Report& report) {
    Eigen::Matrix4d pose;
    double rms;
    if (X.size() < 6) {
        report.fail(TUVO::Error_Failed, "the views share " + std::to_string(X.size()) +
                                            " markers with the external camera; 6 are needed for a pose");
        return false;
    }
    if (!solve_pose(X, uv, K, D, &pose, &rms) || !std::isfinite(rms)) {
        report.fail(TUVO::Error_Failed, "no pose of the external camera fits the " + std::to_string(X.size()) +
                                            " markers the views share (check its intrinsics and distortion)");
        return false;
    }
    for (int i = 0; i < 16; ++i) extrinsic16[i] = static_cast<float>(pose(i / 4, i % 4));
    *rms_px = rms;
    return true;
}

void external_point_map(const PointsView& src, int width, int height, const float* K, const float* D,
                        const float* extrinsic16, double* q) {
    const Eigen::Matrix4d E = matrix_of(extrinsic16);
    std::vector<double> zbuf(static_cast<std::size_t>(width) * height, std::numeric_limits<double>::infinity());
    const double* p = src.points;
    const std::size_t count = static_cast<std::size_t>(src.width) * src.height;
    for (std::size_t i = 0; i < count; ++i) {
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
}

int board_accuracy(const std::vector<Detected>& found, const PointsView& points, const std::uint8_t* grey,
                   const TUVO::CodedCircleMarkerType& type, const float* expected_xy, const float* weights, int rows,
                   int cols, float spacing_mm, float* image_xy, float* board_xyz, float* rms_mm, float* max_mm,
                   Report& report) {
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
        if (!point_at(points, grey, d.x, d.y, d.radius * type.r2_to_r0_ratio, &p)) continue;
        image_xy[2 * k] = static_cast<float>(d.x);
        image_xy[2 * k + 1] = static_cast<float>(d.y);
        for (int i = 0; i < 3; ++i) board_xyz[3 * k + i] = static_cast<float>(p[i]);
        const int r = k / cols, c = k % cols;
        const double bx = expected_xy ? expected_xy[2 * k] : (c - (cols - 1) / 2.0) * spacing_mm;
        const double by = expected_xy ? expected_xy[2 * k + 1] : ((rows - 1) / 2.0 - r) * spacing_mm;
        const double weight = weights ? weights[k] : 1.0;
        if (!std::isfinite(bx) || !std::isfinite(by) || !std::isfinite(weight)) {
            report.fail(TUVO::Error_InvalidArgument, "the expected position or weight of board marker " +
                                                         std::to_string(k) + " is not a finite number");
            return TUVO::Error_InvalidArgument;
        }
        ideal.emplace_back(bx, by, 0.0);
        measured.push_back(p);
        w.push_back(std::max(0.0, weight));
    }
    if (ideal.size() < 3) {
        report.fail(TUVO::Error_Failed,
                    "only " + std::to_string(ideal.size()) + " board markers were measured; 3 are needed");
        return TUVO::Error_Failed;
    }
    int weighted = 0;
    for (double x : w) weighted += x > 0;
    if (weighted < 3) {
        report.fail(TUVO::Error_Failed, std::to_string(weighted) + " of the " + std::to_string(ideal.size()) +
                                            " board markers measured have a positive weight; 3 are needed");
        return TUVO::Error_Failed;
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
}

}  // namespace sim
