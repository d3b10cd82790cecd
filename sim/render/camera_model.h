// Stand-in SDK: the optical model of one camera (intrinsics and pose).
#pragma once
#include <Eigen/Dense>

namespace sim {

using Vec3 = Eigen::Vector3d;
using Mat3 = Eigen::Matrix3d;

// A pinhole camera without lens distortion. Pose: x_device = R * x_camera + t (mm).
struct CameraModel {
    int width = 0, height = 0;
    double fx = 0, fy = 0, cx = 0, cy = 0;
    Mat3 R = Mat3::Identity();
    Vec3 t = Vec3::Zero();
    bool colour = false;

    Vec3 ray(double u, double v) const { return Vec3((u - cx) / fx, (v - cy) / fy, 1.0).normalized(); }
    // Projects a point given in this camera's frame; false behind the camera.
    bool project(const Vec3& p, double* u, double* v) const {
        if (p.z() <= 1e-9) return false;
        *u = fx * p.x() / p.z() + cx;
        *v = fy * p.y() / p.z() + cy;
        return true;
    }
    Vec3 to_device(const Vec3& p) const { return R * p + t; }
    Vec3 from_device(const Vec3& p) const { return R.transpose() * (p - t); }
};

}  // namespace sim
