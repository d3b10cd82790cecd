// Stand-in SDK: light bounced once between surfaces, cast on a coarse grid of pixels.
#include "render/indirect.h"

#include <algorithm>
#include <cmath>

#include "render/image.h"
#include "render/noise.h"
#include "render/parallel.h"
#include "world/embree_scene.h"

namespace sim {

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr std::uint64_t kBounceStream = 0xb0;
// The cone each bounce ray stands for: its share of the hemisphere seen through the cosine.
const double kCone = 1 / std::sqrt(static_cast<double>(BouncePlan::kRays));
// The codes that number the fringes change every few fringes: their stripes are that much wider.
constexpr double kCodeFringes = 4;

}  // namespace

BouncePlan bounce_plan(const Knobs& k, int width, int height) {
    BouncePlan p;
    p.width = width;
    p.height = height;
    p.on = !k.truth_mode() && width >= 2 && height >= 2;  // truth mode measures the surfaces alone
    if (!p.on) return p;
    p.columns = (width - 1 + BouncePlan::kCell - 1) / BouncePlan::kCell + 1;
    p.rows = (height - 1 + BouncePlan::kCell - 1) / BouncePlan::kCell + 1;
    p.key = combine(hash_double(k.noise_seed), kBounceStream);
    return p;
}

namespace {

// Two unit tangents of the unit normal n, at right angles: the frame bounce rays turn in.
void tangents(const Vec3& n, Vec3* t1, Vec3* t2) {
    const Vec3 a = std::abs(n.x()) < 0.9 ? Vec3::UnitX() : Vec3::UnitY();
    *t1 = n.cross(a).normalized();
    *t2 = n.cross(*t1);
}

// Ray j of a grid pixel whose noise bits are `bits`, about n with tangents t1, t2.
Vec3 bounce_ray(std::uint64_t bits, int j, const Vec3& n, const Vec3& t1, const Vec3& t2) {
    // Stratified over the disc the hemisphere projects to (equal areas are equal shares of the
    // cosine-weighted light): ring j, jittered within it, at angles a golden turn apart.
    const double jitter = (static_cast<double>((bits >> (8 * j + 8)) & 0xff) + 0.5) / 256;
    const double u = (j + jitter) / BouncePlan::kRays, r = std::sqrt(u);
    const double phi = 2 * kPi * (PixelNoise::uniform(bits) + 0.6180339887498949 * j);
    return (t1 * (r * std::cos(phi)) + t2 * (r * std::sin(phi)) + n * std::sqrt(1 - u)).normalized();
}

}  // namespace

Vec3 bounce_direction(const BouncePlan& plan, int node, int j, const Vec3& n) {
    const std::uint64_t bits = PixelNoise(plan.key).bits(static_cast<std::uint64_t>(node));
    Vec3 t1, t2;
    tangents(n, &t1, &t2);
    return bounce_ray(bits, j, n, t1, t2);
}

bool bounce_shadow(const Vec3& projector, const Hit& q, Vec3* o, Vec3* d, double* len) {
    const Vec3 ab = projector - q.p;
    const double l = ab.norm();
    if (!(l > 1.5)) return false;
    *d = ab / l;
    if (q.n.dot(*d) <= 0) return false;  // its side facing the ray faces away from the projector
    *o = q.p + *d * 0.5;
    *len = l - 1.0;
    return true;
}

IndirectLight::IndirectLight(const Scene& s, const CameraModel& cam, const Vec3& projector,
                             const CameraModel& projector_model, double fringe, const Vec3& weights,
                             const BouncePlan& plan, bool codes, double threads)
    : plan_(plan) {
    if (!plan_.on || !s.accel) {
        plan_.on = false;
        return;
    }
    nodes_.resize(static_cast<std::size_t>(plan_.nodes()));
    // The interpolation's cells and weights along the rows and down the columns.
    const auto cells = [](int n, int last, int stride, auto at, std::vector<Axis>* axis) {
        axis->resize(static_cast<std::size_t>(n));
        for (int i = 0; i < n; ++i) {
            const int g = std::min(i / BouncePlan::kCell, last - 2), i0 = at(g);
            Axis& a = (*axis)[static_cast<std::size_t>(i)];
            a.t = static_cast<double>(i - i0) / (at(g + 1) - i0);
            a.u = 1 - a.t;
            a.first = g * stride;
        }
    };
    cells(plan_.width, plan_.columns, 1, [&](int g) { return plan_.x_of(g); }, &across_);
    cells(plan_.height, plan_.rows, plan_.columns, [&](int g) { return plan_.y_of(g); }, &down_);
    const PixelNoise noise(plan_.key);
    parallel_rows(plan_.rows, threads, [&](int r0, int r1) {
        for (int gy = r0; gy < r1; ++gy)
            for (int gx = 0; gx < plan_.columns; ++gx) {
                const int node = gy * plan_.columns + gx;
                Hit h;
                cast_shape(s, cam.t, cam.R * cam.ray(plan_.x_of(gx), plan_.y_of(gy)), &h);
                if (h.t < 0) continue;
                const Vec3 hp = projector_model.from_device(h.p);
                if (hp.z() <= 1e-6) continue;
                const double column = hp.x() / hp.z();
                const Vec3 o = bounce_origin(h.p, h.n);
                // What bounce_direction makes for each of the grid pixel's rays, made once.
                const std::uint64_t bits = noise.bits(static_cast<std::uint64_t>(node));
                Vec3 t1, t2;
                tangents(h.n, &t1, &t2);
                double light = 0, re = 0, im = 0, code_re = 0, code_im = 0;
                for (int j = 0; j < BouncePlan::kRays; ++j) {
                    const Vec3 d = bounce_ray(bits, j, h.n, t1, t2);
                    Hit q;
                    cast_shape(s, o, d, &q);
                    Vec3 so, sd;
                    double len;
                    if (q.t < 0 || !bounce_shadow(projector, q, &so, &sd, &len) || s.accel->occluded(so, sd, 1e-6, len))
                        continue;
                    const Vec3 qp = projector_model.from_device(q.p);
                    if (qp.z() <= 1e-6) continue;
                    q.albedo = surface_albedo(s, q.object, q.p);
                    // A lit diffuse surface: its light falls with the square of its distance to the projector.
                    const double e = weights.dot(q.albedo) * (1 - material_of(s, q).mirror) * q.n.dot(sd) /
                                     (projector - q.p).squaredNorm();
                    // The ray stands for a cone: its fringes average away where the cone's footprint
                    // spans much of a fringe.
                    const double footprint = q.t * kCone / std::max(std::abs(q.n.dot(d)), 0.2);
                    const double spread = 0.5 * footprint / (qp.z() * fringe);  // fringes across it (a sigma)
                    const double keep = std::exp(-2 * kPi * kPi * spread * spread);
                    const double dphase = 2 * kPi * (qp.x() / qp.z() - column) / fringe;
                    light += e;
                    if (keep > 1e-6) {  // (most rays reach far: their fringes are gone)
                        re += e * keep * std::cos(dphase);
                        im += e * keep * std::sin(dphase);
                    }
                    if (codes) {  // the codes' stripes are kCodeFringes times wider
                        const double code_keep = std::exp(-2 * kPi * kPi * spread * spread / (kCodeFringes * kCodeFringes));
                        code_re += e * code_keep * std::cos(dphase / kCodeFringes);
                        code_im += e * code_keep * std::sin(dphase / kCodeFringes);
                    }
                }
                Node& out = nodes_[static_cast<std::size_t>(node)];
                out.object = h.object;
                out.light = static_cast<float>(light / BouncePlan::kRays);
                out.re = static_cast<float>(re / BouncePlan::kRays);
                out.im = static_cast<float>(im / BouncePlan::kRays);
                out.code = static_cast<float>(std::hypot(code_re, code_im) / BouncePlan::kRays);
                out.fringes = out.re != 0 || out.im != 0 || out.code != 0;
            }
    });
    for (int gy = 0; gy + 1 < plan_.rows; ++gy)
        for (int gx = 0; gx + 1 < plan_.columns; ++gx) {
            Node* a = &nodes_[static_cast<std::size_t>(gy) * plan_.columns + gx];
            const Node* b = a + plan_.columns;
            a->plain = !(a[0].fringes | a[1].fringes | b[0].fringes | b[1].fringes);
        }
}

IndirectLight::Sample IndirectLight::at(int x, int y, int object) const {
    if (!plan_.on) return {};
    const Axis &ax = across_[static_cast<std::size_t>(x)], &ay = down_[static_cast<std::size_t>(y)];
    const Node* a = &nodes_[static_cast<std::size_t>(ay.first + ax.first)];
    if (!a->plain) return mixed(a, ax, ay, object);
    // Light alone, as most pixels get.
    const Node* b = a + plan_.columns;
    Sample got;
    got.light += ax.u * ay.u * a[0].light;
    got.light += ax.t * ay.u * a[1].light;
    got.light += ax.u * ay.t * b[0].light;
    got.light += ax.t * ay.t * b[1].light;
    return got;
}

IndirectLight::Sample IndirectLight::mixed(const Node* a, const Axis& ax, const Axis& ay, int object) const {
    const Node* b = a + plan_.columns;
    double w[4] = {ax.u * ay.u, ax.t * ay.u, ax.u * ay.t, ax.t * ay.t};
    const Node* n[4] = {a, a + 1, b, b + 1};
    // Only from the pixel's own surface where the grid has it there: the phasors of two surfaces
    // meeting at a corner are mirror images that would cancel.
    double own = 0;
    for (int k = 0; k < 4; ++k) own += n[k]->object == object ? w[k] : 0;
    if (own > 1e-3)
        for (int k = 0; k < 4; ++k) w[k] = n[k]->object == object ? w[k] / own : 0;
    Sample got;
    for (int k = 0; k < 4; ++k) {
        got.light += w[k] * n[k]->light;
        got.re += w[k] * n[k]->re;
        got.im += w[k] * n[k]->im;
        got.code += w[k] * n[k]->code;
    }
    return got;
}

}  // namespace sim
