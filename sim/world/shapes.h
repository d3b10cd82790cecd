// Stand-in SDK: exact (double precision) ray intersections with the scene's shapes.
#pragma once
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

}  // namespace sim
