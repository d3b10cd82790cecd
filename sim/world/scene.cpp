// Stand-in SDK: casting rays into a scene, the surfaces' albedo and the coded-marker board.
#include "world/scene.h"

#include <algorithm>
#include <cmath>

#include "world/embree_scene.h"
#include "world/motion.h"
#include "world/scene_file.h"
#include "world/wave.h"

namespace sim {

namespace {

constexpr double kPi = 3.14159265358979323846;

bool aperiodic(std::uint32_t p, int N) {
    const std::uint32_t mask = (N >= 32) ? 0xffffffffu : ((1u << N) - 1u);
    for (int s = 1; s < N; ++s) {
        std::uint32_t r = ((p >> s) | (p << (N - s))) & mask;
        if (r == p) return false;
    }
    return true;
}

int popcount(std::uint32_t x) { return __builtin_popcount(x); }

}  // namespace

std::uint32_t smallest_rotation(std::uint32_t p, int N) {
    const std::uint32_t mask = (N >= 32) ? 0xffffffffu : ((1u << N) - 1u);
    p &= mask;
    std::uint32_t best = p;
    for (int s = 1; s < N; ++s) best = std::min(best, ((p >> s) | (p << (N - s))) & mask);
    return best;
}

int marker_code(std::uint32_t pattern, int N) { return static_cast<int>(smallest_rotation(pattern, N)); }

std::vector<std::uint32_t> marker_patterns(int n, int N) {
    // The canonical, aperiodic patterns with a balanced number of dark sectors, in order.
    std::vector<std::uint32_t> out;
    const std::uint32_t limit = (N >= 31) ? 0x7fffffffu : (1u << N);
    for (std::uint32_t p = 1; p < limit && static_cast<int>(out.size()) < n; ++p) {
        if (smallest_rotation(p, N) != p || !aperiodic(p, N)) continue;
        int ones = popcount(p);
        if (ones < N / 4 || ones > N - N / 4) continue;
        out.push_back(p);
    }
    return out;
}

Scene Scene::make(double near_mm, double far_mm) {
    Scene s;
    place_scene(s, default_scene(), near_mm, far_mm, 0, true);
    return s;
}

Vec3 Scene::marker_centre_board(int k) const {
    const int r = k / markers.cols, c = k % markers.cols;
    const double x = (c - (markers.cols - 1) / 2.0) * markers.spacing_mm;
    const double y = ((markers.rows - 1) / 2.0 - r) * markers.spacing_mm;  // row 0 at the top
    return Vec3(x, y, 0);
}

bool marker_cell(const Scene& s, double x, double y, int* k) {
    const MarkerSpec& m = s.markers;
    const double col = x / m.spacing_mm + (m.cols - 1) / 2.0;
    const double row = (m.rows - 1) / 2.0 - y / m.spacing_mm;
    const int c = static_cast<int>(floor_whole(col + 0.5)), r = static_cast<int>(floor_whole(row + 0.5));
    *k = r * m.cols + c;
    return !(c < 0 || c >= m.cols || r < 0 || r >= m.rows);
}

double board_albedo(const Scene& s, double x, double y) {
    const double white = 0.92;
    int k;
    if (s.patterns.empty() || !marker_cell(s, x, y, &k)) return white;
    return marker_print(s, k, s.marker_centre_board(k), x, y);
}

double marker_print(const Scene& s, int k, const Vec3& centre, double x, double y) {
    const MarkerSpec& m = s.markers;
    const double white = 0.92, ink = 0.05;
    if (s.patterns.empty()) return white;
    const double dx = x - centre.x(), dy = y - centre.y();
    const double rr = std::sqrt(dx * dx + dy * dy);
    if (rr <= m.r0_mm) return ink;
    if (rr < m.r1_ratio * m.r0_mm || rr > m.r2_ratio * m.r0_mm) return white;
    double a = std::atan2(dy, dx);
    if (a < 0) a += 2 * kPi;
    int sector = static_cast<int>(a / (2 * kPi / m.N));
    if (sector >= m.N) sector = m.N - 1;
    const std::uint32_t pattern = s.patterns[k];
    const int turn = (k * 5) % m.N;  // markers are turned on the board
    return ((pattern >> ((sector + turn) % m.N)) & 1u) ? ink : white;
}

bool print_edge_near(const Scene& s, double x, double y, double rho) {
    const MarkerSpec& m = s.markers;
    if (s.board_w / 2 - std::abs(x) <= rho || s.board_h / 2 - std::abs(y) <= rho) return true;
    const double col = x / m.spacing_mm + (m.cols - 1) / 2.0;
    const double row = (m.rows - 1) / 2.0 - y / m.spacing_mm;
    const double fc = col + 0.5 - floor_whole(col + 0.5), fr = row + 0.5 - floor_whole(row + 0.5);
    const double to_cell_edge = std::min(std::min(fc, 1 - fc), std::min(fr, 1 - fr)) * m.spacing_mm;
    if (to_cell_edge <= rho) return true;
    const int c = static_cast<int>(floor_whole(col + 0.5)), r = static_cast<int>(floor_whole(row + 0.5));
    if (c < 0 || c >= m.cols || r < 0 || r >= m.rows) return false;  // plain white between the markers
    const Vec3 centre = s.marker_centre_board(r * m.cols + c);
    const double dx = x - centre.x(), dy = y - centre.y();
    const double rr = std::sqrt(dx * dx + dy * dy);
    const double r1 = m.r1_ratio * m.r0_mm, r2 = m.r2_ratio * m.r0_mm;
    for (double edge : {m.r0_mm, r1, r2})
        if (std::abs(rr - edge) <= rho) return true;
    if (rr <= r1 || rr >= r2) return false;
    // In the ring: the nearest border between two sectors.
    double a = std::atan2(dy, dx);
    if (a < 0) a += 2 * kPi;
    const double w = 2 * kPi / m.N;
    const double f = a - w * std::floor(a / w);
    const double delta = std::min(f, w - f);
    return rr * std::sin(std::min(delta, kPi / 2)) <= rho;
}

double hit_board(const Scene& s, const Vec3& o, const Vec3& d, double* bx, double* by) {
    if (s.board < 0 || !s.with_board) return -1;
    const Vec3 n = s.board_R.col(2);
    const double den = n.dot(d);
    if (std::abs(den) < 1e-12) return -1;
    const double t = n.dot(s.board_t - o) / den;
    if (t < 1e-6) return -1;
    const Vec3 q = s.board_R.transpose() * (o + d * t - s.board_t);
    if (std::abs(q.x()) > s.board_w / 2 || std::abs(q.y()) > s.board_h / 2) return -1;
    *bx = q.x();
    *by = q.y();
    return t;
}

namespace {

// surface_albedo, inlined into the loop of surface_albedos.
inline __attribute__((always_inline)) Vec3 albedo_at(const Scene& s, int object, const Vec3& p) {
    const Object& obj = s.objects[object];
    const Vec3& base = s.materials[object].albedo;
    if (obj.shape == Shape::Board) {
        const Vec3 q = obj.R.transpose() * (p - obj.t);
        return base * (board_albedo(s, q.x(), q.y()) / 0.92);
    }
    if (obj.texture.contrast == 0) return base;
    const Vec3 r = p - obj.t;  // the point in the object's frame: its x and y are all a texture needs
    const double qx = obj.R.col(0).dot(r), qy = obj.R.col(1).dot(r);
    return base * (1.0 + wave_product(obj.texture.contrast, qx, obj.texture.period_x, qy, obj.texture.period_y));
}

}  // namespace

Vec3 surface_albedo(const Scene& s, int object, const Vec3& p) { return albedo_at(s, object, p); }

void surface_albedos(const Scene& s, Hit* h, int n) {
    for (int k = 0; k < n; ++k)
        if (h[k].t >= 0) h[k].albedo = albedo_at(s, h[k].object, h[k].p);
}

void surface_albedos(const Scene& s, Hit* h, int n, int skip) {
    for (int k = 0; k < n; ++k)
        if (h[k].t >= 0 && h[k].object != skip) h[k].albedo = albedo_at(s, h[k].object, h[k].p);
}

void cast_shape(const Scene& s, const Vec3& o, const Vec3& d, Hit* h) {
    RayHit r;
    if (!s.accel || !s.accel->intersect(o, d, 1e-6, 1e300, &r)) {
        h->t = -1;
        h->object = -1;
        return;
    }
    h->t = r.t;
    h->p = o + d * r.t;
    h->n = r.n.dot(d) > 0 ? Vec3(-r.n) : r.n;  // face the viewer
    h->object = r.object;
}

void cast_shapes(const Scene& s, const Vec3& o, const Vec3* d, int n, Hit* h) {
    if (!s.accel) {
        for (int k = 0; k < n; ++k) {
            h[k].t = -1;
            h[k].object = -1;
        }
        return;
    }
    s.accel->intersect_many(o, d, n, 1e-6, 1e300, h);
}

Hit cast(const Scene& s, const Vec3& o, const Vec3& d) {
    Hit h;
    cast_shape(s, o, d, &h);
    if (h.t >= 0) h.albedo = surface_albedo(s, h.object, h.p);
    return h;
}

bool occluded(const Scene& s, const Vec3& a, const Vec3& b) {
    // Any surface strictly between the two points, a margin off each end.
    const Vec3 ab = b - a;
    const double len = ab.norm();
    if (!s.accel || !(len > 1.5)) return false;
    const Vec3 d = ab / len;
    return s.accel->occluded(a + d * 0.5, d, 1e-6, len - 1.0);
}

}  // namespace sim
