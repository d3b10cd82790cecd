// Stand-in SDK: how long a capture takes on the device, and pacing captures to that time.
#include "render/timing.h"

#include <algorithm>

#include "render/sensor.h"

namespace sim {

namespace {

constexpr double kRowReadoutMs = 0.010;   // sensor readout per row
constexpr double kPatternSwitchMs = 0.5;  // projector settling between patterns
constexpr double kDecodeMs = 15.0;        // fixed processing on the device
constexpr double kDecodePixelMs = 8e-6;   // and per pixel
constexpr double kUsbBytesPerMs = 350e3, kGigeBytesPerMs = 110e3;

double frame_ms(const DeviceOptics& o, double exposure_ms) {
    return std::max(exposure_ms, o.models[0].height * kRowReadoutMs) + kPatternSwitchMs;
}

}  // namespace

double capture_ms(const DeviceOptics& o, bool x2, float bandwidth, const Sensor* sensor, const CaptureParams& p,
                  bool two_d) {
    const CameraModel& cam = o.models[0];
    const double pixels = static_cast<double>(cam.width) * cam.height;
    const int cameras = x2 ? 2 : 1;
    double ms = 0, bytes = 0;
    if (sensor) {
        const int frames = sensor->patterns().frames();
        for (int k = 0; k < sensor->steps(); ++k)
            ms += frames * sensor->phase(k).scans() * frame_ms(o, sensor->exposure_ms(k));
        ms += kDecodeMs + kDecodePixelMs * pixels * cameras;
        bytes += pixels * 12;  // points as three floats
    }
    if (two_d) {
        ms += frame_ms(o, p.exposure_2d);
        bytes += pixels * cameras * (cam.colour ? 3 : 1);
    }
    const double rate = o.device.port_type == TUVO::PortType_GIGE ? kGigeBytesPerMs : kUsbBytesPerMs;
    return ms + bytes / (rate * std::clamp(static_cast<double>(bandwidth), 0.01, 1.0));
}

}  // namespace sim
