// Stand-in SDK: the SDK-wide state (initialised or not, the rig, device handles) and each device's state.
#pragma once
#include <array>
#include <atomic>
#include <map>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "TUVO.h"
#include "core/handles.h"
#include "core/report.h"

namespace sim {

namespace replay {
struct Playback;
}
struct SceneSource;  // world/scene_file.h

struct NetConfig {
    TUVO::NetworkType type = TUVO::NetworkType_DHCP;
    std::string ip, netmask, gateway;
};

// One virtual device as the rig describes it, plus the state it keeps while the process runs.
struct DeviceState {
    std::string name, sn, factory_date, port;
    TUVO::PortType port_type = TUVO::PortType_USB;
    unsigned cameras = TUVO::CameraID_Left;  // CameraID flags
    int boardmodel = 3;
    bool x1 = true, x2 = false, cover = false, extra = false;
    bool color = false;  // the left and right cameras see colour (the extra camera always does)
    unsigned projector_colors = TUVO::ProjectorColor_Blue;
    unsigned capture_modes = TUVO::CaptureMode_Fast | TUVO::CaptureMode_Normal;
    int near_mm = 400, far_mm = 1200;
    int width = 1280, height = 1024;
    double baseline_mm = 120.0;
    double focal_px = 0;  // 0: derived from the field of view
    double max_angle_deg = 75;      // surfaces seen or lit more obliquely than this give no points
    bool realistic_timing = false;  // captures take as long as the sensor model says
    bool firmware_match = true;
    std::shared_ptr<replay::Playback> playback;  // set when the rig points the device at a recording
    std::string scene_path;                     // the rig's `scene` key ("" when it names none)
    std::shared_ptr<const SceneSource> scene;  // loaded at SystemInit, then never changed

    std::mutex m;  // guards the fields below
    std::array<NetConfig, 4> net;
    unsigned open_cameras = 0;  // CameraID flags of the cameras held open by some handle
    // The protective cover: where it is heading and since when (it takes cover_ms to travel).
    TUVO::ProtectiveCoverStatus cover_from = TUVO::ProtectiveCoverStatus_Open;
    TUVO::ProtectiveCoverStatus cover_to = TUVO::ProtectiveCoverStatus_Open;
    double cover_since = 0;
    // Capture options saved per camera (CameraID value) as text, and the device's motion.
    std::map<unsigned, std::string> stored_options;
    std::uint64_t captures = 0;
    // The sensor model's bookkeeping: captures per camera since the noise seed was last set (the
    // seed's setting is told by param_version), and the modelled duration of the latest capture.
    std::array<std::uint64_t, 3> shots{};
    std::uint64_t shots_version = 0;
    double last_capture_ms = -1;
    std::atomic<int> scan_waiters{0};  // calls waiting for a fixed line scan's point map (for tests)
};

struct World {
    std::mutex m;
    bool inited = false;
    std::vector<std::shared_ptr<DeviceState>> rig;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> handles;  // per rig entry, {0,0} if none
    Table<DeviceState> devices;
};
World& world();

// The device behind a handle, or null (the failure reported through `report`).
std::shared_ptr<DeviceState> device_of(const TUVO::Device& d, Report& report);
bool sdk_inited();
// The rig's device with serial number `sn`, or null (also for a null `sn`). Takes the world's lock.
std::shared_ptr<DeviceState> device_by_serial(const char* sn);
// Where in the rig the device with serial number `sn` stands, or -1; the caller holds `w.m`.
int rig_index(const World& w, const char* sn);

}  // namespace sim
