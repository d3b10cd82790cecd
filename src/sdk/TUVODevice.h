// TUVO SDK: device handles, device description, discovery and system life cycle.
#pragma once
#include "TUVOTypes.h"

namespace TUVO {

struct DeviceInfo {
    char name[32];
    char sn[32];
    char factroydate[32];
    char port[32];
    PortType type;
    CameraID cameraid;
    int boardmodel;
    bool support_x2;
    ProjectorColor support_color;
    int workingdist_near_mm;
    int workingdist_far_mm;
    unsigned char reserved[128];
    CaptureMode support_capture_mode;
    bool support_x1;
    bool support_protective_cover;
    bool support_extra;
};

static_assert(offsetof(DeviceInfo, type) == 128 && offsetof(DeviceInfo, support_x2) == 140 &&
                  offsetof(DeviceInfo, support_color) == 144 &&
                  offsetof(DeviceInfo, workingdist_far_mm) == 152 &&
                  offsetof(DeviceInfo, reserved) == 156 &&
                  offsetof(DeviceInfo, support_capture_mode) == 284 &&
                  offsetof(DeviceInfo, support_x1) == 288 &&
                  offsetof(DeviceInfo, support_extra) == 290 && sizeof(DeviceInfo) == 292,
              "DeviceInfo layout");

// A copyable handle of two 32-bit words; every copy refers to the same device.
class TUVO_API Device {
public:
    Device();
    static void Destroy(Device device);
    bool IsValid() const;
    void Print() const;
    bool GetDeviceInfo(DeviceInfo* info);
    bool IsFirmwareMatch();
    // Returns 0 on success. Address texts are dotted IPv4; with DHCP they may be null.
    int SetNetworkConfig(NetworkDevice dev, NetworkType type, const char* ip, const char* netmask,
                         const char* gateway);
    // Address buffers must hold 16 bytes each; *prefix receives the netmask's prefix length.
    int GetNetworkConfig(NetworkDevice dev, NetworkType* type, char* ip, char* netmask, char* gateway,
                         int* prefix);

    std::uint32_t slot;
    std::uint32_t generation;
};
static_assert(sizeof(Device) == 8, "Device is two 32-bit words");

TUVO_API const char* GetVersion();
TUVO_API int GetLastError();
TUVO_API const char* GetLastErrorMessage();
TUVO_API bool SystemInit();
TUVO_API bool SystemIsInited();
TUVO_API void SystemShutdown();
// Writes up to `capacity` devices and the number found (which may exceed capacity) to *count.
// Returns 0 on success or a negative error code.
TUVO_API int SystemListDevices(Device* devices, std::size_t capacity, std::size_t* count,
                               SystemListDeviceType::Enum type);
TUVO_API Device SystemFindDevice(const char* serialNumber);

}  // namespace TUVO
