// Stand-in SDK: the raw ray-casting floor of a capture (Embree alone over the same rays), for benchmarks.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <ctime>
#include <vector>

#include "api/capture.h"
#include "control/control.h"
#include "control/knobs.h"
#include "render/parallel.h"
#include "world/embree_scene.h"

using namespace sim;

namespace {

double cpu_seconds() {
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return ts.tv_sec + ts.tv_nsec * 1e-9;
}

}  // namespace

int tuvo_sim_ray_floor(const char* sn, int camera, double* seconds, long long* rays) {
    auto dev = device_by_serial(sn);
    if (!dev || camera < 0 || camera > 2 || !(dev->cameras & (1u << camera)) || !seconds || !rays) return -1;
    const Knobs k = read_knobs();
    CameraState c;
    c.dev = dev;
    c.cid = 1u << camera;
    setup_camera(c, k);
    const CameraModel& cam = c.optics.models[camera];
    const RTCScene scene = c.scene.accel->handle();
    const std::size_t W = static_cast<std::size_t>(cam.width), n = W * cam.height;
    // The rays, made before the clock starts: the floor is Embree's part alone.
    std::vector<float> dirs(3 * n);
    for (int y = 0; y < cam.height; ++y)
        for (int x = 0; x < cam.width; ++x) {
            const Vec3 d = cam.R * cam.ray(x, y);
            for (int k = 0; k < 3; ++k) dirs[3 * (y * W + x) + k] = static_cast<float>(d[k]);
        }
    std::vector<float> hit_t(n);
    using clock = std::chrono::steady_clock;

    std::atomic<long long> tests[2] = {{0}, {0}};
    auto start = clock::now();
    double cpu = cpu_seconds();
    parallel_rows(cam.height, k.render_threads, [&](int y0, int y1) {
        RayContext ctx;
        RTCRayHit rh;
        for (std::size_t i = y0 * W; i < y1 * W; ++i) {
            hit_t[i] = -1;
            if (!prepare_ray(&ctx, &rh, cam.t, Vec3(dirs[3 * i], dirs[3 * i + 1], dirs[3 * i + 2]), 1e-6, 1e300))
                continue;  // a capture casts no such ray either
            rtcIntersect1(scene, &ctx.embree, &rh);
            if (rh.hit.geomID != RTC_INVALID_GEOMETRY_ID) hit_t[i] = rh.ray.tfar;
        }
        tests[0] += static_cast<long long>(ctx.tests);
    });
    seconds[0] = std::chrono::duration<double>(clock::now() - start).count();
    seconds[2] = cpu_seconds() - cpu;
    rays[0] = static_cast<long long>(n);

    // Shadow rays as occluded() casts them: from half a millimetre off the surface to a millimetre
    // short of the projector.
    struct Shadow {
        float o[3], d[3], len;
    };
    std::vector<Shadow> shadows;
    for (std::size_t i = 0; i < n; ++i) {
        if (hit_t[i] < 0) continue;
        const Vec3 p = cam.t + Vec3(dirs[3 * i], dirs[3 * i + 1], dirs[3 * i + 2]) * hit_t[i];
        const Vec3 ab = c.optics.projector - p;
        const Vec3 d = ab.normalized(), o = p + d * 0.5;
        shadows.push_back({{float(o.x()), float(o.y()), float(o.z())}, {float(d.x()), float(d.y()), float(d.z())},
                           float(ab.norm() - 1.0)});
    }
    const std::size_t rows = (shadows.size() + W - 1) / W;
    start = clock::now();
    cpu = cpu_seconds();
    parallel_rows(static_cast<int>(rows), k.render_threads, [&](int r0, int r1) {
        RayContext ctx;
        RTCRayHit rh;
        for (std::size_t i = r0 * W; i < std::min(shadows.size(), r1 * W); ++i) {
            const Shadow& s = shadows[i];
            if (prepare_ray(&ctx, &rh, Vec3(s.o[0], s.o[1], s.o[2]), Vec3(s.d[0], s.d[1], s.d[2]), 1e-6, s.len))
                rtcOccluded1(scene, &ctx.embree, &rh.ray);
        }
        tests[1] += static_cast<long long>(ctx.tests);
    });
    seconds[1] = std::chrono::duration<double>(clock::now() - start).count();
    seconds[3] = cpu_seconds() - cpu;
    rays[1] = static_cast<long long>(shadows.size());
    rays[2] = tests[0];
    rays[3] = tests[1];
    return 0;
}
