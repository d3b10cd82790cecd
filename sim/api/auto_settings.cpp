// Stand-in SDK: automatic exposure, noise removal distance and white balance, from a quick look at the scene.
#include "api/camera.h"

#include <algorithm>
#include <cmath>

#include "api/capture.h"

namespace sim {

void auto_exposure(CameraState& c, const TUVO::ROI& roi, int* exposure_3d, int* exposure_2d, int hdr[3]) {
    // Look at the scene through a coarse grid and pick exposures that put its bright parts near
    // the top of the usable signal and its dark parts above the noise.
    const CameraModel& cam = c.optics.models[roi_camera(c)];
    std::vector<double> levels;
    for (int y = 4; y < cam.height; y += 8) {
        for (int x = 4; x < cam.width; x += 8) {
            if (!in_roi(roi, x, y)) continue;
            Hit h = cast(c.scene, cam.t, cam.R * cam.ray(x, y));
            if (h.t < 0) continue;
            const double cos_in = std::max(0.05, h.n.dot((c.optics.projector - h.p).normalized()));
            levels.push_back(h.albedo.dot(Vec3(0.299, 0.587, 0.114)) * cos_in);
        }
    }
    if (levels.empty()) levels.push_back(0.5);
    std::sort(levels.begin(), levels.end());
    auto pct = [&](double q) { return levels[static_cast<std::size_t>(q * (levels.size() - 1))]; };
    auto exposure_for = [](double level, double target) {
        return std::clamp(static_cast<int>(std::lround(11.0 * target / std::max(level, 1e-3))), 3, 100);
    };
    *exposure_3d = exposure_for(pct(0.95), 1.2);
    *exposure_2d = exposure_for(pct(0.95), 1.0);
    // Short for the bright parts, middle, long for the dark parts.
    hdr[0] = exposure_for(pct(0.98), 1.0);
    hdr[1] = exposure_for(pct(0.5), 1.0);
    hdr[2] = exposure_for(pct(0.05), 1.0);
    std::sort(hdr, hdr + 3);
}

double auto_noise_distance(CameraState& c) {
    const CameraModel& cam = c.optics.models[0];
    const double z0 = c.dev->near_mm + 0.6 * (c.dev->far_mm - c.dev->near_mm);
    return 3.0 * z0 / cam.fx;  // three point spacings at the working distance
}

bool auto_white_balance(CameraState& c, int index, int iterations, const CaptureParams& p, const TUVO::ROI& roi,
                        const Knobs& k, Call& call) {
    if (!c.optics.models[index].colour) {
        call.fail(TUVO::Error_NotSupported, std::string("the ") + camera_name(1u << index) + " camera is monochrome");
        return false;
    }
    if (iterations < 1 || iterations > 10) {
        call.fail(TUVO::Error_InvalidArgument, "iterations must be 1..10");
        return false;
    }
    if (!valid_2d(p, call)) return false;
    View& v = thread_view(0);
    render_view(c.scene, c.optics.models[index], k.render_threads, v);
    for (int it = 0; it < iterations; ++it) {
        TUVO::Image img = render_image(c, index, p, k, v, 7 + it);
        auto obj = lookup(images(), img);
        double sum[3] = {0, 0, 0};
        for (int y = 0; y < obj->height; ++y)
            for (int x = 0; x < obj->width; ++x) {
                if (!in_roi(roi, x, y)) continue;
                const std::uint8_t* px = obj->data + 3 * (static_cast<std::size_t>(y) * obj->width + x);
                if (px[0] > 250 || px[1] > 250 || px[2] > 250) continue;  // saturated pixels say nothing
                for (int k = 0; k < 3; ++k) sum[k] += px[k];
            }
        TUVO::Image::Destroy(img, true);
        if (sum[0] <= 0 || sum[2] <= 0 || sum[1] <= 0) {
            call.fail(TUVO::Error_Failed, "the ROI holds no usable pixels");
            return false;
        }
        c.balance[0] = std::clamp(static_cast<float>(c.balance[0] * sum[1] / sum[0]), 0.5f, 4.0f);
        c.balance[2] = std::clamp(static_cast<float>(c.balance[2] * sum[1] / sum[2]), 0.5f, 4.0f);
    }
    return true;
}

}  // namespace sim
