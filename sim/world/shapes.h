// Stand-in SDK: exact (double precision) ray intersections with the scene's shapes.
#pragma once
#include <algorithm>
#include <cmath>

#include "world/scene.h"

namespace sim {

// The nearest distance t in (tmin, tmax] at which the ray o + t d (device frame, d unit) meets a
// primitive object (plane, box, sphere, cylinder, board), and the surface's outward normal there
// (device frame). False when the ray misses within that range.
bool intersect_primitive(const Object& obj, const Vec3& o, const Vec3& d, double tmin, double tmax, double* t,
                         Vec3* n);

// The axis-aligned box (device frame) that holds a primitive object.
void primitive_bounds(const Object& obj, Vec3* lo, Vec3* hi);

// The surface normal of triangle `prim` of a mesh object at barycentric (u, v), device frame:
// interpolated when the mesh has vertex normals, else the face's (`face`: Embree's geometric normal,
// mesh units). False when it has no direction.
bool triangle_normal(const Object& obj, unsigned prim, float u, float v, const Vec3& face, Vec3* n);

namespace shape_tests {

// Keeps the nearer of a candidate and the best so far, within (tmin, tmax].
inline void keep(double cand, const Vec3& cn, double tmin, double* best, Vec3* bn) {
    if (cand > tmin && cand <= *best) {
        *best = cand;
        *bn = cn;
    }
}

inline void sphere(double r, const Vec3& lo, const Vec3& ld, double tmin, double* best, Vec3* bn) {
    const double b = lo.dot(ld), c = lo.squaredNorm() - r * r;
    const double disc = b * b - c;
    if (disc < 0) return;
    const double sq = std::sqrt(disc);
    for (double t : {-b - sq, -b + sq}) {
        if (t > tmin && t <= *best) {
            *best = t;
            *bn = (lo + ld * t) / r;
            return;
        }
    }
}

inline void box(const Vec3& half, const Vec3& lo, const Vec3& ld, double tmin, double* best, Vec3* bn) {
    double t0 = -1e300, t1 = 1e300;
    int a0 = -1, a1 = -1;
    double s0 = 1, s1 = 1;
    for (int i = 0; i < 3; ++i) {
        if (ld[i] == 0) {
            if (std::abs(lo[i]) > half[i]) return;
            continue;
        }
        double ta = (-half[i] - lo[i]) / ld[i], tb = (half[i] - lo[i]) / ld[i];
        double sa = -1, sb = 1;  // the face each distance belongs to
        if (ta > tb) std::swap(ta, tb), std::swap(sa, sb);
        if (ta > t0) t0 = ta, a0 = i, s0 = sa;
        if (tb < t1) t1 = tb, a1 = i, s1 = sb;
        if (t0 > t1) return;
    }
    if (a0 >= 0 && t0 > tmin && t0 <= *best) {
        *best = t0;
        *bn = Vec3::Zero();
        (*bn)[a0] = s0;
    } else if (a1 >= 0 && t1 > tmin && t1 <= *best) {
        *best = t1;
        *bn = Vec3::Zero();
        (*bn)[a1] = s1;
    }
}

inline void cylinder(double r, double h, const Vec3& lo, const Vec3& ld, double tmin, double* best, Vec3* bn) {
    // The side: |(x, y)| = r for 0 <= z <= h.
    const double A = ld.x() * ld.x() + ld.y() * ld.y();
    if (A > 0) {
        const double B = 2 * (lo.x() * ld.x() + lo.y() * ld.y());
        const double C = lo.x() * lo.x() + lo.y() * lo.y() - r * r;
        const double disc = B * B - 4 * A * C;
        if (disc >= 0) {
            const double sq = std::sqrt(disc);
            for (double t : {(-B - sq) / (2 * A), (-B + sq) / (2 * A)}) {
                const double z = lo.z() + ld.z() * t;
                if (z >= 0 && z <= h && t > tmin && t <= *best) {
                    const Vec3 q = lo + ld * t;
                    keep(t, Vec3(q.x(), q.y(), 0) / r, tmin, best, bn);
                    break;
                }
            }
        }
    }
    // The caps.
    if (ld.z() != 0) {
        for (double zc : {h, 0.0}) {
            const double t = (zc - lo.z()) / ld.z();
            if (!(t > tmin && t <= *best)) continue;
            const double x = lo.x() + ld.x() * t, y = lo.y() + ld.y() * t;
            if (x * x + y * y <= r * r) keep(t, Vec3(0, 0, zc > 0 ? 1 : -1), tmin, best, bn);
        }
    }
}

}  // namespace shape_tests

// The box or cylinder test of intersect_shape.
template <Shape S>
inline bool intersect_solid(const Object& obj, const Vec3& o, const Vec3& d, double tmin, double tmax, double* t,
                            Vec3* n) {
    // In the object's frame: R is a rotation, so distances along the ray are the same.
    const Vec3 lo = obj.R.transpose() * (o - obj.t);
    const Vec3 ld = obj.R.transpose() * d;
    double best = tmax;
    Vec3 ln(0, 0, 0);
    if constexpr (S == Shape::Box) shape_tests::box(obj.half, lo, ld, tmin, &best, &ln);
    else shape_tests::cylinder(obj.radius, obj.height, lo, ld, tmin, &best, &ln);
    if (ln.squaredNorm() == 0) return false;
    *t = best;
    *n = obj.R * ln;
    return true;
}

// intersect_primitive for an object of shape S (Shape::Plane also serves boards), with no
// dispatch on the shape: the ray-casting callbacks are made one per shape. The plane's and the
// sphere's few operations always inline.
template <Shape S>
inline __attribute__((always_inline)) bool intersect_shape(const Object& obj, const Vec3& o, const Vec3& d,
                                                           double tmin, double tmax, double* t, Vec3* n) {
    static_assert(S != Shape::Mesh && S != Shape::Board, "boards are planes; meshes are Embree's own");
    if constexpr (S == Shape::Plane) {
        // Only the distance along the normal matters until the ray meets the plane.
        const Vec3 nz = obj.R.col(2);
        const double den = nz.dot(d);
        if (den == 0) return false;
        const double tt = nz.dot(obj.t - o) / den;
        if (!(tt > tmin && tt <= tmax)) return false;
        const Vec3 q = o + d * tt - obj.t;
        if (std::abs(obj.R.col(0).dot(q)) > obj.half.x() || std::abs(obj.R.col(1).dot(q)) > obj.half.y()) return false;
        *t = tt;
        *n = nz;
        return true;
    } else if constexpr (S == Shape::Sphere) {  // turns change nothing
        double best = tmax;
        Vec3 ln(0, 0, 0);
        shape_tests::sphere(obj.radius, o - obj.t, d, tmin, &best, &ln);
        if (ln.squaredNorm() == 0) return false;
        *t = best;
        *n = ln;
        return true;
    } else {
        return intersect_solid<S>(obj, o, d, tmin, tmax, t, n);
    }
}

}  // namespace sim
