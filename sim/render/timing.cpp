// Stand-in SDK: how long a capture takes on the device, and pacing captures to that time.
#include "render/timing.h"

#include <algorithm>
#include <thread>

#include "render/sensor.h"

namespace sim {

namespace {

constexpr double kRowReadoutMs = 0.010;   // sensor readout per row
constexpr double kPatternSwitchMs = 0.5;  // projector settling between patterns
constexpr double kDecodeMs = 15.0;        // fixed processing on the device
constexpr double kDecodePixelMs = 8e-6;   // and per pixel
constexpr double kUsbBytesPerMs = 350e3, kGigeBytesPerMs = 110e3;

double frame_ms(const CameraState& c, double exposure_ms) {
    return std::max(exposure_ms, c.models[0].height * kRowReadoutMs) + kPatternSwitchMs;
}

}  // namespace

double capture_ms(const CameraState& c, const CaptureParams& p, bool three_d, bool two_d) {
    const CameraModel& cam = c.models[0];
    const double pixels = static_cast<double>(cam.width) * cam.height;
    const int cameras = c.x2 ? 2 : 1;
    double ms = 0, bytes = 0;
    if (three_d) {
        const PatternSet ps = pattern_set(p.capture_mode);
        Exposure e[3];
        const int n = exposures_of(p, e);
        for (int k = 0; k < n; ++k) ms += ps.frames() * e[k].scans * frame_ms(c, e[k].ms);
        ms += kDecodeMs + kDecodePixelMs * pixels * cameras;
        bytes += pixels * 12;  // points as three floats
    }
    if (two_d) {
        ms += frame_ms(c, p.exposure_2d);
        bytes += pixels * cameras * (cam.colour ? 3 : 1);
    }
    const double rate = c.dev->port_type == TUVO::PortType_GIGE ? kGigeBytesPerMs : kUsbBytesPerMs;
    return ms + bytes / (rate * std::clamp(static_cast<double>(c.bandwidth), 0.01, 1.0));
}

bool realistic_timing(const DeviceState& d) { return d.realistic_timing || param_in("timing.realistic", 0, 0, 1) != 0; }

void finish_capture(CameraState& c, double modelled_ms, std::chrono::steady_clock::time_point start) {
    {
        std::lock_guard<std::mutex> lock(c.dev->m);
        c.dev->last_capture_ms = modelled_ms;
    }
    if (!realistic_timing(*c.dev)) return;
    std::this_thread::sleep_until(start + std::chrono::microseconds(static_cast<long long>(modelled_ms * 1000)));
}

}  // namespace sim
