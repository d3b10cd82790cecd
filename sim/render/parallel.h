// Stand-in SDK: rows of an image processed in parallel, on as many threads as `render.threads` allows.
#pragma once
#include <algorithm>

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>
#include <tbb/task_arena.h>


namespace sim {

// Calls fn(y0, y1) over disjoint row ranges covering [0, rows). `threads` (the knob
// render.threads) caps the threads used (0 or more than the cores: all cores); 1 runs on the
// calling thread.
// Work must not depend on how the rows are split: noise is drawn per pixel, never per chunk.
template <class Fn>
void parallel_rows(int rows, double threads, Fn&& fn) {
    if (rows <= 0) return;
    const int cores = tbb::this_task_arena::max_concurrency();
    const int cap = static_cast<int>(std::min(threads, static_cast<double>(cores)));
    if (cap == 1) {
        fn(0, rows);
        return;
    }
    auto body = [&] {
        tbb::parallel_for(tbb::blocked_range<int>(0, rows, 8),
                          [&](const tbb::blocked_range<int>& r) { fn(r.begin(), r.end()); });
    };
    if (cap > 1 && cap < cores) {
        tbb::task_arena arena(cap);
        arena.execute(body);
    } else {
        body();
    }
}

}  // namespace sim
