// Stand-in SDK: the geometry types every layer shares: vectors, rotations and the rotations about an axis.
#pragma once
#include <Eigen/Dense>
#include <cmath>

namespace sim {

using Vec3 = Eigen::Vector3d;
using Mat3 = Eigen::Matrix3d;

// Right-handed rotations by `a` radians about the x and the y axis.
inline Mat3 rot_x(double a) {
    Mat3 r;
    r << 1, 0, 0, 0, std::cos(a), -std::sin(a), 0, std::sin(a), std::cos(a);
    return r;
}
inline Mat3 rot_y(double a) {
    Mat3 r;
    r << std::cos(a), 0, std::sin(a), 0, 1, 0, -std::sin(a), 0, std::cos(a);
    return r;
}

}  // namespace sim
