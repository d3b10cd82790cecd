// Stand-in SDK: the Embree device and the per-placement Embree scenes, with exact primitive callbacks.
#include "world/embree_scene.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <unordered_set>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "world/mesh.h"
#include "world/shapes.h"

namespace sim {

namespace {

thread_local std::string t_embree_error;

void on_error(void*, RTCError code, const char* str) {
    if (t_embree_error.empty()) t_embree_error = std::string(str ? str : "error ") + " (code " + std::to_string(code) + ")";
}

constexpr float kInf = std::numeric_limits<float>::infinity();

// The lane of ray i of a callback's rays: for rays cast together the one its id names, for a ray
// cast alone the context's own; null for rays cast without lanes (their float ray is all there is).
// `lanes`: the context's, read once for all of a callback's rays.
inline RayLane* lane_of(RayContext* c, RayLane* lanes, RTCRayN* ray, unsigned N, unsigned i) {
    if (lanes) return &lanes[RTCRayN_id(ray, N, i)];
    return N == 1 ? &c->own : nullptr;
}

// The ray of lane i as double precision.
void lane_ray(const RayLane* lane, RTCRayN* ray, unsigned N, unsigned i, Vec3* o, Vec3* d) {
    if (lane) {
        *o = lane->o;
        *d = lane->d;
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

// The callbacks, one of each per shape (so that no ray dispatches on it): each valid ray of the
// packet tested in double precision, from its lane where it has one. The packet's width kN is a
// constant for the widths Embree uses (its fields then lie at fixed places), 0 for any other.
template <Shape S, unsigned kN>
inline void intersect_rays(const RTCIntersectFunctionNArguments* a) {
    const auto& obj = *static_cast<const Object*>(a->geometryUserPtr);
    auto* c = reinterpret_cast<RayContext*>(a->context);
    ++c->tests;
    const unsigned N = kN ? kN : a->N;
    RTCRayN* ray = RTCRayHitN_RayN(a->rayhit, N);
    RTCHitN* hit = RTCRayHitN_HitN(a->rayhit, N);
    RayLane* const lanes = c->lanes;
    for (unsigned i = 0; i < N; ++i) {
        if (!a->valid[i]) continue;
        RayLane* lane = lane_of(c, lanes, ray, N, i);
        Vec3 fo, fd, n;
        if (!lane) lane_ray(nullptr, ray, N, i, &fo, &fd);
        const Vec3& o = lane ? lane->o : fo;
        const Vec3& d = lane ? lane->d : fd;
        double t;
        if (!intersect_shape<S>(obj, o, d, RTCRayN_tnear(ray, N, i), RTCRayN_tfar(ray, N, i), &t, &n)) continue;
        RTCRayN_tfar(ray, N, i) = static_cast<float>(t);
        RTCHitN_Ng_x(hit, N, i) = static_cast<float>(n.x());
        RTCHitN_Ng_y(hit, N, i) = static_cast<float>(n.y());
        RTCHitN_Ng_z(hit, N, i) = static_cast<float>(n.z());
        RTCHitN_u(hit, N, i) = 0;
        RTCHitN_v(hit, N, i) = 0;
        RTCHitN_primID(hit, N, i) = a->primID;
        RTCHitN_geomID(hit, N, i) = a->geomID;
        RTCHitN_instID(hit, N, i, 0) = a->context->instID[0];
        if (lane) {
            lane->t = t;
            lane->n = n;
            lane->geom = a->geomID;
        }
    }
}

template <Shape S, unsigned kN>
inline void occlude_rays(const RTCOccludedFunctionNArguments* a) {
    const auto& obj = *static_cast<const Object*>(a->geometryUserPtr);
    auto* c = reinterpret_cast<RayContext*>(a->context);
    ++c->tests;
    const unsigned N = kN ? kN : a->N;
    RayLane* const lanes = c->lanes;
    for (unsigned i = 0; i < N; ++i) {
        if (!a->valid[i]) continue;
        const RayLane* lane = lane_of(c, lanes, a->ray, N, i);
        Vec3 fo, fd, n;
        if (!lane) lane_ray(nullptr, a->ray, N, i, &fo, &fd);
        const Vec3& o = lane ? lane->o : fo;
        const Vec3& d = lane ? lane->d : fd;
        double t;
        const float tfar = RTCRayN_tfar(a->ray, N, i);
        if (intersect_shape<S>(obj, o, d, RTCRayN_tnear(a->ray, N, i), tfar, &t, &n) && t < tfar)
            RTCRayN_tfar(a->ray, N, i) = -kInf;
    }
}

template <Shape S>
void intersect_fn(const RTCIntersectFunctionNArguments* a) {
    switch (a->N) {
        case 1: intersect_rays<S, 1>(a); break;
        case 4: intersect_rays<S, 4>(a); break;
        case 8: intersect_rays<S, 8>(a); break;
        case 16: intersect_rays<S, 16>(a); break;
        default: intersect_rays<S, 0>(a); break;
    }
}

template <Shape S>
void occluded_fn(const RTCOccludedFunctionNArguments* a) {
    switch (a->N) {
        case 1: occlude_rays<S, 1>(a); break;
        case 4: occlude_rays<S, 4>(a); break;
        case 8: occlude_rays<S, 8>(a); break;
        case 16: occlude_rays<S, 16>(a); break;
        default: occlude_rays<S, 0>(a); break;
    }
}

template <Shape S>
void set_callbacks(RTCGeometry g) {
    rtcSetGeometryIntersectFunction(g, intersect_fn<S>);
    rtcSetGeometryOccludedFunction(g, occluded_fn<S>);
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

namespace {

// Embree asserts on rays outside this range (it is built with its checks on); checked before
// anything is narrowed to float.
constexpr double kLarge = 1.8e18;

// Whether every coordinate of a and b lies within kLarge (NaN does not), two coordinates at a time.
inline bool within_large(const Vec3& a, const Vec3& b) {
#if !defined(__SSE2__)
    bool fine = true;
    for (int k = 0; k < 3; ++k) fine &= (std::abs(a[k]) <= kLarge) & (std::abs(b[k]) <= kLarge);
    return fine;
#else
    const __m128d magnitude = _mm_castsi128_pd(_mm_set1_epi64x(0x7fffffffffffffffLL));
    const __m128d large = _mm_set1_pd(kLarge);
    const __m128d xa = _mm_and_pd(_mm_loadu_pd(a.data()), magnitude);
    const __m128d xb = _mm_and_pd(_mm_loadu_pd(b.data()), magnitude);
    const __m128d z = _mm_and_pd(_mm_loadh_pd(_mm_load_sd(a.data() + 2), b.data() + 2), magnitude);
    const __m128d ok = _mm_and_pd(_mm_and_pd(_mm_cmple_pd(xa, large), _mm_cmple_pd(xb, large)), _mm_cmple_pd(z, large));
    return _mm_movemask_pd(ok) == 3;
#endif
}

}  // namespace

bool prepare_lane(RayLane* lane, RTCRay* ray, unsigned id, const Vec3& o, const Vec3& d, double tmin,
                  double tmax) {
    // All eight tests made (no early way out: rays Embree cannot take are rare).
    const bool fine = (std::abs(tmin) <= kLarge) & (tmax >= -kLarge) & within_large(o, d);  // NaN fails all
    if (!fine) return false;
    lane->o = o;
    lane->d = d;
    lane->t = -1;
    lane->geom = RTC_INVALID_GEOMETRY_ID;
    RTCRay& r = *ray;
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
    r.id = id;
    r.flags = 0;
    return true;
}

bool prepare_lane(RayLane* lane, RTCRayHit* rh, unsigned id, const Vec3& o, const Vec3& d, double tmin,
                  double tmax) {
    if (!prepare_lane(lane, &rh->ray, id, o, d, tmin, tmax)) return false;
    rh->hit.geomID = RTC_INVALID_GEOMETRY_ID;
    rh->hit.primID = RTC_INVALID_GEOMETRY_ID;
    rh->hit.instID[0] = RTC_INVALID_GEOMETRY_ID;
    return true;
}

bool prepare_ray(RayContext* ctx, RTCRayHit* rh, const Vec3& o, const Vec3& d, double tmin, double tmax) {
    if (!prepare_lane(&ctx->own, rh, 0, o, d, tmin, tmax)) return false;
    rtcInitIntersectContext(&ctx->embree);
    ctx->lanes = nullptr;
    return true;
}

void intersect_together(RTCScene scene, RayContext* ctx, RTCRayHit* rh, unsigned n) {
    rtcInitIntersectContext(&ctx->embree);
    ctx->embree.flags = RTC_INTERSECT_CONTEXT_FLAG_COHERENT;
    rtcIntersect1M(scene, &ctx->embree, rh, n, sizeof(RTCRayHit));
}

void occluded_together(RTCScene scene, RayContext* ctx, RTCRay* r, unsigned n) {
    // In packets of 8, which every vector width Embree runs on takes (its coherent streams of
    // shadow rays may not finish with instances).
    rtcInitIntersectContext(&ctx->embree);
    ctx->embree.flags = RTC_INTERSECT_CONTEXT_FLAG_COHERENT;
    static_assert(sizeof(RTCRay) == 12 * sizeof(float) && sizeof(RTCRay8) == 8 * sizeof(RTCRay),
                  "a ray is twelve 4-byte fields, a packet the same fields eight wide in the same order");
    for (unsigned k0 = 0; k0 < n; k0 += 8) {
        const unsigned m = std::min(8u, n - k0);
        alignas(32) int valid[8];
        alignas(32) RTCRay8 p;
#if defined(__SSE2__)
        if (m == 8) {
            // A full packet: four rays' fields at a time, four by four, turned from rays into the
            // packet's rows (bits moved unchanged).
            auto* rows = reinterpret_cast<float*>(&p);
            for (unsigned h = 0; h < 8; h += 4) {
                const auto* q = reinterpret_cast<const float*>(&r[k0 + h]);
                for (unsigned f = 0; f < 12; f += 4) {
                    __m128 a = _mm_loadu_ps(q + f), b = _mm_loadu_ps(q + 12 + f);
                    __m128 c = _mm_loadu_ps(q + 24 + f), d = _mm_loadu_ps(q + 36 + f);
                    _MM_TRANSPOSE4_PS(a, b, c, d);
                    _mm_store_ps(rows + 8 * f + h, a);
                    _mm_store_ps(rows + 8 * (f + 1) + h, b);
                    _mm_store_ps(rows + 8 * (f + 2) + h, c);
                    _mm_store_ps(rows + 8 * (f + 3) + h, d);
                }
            }
            std::fill_n(valid, 8, -1);
            rtcOccluded8(valid, scene, &ctx->embree, &p);
            for (unsigned j = 0; j < 8; ++j) r[k0 + j].tfar = p.tfar[j];
            continue;
        }
#endif
        for (unsigned j = 0; j < 8; ++j) {
            const RTCRay& q = r[k0 + std::min(j, m - 1)];
            valid[j] = j < m ? -1 : 0;
            p.org_x[j] = q.org_x;
            p.org_y[j] = q.org_y;
            p.org_z[j] = q.org_z;
            p.dir_x[j] = q.dir_x;
            p.dir_y[j] = q.dir_y;
            p.dir_z[j] = q.dir_z;
            p.tnear[j] = q.tnear;
            p.tfar[j] = q.tfar;
            p.time[j] = q.time;
            p.mask[j] = q.mask;
            p.id[j] = q.id;
            p.flags[j] = q.flags;
        }
        rtcOccluded8(valid, scene, &ctx->embree, &p);
        for (unsigned j = 0; j < m; ++j) r[k0 + j].tfar = p.tfar[j];
    }
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
            switch (obj.shape) {
                case Shape::Sphere: set_callbacks<Shape::Sphere>(g); break;
                case Shape::Box: set_callbacks<Shape::Box>(g); break;
                case Shape::Cylinder: set_callbacks<Shape::Cylinder>(g); break;
                default: set_callbacks<Shape::Plane>(g); break;  // planes and boards
            }
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

namespace {

// A mesh's triangle as Embree's float hit.
__attribute__((noinline)) void resolve_mesh(const std::vector<Object>& objects, const RTCRayHit& rh, RayHit* out) {
    out->object = static_cast<int>(rh.hit.instID[0]);
    // Embree's own distance: single precision is finer than anything measured of a mesh.
    out->t = rh.ray.tfar;
    const Vec3 face(rh.hit.Ng_x, rh.hit.Ng_y, rh.hit.Ng_z);  // the mesh's own units
    if (!triangle_normal(objects[out->object], rh.hit.primID, rh.hit.u, rh.hit.v, face, &out->n))
        out->n = face.normalized();
}

// What Embree found for a ray: a primitive's exact hit from its callback, a mesh's triangle as
// Embree's float hit. Inline in the loops over rays; meshes' hits out of line.
inline bool resolve(const std::vector<Object>& objects, const RTCRayHit& rh, const RayLane& lane, RayHit* out) {
    if (rh.hit.geomID == RTC_INVALID_GEOMETRY_ID) return false;
    if (rh.hit.instID[0] != RTC_INVALID_GEOMETRY_ID) {
        resolve_mesh(objects, rh, out);
        return true;
    }
    out->object = static_cast<int>(rh.hit.geomID);
    if (lane.geom == rh.hit.geomID) {
        out->t = lane.t;
        out->n = lane.n;
    } else {
        out->t = rh.ray.tfar;
        out->n = Vec3(rh.hit.Ng_x, rh.hit.Ng_y, rh.hit.Ng_z);
    }
    return true;
}

}  // namespace

bool Accel::intersect(const Vec3& o, const Vec3& d, double tmin, double tmax, RayHit* out) const {
    RayContext ctx;
    RTCRayHit rh;
    if (!prepare_ray(&ctx, &rh, o, d, tmin, tmax)) return false;
    rtcIntersect1(scene_, &ctx.embree, &rh);
    return resolve(objects_, rh, ctx.own, out);
}

bool Accel::occluded(const Vec3& o, const Vec3& d, double tmin, double tmax) const {
    RayContext ctx;
    RTCRayHit rh;
    if (!prepare_ray(&ctx, &rh, o, d, tmin, tmax)) return false;
    rtcOccluded1(scene_, &ctx.embree, &rh.ray);
    return rh.ray.tfar < 0;
}

namespace {

// The rays from `o` along d[0 .. n - 1] made ready to be cast together: their lanes and Embree
// rays, which[j] the caller's index of ray j; miss(k) for each ray Embree cannot take (it is not
// cast). The origin and the range are all the rays': checked and narrowed to float once, as
// prepare_lane does them (here with no direction), each ray then adding its direction.
template <class Miss>
inline unsigned pack_rays(const Vec3& o, const Vec3* d, int n, double tmin, double tmax, RayLane* lanes,
                          RTCRayHit* rh, int* which, Miss miss) {
    unsigned m = 0;
    RayLane first;
    RTCRayHit shared;
    const bool fine = prepare_lane(&first, &shared, 0, o, Vec3::Zero(), tmin, tmax);
    for (int k = 0; k < n; ++k) {
        const Vec3& dk = d[k];
        if (!fine || !within_large(dk, dk)) {
            miss(k);
            continue;
        }
        RayLane& lane = lanes[m];
        lane.o = o;
        lane.d = dk;
        lane.t = -1;
        lane.geom = RTC_INVALID_GEOMETRY_ID;
        RTCRayHit& r = rh[m];
        r.ray = shared.ray;
        r.hit.geomID = RTC_INVALID_GEOMETRY_ID;
        r.hit.primID = RTC_INVALID_GEOMETRY_ID;
        r.hit.instID[0] = RTC_INVALID_GEOMETRY_ID;
        r.ray.dir_x = static_cast<float>(dk.x());
        r.ray.dir_y = static_cast<float>(dk.y());
        r.ray.dir_z = static_cast<float>(dk.z());
        r.ray.id = m;
        which[m++] = k;
    }
    return m;
}

}  // namespace

void Accel::intersect_many(const Vec3& o, const Vec3* d, int n, double tmin, double tmax, Hit* hits) const {
    RayLane lanes[kTogether];
    RTCRayHit rh[kTogether];
    int which[kTogether];  // the caller's index of each ray cast
    auto miss = [hits](int k) {
        hits[k].t = -1;
        hits[k].object = -1;
    };
    const unsigned m = pack_rays(o, d, n, tmin, tmax, lanes, rh, which, miss);
    if (!m) return;
    RayContext ctx;
    ctx.lanes = lanes;
    intersect_together(scene_, &ctx, rh, m);
    for (unsigned j = 0; j < m; ++j) {
        const int k = which[j];
        RayHit got;
        if (!resolve(objects_, rh[j], lanes[j], &got)) {
            miss(k);
            continue;
        }
        Hit& h = hits[k];
        h.t = got.t;
        h.p = o + d[k] * got.t;
        h.n = got.n.dot(d[k]) > 0 ? Vec3(-got.n) : got.n;  // face the viewer
        h.object = got.object;
    }
}

void Accel::occluded_many(const Vec3* o, const Vec3* d, int n, double tmin, const double* tmax, bool* blocked) const {
    RayLane lanes[kTogether];
    RTCRay rays[kTogether];
    int which[kTogether];
    unsigned m = 0;
    for (int k = 0; k < n; ++k) {
        blocked[k] = false;
        if (prepare_lane(&lanes[m], &rays[m], m, o[k], d[k], tmin, tmax[k])) which[m++] = k;
    }
    if (!m) return;
    RayContext ctx;
    ctx.lanes = lanes;
    occluded_together(scene_, &ctx, rays, m);
    for (unsigned j = 0; j < m; ++j) blocked[which[j]] = rays[j].tfar < 0;
}

}  // namespace sim
