// Stand-in SDK: the Device handle: validity, what it tells of itself, its firmware.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "api/state.h"
#include "control/control.h"
#include "control/core.h"

using namespace sim;

namespace TUVO {

Device::Device() : slot(0), generation(0) {}

void Device::Destroy(Device device) try {
    Call call("Device.Destroy");
    call.arg("slot", static_cast<long long>(device.slot));
    world().devices.remove(device.slot, device.generation);
} catch (...) { escaped(); }

bool Device::IsValid() const try {
    Call call("Device.IsValid");
    if (auto o = override_int("Device.IsValid")) return *o != 0;
    return world().devices.get(slot, generation) != nullptr;
} catch (...) { return escaped(false); }

void Device::Print() const try {
    Call call("Device.Print");
    auto d = world().devices.get(slot, generation);
    if (!d) {
        std::printf("Device: invalid handle\n");
        std::fflush(stdout);
        return;
    }
    std::printf("Device %s (serial %s)\n  port: %s (%s)\n  made: %s\n  cameras:%s%s%s\n"
                "  resolution: %d x %d\n  working distance: %d to %d mm\n  modes: X1 %s, X2 %s;"
                " protective cover %s\n",
                d->name.c_str(), d->sn.c_str(), d->port.c_str(),
                d->port_type == PortType_USB ? "USB" : "GigE", d->factory_date.c_str(),
                d->cameras & CameraID_Left ? " left" : "", d->cameras & CameraID_Right ? " right" : "",
                d->cameras & CameraID_Extra ? " extra" : "", d->width, d->height, d->near_mm,
                d->far_mm, d->x1 ? "yes" : "no", d->x2 ? "yes" : "no", d->cover ? "yes" : "no");
    std::fflush(stdout);
} catch (...) { escaped(); }

bool Device::GetDeviceInfo(DeviceInfo* info) try {
    Call call("Device.GetDeviceInfo");
    if (call.failed()) return false;
    if (!info) {
        call.fail(Error_InvalidArgument, "null DeviceInfo");
        return false;
    }
    if (auto o = override_bytes("Device.GetDeviceInfo.info")) {
        std::memset(info, 0, sizeof *info);
        std::memcpy(info, o->bytes.data(), std::min(o->bytes.size(), sizeof *info));
        return true;
    }
    auto d = device_of(*this, call);
    if (!d) return false;
    std::memset(info, 0, sizeof *info);
    std::snprintf(info->name, sizeof info->name, "%s", d->name.c_str());
    std::snprintf(info->sn, sizeof info->sn, "%s", d->sn.c_str());
    std::snprintf(info->factroydate, sizeof info->factroydate, "%s", d->factory_date.c_str());
    std::snprintf(info->port, sizeof info->port, "%s", d->port.c_str());
    info->type = d->port_type;
    info->cameraid = static_cast<CameraID>(d->cameras);
    info->boardmodel = d->boardmodel;
    info->support_x2 = d->x2;
    info->support_color = static_cast<ProjectorColor>(d->projector_colors);
    info->workingdist_near_mm = d->near_mm;
    info->workingdist_far_mm = d->far_mm;
    info->support_capture_mode = static_cast<CaptureMode>(d->capture_modes);
    info->support_x1 = d->x1;
    info->support_protective_cover = d->cover;
    info->support_extra = d->extra;
    return true;
} catch (...) { return escaped(false); }

bool Device::IsFirmwareMatch() try {
    Call call("Device.IsFirmwareMatch");
    if (call.failed()) return false;
    auto d = device_of(*this, call);
    return d && d->firmware_match;
} catch (...) { return escaped(false); }

}  // namespace TUVO
