// Stand-in SDK, playback: devices that replay a recording instead of looking at the virtual scene.
#pragma once
#include <map>
#include <mutex>
#include <set>

#include "api/camera.h"
#include "replay/manifest.h"

namespace sim {
namespace replay {

// What the rig says about one device's playback.
struct RigEntry {
    std::string path;  // the recording's folder; empty: a virtual device
    bool loop = false;
    std::set<std::string> keys;  // every key the rig gave for the device
};

// A device's recording and how far each of its streams has been played.
struct Playback {
    Recording rec;
    bool loop = false;
    std::mutex m;
    std::map<std::string, std::size_t> next;  // per stream, the frame the next capture yields
};

// The rig keys `playback` (a folder, relative to `base` unless absolute) and `loop` (yes/no).
bool rig_key(RigEntry& e, const std::string& key, const std::string& value, const std::string& base, std::string* why);
// Reads the recording a rig entry names and describes the device by it; nothing for a virtual device.
bool attach(DeviceState& d, const RigEntry& e, std::string* why);

// The cameras' models and balance as recorded (run after the virtual set-up of a camera).
void setup_camera(CameraState& c);
// Calibration as recorded; fails for a camera whose calibration the recording lacks.
bool extrinsic(const CameraState& c, int index, float* m16, Call& call);
bool intrinsics(const CameraState& c, int index, float* k9, float* d5, Call& call);

// The next recorded frame as the result of a capture with `opts` (null: the options stored by
// SaveCaptureOptionParameters, else the recording's own).
bool capture(CameraState& c, const TUVO::X1::CaptureOptions* opts, Call& call);
bool capture(CameraState& c, const TUVO::X2::CaptureOptions* opts, Call& call);
// Refuses an operation a recording cannot serve (2-D captures, the fixed line scan).
bool not_recorded(Call& call, const std::string& what);

}  // namespace replay
}  // namespace sim
