// Stand-in SDK: figures of a device's sensor model for tests (true optics, latest capture time).
#include <cmath>
#include <cstring>

#include "api/calibration.h"
#include "control/control.h"

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
    if (k == "max_angle_deg") return param_in("sim.max_angle_deg", dev->max_angle_deg, 1.0, 89.9);
    CameraState optics;
    optics.dev = dev;
    setup_optics(optics);
    if (k == "focal_px") return optics.models[0].fx;
    if (k.rfind("projector_", 0) == 0 && k.size() == 11 && k[10] >= 'x' && k[10] <= 'z')
        return optics.projector_model.t[k[10] - 'x'];
    return nan;
}
