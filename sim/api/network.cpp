// Stand-in SDK: a device's network configuration, per component (device, left, right, extra camera).
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "api/state.h"
#include "control/control.h"
#include "control/core.h"
#include "core/ipv4.h"

using namespace sim;

namespace TUVO {

int Device::SetNetworkConfig(NetworkDevice dev, NetworkType type, const char* ip,
                             const char* netmask, const char* gateway) try {
    Call call("Device.SetNetworkConfig");
    call.arg("dev", static_cast<long long>(dev)).arg("type", static_cast<long long>(type));
    call.arg("ip", ip).arg("netmask", netmask).arg("gateway", gateway);
    if (call.failed()) return GetLastError();
    if (auto o = override_int("Device.SetNetworkConfig.status")) return static_cast<int>(*o);
    auto d = device_of(*this, call);
    if (!d) return Error_InvalidHandle;
    if (dev > NetworkDevice_ExtraCamera) {
        call.fail(Error_InvalidArgument, "unknown network component " + std::to_string(dev));
        return Error_InvalidArgument;
    }
    if (type != NetworkType_DHCP && type != NetworkType_STATIC) {
        call.fail(Error_InvalidArgument, "unknown network type " + std::to_string(type));
        return Error_InvalidArgument;
    }
    NetConfig cfg;
    cfg.type = type;
    if (type == NetworkType_STATIC) {
        std::uint32_t a, m, g;
        if (!parse_ipv4(ip, &a)) {
            call.fail(Error_InvalidArgument, std::string("bad IPv4 address: ") + (ip ? ip : "(null)"));
            return Error_InvalidArgument;
        }
        if (!parse_ipv4(netmask, &m) || mask_prefix(m) <= 0) {
            call.fail(Error_InvalidArgument, std::string("bad netmask: ") + (netmask ? netmask : "(null)"));
            return Error_InvalidArgument;
        }
        if (!parse_ipv4(gateway, &g)) {
            call.fail(Error_InvalidArgument, std::string("bad gateway: ") + (gateway ? gateway : "(null)"));
            return Error_InvalidArgument;
        }
        if ((a & m) != (g & m)) {
            call.fail(Error_InvalidArgument, "gateway is outside the address's subnet");
            return Error_InvalidArgument;
        }
        cfg.ip = ip;
        cfg.netmask = netmask;
        cfg.gateway = gateway;
    } else {
        // DHCP: addresses are optional; given ones must still be well formed.
        std::uint32_t x;
        for (const char* t : {ip, netmask, gateway})
            if (t && *t && !parse_ipv4(t, &x)) {
                call.fail(Error_InvalidArgument, std::string("bad IPv4 address: ") + t);
                return Error_InvalidArgument;
            }
    }
    if (dev == NetworkDevice_RightCamera && !(d->cameras & CameraID_Right)) {
        call.fail(Error_NotSupported, "the device has no right camera");
        return Error_NotSupported;
    }
    if (dev == NetworkDevice_ExtraCamera && !(d->cameras & CameraID_Extra)) {
        call.fail(Error_NotSupported, "the device has no extra camera");
        return Error_NotSupported;
    }
    std::lock_guard<std::mutex> lock(d->m);
    d->net[dev] = cfg;
    return 0;
} catch (...) { return escaped_code(); }

int Device::GetNetworkConfig(NetworkDevice dev, NetworkType* type, char* ip, char* netmask,
                             char* gateway, int* prefix) try {
    Call call("Device.GetNetworkConfig");
    call.arg("dev", static_cast<long long>(dev));
    if (call.failed()) return GetLastError();
    bool overridden = false;
    const char* names[] = {"ip", "netmask", "gateway"};
    char* bufs[] = {ip, netmask, gateway};
    for (int i = 0; i < 3; ++i) {
        if (auto o = override_bytes(std::string("Device.GetNetworkConfig.") + names[i])) {
            if (bufs[i]) std::memcpy(bufs[i], o->bytes.data(), std::min<std::size_t>(16, o->bytes.size()));
            overridden = true;
        }
    }
    if (auto o = override_int("Device.GetNetworkConfig.type")) {
        if (type) *type = static_cast<NetworkType>(*o);
        overridden = true;
    }
    if (auto o = override_int("Device.GetNetworkConfig.prefix")) {
        if (prefix) *prefix = static_cast<int>(*o);
        overridden = true;
    }
    if (overridden) return 0;
    auto d = device_of(*this, call);
    if (!d) return Error_InvalidHandle;
    if (dev > NetworkDevice_ExtraCamera) {
        call.fail(Error_InvalidArgument, "unknown network component " + std::to_string(dev));
        return Error_InvalidArgument;
    }
    NetConfig cfg;
    {
        std::lock_guard<std::mutex> lock(d->m);
        cfg = d->net[dev];
    }
    if (type) *type = cfg.type;
    const std::string* texts[] = {&cfg.ip, &cfg.netmask, &cfg.gateway};
    for (int i = 0; i < 3; ++i)
        if (bufs[i]) std::snprintf(bufs[i], 16, "%s", texts[i]->c_str());
    if (prefix) {
        std::uint32_t m;
        *prefix = parse_ipv4(cfg.netmask.c_str(), &m) ? mask_prefix(m) : 0;
    }
    return 0;
} catch (...) { return escaped_code(); }

}  // namespace TUVO
