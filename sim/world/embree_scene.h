// Stand-in SDK: the Embree scenes rays are cast into, built once per placement of a scene.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <embree3/rtcore.h>

#include "world/scene.h"

namespace sim {

// The process's Embree device (made on first use, shared by every scene and thread).
RTCDevice embree_device();
// The last error Embree reported on the calling thread (then forgotten), or "".
std::string take_embree_error();

// What the nearest surface along a ray is: exact distance, outward normal (device frame), object.
struct RayHit {
    double t = -1;
    Vec3 n = Vec3::Zero();
    int object = -1;
};

// One ray in double precision and the nearest exact hit the primitives' callbacks found on it.
// Made by prepare_lane (n once a callback finds a hit): left unset until then, as a block's worth
// of lanes is made afresh for every block of rays.
struct RayLane {
    Vec3 o, d;
    double t;
    Vec3 n;
    unsigned geom;
};

// The context every ray is cast with: Embree hands it to the primitives' callbacks, which work
// on the ray in double precision and leave their nearest exact hit in the ray's lane: the
// context's own for a single ray, lanes[id] for rays cast together (id: the Embree ray's id).
struct RayContext {
    RTCIntersectContext embree;  // first, so Embree's pointer is this context's
    RayLane own;
    RayLane* lanes = nullptr;
    std::uint64_t tests = 0;  // primitives the ray was tested against (counted, never reset here)
};
// Sets up `ctx` and `rh` for the ray o + t d, t in (tmin, tmax]. False when Embree cannot take the
// ray (a coordinate not a number or beyond what its floats hold, a bound not a number): such a ray
// meets nothing and must not be cast.
bool prepare_ray(RayContext* ctx, RTCRayHit* rh, const Vec3& o, const Vec3& d, double tmin, double tmax);
// The same for ray `id` of rays cast together: its lane and Embree ray.
bool prepare_lane(RayLane* lane, RTCRayHit* rh, unsigned id, const Vec3& o, const Vec3& d, double tmin, double tmax);
bool prepare_lane(RayLane* lane, RTCRay* ray, unsigned id, const Vec3& o, const Vec3& d, double tmin, double tmax);
// Rays cast together, as neighbouring pixels' rays are: coherent, in Embree's packets. `ctx` holds
// their lanes (ids 0 .. n - 1 in any order); rh[k].ray.id names each ray's lane. Shadow rays: the
// rays' tfar turns negative for those blocked.
void intersect_together(RTCScene scene, RayContext* ctx, RTCRayHit* rh, unsigned n);
void occluded_together(RTCScene scene, RayContext* ctx, RTCRay* r, unsigned n);

// The objects of a scene as placed for a capture, in one Embree scene: primitives as user
// geometry intersected exactly, meshes as instances of their triangles. Immutable once built,
// so any number of threads may cast into it at once; a move builds a new one.
class Accel {
public:
    // Null with `why` set when Embree cannot build it (out of memory).
    static std::shared_ptr<const Accel> build(const std::vector<Object>& objects, std::string* why);
    ~Accel();
    Accel(const Accel&) = delete;
    Accel& operator=(const Accel&) = delete;

    // The nearest surface along the ray within (tmin, tmax].
    bool intersect(const Vec3& o, const Vec3& d, double tmin, double tmax, RayHit* hit) const;
    // Whether any surface lies along the ray within (tmin, tmax).
    bool occluded(const Vec3& o, const Vec3& d, double tmin, double tmax) const;
    // The same for n rays from one origin (as a camera's) or from n origins, cast together: what
    // intersect and occluded give each. At most kTogether rays at a time. intersect_many's hits
    // come as cast_shapes gives them (the point, the normal facing the origin; a miss has t and
    // object -1), straight into hits[0 .. n - 1], their albedo left as it was.
    static constexpr int kTogether = 64;
    void intersect_many(const Vec3& o, const Vec3* d, int n, double tmin, double tmax, Hit* hits) const;
    void occluded_many(const Vec3* o, const Vec3* d, int n, double tmin, const double* tmax, bool* blocked) const;
    // The Embree scene itself, for timing the raw calls behind intersect and occluded.
    RTCScene handle() const { return scene_; }

private:
    Accel() = default;
    RTCScene scene_ = nullptr;
    std::vector<Object> objects_;  // what the callbacks read (geometry ID = object index)
};

}  // namespace sim
