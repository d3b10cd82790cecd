// Stand-in SDK: finding the rig's devices: listing them by port type and finding one by serial number.
#include <string>

#include "api/state.h"
#include "control/control.h"
#include "control/core.h"

namespace sim {

namespace {

// The device handle of rig entry `i`, made when it has none alive; the caller holds `w.m`.
std::pair<std::uint32_t, std::uint32_t> handle_for(World& w, std::size_t i) {
    auto h = w.handles[i];
    if (!w.devices.get(h.first, h.second)) {
        h = w.devices.add(w.rig[i]);
        w.handles[i] = h;
    }
    return h;
}

}  // namespace

}  // namespace sim

using namespace sim;

namespace TUVO {

namespace SystemListDeviceType {
const char* ToString(Enum type) try {
    Call call("SystemListDeviceType.ToString");
    call.arg("type", static_cast<long long>(type));
    if (auto o = override_text("SystemListDeviceType.ToString")) return *o;
    switch (type) {
        case USB: return "USB";
        case GigE: return "GigE";
        case All: return "All";
    }
    return "Unknown";
} catch (...) { return escaped<const char*>(""); }
}  // namespace SystemListDeviceType

int SystemListDevices(Device* devices, std::size_t capacity, std::size_t* count,
                      SystemListDeviceType::Enum type) try {
    Call call("SystemListDevices");
    call.arg("capacity", static_cast<long long>(capacity)).arg("type", static_cast<long long>(type));
    if (count) *count = 0;
    if (call.failed()) return GetLastError();
    if (!count || (!devices && capacity)) {
        call.fail(Error_InvalidArgument, "null device array or count");
        return Error_InvalidArgument;
    }
    if (type < SystemListDeviceType::USB || type > SystemListDeviceType::All) {
        call.fail(Error_InvalidArgument, "unknown device type " + std::to_string(type));
        return Error_InvalidArgument;
    }
    World& w = world();
    std::lock_guard<std::mutex> lock(w.m);
    if (!w.inited) {
        call.fail(Error_NotInitialized, "SystemInit has not been called");
        return Error_NotInitialized;
    }
    std::size_t found = 0;
    for (std::size_t i = 0; i < w.rig.size(); ++i) {
        const DeviceState& d = *w.rig[i];
        bool wanted = (type & SystemListDeviceType::USB && d.port_type == PortType_USB) ||
                      (type & SystemListDeviceType::GigE && d.port_type == PortType_GIGE);
        if (!wanted) continue;
        if (found < capacity) {
            auto h = handle_for(w, i);
            devices[found].slot = h.first;
            devices[found].generation = h.second;
        }
        ++found;
    }
    *count = found;
    if (auto o = override_int("SystemListDevices.count")) *count = static_cast<std::size_t>(*o);
    if (auto o = override_int("SystemListDevices.status")) return static_cast<int>(*o);
    return 0;
} catch (...) { return escaped_code(); }

Device SystemFindDevice(const char* serialNumber) try {
    Call call("SystemFindDevice");
    call.arg("serialNumber", serialNumber);
    Device out;
    if (call.failed()) return out;
    if (!serialNumber) {
        call.fail(Error_InvalidArgument, "null serial number");
        return out;
    }
    World& w = world();
    std::lock_guard<std::mutex> lock(w.m);
    if (!w.inited) {
        call.fail(Error_NotInitialized, "SystemInit has not been called");
        return out;
    }
    if (const int i = rig_index(w, serialNumber); i >= 0) {
        auto h = handle_for(w, i);
        out.slot = h.first;
        out.generation = h.second;
        return out;
    }
    call.fail(Error_NotFound, std::string("no device with serial number ") + serialNumber);
    return out;
} catch (...) { return escaped(Device()); }

}  // namespace TUVO
