// Stand-in SDK: coded circle marker detection and the two-camera transform.
#include "vision/markers.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <numeric>

#include <Eigen/Eigenvalues>
#include <Eigen/Geometry>

#include "core/hooks.h"
#include "world/scene.h"

namespace sim {

namespace {

constexpr double kPi = 3.14159265358979323846;

struct Component {
    long long area = 0;
    double sx = 0, sy = 0, sxx = 0, syy = 0, sxy = 0;
    int x0 = 1 << 30, y0 = 1 << 30, x1 = -1, y1 = -1;
};

// Working memory of one thread's detections, kept between calls: fresh buffers of this size cost
// more in page faults than the detection itself, and the faults serialise threads. Only up to
// kKeptScratchBytes: a call on a larger image frees them when it returns.
struct Scratch {
    ScratchBytes grey;
    std::vector<std::uint64_t, ScratchAllocator<std::uint64_t>> integral;
    ScratchBytes mask;
    std::vector<int, ScratchAllocator<int>> label;
    std::size_t bytes() const {
        return grey.capacity() + 8 * integral.capacity() + mask.capacity() + sizeof(int) * label.capacity();
    }
};
Scratch& scratch() {
    thread_local Scratch s;
    trim_after_calls([] {
        Scratch& t = scratch();
        if (t.bytes() > kKeptScratchBytes) t = Scratch();
    });
    return s;
}

// Dark pixels: darker than 70% of the mean of their neighbourhood.
const ScratchBytes& dark_mask(const std::uint8_t* g, int w, int h, int half) {
    auto& integral = scratch().integral;
    integral.assign(static_cast<std::size_t>(w + 1) * (h + 1), 0);
    for (int y = 0; y < h; ++y) {
        std::uint64_t row = 0;
        for (int x = 0; x < w; ++x) {
            row += g[static_cast<std::size_t>(y) * w + x];
            integral[static_cast<std::size_t>(y + 1) * (w + 1) + x + 1] = integral[static_cast<std::size_t>(y) * (w + 1) + x + 1] + row;
        }
    }
    ScratchBytes& mask = scratch().mask;
    mask.assign(static_cast<std::size_t>(w) * h, 0);
    for (int y = 0; y < h; ++y) {
        const int ya = std::max(0, y - half), yb = std::min(h, y + half + 1);
        for (int x = 0; x < w; ++x) {
            const int xa = std::max(0, x - half), xb = std::min(w, x + half + 1);
            const std::uint64_t sum = integral[static_cast<std::size_t>(yb) * (w + 1) + xb] -
                                      integral[static_cast<std::size_t>(ya) * (w + 1) + xb] -
                                      integral[static_cast<std::size_t>(yb) * (w + 1) + xa] +
                                      integral[static_cast<std::size_t>(ya) * (w + 1) + xa];
            const double mean = static_cast<double>(sum) / ((yb - ya) * (xb - xa));
            mask[static_cast<std::size_t>(y) * w + x] = g[static_cast<std::size_t>(y) * w + x] < 0.7 * mean && mean > 20;
        }
    }
    return mask;
}

// 8-connected components of the mask (two passes with union-find).
std::vector<Component> components(const ScratchBytes& mask, int w, int h) {
    auto& label = scratch().label;
    label.assign(mask.size(), 0);
    std::vector<int> parent(1, 0);
    auto find = [&](int a) {
        while (parent[a] != a) a = parent[a] = parent[parent[a]];
        return a;
    };
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            const std::size_t i = static_cast<std::size_t>(y) * w + x;
            if (!mask[i]) continue;
            int best = 0;
            const int nb[4][2] = {{-1, 0}, {-1, -1}, {0, -1}, {1, -1}};
            for (auto& d : nb) {
                const int xx = x + d[0], yy = y + d[1];
                if (xx < 0 || yy < 0 || xx >= w) continue;
                const int l = label[static_cast<std::size_t>(yy) * w + xx];
                if (!l) continue;
                if (!best) {
                    best = find(l);
                } else {
                    const int a = find(l), b = best;
                    if (a != b) parent[std::max(a, b)] = std::min(a, b), best = std::min(a, b);
                }
            }
            if (!best) {
                best = static_cast<int>(parent.size());
                parent.push_back(best);
            }
            label[i] = best;
        }
    }
    std::vector<int> index(parent.size(), -1);
    std::vector<Component> out;
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            const int l = label[static_cast<std::size_t>(y) * w + x];
            if (!l) continue;
            const int root = find(l);
            if (index[root] < 0) {
                index[root] = static_cast<int>(out.size());
                out.emplace_back();
            }
            Component& c = out[index[root]];
            ++c.area;
            c.sx += x;
            c.sy += y;
            c.sxx += double(x) * x;
            c.syy += double(y) * y;
            c.sxy += double(x) * y;
            c.x0 = std::min(c.x0, x);
            c.y0 = std::min(c.y0, y);
            c.x1 = std::max(c.x1, x);
            c.y1 = std::max(c.y1, y);
        }
    }
    return out;
}

double sample(const std::uint8_t* g, int w, int h, double x, double y) {
    if (x < 0 || y < 0 || x > w - 1.001 || y > h - 1.001) return -1;
    const int xi = static_cast<int>(x), yi = static_cast<int>(y);
    const double fx = x - xi, fy = y - yi;
    const std::uint8_t* p = g + static_cast<std::size_t>(yi) * w + xi;
    return (p[0] * (1 - fx) + p[1] * fx) * (1 - fy) + (p[w] * (1 - fx) + p[w + 1] * fx) * fy;
}

}  // namespace

bool grey_of(const ImageView& img, ScratchBytes* grey) {
    const std::size_t n = static_cast<std::size_t>(img.width) * img.height;
    if (!img.data || n == 0) return false;
    grey->resize(n);
    if (img.type == TUVO::ImageType::Mono8) {
        std::copy(img.data, img.data + n, grey->begin());
    } else if (img.type == TUVO::ImageType::RGB8 || img.type == TUVO::ImageType::BGR8) {
        const bool rgb = img.type == TUVO::ImageType::RGB8;
        for (std::size_t i = 0; i < n; ++i) {
            const std::uint8_t* p = img.data + 3 * i;
            const double r = rgb ? p[0] : p[2], b = rgb ? p[2] : p[0];
            (*grey)[i] = static_cast<std::uint8_t>(0.299 * r + 0.587 * p[1] + 0.114 * b + 0.5);
        }
    } else {
        return false;
    }
    return true;
}

std::vector<Detected> detect_markers(const std::uint8_t* g, int w, int h, const TUVO::CodedCircleMarkerType& type) {
    std::vector<Detected> found;
    const int N = type.N;
    const double r1 = type.r1_to_r0_ratio, r2 = type.r2_to_r0_ratio;
    if (N < 4 || N > 30 || !(r1 > 1.2) || !(r2 > r1 + 0.2) || !(r2 < 10) || w < 16 || h < 16) return found;
    const ScratchBytes& mask = dark_mask(g, w, h, std::max(15, std::min(w, h) / 20));
    for (const Component& c : components(mask, w, h)) {
        if (c.area < 12 || c.area > static_cast<long long>(w) * h / 50) continue;
        // The centre dot: a filled ellipse. Its second moments give the ellipse.
        const double mx = c.sx / c.area, my = c.sy / c.area;
        Eigen::Matrix2d cov;
        cov << c.sxx / c.area - mx * mx, c.sxy / c.area - mx * my, c.sxy / c.area - mx * my, c.syy / c.area - my * my;
        Eigen::SelfAdjointEigenSolver<Eigen::Matrix2d> es(cov);
        const double l0 = es.eigenvalues()[0], l1 = es.eigenvalues()[1];
        if (l0 <= 0.25) continue;
        const double a = 2 * std::sqrt(l1), b = 2 * std::sqrt(l0);  // semi-axes
        if (b / a < 0.3) continue;
        const double fill = c.area / (kPi * a * b);
        if (fill < 0.8 || fill > 1.2) continue;
        // The ellipse as a map from the unit circle, in viewer coordinates (y up).
        Eigen::Matrix2d E = es.eigenvectors();
        if (E.determinant() < 0) E.col(0) = -E.col(0);
        Eigen::Matrix2d A = E * Eigen::Vector2d(b, a).asDiagonal();
        Eigen::Matrix2d flip;
        flip << 1, 0, 0, -1;
        Eigen::Matrix2d Av = flip * A * flip;  // viewer frame: v axis turned up
        auto at = [&](double radius, double phi, double* x, double* y) {
            const Eigen::Vector2d d = Av * Eigen::Vector2d(std::cos(phi), std::sin(phi)) * radius;
            *x = mx + d.x();
            *y = my - d.y();
        };
        // Levels: the dot is black; the gap between dot and ring, and beyond the ring, white.
        double dark = 0, white = 0;
        int nd = 0, nw = 0;
        bool outside = false;
        for (int k = 0; k < 48; ++k) {
            const double phi = 2 * kPi * k / 48;
            double x, y;
            at(0.4, phi, &x, &y);
            double v = sample(g, w, h, x, y);
            at((1 + r1) / 2, phi, &x, &y);
            double gap = sample(g, w, h, x, y);
            at(r2 + 0.45 * (r2 - r1), phi, &x, &y);
            double beyond = sample(g, w, h, x, y);
            if (v < 0 || gap < 0 || beyond < 0) outside = true;
            dark += v, ++nd;
            white += std::min(gap, beyond), ++nw;
        }
        if (outside) continue;
        dark /= nd;
        white /= nw;
        if (white - dark < 40) continue;
        const double mid = (dark + white) / 2;
        // The gap and the surround must be white all round.
        bool clean = true;
        for (int k = 0; k < 48 && clean; ++k) {
            double x, y;
            at((1 + r1) / 2, 2 * kPi * k / 48, &x, &y);
            clean = sample(g, w, h, x, y) > mid;
            at(r2 + 0.45 * (r2 - r1), 2 * kPi * k / 48, &x, &y);
            clean = clean && sample(g, w, h, x, y) > mid;
        }
        if (!clean) continue;
        // The ring: sample it finely, find the sector phase that makes sectors most uniform.
        const int per = 12, S = N * per;
        std::vector<double> ring(S);
        for (int s = 0; s < S; ++s) {
            double acc = 0;
            for (double rr : {r1 + 0.25 * (r2 - r1), (r1 + r2) / 2, r1 + 0.75 * (r2 - r1)}) {
                double x, y;
                at(rr, 2 * kPi * (s + 0.5) / S, &x, &y);
                acc += sample(g, w, h, x, y) < mid ? 1.0 : 0.0;
            }
            ring[s] = acc / 3;
        }
        int best_shift = 0;
        double best_score = -1;
        for (int shift = 0; shift < per; ++shift) {
            double score = 0;
            for (int k = 0; k < N; ++k) {
                double m = 0;
                for (int j = 0; j < per; ++j) m += ring[(k * per + j + shift) % S];
                m /= per;
                score += std::abs(m - 0.5);
            }
            if (score > best_score) best_score = score, best_shift = shift;
        }
        std::uint32_t bits = 0;
        bool firm = true;
        for (int k = 0; k < N; ++k) {
            double m = 0;
            for (int j = 2; j < per - 2; ++j) m += ring[(k * per + j + best_shift) % S];
            m /= per - 4;
            if (m > 0.2 && m < 0.8) firm = false;
            if (m >= 0.5) bits |= 1u << k;
        }
        const int ones = __builtin_popcount(bits);
        if (!firm || ones == 0 || ones == N) continue;
        // Sub-pixel centre: the darkness-weighted centroid of the dot and its rim.
        double wx = 0, wy = 0, ws = 0;
        const double reach = 0.5 * (1 + r1);  // stay clear of the ring
        const int x0 = static_cast<int>(std::floor(mx - a * reach)), x1 = static_cast<int>(std::ceil(mx + a * reach));
        const int y0 = static_cast<int>(std::floor(my - a * reach)), y1 = static_cast<int>(std::ceil(my + a * reach));
        const Eigen::Matrix2d Ainv = A.inverse();
        for (int y = std::max(0, y0); y <= std::min(h - 1, y1); ++y) {
            for (int x = std::max(0, x0); x <= std::min(w - 1, x1); ++x) {
                const Eigen::Vector2d q = Ainv * Eigen::Vector2d(x - mx, y - my);
                if (q.norm() > reach) continue;
                const double weight = std::clamp((white - g[static_cast<std::size_t>(y) * w + x]) / (white - dark), 0.0, 1.0);
                wx += weight * x;
                wy += weight * y;
                ws += weight;
            }
        }
        if (ws <= 0) continue;
        Detected d;
        d.x = wx / ws;
        d.y = wy / ws;
        d.code = marker_code(bits, N);
        d.radius = std::sqrt(a * b);
        found.push_back(d);
    }
    // A marker is reported once: drop candidates lying inside a larger marker's ring.
    std::sort(found.begin(), found.end(), [](const Detected& p, const Detected& q) { return p.radius > q.radius; });
    std::vector<Detected> out;
    for (const Detected& d : found) {
        bool inside = false;
        for (const Detected& o : out)
            inside = inside || std::hypot(d.x - o.x, d.y - o.y) < o.radius * r2;
        if (!inside) out.push_back(d);
    }
    std::sort(out.begin(), out.end(), [](const Detected& p, const Detected& q) {
        return p.y < q.y - 1e-9 || (std::abs(p.y - q.y) <= 1e-9 && p.x < q.x);
    });
    return out;
}

bool detect_in(const ImageView& image, const TUVO::CodedCircleMarkerType& type, Report& report,
               std::vector<Detected>* out) {
    // A point where tests can hold a detection while other threads work on the image.
    hold_point("markers.detect");
    if (type.N < 4 || type.N > 30 || !(type.r1_to_r0_ratio > 1.2) || !(type.r2_to_r0_ratio > type.r1_to_r0_ratio + 0.2) ||
        !(type.r2_to_r0_ratio < 10)) {
        report.fail(TUVO::Error_InvalidArgument, "marker type needs 4 <= N <= 30 and 1.2 < r1/r0 < r2/r0 - 0.2 < 10");
        return false;
    }
    ScratchBytes& grey = scratch().grey;
    if (!grey_of(image, &grey)) {
        report.fail(TUVO::Error_InvalidArgument, "the image has no usable pixels");
        return false;
    }
    *out = detect_markers(grey.data(), image.width, image.height, type);
    return true;
}

const ScratchBytes& detected_grey() { return scratch().grey; }

bool point_at(const PointsView& pm, const std::uint8_t* grey, double x, double y, double radius,
              Eigen::Vector3d* out) {
    const int x0 = std::max(0, static_cast<int>(std::floor(x - radius)));
    const int x1 = std::min(pm.width - 1, static_cast<int>(std::ceil(x + radius)));
    const int y0 = std::max(0, static_cast<int>(std::floor(y - radius)));
    const int y1 = std::min(pm.height - 1, static_cast<int>(std::ceil(y + radius)));
    const double* p = pm.points;
    // Second order in the pixel offsets: a plane seen in perspective and through a lens bends
    // over the window, and a first-order fit would be biased at its centre.
    using Row = Eigen::Matrix<double, 6, 1>;
    Eigen::Matrix<double, 6, 6> ata = Eigen::Matrix<double, 6, 6>::Zero();
    Eigen::Matrix<double, 6, 3> atb = Eigen::Matrix<double, 6, 3>::Zero();
    const double scale = 1.0 / std::max(radius, 1.0);
    int n = 0;
    for (int v = y0; v <= y1; ++v) {
        for (int u = x0; u <= x1; ++u) {
            if ((u - x) * (u - x) + (v - y) * (v - y) > radius * radius) continue;
            const std::size_t i = static_cast<std::size_t>(v) * pm.width + u;
            const double* q = p + 3 * i;
            if (!std::isfinite(q[0]) || !std::isfinite(q[1]) || !std::isfinite(q[2])) continue;
            const double w = grey ? std::max<double>(grey[i], 4.0) : 1.0;
            const double a = (u - x) * scale, b = (v - y) * scale;
            Row row;
            row << 1.0, a, b, a * a, a * b, b * b;
            ata += w * row * row.transpose();
            atb += w * row * Eigen::RowVector3d(q[0], q[1], q[2]);
            ++n;
        }
    }
    if (n < 12) return false;
    const Eigen::Matrix<double, 6, 3> coef = ata.ldlt().solve(atb);  // row 0: the value at (x, y)
    *out = coef.row(0).transpose();
    return out->allFinite();
}

Eigen::Matrix4d rigid_fit(const std::vector<Eigen::Vector3d>& from, const std::vector<Eigen::Vector3d>& to,
                          const std::vector<double>* weights, double* rms) {
    const std::size_t n = from.size();
    std::vector<double> w = weights ? *weights : std::vector<double>(n, 1.0);
    const double total = std::accumulate(w.begin(), w.end(), 0.0);
    Eigen::Vector3d cf = Eigen::Vector3d::Zero(), ct = Eigen::Vector3d::Zero();
    for (std::size_t i = 0; i < n; ++i) cf += w[i] * from[i], ct += w[i] * to[i];
    cf /= total;
    ct /= total;
    Eigen::Matrix3d cov = Eigen::Matrix3d::Zero();
    for (std::size_t i = 0; i < n; ++i) cov += w[i] * (to[i] - ct) * (from[i] - cf).transpose();
    Eigen::JacobiSVD<Eigen::Matrix3d> svd(cov, Eigen::ComputeFullU | Eigen::ComputeFullV);
    Eigen::Matrix3d d = Eigen::Matrix3d::Identity();
    if ((svd.matrixU() * svd.matrixV().transpose()).determinant() < 0) d(2, 2) = -1;
    const Eigen::Matrix3d R = svd.matrixU() * d * svd.matrixV().transpose();
    Eigen::Matrix4d T = Eigen::Matrix4d::Identity();
    T.topLeftCorner<3, 3>() = R;
    T.topRightCorner<3, 1>() = ct - R * cf;
    if (rms) {
        double s = 0;
        for (std::size_t i = 0; i < n; ++i) s += w[i] * (R * from[i] + T.topRightCorner<3, 1>() - to[i]).squaredNorm();
        *rms = std::sqrt(s / total);
    }
    return T;
}

// Marker centres in 3-D (code -> point) from an image and its point map.
bool marker_centres(const PointsView& points, const ImageView& image, const TUVO::CodedCircleMarkerType& type,
                    Report& report, std::map<int, Eigen::Vector3d>* out) {
    std::vector<Detected> found;
    if (!detect_in(image, type, report, &found)) return false;
    if (image.width != points.width || image.height != points.height) {
        report.fail(TUVO::Error_InvalidArgument, "the image's size differs from the point map's");
        return false;
    }
    std::map<int, int> seen;
    for (const Detected& d : found) ++seen[d.code];
    for (const Detected& d : found) {
        Eigen::Vector3d p;
        if (seen[d.code] == 1 && point_at(points, scratch().grey.data(), d.x, d.y, d.radius * type.r2_to_r0_ratio, &p))
            (*out)[d.code] = p;
    }
    return true;
}

int two_camera_transform(const std::map<int, Eigen::Vector3d>& a, const std::map<int, Eigen::Vector3d>& b,
                         double* rotation9, double* translation3, Report& report) {
    std::vector<Eigen::Vector3d> from, to;
    for (const auto& kv : a) {
        auto it = b.find(kv.first);
        if (it != b.end()) from.push_back(kv.second), to.push_back(it->second);
    }
    if (from.size() < 3) {
        report.fail(TUVO::Error_Failed,
                    "only " + std::to_string(from.size()) + " markers are seen by both cameras; 3 are needed");
        return 0;
    }
    // Markers all in one place or along one line leave the rotation about them open.
    for (const auto* set : {&from, &to}) {
        Eigen::Vector3d mean = Eigen::Vector3d::Zero();
        for (const auto& p : *set) mean += p;
        mean /= static_cast<double>(set->size());
        Eigen::Matrix3d spread = Eigen::Matrix3d::Zero();
        for (const auto& p : *set) spread += (p - mean) * (p - mean).transpose();
        const Eigen::Vector3d s = Eigen::SelfAdjointEigenSolver<Eigen::Matrix3d>(spread).eigenvalues();  // ascending
        // Spread across the line they lie nearest: at least a micrometre, and not lost to rounding.
        const double across = std::sqrt(std::max(s[1], 0.0) / static_cast<double>(set->size()));
        if (!(across > 1e-3) || !(s[1] > 1e-12 * s[2])) {
            report.fail(TUVO::Error_Failed, "the " + std::to_string(from.size()) +
                                                " markers both cameras see lie on one line or in one place; their "
                                                "transform is open");
            return 0;
        }
    }
    double rms;
    const Eigen::Matrix4d T = rigid_fit(from, to, nullptr, &rms);
    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 3; ++c) rotation9[3 * r + c] = T(r, c);
        translation3[r] = T(r, 3);
    }
    return static_cast<int>(from.size());
}

}  // namespace sim
