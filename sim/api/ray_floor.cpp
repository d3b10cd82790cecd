// Stand-in SDK: the raw ray-casting floor of a capture (Embree alone over the same rays), for benchmarks.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <ctime>
#include <vector>

#include "api/capture.h"
#include "control/control.h"
#include "control/knobs.h"
#include "render/image.h"
#include "render/indirect.h"
#include "render/measure.h"
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
    // Cast as a capture casts them: a row's pixels in blocks, each block's rays together.
    constexpr unsigned kTogether = Accel::kTogether;
    parallel_rows(cam.height, k.render_threads, [&](int y0, int y1) {
        RayContext ctx;
        RayLane lanes[kTogether];
        RTCRayHit rh[kTogether];
        std::size_t which[kTogether];
        ctx.lanes = lanes;
        for (int y = y0; y < y1; ++y)
            for (std::size_t x0 = 0; x0 < W; x0 += kTogether) {
                unsigned m = 0;
                for (std::size_t i = y * W + x0; i < y * W + std::min(W, x0 + kTogether); ++i) {
                    hit_t[i] = -1;
                    const Vec3 d(dirs[3 * i], dirs[3 * i + 1], dirs[3 * i + 2]);
                    if (prepare_lane(&lanes[m], &rh[m], m, cam.t, d, 1e-6, 1e300)) which[m++] = i;
                }  // a capture casts no ray Embree cannot take either
                if (!m) continue;
                intersect_together(scene, &ctx, rh, m);
                for (unsigned j = 0; j < m; ++j)
                    if (rh[j].hit.geomID != RTC_INVALID_GEOMETRY_ID) hit_t[which[j]] = rh[j].ray.tfar;
            }
        tests[0] += static_cast<long long>(ctx.tests);
    });
    seconds[0] = std::chrono::duration<double>(clock::now() - start).count();
    seconds[2] = cpu_seconds() - cpu;
    rays[0] = static_cast<long long>(n);

    // Shadow rays as occluded() casts them: from half a millimetre off the surface to a millimetre
    // short of the projector; those of a block of pixels cast together, as a capture casts them.
    struct Shadow {
        float o[3], d[3], len;
        std::size_t block;
    };
    std::vector<Shadow> shadows;
    for (std::size_t i = 0; i < n; ++i) {
        if (hit_t[i] < 0) continue;
        const Vec3 p = cam.t + Vec3(dirs[3 * i], dirs[3 * i + 1], dirs[3 * i + 2]) * hit_t[i];
        const Vec3 ab = c.optics.projector - p;
        const Vec3 d = ab.normalized(), o = p + d * 0.5;
        shadows.push_back({{float(o.x()), float(o.y()), float(o.z())}, {float(d.x()), float(d.y()), float(d.z())},
                           float(ab.norm() - 1.0), i / W * W + i % W / kTogether});
    }
    // Rays that share a `block` cast together (up to kTogether at a time), as a capture casts a
    // block of pixels' shadow rays or a pixel's footprint rays: occlusion tests, or with `nearest`
    // the nearest hit.
    const auto cast_blocks = [&](const std::vector<Shadow>& list, bool nearest = false) {
        const std::size_t rows = (list.size() + W - 1) / W;
        parallel_rows(static_cast<int>(rows), k.render_threads, [&](int r0, int r1) {
            RayContext ctx;
            RayLane lanes[kTogether];
            RTCRay r[kTogether];
            RTCRayHit rh[kTogether];
            ctx.lanes = lanes;
            const std::size_t end = std::min(list.size(), r1 * W);
            for (std::size_t i = r0 * W; i < end;) {
                unsigned m = 0;
                for (const std::size_t block = list[i].block; i < end && list[i].block == block && m < kTogether; ++i) {
                    const Shadow& s = list[i];
                    const Vec3 o(s.o[0], s.o[1], s.o[2]), d(s.d[0], s.d[1], s.d[2]);
                    m += nearest ? prepare_lane(&lanes[m], &rh[m], m, o, d, 1e-6, 1e300)
                                 : prepare_lane(&lanes[m], &r[m], m, o, d, 1e-6, s.len);
                }
                if (!m) continue;
                if (nearest)
                    intersect_together(scene, &ctx, rh, m);
                else
                    occluded_together(scene, &ctx, r, m);
            }
            tests[1] += static_cast<long long>(ctx.tests);
        });
    };
    start = clock::now();
    cpu = cpu_seconds();
    cast_blocks(shadows);
    seconds[1] = std::chrono::duration<double>(clock::now() - start).count();
    seconds[3] = cpu_seconds() - cpu;
    rays[1] = static_cast<long long>(shadows.size());

    // What the capture's own functions make of each pixel (made before the clock): its hit, whether
    // the projector lights it, and from these the rays a capture adds: on a two-camera device the
    // rays from camera 0's lit points towards camera 1 (cast a block's together), and at depth edges
    // the pixels' footprints (render/measure.h).
    // A two-camera device measures through camera 0 alone; camera 1 gives its image (its primary
    // and shadow rays, counted above).
    const bool image_only = dev->x2 && camera == 1;
    std::vector<float> range(n);
    std::vector<Shadow> towards, edge_rays, edge_shadows;
    const bool two = dev->x2 && camera == 0 && (dev->cameras & TUVO::CameraID_Right);
    {
        const PixelRenderer render(c.scene, cam, 1);
        Hit hits[PixelRenderer::kBlock];
        Lighting light[PixelRenderer::kBlock];
        double len[PixelRenderer::kBlock];
        for (int y = 0; y < cam.height && !image_only; ++y)
            for (int x0 = 0; x0 < cam.width; x0 += PixelRenderer::kBlock) {
                const int m = std::min(PixelRenderer::kBlock, cam.width - x0);
                render.block(x0, y, m, hits);
                for (int j = 0; j < m; ++j) {
                    range[y * W + x0 + j] = hits[j].t >= 0 ? static_cast<float>(hits[j].t) : NAN;
                    light[j] = Lighting();
                    if (hits[j].t >= 0) light[j] = facing(c.optics.projector, hits[j], &len[j]);
                }
                if (!two) continue;
                light_together(c.scene, hits, light, len, m);
                for (int j = 0; j < m; ++j) {
                    double u, v, l;
                    Vec3 o, d;
                    if (light[j].lit && other_camera_ray(c.optics.models[1], hits[j].p, &u, &v, &o, &d, &l) == 2)
                        towards.push_back({{float(o.x()), float(o.y()), float(o.z())},
                                           {float(d.x()), float(d.y()), float(d.z())}, float(l),
                                           static_cast<std::size_t>(y) * W + x0});
                }
            }
    }
    const EdgeRays edges(k);
    const CameraModel& pr = c.optics.projector_model;
    const auto add = [](std::vector<Shadow>* list, const Vec3& o, const Vec3& d, double len, std::size_t block) {
        list->push_back({{float(o.x()), float(o.y()), float(o.z())}, {float(d.x()), float(d.y()), float(d.z())},
                         float(len), block});
    };
    // At depth edges: the centre's ray alone, then the footprint's rays of a pixel together and
    // their shadow rays together.
    std::vector<Shadow> edge_centres;
    std::vector<std::uint8_t> marked(W);
    for (int y = 0; y < cam.height && !image_only; ++y) {
        edge_marks(range.data(), cam.width, cam.height, y, 0, cam.width, marked.data());
        for (int x = 0; x < cam.width; ++x) {
            if (!marked[x] || std::isnan(range[y * W + x])) continue;
            const std::size_t pixel = static_cast<std::size_t>(y) * W + x;
            const Vec3 d0 = cam.R * cam.ray(x, y);
            add(&edge_centres, cam.t, d0, 1e30, pixel);
            const Hit h = cast(c.scene, cam.t, d0);
            if (h.t < 0 || pr.from_device(h.p).z() <= 1e-6) continue;
            double dx[EdgeRays::kRays], dy[EdgeRays::kRays];
            edges.offsets(pixel, dx, dy);
            for (int j = 0; j < EdgeRays::kRays; ++j) {
                const Vec3 d = cam.R * cam.ray(x + dx[j], y + dy[j]);
                add(&edge_rays, cam.t, d, 1e30, pixel);
                const Hit q = cast(c.scene, cam.t, d);
                if (q.t < 0) continue;
                double len = 0;
                const Lighting l = facing(c.optics.projector, q, &len);
                if (l.cos_proj > 0 && !EdgeRays::same(h, q) && len > 1.5)
                    add(&edge_shadows, q.p + l.to_proj * 0.5, l.to_proj, len - 1.0, pixel);
            }
        }
    }
    start = clock::now();
    cpu = cpu_seconds();
    cast_blocks(towards);
    cast_blocks(edge_rays, true);
    cast_blocks(edge_shadows);
    seconds[1] += std::chrono::duration<double>(clock::now() - start).count();
    seconds[3] += cpu_seconds() - cpu;
    rays[1] += static_cast<long long>(towards.size() + edge_centres.size() + edge_rays.size() + edge_shadows.size());

    // Bounce rays as the capture casts them (render/indirect.h), counted with the shadow rays: the
    // grid pixels' rays again, from the surface each sees, then from what they meet towards the
    // projector.
    const BouncePlan plan = image_only ? BouncePlan() : bounce_plan(k, cam.width, cam.height);
    std::vector<Shadow> bounces, lights;  // a ray's length when it wants the nearest hit: as far as it goes
    for (int node = 0; plan.on && node < plan.nodes(); ++node) {
        const int x = plan.x_of(node % plan.columns), y = plan.y_of(node / plan.columns);
        if (hit_t[y * W + x] < 0) continue;  // (a ray that meets nothing costs next to nothing)
        const Vec3 d0 = cam.R * cam.ray(x, y);
        bounces.push_back({{float(cam.t.x()), float(cam.t.y()), float(cam.t.z())},
                           {float(d0.x()), float(d0.y()), float(d0.z())}, 1e30f});
        const Hit h = cast(c.scene, cam.t, d0);
        if (h.t < 0 || c.optics.projector_model.from_device(h.p).z() <= 1e-6) continue;  // as the capture
        const Vec3 o = bounce_origin(h.p, h.n);
        for (int j = 0; j < BouncePlan::kRays; ++j) {
            const Vec3 d = bounce_direction(plan, node, j, h.n);
            bounces.push_back({{float(o.x()), float(o.y()), float(o.z())}, {float(d.x()), float(d.y()), float(d.z())},
                               1e30f});
            Vec3 so, sd;
            double len;
            const Hit q = cast(c.scene, o, d);  // where it lands, for its shadow ray (made before the clock)
            if (q.t >= 0 && bounce_shadow(c.optics.projector, q, &so, &sd, &len))
                lights.push_back({{float(so.x()), float(so.y()), float(so.z())},
                                  {float(sd.x()), float(sd.y()), float(sd.z())}, float(len)});
        }
    }
    start = clock::now();
    cpu = cpu_seconds();
    for (const std::vector<Shadow>* list : {&bounces, &lights, &edge_centres}) {
        const bool nearest = list == &bounces || list == &edge_centres;
        parallel_rows(static_cast<int>((list->size() + W - 1) / W), k.render_threads, [&](int r0, int r1) {
            RayContext ctx;
            RTCRayHit rh;
            for (std::size_t i = r0 * W; i < std::min(list->size(), r1 * W); ++i) {
                const Shadow& s = (*list)[i];
                if (!prepare_ray(&ctx, &rh, Vec3(s.o[0], s.o[1], s.o[2]), Vec3(s.d[0], s.d[1], s.d[2]), 1e-6,
                                 nearest ? 1e300 : s.len))
                    continue;
                if (nearest)
                    rtcIntersect1(scene, &ctx.embree, &rh);
                else
                    rtcOccluded1(scene, &ctx.embree, &rh.ray);
            }
            tests[1] += static_cast<long long>(ctx.tests);
        });
    }
    seconds[1] += std::chrono::duration<double>(clock::now() - start).count();
    seconds[3] += cpu_seconds() - cpu;
    rays[1] += static_cast<long long>(bounces.size() + lights.size());
    rays[2] = tests[0];
    rays[3] = tests[1];
    return 0;
}
