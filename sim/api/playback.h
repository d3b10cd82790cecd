// Stand-in SDK entry points over playback: a playback device's description, calibration and
// captures taken from its recording and put into the device's and cameras' state.
#pragma once
#include "api/camera.h"
#include "replay/playback.h"

namespace sim {
namespace replay {

// Reads the recording a rig entry names and describes the device by it; nothing for a virtual device.
bool attach(DeviceState& d, const RigEntry& e, std::string* why);

// The cameras' models and balance as recorded (run after the virtual set-up of a camera).
void setup_camera(CameraState& c);
// Calibration as recorded; fails for a camera whose calibration the recording lacks.
bool extrinsic(const CameraState& c, int index, float* m16, Call& call);
bool intrinsics(const CameraState& c, int index, float* k9, float* d5, Call& call);

// What a capture with options `o` asks of a recorded frame of stream `s`, or why it cannot be
// honoured (reported).
bool plan_capture(const CameraState& c, const Stream& s, const TUVO::X1::CaptureOptions& o, Plan* plan, Call& call);
bool plan_capture(const CameraState& c, const Stream& s, const TUVO::X2::CaptureOptions& o, Plan* plan, Call& call);

// The next recorded frame as the result of a capture with `opts` (null: the options stored by
// SaveCaptureOptionParameters, else the recording's own).
bool capture(CameraState& c, const TUVO::X1::CaptureOptions* opts, Call& call);
bool capture(CameraState& c, const TUVO::X2::CaptureOptions* opts, Call& call);

}  // namespace replay
}  // namespace sim
