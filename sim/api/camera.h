// Stand-in SDK: state and behaviour shared by the X1 and X2 cameras.
#pragma once
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <string>
#include <thread>

#include "api/containers.h"
#include "api/state.h"
#include "control/knobs.h"
#include "core/knobs.h"
#include "render/optics.h"
#include "render/params.h"
#include "world/scene.h"

namespace sim {

CaptureParams params_of(const TUVO::X1::CaptureOptions& o);
CaptureParams params_of(const TUVO::X2::CaptureOptions& o);

// Text form of the option records: "key = value" lines, read back by parse_options.
std::string format_options(const TUVO::X1::CaptureOptions& o);
std::string format_options(const TUVO::X2::CaptureOptions& o);
bool parse_options(const std::string& text, TUVO::X1::CaptureOptions* o, std::string* why);
bool parse_options(const std::string& text, TUVO::X2::CaptureOptions* o, std::string* why);

// The name of a camera in messages (its index: camera_index, render/optics.h).
const char* camera_name(unsigned cid);

// What a camera's optics were made from, beyond its device: truth mode and the device's pose.
struct OpticsInputs {
    bool made = false;
    bool truth = false;
    double pose[5] = {0, 0, 0, 0, 0};  // scene.move_x, _y, _z, scene.turn_x, _y
    bool operator==(const OpticsInputs& o) const {
        for (int i = 0; i < 5; ++i)  // bit for bit, so that a knob set to NaN counts as a change too
            if (std::memcmp(&pose[i], &o.pose[i], sizeof(double)) != 0) return false;
        return made == o.made && truth == o.truth;
    }
};

struct CameraState {
    CameraState() = default;
    CameraState(const CameraState&) = delete;
    CameraState& operator=(const CameraState&) = delete;
    ~CameraState();  // stops the process if the camera is still locked (see camera.cpp)
    std::mutex m;  // one operation at a time on a camera
    std::shared_ptr<DeviceState> dev;
    bool x2 = false;
    unsigned cid = TUVO::CameraID_Left;  // X1: its camera; X2: left and right
    std::atomic<bool> open{false};  // changed under `m`; read without it by waits that let the camera go
    // Set under `m` when the camera is destroyed (or shut down): a call that found the handle just
    // before and waited for the lock must not open it or start a scan that nobody could stop.
    std::atomic<bool> gone{false};
    Scene scene;
    // The device's optics (true and reported cameras and projector, where it stands), and the
    // knobs they were made for (api/calibration.h makes them again when those change).
    DeviceOptics optics;
    OpticsInputs optics_inputs;
    std::chrono::steady_clock::time_point opened_at = std::chrono::steady_clock::now();
    float bandwidth = 1.0f;
    float balance[3] = {1.0f, 1.0f, 1.0f};  // red, green, blue
    CustomTransform transform;
    // The latest results; handed to the script on the first get, after which the script owns them.
    TUVO::Image images[3];
    bool image_given[3] = {false, false, false};
    TUVO::PointMap points;
    bool points_given = false;
    std::pair<std::uint32_t, std::uint32_t> depth{0, 0}, confidence{0, 0}, correspond{0, 0};
    std::vector<std::uint16_t, Unfilled<std::uint16_t>> phase;  // projector column code per pixel of the last 3-D capture
    int phase_w = 0, phase_h = 0;

    // Fixed line scan (X2). Guarded by scan_m: `scanning` while the producer runs, `scan_stopping`
    // while one caller joins it, and `scan_error` (with its code) when the producer ended on its own.
    std::thread scanner;
    std::mutex scan_m;
    std::condition_variable scan_cv;
    bool scanning = false, scan_stop = false, scan_stopping = false;
    std::string scan_error;
    int scan_error_code = 0;
    std::atomic<bool> scan_cancel{false};  // read by the producer while it renders
    TUVO::PointMap scan_latest;
    std::uint64_t scan_frames = 0;
};

Table<CameraState>& cameras();

std::shared_ptr<CameraState> camera_of(std::uint32_t slot, std::uint32_t gen, Call& call, bool need_open);

// Hands out the latest image of camera `index`, transferring it to the script.
TUVO::Image take_image(CameraState& c, int index);
TUVO::PointMap take_points(CameraState& c);

// The protective cover (api/cover.cpp); it takes the knob cover.travel_ms to move.
bool cover_ready(CameraState& c, const Knobs& k, Call& call);
TUVO::ProtectiveCoverStatus cover_status(DeviceState& d, const Knobs& k);
// Sets the cover moving towards open or closed (at once true when it is there already).
bool move_cover(CameraState& c, bool open, const Knobs& k, Call& call);
// Waits, holding no lock of the camera, until the cover is open or closed: fails when another
// handle reverses it, when the camera is closed meanwhile, and after the knob cover.timeout_ms.
bool wait_cover(CameraState& c, bool open, const Knobs& k, Call& call);
bool reset_cover(CameraState& c, Call& call);
// The temperature of sensor `sensor` (selectors 0-5, the projector 6; api/temperature.cpp), and
// how far the device's temperature stands from the one it was calibrated at (degrees).
float temperature(const CameraState& c, int sensor, const Knobs& k);
double calibration_offset_c(const CameraState& c, const Knobs& k);
// ROIs (api/roi.cpp) are pixels of one camera's image: an X1's own camera, an X2's left one (index < 0), or the
// camera `index` names (0 left, 1 right, 2 extra), each by its own size.
int roi_camera(const CameraState& c);
TUVO::ROIRange roi_range(const CameraState& c, int index = -1);
bool check_roi(const CameraState& c, const TUVO::ROI& r, int index = -1);
// check_roi, with the last error set when the ROI does not fit.
bool fits_roi(CameraState& c, Call& call, const TUVO::ROI& roi, int index = -1);
// Whether pixel (x, y) lies inside `r` (an empty ROI holds every pixel).
bool in_roi(const TUVO::ROI& r, int x, int y);
TUVO::ROI adjust_roi(const CameraState& c, TUVO::ROI r);
// Automatic settings computed from a quick look at the scene (api/auto_settings.cpp).
void auto_exposure(CameraState& c, const TUVO::ROI& roi, int* exposure_3d, int* exposure_2d, int hdr[3]);
double auto_noise_distance(CameraState& c);
bool auto_white_balance(CameraState& c, int index, int iterations, const CaptureParams& p, const TUVO::ROI& roi,
                        const Knobs& k, Call& call);
bool save_encoded(CameraState& c, const char* filename, Call& call);

void close_camera(CameraState& c);

// The camera behind a handle (api/locking.cpp), locked for the call; empty (and the last error
// set) when the call was made to fail, the handle is stale, or an open camera is needed and this
// one is closed.
struct Locked {
    std::shared_ptr<CameraState> cam;
    std::unique_lock<std::mutex> lock;
    explicit operator bool() const { return cam != nullptr; }
    CameraState* operator->() const { return cam.get(); }
};
Locked lock_camera(std::uint32_t slot, std::uint32_t gen, Call& call, bool need_open);
template <class H>
Locked locked(const H& h, Call& call, bool need_open) {
    return lock_camera(h.slot, h.generation, call, need_open);
}
bool connected(CameraState& c, Call& call);
// Records a 4x4 transform's 16 values as the arguments t0 .. t15.
void record_transform(Call& call, const double* m16);
// Calibration as the SDK reports it: 4x4 camera-to-device pose (row-major), K and the distortion
// coefficients k1 k2 p1 p2 k3.
void pose_matrix(const CameraModel& m, float* out16);
void intrinsics(const CameraModel& m, float* k9, float* d5);
void release_results(CameraState& c);
// Gives back the camera's depth, confidence and correspondence maps.
void release_maps(CameraState& c);

}  // namespace sim
