// Stand-in SDK: exact ray intersections with planes, boxes, spheres, cylinders, boards and triangles.
#include "world/shapes.h"

#include <algorithm>
#include <cmath>

#include "world/mesh.h"

namespace sim {

bool intersect_primitive(const Object& obj, const Vec3& o, const Vec3& d, double tmin, double tmax, double* t,
                         Vec3* n) {
    switch (obj.shape) {
        case Shape::Plane:
        case Shape::Board: return intersect_shape<Shape::Plane>(obj, o, d, tmin, tmax, t, n);
        case Shape::Sphere: return intersect_shape<Shape::Sphere>(obj, o, d, tmin, tmax, t, n);
        case Shape::Box: return intersect_shape<Shape::Box>(obj, o, d, tmin, tmax, t, n);
        case Shape::Cylinder: return intersect_shape<Shape::Cylinder>(obj, o, d, tmin, tmax, t, n);
        case Shape::Mesh: break;
    }
    return false;
}

void primitive_bounds(const Object& obj, Vec3* lo, Vec3* hi) {
    Vec3 a, b;  // the object's own box
    switch (obj.shape) {
        case Shape::Plane:
        case Shape::Board: a = Vec3(-obj.half.x(), -obj.half.y(), 0); b = -a; break;
        case Shape::Sphere: a = Vec3::Constant(-obj.radius); b = -a; break;
        case Shape::Box: a = -obj.half; b = obj.half; break;
        case Shape::Cylinder: a = Vec3(-obj.radius, -obj.radius, 0); b = Vec3(obj.radius, obj.radius, obj.height); break;
        default: a = b = Vec3::Zero(); break;
    }
    // The rotated box's extent: |R| times the half size, about the rotated centre.
    const Vec3 c = obj.R * ((a + b) / 2) + obj.t;
    const Vec3 e = obj.R.cwiseAbs() * ((b - a) / 2);
    // Widened so that the float bounds Embree keeps still hold the exact surface.
    const Vec3 pad = (c.cwiseAbs() + e) * 1e-5 + Vec3::Constant(1e-3);
    *lo = c - e - pad;
    *hi = c + e + pad;
}

bool triangle_normal(const Object& obj, unsigned prim, float u, float v, const Vec3& face, Vec3* n) {
    const Mesh& m = *obj.mesh;
    Vec3 local = face;
    if (!m.normals.empty()) {
        const std::uint32_t* idx = &m.indices[3 * static_cast<std::size_t>(prim)];
        const double bary[3] = {1.0 - u - v, u, v};
        Vec3 acc = Vec3::Zero();
        for (int k = 0; k < 3; ++k) {
            const float* q = &m.normals[3 * static_cast<std::size_t>(idx[k])];
            acc += bary[k] * Vec3(q[0], q[1], q[2]);
        }
        if (acc.squaredNorm() > 0) local = acc;
    }
    // Normals move with the inverse transpose of the scale.
    const Vec3 world = obj.R * local.cwiseQuotient(obj.scale);
    const double len = world.norm();
    if (!(len > 0)) return false;
    *n = world / len;
    return true;
}

}  // namespace sim
