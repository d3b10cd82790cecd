// Stand-in SDK: rendering a camera's view of the scene, one ray per pixel.
#include "render/view.h"

#include <cmath>

#include "render/parallel.h"

namespace sim {

View& thread_view(int k) {
    thread_local View views[2];
    return views[k & 1];
}

void render_view(const Scene& s, const CameraModel& cam, View& v, const std::atomic<bool>* cancel) {
    v.width = cam.width;
    v.height = cam.height;
    const std::size_t n = static_cast<std::size_t>(cam.width) * cam.height;
    v.hits.assign(n, Hit());
    const MarkerSpec& m = s.markers;
    const double reach = m.r2_ratio * m.r0_mm * 1.15;
    parallel_rows(cam.height, [&](int y0, int y1) {
        for (int y = y0; y < y1; ++y) {
            if (cancel && cancel->load(std::memory_order_relaxed)) break;
            for (int x = 0; x < cam.width; ++x) {
                const std::size_t i = static_cast<std::size_t>(y) * cam.width + x;
                const Vec3 d = cam.R * cam.ray(x, y);
                const Hit& h = v.hits[i] = cast(s, cam.t, d);
                if (h.object != 4) continue;
                // Near a marker, average the board over 4x4 sub-pixel rays so edges are anti-aliased.
                const Vec3 q = s.board_R.transpose() * (h.p - s.board_t);
                const double col = q.x() / m.spacing_mm + (m.cols - 1) / 2.0;
                const double row = (m.rows - 1) / 2.0 - q.y() / m.spacing_mm;
                const int c = static_cast<int>(std::floor(col + 0.5)), r = static_cast<int>(std::floor(row + 0.5));
                bool near_marker = false;
                if (c >= 0 && c < m.cols && r >= 0 && r < m.rows) {
                    const Vec3 mc = s.marker_centre_board(r * m.cols + c);
                    near_marker = (Vec3(q.x(), q.y(), 0) - mc).norm() < reach;
                }
                if (!near_marker) continue;
                int on = 0;
                double sum = 0;
                for (int sy = 0; sy < 4; ++sy) {
                    for (int sx = 0; sx < 4; ++sx) {
                        const Vec3 sd = cam.R * cam.ray(x - 0.375 + 0.25 * sx, y - 0.375 + 0.25 * sy);
                        double bx, by;
                        if (hit_board(s, cam.t, sd, &bx, &by) > 0) {
                            ++on;
                            sum += board_albedo(s, bx, by);
                        }
                    }
                }
                if (on) v.hits[i].albedo = Vec3::Constant(sum / on);
            }
        }
    });
}

}  // namespace sim
