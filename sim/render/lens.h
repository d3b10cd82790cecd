// Stand-in SDK: the lens model every camera shares: the usual five coefficients (k1, k2, p1, p2, k3)
// acting on normalised image coordinates, and its inverse.
#pragma once

namespace sim {

// Normalised, undistorted coordinates (x, y) to where the lens `d` puts them.
inline void lens_distort(const double d[5], double x, double y, double* xd, double* yd) {
    const double r2 = x * x + y * y;
    const double radial = 1 + r2 * (d[0] + r2 * (d[1] + r2 * d[4]));
    *xd = x * radial + 2 * d[2] * x * y + d[3] * (r2 + 2 * x * x);
    *yd = y * radial + d[2] * (r2 + 2 * y * y) + 2 * d[3] * x * y;
}

// The inverse of lens_distort: fixed-point steps, which contract fast for lens models of a few
// percent (four steps leave well under 1e-5 pixel at the image corners).
inline void lens_undistort(const double d[5], double xd, double yd, double* x, double* y) {
    double u = xd, v = yd;
    for (int it = 0; it < 4; ++it) {
        const double r2 = u * u + v * v;
        const double radial = 1 + r2 * (d[0] + r2 * (d[1] + r2 * d[4]));
        const double dx = 2 * d[2] * u * v + d[3] * (r2 + 2 * u * u);
        const double dy = d[2] * (r2 + 2 * v * v) + 2 * d[3] * u * v;
        u = (xd - dx) / radial;
        v = (yd - dy) / radial;
    }
    *x = u;
    *y = v;
}

}  // namespace sim
