// Stand-in SDK: image memory kept for reuse.
#include "core/pixel_pool.h"

#include <algorithm>
#include <map>
#include <mutex>

namespace sim {

namespace {

// Pixel memory given back with no_reuse == false, kept for the next image of the same size.
struct Pool {
    std::mutex m;
    std::multimap<std::size_t, Pixels> free;
};
Pool& pool() {
    static Pool* p = new Pool;  // lives as long as the process
    return *p;
}

}  // namespace

Pixels take_pixels(std::size_t n, bool zeroed) {
    Pixels v;
    {
        Pool& p = pool();
        std::lock_guard<std::mutex> lock(p.m);
        auto it = p.free.find(n);
        if (it != p.free.end()) {
            v = std::move(it->second);
            p.free.erase(it);
        }
    }
    if (v.empty()) {
        if (!zeroed) v.resize(n);
        else v.assign(n, 0);
    } else if (zeroed) {
        std::fill(v.begin(), v.end(), 0);
    }
    return v;
}

void give_pixels(Pixels v) {
    if (v.empty()) return;
    Pool& p = pool();
    std::lock_guard<std::mutex> lock(p.m);
    if (p.free.size() >= 8) p.free.erase(p.free.begin());
    p.free.emplace(v.size(), std::move(v));
}

}  // namespace sim
