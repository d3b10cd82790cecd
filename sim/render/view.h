// Stand-in SDK: a camera's rendered view of the scene.
#pragma once
#include <atomic>
#include <cmath>
#include <cstdint>
#include <memory>

#include "core/scratch.h"
#include "render/ray_table.h"
#include "world/scene.h"

namespace sim {

// Hits per pixel, stored in 36 bytes each (floats, an octahedral normal, 16-bit albedo); [i]
// unpacks pixel i into a Hit.
class HitBuffer {
public:
    Hit operator[](std::size_t i) const {
        const Packed& q = data_[i];
        Hit h;
        if (q.object < 0) return h;
        h.t = q.t;
        h.p = Vec3(q.p[0], q.p[1], q.p[2]);
        // Octahedral normal: the unit vector folded onto |x| + |y| + |z| = 1, lower half turned out.
        double x = q.n[0], y = q.n[1];
        const double z = 1.0 - std::abs(x) - std::abs(y);
        if (z < 0) {
            const double fx = (1.0 - std::abs(y)) * (x >= 0 ? 1 : -1), fy = (1.0 - std::abs(x)) * (y >= 0 ? 1 : -1);
            x = fx;
            y = fy;
        }
        h.n = Vec3(x, y, z).normalized();
        h.albedo = Vec3(q.albedo[0], q.albedo[1], q.albedo[2]) * (1.0 / 65535.0);
        h.object = q.object;
        return h;
    }
    void set(std::size_t i, const Hit& h);
    void clear(std::size_t i) { data_[i].object = -1; }
    std::size_t size() const { return size_; }
    // Makes room for n pixels (reusing the memory held), their contents undefined until set.
    void resize(std::size_t n);
    // Frees the memory held (the buffer is then empty).
    void release();
    std::size_t capacity_bytes() const { return capacity_ * kBytesPerHit; }
    static constexpr std::size_t kBytesPerHit = 36;

private:
    struct Packed {
        float t;
        float p[3];
        float n[2];
        std::uint16_t albedo[3];
        std::int32_t object;  // -1: no hit
    };
    static_assert(sizeof(Packed) == kBytesPerHit, "a packed hit is 36 bytes");
    struct Free {
        std::size_t n;
        void operator()(Packed* p) const { scratch_free(p, n * sizeof(Packed)); }
    };
    std::unique_ptr<Packed[], Free> data_{nullptr, Free{0}};
    std::size_t size_ = 0, capacity_ = 0;
};

// A rendered view: hits per pixel, rows first.
struct View {
    int width = 0, height = 0;
    HitBuffer hits;  // on the board near a marker, albedo averages 4x4 sub-pixel rays
};
// What one camera sees at each pixel: the primary ray's hit; on the board near a marker, albedo
// averages 4x4 sub-pixel rays so the print's edges are anti-aliased.
class PixelRenderer {
public:
    PixelRenderer(const Scene& s, const CameraModel& cam, double threads);
    Hit operator()(int x, int y) const;
    // Pixels x0 .. x0 + n - 1 of row y into out[0 .. n - 1], n <= kBlock: the rays are made first,
    // all together, then cast.
    static constexpr int kBlock = 64;
    void block(int x0, int y, int n, Hit* out) const;

private:
    void antialias(int x, int y, Hit* h) const;
    // The same for a point q (board frame) in the cell of marker k, its centre mc.
    void antialias_cell(int x, int y, Hit* h, const Vec3& q, int k, const Vec3& mc) const;
    // The board-frame point *q of device-frame point p on the board and the index *k of the marker
    // cell it lies in; false when it lies in none.
    bool board_cell(const Vec3& p, Vec3* q, int* k) const;
    // A hit on the board: its albedo (as surface_albedo gives it) and then antialias.
    void board_pixel(int x, int y, Hit* h) const;
    const Scene& s_;
    const CameraModel& cam_;
    std::shared_ptr<const RayTable> rays_;  // the lens's rays (null: each made as needed)
    double reach_;  // how far from a marker's centre its print reaches (a margin added)
    double inv_f_;  // 1 / the smaller focal length: a pixel's angle, radians
    Vec3 paper_;    // the board's material over the print's white
    // Whether the board object stands where the scene's board is (as placed scenes have it), so
    // that board_pixel may find a point's place on the board once for its albedo and antialias.
    bool board_at_once_;
};

// Renders into `v` (its memory reused from call to call) on up to `threads` threads (the knob
// render.threads); stops early, the rest left empty, once `cancel` reads true.
void render_view(const Scene& s, const CameraModel& cam, double threads, View& v,
                 const std::atomic<bool>* cancel = nullptr);
// A view buffer of the calling thread (k = 0 or 1), kept for reuse: fresh ones cost page faults
// that serialise threads.
View& thread_view(int k);

}  // namespace sim
