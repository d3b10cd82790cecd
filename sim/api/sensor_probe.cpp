// Stand-in SDK: figures of a device's sensor model for tests (true optics, latest capture time).
#include <cmath>
#include <cstring>

#include "api/calibration.h"
#include "control/control.h"
#include "control/knobs.h"

double tuvo_sim_device_value(const char* sn, const char* key) {
    using namespace sim;
    const double nan = std::nan("");
    if (!sn || !key) return nan;
    auto dev = device_by_serial(sn);
    if (!dev) return nan;
    const std::string k = key;
    if (k == "capture_ms") {
        std::lock_guard<std::mutex> lock(dev->m);
        return dev->last_capture_ms;
    }
    if (k == "baseline_mm") return dev->baseline_mm;
    if (k == "scan_waiters") return dev->scan_waiters.load();
    const Knobs knobs = read_knobs();
    if (k == "max_angle_deg") return knobs.max_angle(dev->max_angle_deg);
    const DeviceOptics optics = make_optics(spec_of(*dev), knobs.truth_mode(), DevicePose());
    if (k == "focal_px") return optics.models[0].fx;
    if (k.rfind("projector_", 0) == 0 && k.size() == 11 && k[10] >= 'x' && k[10] <= 'z')
        return optics.projector_model.t[k[10] - 'x'];
    return nan;
}
