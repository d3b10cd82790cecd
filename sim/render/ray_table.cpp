// Stand-in SDK: the per-pixel ray directions of a camera's lens, made once and kept for the captures that follow.
#include "render/ray_table.h"

#include <algorithm>
#include <array>
#include <list>
#include <mutex>

#include "render/parallel.h"

namespace sim {

namespace {

// What the tables kept may hold at most: two 2448 x 2048 cameras' true and reported lenses.
constexpr std::size_t kBytesPerPixel = 2 * sizeof(float);
constexpr std::size_t kMaxBytes = 2 * 2 * std::size_t(2448) * 2048 * kBytesPerPixel;

using Key = std::array<double, 12>;  // width, height, the lens (fx fy cx cy, distortion), its grid

struct Cache {
    std::mutex m;
    std::list<std::pair<Key, std::shared_ptr<const RayTable>>> tables;  // most recently used first
};

Cache& cache() {
    static Cache* c = new Cache;  // lives as long as the process: captures may run during its exit
    return *c;
}

}  // namespace

std::shared_ptr<const RayTable> pixel_directions(const CameraModel& m, double threads) {
    const std::size_t bytes = static_cast<std::size_t>(m.width) * m.height * kBytesPerPixel;
    if (m.width <= 0 || m.height <= 0 || bytes > kMaxBytes / 4) return nullptr;
    const Key key = {double(m.width), double(m.height), m.fx, m.fy, m.cx, m.cy,
                     m.dist[0], m.dist[1], m.dist[2], m.dist[3], m.dist[4], m.grid ? 1.0 : 0.0};
    Cache& c = cache();
    {
        std::lock_guard<std::mutex> lock(c.m);
        for (auto it = c.tables.begin(); it != c.tables.end(); ++it)
            if (it->first == key) {
                c.tables.splice(c.tables.begin(), c.tables, it);
                return it->second;
            }
    }
    // Made outside the lock (two threads may both make one; either serves).
    auto t = std::make_shared<RayTable>();
    t->width = m.width;
    t->height = m.height;
    t->xy.resize(2 * static_cast<std::size_t>(m.width) * m.height);
    const bool fits = m.grid_fits();  // asked once, not at every pixel
    parallel_rows(m.height, threads, [&](int y0, int y1) {
        for (int y = y0; y < y1; ++y) {
            m.directions_row(y, m.width, fits, &t->xy[2 * static_cast<std::size_t>(y) * m.width]);
        }
    });
    std::lock_guard<std::mutex> lock(c.m);
    c.tables.emplace_front(key, t);
    std::size_t held = 0;
    for (auto it = c.tables.begin(); it != c.tables.end();) {
        held += it->second->xy.size() * sizeof(float);
        it = held > kMaxBytes ? c.tables.erase(it) : std::next(it);
    }
    return t;
}


}  // namespace sim
