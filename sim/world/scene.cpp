// Stand-in SDK: the virtual scene (a tilted table, three solids, a coded-marker board) and ray casting.
#include "world/scene.h"

#include <algorithm>
#include <cmath>

namespace sim {

namespace {

constexpr double kPi = 3.14159265358979323846;

Mat3 rot_x(double a) {
    Mat3 r;
    r << 1, 0, 0, 0, std::cos(a), -std::sin(a), 0, std::sin(a), std::cos(a);
    return r;
}
Mat3 rot_y(double a) {
    Mat3 r;
    r << std::cos(a), 0, std::sin(a), 0, 1, 0, -std::sin(a), 0, std::cos(a);
    return r;
}

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

std::uint32_t marker_pattern(int k, int N) {
    // The k-th canonical, aperiodic pattern with a balanced number of dark sectors.
    int seen = 0;
    const std::uint32_t limit = (N >= 31) ? 0x7fffffffu : (1u << N);
    for (std::uint32_t p = 1; p < limit; ++p) {
        if (smallest_rotation(p, N) != p || !aperiodic(p, N)) continue;
        int ones = popcount(p);
        if (ones < N / 4 || ones > N - N / 4) continue;
        if (seen++ == k) return p;
    }
    return 1;
}

Scene Scene::make(double near_mm, double far_mm) {
    Scene s;
    s.near_mm = near_mm;
    s.far_mm = far_mm;
    const double z0 = near_mm + 0.6 * (far_mm - near_mm);
    const double k = z0 / 880.0;  // everything scales with the working distance
    const double slope = 0.35;
    s.plane_n = Vec3(0, slope, 1).normalized();
    s.plane_d = s.plane_n.dot(Vec3(0, 0, z0));
    const Vec3 up = -s.plane_n;  // from the table towards the camera
    auto on_plane = [&](double x, double y) { return Vec3(x, y, z0 - slope * y); };
    // The table's own axes: x along device x, y along the table's slope.
    const Vec3 tx(1, 0, 0);
    const Vec3 ty = up.cross(tx).normalized();

    s.sphere_r = 55 * k;
    s.sphere_c = on_plane(-170 * k, 60 * k) + up * s.sphere_r;

    s.box_half = Vec3(55, 45, 40) * k;
    Mat3 box_frame;
    box_frame.col(0) = tx;
    box_frame.col(1) = ty;
    box_frame.col(2) = up;
    s.box_R = box_frame * Eigen::AngleAxisd(0.35, Vec3::UnitZ()).toRotationMatrix();
    s.box_c = on_plane(170 * k, 70 * k) + up * s.box_half.z();

    s.cyl_r = 40 * k;
    s.cyl_h = 90 * k;
    s.cyl_c = on_plane(10 * k, 190 * k);
    s.cyl_axis = up;

    s.markers.r0_mm = 6.0 * k;
    s.markers.spacing_mm = 62.0 * k;
    s.board_w = (s.markers.cols * 62.0 + 40) * k;
    s.board_h = (s.markers.rows * 62.0 + 40) * k;
    Mat3 facing;  // board x along device x, board y up, board z towards the camera
    facing << 1, 0, 0, 0, -1, 0, 0, 0, -1;
    s.board_R = rot_y(0.14) * rot_x(-0.17) * facing;
    s.board_t = Vec3(15 * k, -140 * k, z0 - 60 * k);
    for (int i = 0; i < s.marker_count(); ++i) s.patterns.push_back(marker_pattern(i, s.markers.N));
    s.names = {"table", "sphere", "box", "cylinder", "board"};
    const Vec3 albedo[5] = {Vec3(0.78, 0.72, 0.62), Vec3(0.82, 0.32, 0.26), Vec3(0.30, 0.70, 0.36),
                            Vec3(0.30, 0.42, 0.80), Vec3(0.92, 0.92, 0.92)};
    for (const Vec3& a : albedo) {
        Material m;
        m.albedo = a;
        s.materials.push_back(m);
    }
    return s;
}

Vec3 Scene::marker_centre_board(int k) const {
    const int r = k / markers.cols, c = k % markers.cols;
    const double x = (c - (markers.cols - 1) / 2.0) * markers.spacing_mm;
    const double y = ((markers.rows - 1) / 2.0 - r) * markers.spacing_mm;  // row 0 at the top
    return Vec3(x, y, 0);
}

double board_albedo(const Scene& s, double x, double y) {
    const MarkerSpec& m = s.markers;
    const double col = x / m.spacing_mm + (m.cols - 1) / 2.0;
    const double row = (m.rows - 1) / 2.0 - y / m.spacing_mm;
    const int c = static_cast<int>(std::floor(col + 0.5)), r = static_cast<int>(std::floor(row + 0.5));
    const double white = 0.92, ink = 0.05;
    if (c < 0 || c >= m.cols || r < 0 || r >= m.rows) return white;
    const int k = r * m.cols + c;
    const Vec3 centre = s.marker_centre_board(k);
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

namespace {

// A smooth periodic bump in [-1, 1] (cheaper than a sine, same look on a table top).
inline double wave(double x) {
    const double f = x * (1.0 / 6.283185307179586) - std::floor(x * (1.0 / 6.283185307179586));
    const double t = f < 0.5 ? 4 * f - 1 : 3 - 4 * f;  // triangle wave
    return t * (1.5 - 0.5 * t * t);                    // rounded at its peaks
}

inline void take(Hit& best, double t, const Vec3& o, const Vec3& d, const Vec3& n, const Vec3& albedo, int obj) {
    if (t > 1e-6 && (best.t < 0 || t < best.t)) {
        best.t = t;
        best.p = o + d * t;
        best.n = n;
        best.albedo = albedo;
        best.object = obj;
    }
}

double hit_plane(const Vec3& n, double dd, const Vec3& o, const Vec3& d) {
    const double den = n.dot(d);
    if (std::abs(den) < 1e-12) return -1;
    return (dd - n.dot(o)) / den;
}

double hit_sphere(const Vec3& c, double r, const Vec3& o, const Vec3& d) {
    const Vec3 oc = o - c;
    const double b = oc.dot(d), cc = oc.squaredNorm() - r * r;
    const double disc = b * b - cc;
    if (disc < 0) return -1;
    const double sq = std::sqrt(disc);
    double t = -b - sq;
    if (t < 1e-6) t = -b + sq;
    return t;
}

// Whether a ray passes within `r` of `c` (a cheap test before the exact one).
inline bool near_ray(const Vec3& c, double r, const Vec3& o, const Vec3& d) {
    const Vec3 oc = c - o;
    const double along = oc.dot(d);
    return oc.squaredNorm() - along * along <= r * r;
}

// Box in its own frame: slab test; returns t and the outward normal in device frame.
double hit_box(const Scene& s, const Vec3& o, const Vec3& d, Vec3* normal) {
    if (!near_ray(s.box_c, s.box_half.norm(), o, d)) return -1;
    const Vec3 lo = s.box_R.transpose() * (o - s.box_c);
    const Vec3 ld = s.box_R.transpose() * d;
    double tmin = -1e300, tmax = 1e300;
    int axis = -1;
    double sign = 1;
    for (int i = 0; i < 3; ++i) {
        if (std::abs(ld[i]) < 1e-12) {
            if (std::abs(lo[i]) > s.box_half[i]) return -1;
            continue;
        }
        double t1 = (-s.box_half[i] - lo[i]) / ld[i], t2 = (s.box_half[i] - lo[i]) / ld[i];
        double sg = -1;
        if (t1 > t2) std::swap(t1, t2), sg = 1;
        if (t1 > tmin) tmin = t1, axis = i, sign = sg;
        tmax = std::min(tmax, t2);
        if (tmin > tmax) return -1;
    }
    if (tmin < 1e-6 || axis < 0) return -1;
    Vec3 ln = Vec3::Zero();
    ln[axis] = sign;
    *normal = s.box_R * ln;
    return tmin;
}

double hit_cylinder(const Scene& s, const Vec3& o, const Vec3& d, Vec3* normal) {
    const Vec3& a = s.cyl_axis;
    if (!near_ray(s.cyl_c + a * (s.cyl_h / 2), std::hypot(s.cyl_r, s.cyl_h / 2), o, d)) return -1;
    const Vec3 oc = o - s.cyl_c;
    const Vec3 dp = d - a * d.dot(a), op = oc - a * oc.dot(a);
    const double A = dp.squaredNorm(), B = 2 * dp.dot(op), C = op.squaredNorm() - s.cyl_r * s.cyl_r;
    double best = -1;
    if (A > 1e-12) {
        const double disc = B * B - 4 * A * C;
        if (disc >= 0) {
            const double sq = std::sqrt(disc);
            for (double t : {(-B - sq) / (2 * A), (-B + sq) / (2 * A)}) {
                if (t < 1e-6) continue;
                const double h = (oc + d * t).dot(a);
                if (h >= 0 && h <= s.cyl_h) {
                    best = t;
                    const Vec3 q = oc + d * t;
                    *normal = (q - a * q.dot(a)).normalized();
                    break;
                }
            }
        }
    }
    // The top cap.
    const double den = d.dot(a);
    if (std::abs(den) > 1e-12) {
        const double t = (s.cyl_h - oc.dot(a)) / den;
        if (t > 1e-6 && (best < 0 || t < best)) {
            const Vec3 q = oc + d * t;
            if ((q - a * q.dot(a)).squaredNorm() <= s.cyl_r * s.cyl_r) {
                best = t;
                *normal = a;
            }
        }
    }
    return best;
}

}  // namespace

double hit_board(const Scene& s, const Vec3& o, const Vec3& d, double* bx, double* by) {
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

Hit cast(const Scene& s, const Vec3& o, const Vec3& d) {
    Hit h;
    {
        const double t = hit_plane(s.plane_n, s.plane_d, o, d);
        if (t > 0) {
            const Vec3 p = o + d * t;
            const double g = 0.62 + 0.08 * wave(p.x() / 37.0) * wave(p.y() / 53.0);
            take(h, t, o, d, -s.plane_n, s.materials[0].albedo * g / 0.62, 0);
        }
    }
    {
        const double t = hit_sphere(s.sphere_c, s.sphere_r, o, d);
        if (t > 0) take(h, t, o, d, (o + d * t - s.sphere_c) / s.sphere_r, s.materials[1].albedo, 1);
    }
    {
        Vec3 n;
        const double t = hit_box(s, o, d, &n);
        if (t > 0) take(h, t, o, d, n, s.materials[2].albedo, 2);
    }
    {
        Vec3 n;
        const double t = hit_cylinder(s, o, d, &n);
        if (t > 0) take(h, t, o, d, n, s.materials[3].albedo, 3);
    }
    if (s.with_board) {
        double bx, by;
        const double t = hit_board(s, o, d, &bx, &by);
        if (t > 0) {
            const double a = board_albedo(s, bx, by);
            take(h, t, o, d, s.board_R.col(2), Vec3(a, a, a), 4);
        }
    }
    if (h.t > 0 && h.n.dot(d) > 0) h.n = -h.n;  // face the viewer
    return h;
}

bool occluded(const Scene& s, const Vec3& a, const Vec3& b) {
    // Any surface strictly between the two points; no shading needed, so no albedo is computed.
    const Vec3 ab = b - a;
    const double len = ab.norm();
    const Vec3 d = ab / len;
    const Vec3 o = a + d * 0.5;  // step off the surface
    const double limit = len - 1.0;
    auto within = [&](double t) { return t > 1e-6 && t < limit; };
    if (within(hit_plane(s.plane_n, s.plane_d, o, d))) return true;
    if (within(hit_sphere(s.sphere_c, s.sphere_r, o, d))) return true;
    Vec3 n;
    if (within(hit_box(s, o, d, &n))) return true;
    if (within(hit_cylinder(s, o, d, &n))) return true;
    double bx, by;
    return s.with_board && within(hit_board(s, o, d, &bx, &by));
}

}  // namespace sim
