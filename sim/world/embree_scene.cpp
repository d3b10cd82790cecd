// Stand-in SDK: the Embree device and the per-placement Embree scenes, with exact primitive callbacks.
#include "world/embree_scene.h"

#include <cmath>
#include <limits>
#include <unordered_set>

#include "world/mesh.h"
#include "world/shapes.h"

namespace sim {

namespace {

thread_local std::string t_embree_error;

void on_error(void*, RTCError code, const char* str) {
    if (t_embree_error.empty()) t_embree_error = std::string(str ? str : "error ") + " (code " + std::to_string(code) + ")";
}

constexpr float kInf = std::numeric_limits<float>::infinity();

// The ray of lane i as double precision: the context's own ray for single rays.
void lane_ray(const RayContext* c, RTCRayN* ray, unsigned N, unsigned i, Vec3* o, Vec3* d) {
    if (N == 1) {
        *o = c->o;
        *d = c->d;
        return;
    }
    *o = Vec3(RTCRayN_org_x(ray, N, i), RTCRayN_org_y(ray, N, i), RTCRayN_org_z(ray, N, i));
    *d = Vec3(RTCRayN_dir_x(ray, N, i), RTCRayN_dir_y(ray, N, i), RTCRayN_dir_z(ray, N, i)).normalized();
}

void bounds_fn(const RTCBoundsFunctionArguments* a) {
    const auto* obj = static_cast<const Object*>(a->geometryUserPtr);
    Vec3 lo, hi;
    primitive_bounds(*obj, &lo, &hi);
    a->bounds_o->lower_x = static_cast<float>(lo.x());
    a->bounds_o->lower_y = static_cast<float>(lo.y());
    a->bounds_o->lower_z = static_cast<float>(lo.z());
    a->bounds_o->upper_x = static_cast<float>(hi.x());
    a->bounds_o->upper_y = static_cast<float>(hi.y());
    a->bounds_o->upper_z = static_cast<float>(hi.z());
}

void intersect_fn(const RTCIntersectFunctionNArguments* a) {
    const auto* obj = static_cast<const Object*>(a->geometryUserPtr);
    auto* c = reinterpret_cast<RayContext*>(a->context);
    ++c->tests;
    RTCRayN* ray = RTCRayHitN_RayN(a->rayhit, a->N);
    RTCHitN* hit = RTCRayHitN_HitN(a->rayhit, a->N);
    for (unsigned i = 0; i < a->N; ++i) {
        if (!a->valid[i]) continue;
        Vec3 o, d, n;
        lane_ray(c, ray, a->N, i, &o, &d);
        double t;
        if (!intersect_primitive(*obj, o, d, RTCRayN_tnear(ray, a->N, i), RTCRayN_tfar(ray, a->N, i), &t, &n)) continue;
        RTCRayN_tfar(ray, a->N, i) = static_cast<float>(t);
        RTCHitN_Ng_x(hit, a->N, i) = static_cast<float>(n.x());
        RTCHitN_Ng_y(hit, a->N, i) = static_cast<float>(n.y());
        RTCHitN_Ng_z(hit, a->N, i) = static_cast<float>(n.z());
        RTCHitN_u(hit, a->N, i) = 0;
        RTCHitN_v(hit, a->N, i) = 0;
        RTCHitN_primID(hit, a->N, i) = a->primID;
        RTCHitN_geomID(hit, a->N, i) = a->geomID;
        RTCHitN_instID(hit, a->N, i, 0) = a->context->instID[0];
        if (a->N == 1) {
            c->t = t;
            c->n = n;
            c->geom = a->geomID;
        }
    }
}

void occluded_fn(const RTCOccludedFunctionNArguments* a) {
    const auto* obj = static_cast<const Object*>(a->geometryUserPtr);
    auto* c = reinterpret_cast<RayContext*>(a->context);
    ++c->tests;
    for (unsigned i = 0; i < a->N; ++i) {
        if (!a->valid[i]) continue;
        Vec3 o, d, n;
        lane_ray(c, a->ray, a->N, i, &o, &d);
        double t;
        const float tfar = RTCRayN_tfar(a->ray, a->N, i);
        if (intersect_primitive(*obj, o, d, RTCRayN_tnear(a->ray, a->N, i), tfar, &t, &n) && t < tfar)
            RTCRayN_tfar(a->ray, a->N, i) = -kInf;
    }
}

// The bytes of an object's shape, size and pose: equal for objects that occupy the same space.
std::string placement_key(const Object& o) {
    std::string key;
    auto add = [&key](const void* p, std::size_t n) { key.append(static_cast<const char*>(p), n); };
    const Mesh* mesh = o.mesh.get();
    add(&o.shape, sizeof o.shape);
    add(o.R.data(), 9 * sizeof(double));
    add(o.t.data(), 3 * sizeof(double));
    add(o.half.data(), 3 * sizeof(double));
    add(&o.radius, sizeof o.radius);
    add(&o.height, sizeof o.height);
    add(o.scale.data(), 3 * sizeof(double));
    add(&mesh, sizeof mesh);
    return key;
}

}  // namespace

RTCDevice embree_device() {
    static RTCDevice device = [] {
        RTCDevice d = rtcNewDevice("verbose=0");
        rtcSetDeviceErrorFunction(d, on_error, nullptr);
        return d;
    }();  // lives as long as the process: scenes may be released at any point of its exit
    return device;
}

std::string take_embree_error() {
    std::string e;
    e.swap(t_embree_error);
    return e;
}

bool prepare_ray(RayContext* ctx, RTCRayHit* rh, const Vec3& o, const Vec3& d, double tmin, double tmax) {
    // Embree asserts on rays outside this range (it is built with its checks on); checked before
    // anything is narrowed to float.
    constexpr double kLarge = 1.8e18;
    bool fine = std::abs(tmin) <= kLarge && tmax >= -kLarge;  // NaN fails both
    for (int k = 0; k < 3; ++k) fine = fine && std::abs(o[k]) <= kLarge && std::abs(d[k]) <= kLarge;
    if (!fine) return false;
    rtcInitIntersectContext(&ctx->embree);
    ctx->o = o;
    ctx->d = d;
    ctx->t = -1;
    ctx->geom = RTC_INVALID_GEOMETRY_ID;
    RTCRay& r = rh->ray;
    r.org_x = static_cast<float>(o.x());
    r.org_y = static_cast<float>(o.y());
    r.org_z = static_cast<float>(o.z());
    r.dir_x = static_cast<float>(d.x());
    r.dir_y = static_cast<float>(d.y());
    r.dir_z = static_cast<float>(d.z());
    r.tnear = static_cast<float>(tmin);
    r.tfar = tmax >= 3e38 ? kInf : static_cast<float>(tmax);
    r.time = 0;
    r.mask = 0xffffffffu;
    r.id = 0;
    r.flags = 0;
    rh->hit.geomID = RTC_INVALID_GEOMETRY_ID;
    rh->hit.primID = RTC_INVALID_GEOMETRY_ID;
    rh->hit.instID[0] = RTC_INVALID_GEOMETRY_ID;
    return true;
}

std::shared_ptr<const Accel> Accel::build(const std::vector<Object>& objects, std::string* why) {
    RTCDevice dev = embree_device();
    take_embree_error();
    std::shared_ptr<Accel> a(new Accel);
    a->objects_ = objects;  // never resized again: the callbacks hold pointers into it
    a->scene_ = rtcNewScene(dev);
    // Objects placed exactly where an earlier one stands are one surface to the rays: the first
    // in the scene is the one seen. Kept apart, a ray would test every one of them.
    std::unordered_set<std::string> placed;
    for (std::size_t i = 0; i < a->objects_.size(); ++i) {
        const Object& obj = a->objects_[i];
        if (obj.hidden || !placed.insert(placement_key(obj)).second) continue;
        RTCGeometry g;
        if (obj.shape == Shape::Mesh) {
            g = rtcNewGeometry(dev, RTC_GEOMETRY_TYPE_INSTANCE);
            rtcSetGeometryInstancedScene(g, obj.mesh->prototype);
            float m[12];  // column-major 3 x 4: mesh units to the device frame
            for (int c = 0; c < 3; ++c)
                for (int r = 0; r < 3; ++r) m[3 * c + r] = static_cast<float>(obj.R(r, c) * obj.scale[c]);
            for (int r = 0; r < 3; ++r) m[9 + r] = static_cast<float>(obj.t[r]);
            rtcSetGeometryTransform(g, 0, RTC_FORMAT_FLOAT3X4_COLUMN_MAJOR, m);
        } else {
            g = rtcNewGeometry(dev, RTC_GEOMETRY_TYPE_USER);
            rtcSetGeometryUserPrimitiveCount(g, 1);
            rtcSetGeometryUserData(g, const_cast<Object*>(&obj));
            rtcSetGeometryBoundsFunction(g, bounds_fn, nullptr);
            rtcSetGeometryIntersectFunction(g, intersect_fn);
            rtcSetGeometryOccludedFunction(g, occluded_fn);
        }
        rtcCommitGeometry(g);
        rtcAttachGeometryByID(a->scene_, g, static_cast<unsigned>(i));
        rtcReleaseGeometry(g);
    }
    rtcCommitScene(a->scene_);
    const std::string err = take_embree_error();
    if (!err.empty()) {
        *why = "Embree cannot build the scene: " + err;
        return nullptr;
    }
    return a;
}

Accel::~Accel() {
    if (scene_) rtcReleaseScene(scene_);
}

bool Accel::intersect(const Vec3& o, const Vec3& d, double tmin, double tmax, RayHit* out) const {
    RayContext ctx;
    RTCRayHit rh;
    if (!prepare_ray(&ctx, &rh, o, d, tmin, tmax)) return false;
    rtcIntersect1(scene_, &ctx.embree, &rh);
    if (rh.hit.geomID == RTC_INVALID_GEOMETRY_ID) return false;
    if (rh.hit.instID[0] != RTC_INVALID_GEOMETRY_ID) {
        out->object = static_cast<int>(rh.hit.instID[0]);
        if (!refine_triangle(objects_[out->object], rh.hit.primID, rh.hit.u, rh.hit.v, o, d, &out->t, &out->n)) {
            out->t = rh.ray.tfar;
            out->n = Vec3(rh.hit.Ng_x, rh.hit.Ng_y, rh.hit.Ng_z).normalized();
        }
        return true;
    }
    out->object = static_cast<int>(rh.hit.geomID);
    if (ctx.geom == rh.hit.geomID) {
        out->t = ctx.t;
        out->n = ctx.n;
    } else {
        out->t = rh.ray.tfar;
        out->n = Vec3(rh.hit.Ng_x, rh.hit.Ng_y, rh.hit.Ng_z);
    }
    return true;
}

bool Accel::occluded(const Vec3& o, const Vec3& d, double tmin, double tmax) const {
    RayContext ctx;
    RTCRayHit rh;
    if (!prepare_ray(&ctx, &rh, o, d, tmin, tmax)) return false;
    rtcOccluded1(scene_, &ctx.embree, &rh.ray);
    return rh.ray.tfar < 0;
}

}  // namespace sim
