// Device, DeviceInfo and discovery.
#include <array>

#include "module/bindings.h"

namespace pytuvo {

using TUVO::Device;
using TUVO::DeviceInfo;

void bind_DeviceInfo(py::module_& m) {
    py::class_<DeviceInfo>(m, "DeviceInfo")
        .def_property_readonly("name", [](const DeviceInfo& i) { return bounded_text(i.name); })
        .def_property_readonly("sn", [](const DeviceInfo& i) { return bounded_text(i.sn); })
        .def_property_readonly("factroydate", [](const DeviceInfo& i) { return bounded_text(i.factroydate); })
        .def_property_readonly("port", [](const DeviceInfo& i) { return bounded_text(i.port); })
        .def_readonly("type", &DeviceInfo::type)
        .def_readonly("cameraid", &DeviceInfo::cameraid)
        .def_readonly("boardmodel", &DeviceInfo::boardmodel)
        .def_readonly("support_x2", &DeviceInfo::support_x2)
        .def_readonly("support_color", &DeviceInfo::support_color)
        .def_readonly("workingdist_near_mm", &DeviceInfo::workingdist_near_mm)
        .def_readonly("workingdist_far_mm", &DeviceInfo::workingdist_far_mm)
        .def_readonly("support_x1", &DeviceInfo::support_x1)
        .def_readonly("support_capture_mode", &DeviceInfo::support_capture_mode)
        .def_readonly("support_protective_cover", &DeviceInfo::support_protective_cover)
        .def_readonly("support_extra", &DeviceInfo::support_extra);
}

void bind_Device(py::module_& m) {
    py::class_<Device>(m, "Device")
        .def_static("Destroy", [](const Device& d) { Device::Destroy(d); }, release_gil())
        .def("IsValid", self_ref(&Device::IsValid), release_gil())
        .def("Print", self_ref(&Device::Print), release_gil())
        .def("GetDeviceInfo", [](Device& d) {
            DeviceInfo info;
            std::memset(&info, 0, sizeof info);
            bool ok = d.GetDeviceInfo(&info);
            return std::make_tuple(ok, info);
        }, release_gil())
        .def("IsFirmwareMatch", self_ref(&Device::IsFirmwareMatch), release_gil())
        .def("SetNetworkConfig", [](Device& d, TUVO::NetworkDevice dev, TUVO::NetworkType type, const CText& ip,
                                    const CText& netmask, const CText& gateway) {
            return d.SetNetworkConfig(dev, type, ip, netmask, gateway) == 0;
        }, release_gil())
        .def("GetNetworkConfig", [](Device& d, TUVO::NetworkDevice dev) {
            TUVO::NetworkType type = TUVO::NetworkType_DHCP;
            char ip[16] = {}, netmask[16] = {}, gateway[16] = {};
            int prefix = 0;
            d.GetNetworkConfig(dev, &type, ip, netmask, gateway, &prefix);
            return std::make_tuple(type, Bytes{bounded_text(ip)}, Bytes{bounded_text(netmask)},
                                   Bytes{bounded_text(gateway)}, prefix);
        }, release_gil());
}

void bind_discovery_functions(py::module_& m) {
    m.def("SystemListDeviceTypeToString", &TUVO::SystemListDeviceType::ToString, release_gil());
    m.def("SystemListDevices", [](TUVO::SystemListDeviceType::Enum type) {
        constexpr std::size_t kSlots = 16;
        std::vector<Device> devices(kSlots);
        for (Device& d : devices) d.slot = d.generation = 0;
        std::size_t count = 0;
        int status = TUVO::SystemListDevices(devices.data(), kSlots, &count, type);
        // Slots past the 16 the SDK could fill stay zero handles.
        devices.resize(count);
        for (std::size_t i = kSlots; i < count; ++i) devices[i].slot = devices[i].generation = 0;
        return std::make_tuple(status, std::move(devices));
    }, release_gil());
}

void bind_SystemFindDevice(py::module_& m) {
    m.def("SystemFindDevice", [](const CText& serialNumber) { return TUVO::SystemFindDevice(serialNumber); },
          "Find the device with serial number.",
          py::arg("serialNumber"), release_gil());
}

}  // namespace pytuvo
