// Stand-in SDK: the SDK-wide state and the ways to a device in it (handle, serial number).
#include "api/state.h"

namespace sim {

// The SDK's state lives as long as the process: a call still running in another thread while the
// process exits must not find it destroyed.
World& world() {
    static World* w = new World;
    return *w;
}

bool sdk_inited() {
    World& w = world();
    std::lock_guard<std::mutex> lock(w.m);
    return w.inited;
}

std::shared_ptr<DeviceState> device_of(const TUVO::Device& d, Report& report) {
    auto dev = world().devices.get(d.slot, d.generation);
    if (!dev) report.fail(TUVO::Error_InvalidHandle, "invalid or destroyed device handle");
    return dev;
}

int rig_index(const World& w, const char* sn) {
    if (!sn) return -1;
    for (std::size_t i = 0; i < w.rig.size(); ++i)
        if (w.rig[i]->sn == sn) return static_cast<int>(i);  // the rig's serial numbers are unique
    return -1;
}

std::shared_ptr<DeviceState> device_by_serial(const char* sn) {
    World& w = world();
    std::lock_guard<std::mutex> lock(w.m);
    const int i = rig_index(w, sn);
    return i < 0 ? nullptr : w.rig[i];
}

}  // namespace sim
