// Stand-in SDK: rendering a camera's view of the scene, one ray per pixel, rows in parallel.
#include "render/view.h"

#include <algorithm>
#include <cmath>

#include "render/parallel.h"
#include "world/embree_scene.h"

namespace sim {

static_assert(PixelRenderer::kBlock <= Accel::kTogether, "a block's rays are cast together");

void HitBuffer::resize(std::size_t n) {
    if (n > capacity_) {
        release();  // the old block goes before the new one comes
        if (n > static_cast<std::size_t>(-1) / sizeof(Packed)) throw std::bad_alloc();
        data_ = std::unique_ptr<Packed[], Free>(static_cast<Packed*>(scratch_allocate(n * sizeof(Packed))), Free{n});
        capacity_ = n;
    }
    size_ = n;
}

void HitBuffer::release() {
    data_.reset();
    capacity_ = size_ = 0;
}

void HitBuffer::set(std::size_t i, const Hit& h) {
    Packed& q = data_[i];
    if (h.t < 0 || h.object < 0) {
        q.object = -1;
        return;
    }
    q.t = static_cast<float>(h.t);
    for (int k = 0; k < 3; ++k) {
        q.p[k] = static_cast<float>(h.p[k]);
        q.albedo[k] = static_cast<std::uint16_t>(std::clamp(h.albedo[k], 0.0, 1.0) * 65535.0 + 0.5);
    }
    const double l1 = std::abs(h.n.x()) + std::abs(h.n.y()) + std::abs(h.n.z());
    double x = h.n.x() / l1, y = h.n.y() / l1;
    if (h.n.z() < 0) {
        const double fx = (1.0 - std::abs(y)) * (x >= 0 ? 1 : -1), fy = (1.0 - std::abs(x)) * (y >= 0 ? 1 : -1);
        x = fx;
        y = fy;
    }
    q.n[0] = static_cast<float>(x);
    q.n[1] = static_cast<float>(y);
    q.object = h.object;
}

View& thread_view(int k) {
    // Kept for the thread's next capture (fresh memory costs page faults), up to kKeptScratchBytes
    // each: a larger view is freed when the call that rendered it returns.
    thread_local View views[2];
    trim_after_calls([] {
        for (int i = 0; i < 2; ++i) {
            View& v = thread_view(i);
            if (v.hits.capacity_bytes() > kKeptScratchBytes) v.hits.release();
        }
    });
    return views[k & 1];
}

PixelRenderer::PixelRenderer(const Scene& s, const CameraModel& cam, double threads)
    : s_(s), cam_(cam), rays_(pixel_directions(cam, threads)), reach_(s.markers.r2_ratio * s.markers.r0_mm * 1.15),
      inv_f_(1 / std::min(cam.fx, cam.fy)),
      paper_(s.board >= 0 ? Vec3(s.materials[s.board].albedo / 0.92) : Vec3::Ones()),
      board_at_once_(s.board >= 0 && s.objects[s.board].shape == Shape::Board && s.objects[s.board].R == s.board_R &&
                     s.objects[s.board].t == s.board_t) {}

Hit PixelRenderer::operator()(int x, int y) const {
    const Vec3 d = rays_ ? rays_->unit(x, y) : cam_.ray(x, y);
    Hit h = cast(s_, cam_.t, cam_.R * d);
    if (h.object >= 0 && h.object == s_.board) antialias(x, y, &h);
    return h;
}

void PixelRenderer::block(int x0, int y, int n, Hit* out) const {
    Vec3 d[kBlock];
    if (rays_) {
        const Mat3 R = cam_.R;  // a copy the stores into d cannot touch: read once, not at every ray
        const float* r = rays_->at(x0, y);
        for (int k = 0; k < n; ++k, r += 2) d[k] = R * Vec3(r[0], r[1], 1.0).normalized();
    } else {
        for (int k = 0; k < n; ++k) d[k] = cam_.R * cam_.ray(x0 + k, y);
    }
    // The surfaces first, all together (neighbouring pixels' rays travel together through the
    // scene), then what is printed on them.
    cast_shapes(s_, cam_.t, d, n, out);
    const int board = s_.board;
    if (board < 0) {
        surface_albedos(s_, out, n);
        return;
    }
    if (!board_at_once_) {
        surface_albedos(s_, out, n);
        for (int k = 0; k < n; ++k)
            if (out[k].object == board) antialias(x0 + k, y, &out[k]);
        return;
    }
    surface_albedos(s_, out, n, board);
    for (int k = 0; k < n; ++k)
        if (out[k].object == board) board_pixel(x0 + k, y, &out[k]);
}

void PixelRenderer::board_pixel(int x, int y, Hit* h) const {
    // What surface_albedo and antialias find for a point on the board, the point in the board's
    // frame and its marker's cell found once for both.
    const Scene& s = s_;
    Vec3 q;
    int k;
    const bool in_cell = board_cell(h->p, &q, &k);
    const Vec3 mc = in_cell ? s.marker_centre_board(k) : Vec3::Zero();
    const double white = 0.92;
    const double print = in_cell && !s.patterns.empty() ? marker_print(s, k, mc, q.x(), q.y()) : white;
    h->albedo = s.materials[s.board].albedo * (print / 0.92);
    if (in_cell) antialias_cell(x, y, h, q, k, mc);
}

void PixelRenderer::antialias(int x, int y, Hit* h) const {
    // Near a marker, average the board over 4x4 sub-pixel rays so edges are anti-aliased.
    Vec3 q;
    int k;
    if (board_cell(h->p, &q, &k)) antialias_cell(x, y, h, q, k, s_.marker_centre_board(k));
}

bool PixelRenderer::board_cell(const Vec3& p, Vec3* q, int* k) const {
    *q = s_.board_R.transpose() * (p - s_.board_t);
    return marker_cell(s_, q->x(), q->y(), k);
}

void PixelRenderer::antialias_cell(int x, int y, Hit* h, const Vec3& q, int k, const Vec3& mc) const {
    const Scene& s = s_;
    const CameraModel& cam = cam_;
    const MarkerSpec& m = s.markers;
    const double half = 0.5 * m.spacing_mm;
    if (!((Vec3(q.x(), q.y(), 0) - mc).norm() < reach_)) return;
    // First a generous bound of how far the pixel reaches on the board (its corners lie 0.53 px
    // from its centre; twice that, over the cosine of incidence, covers the lens's few percent of
    // distortion many times over): most pixels near a marker lie farther than that from every
    // edge of the print and need no corner rays.
    const double cos_in = std::abs(h->n.dot(h->p - cam.t)) / h->t;
    if (cos_in > 0.2 && !print_edge_near(s, q.x(), q.y(), 2 * 0.375 * std::sqrt(2.0) * h->t * inv_f_ / cos_in))
        return;
    // Where no edge of the print passes under the pixel, all sub-pixel rays see what the centre
    // sees: the corner rays bound how far the pixel reaches on the board. The corners are the
    // outer sub-pixel rays of the 4 x 4 below. (Sub-pixel rays need not be unit vectors: only
    // where they meet the board's plane matters.)
    Vec3 corner_ray[4];
    double corner_x[4], corner_y[4];
    bool corner_on[4];
    double reach2 = 0;
    for (int corner = 0; corner < 4; ++corner) {
        corner_ray[corner] = cam.R * cam.direction(x - 0.375 + 0.75 * (corner & 1), y - 0.375 + 0.75 * (corner >> 1));
        corner_on[corner] = hit_board(s, cam.t, corner_ray[corner], &corner_x[corner], &corner_y[corner]) > 0;
        if (!corner_on[corner]) {
            reach2 = -1;
        } else if (reach2 >= 0) {
            const double ex = corner_x[corner] - q.x(), ey = corner_y[corner] - q.y();
            reach2 = std::max(reach2, ex * ex + ey * ey);
        }
    }
    if (reach2 >= 0 && !print_edge_near(s, q.x(), q.y(), std::sqrt(reach2) * 1.001 + 1e-9)) return;
    // Over a pixel the lens's distortion is as good as linear: the inner rays are blended from
    // the corners'.
    int on = 0;
    double sum = 0;
    for (int sy = 0; sy < 4; ++sy) {
        const double fy = sy / 3.0;
        const Vec3 left = corner_ray[0] + (corner_ray[2] - corner_ray[0]) * fy;
        const Vec3 right = corner_ray[1] + (corner_ray[3] - corner_ray[1]) * fy;
        for (int sx = 0; sx < 4; ++sx) {
            double bx, by;
            bool hit;
            if ((sx == 0 || sx == 3) && (sy == 0 || sy == 3)) {
                const int corner = (sx == 3) + 2 * (sy == 3);
                hit = corner_on[corner];
                bx = corner_x[corner];
                by = corner_y[corner];
            } else {
                hit = hit_board(s, cam.t, left + (right - left) * (sx / 3.0), &bx, &by) > 0;
            }
            if (hit) {
                ++on;
                // Within half a spacing of the marker's centre, a point lies in its cell.
                const double ex = bx - mc.x(), ey = by - mc.y();
                sum += ex * ex + ey * ey < half * half ? marker_print(s, k, mc, bx, by) : board_albedo(s, bx, by);
            }
        }
    }
    if (on) h->albedo = paper_ * (sum / on);
}

void render_view(const Scene& s, const CameraModel& cam, double threads, View& v, const std::atomic<bool>* cancel) {
    v.width = cam.width;
    v.height = cam.height;
    const std::size_t W = static_cast<std::size_t>(cam.width);
    v.hits.resize(W * cam.height);
    const PixelRenderer render(s, cam, threads);
    parallel_rows(cam.height, threads, [&](int y0, int y1) {
        for (int y = y0; y < y1; ++y) {
            if (cancel && cancel->load(std::memory_order_relaxed)) {
                for (std::size_t i = y * W; i < static_cast<std::size_t>(y1) * W; ++i) v.hits.clear(i);
                break;
            }
            Hit hits[PixelRenderer::kBlock];
            for (int x0 = 0; x0 < cam.width; x0 += PixelRenderer::kBlock) {
                const int n = std::min(PixelRenderer::kBlock, cam.width - x0);
                render.block(x0, y, n, hits);
                for (int k = 0; k < n; ++k) v.hits.set(static_cast<std::size_t>(y) * W + x0 + k, hits[k]);
            }
        }
    });
}

}  // namespace sim
