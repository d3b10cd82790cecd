// Stand-in SDK: the C control interface for tests (the tuvo_sim_ prefix) and its internal hooks.
#pragma once
#include <string>

#define TUVO_SIM_API extern "C" __attribute__((visibility("default")))

namespace sim {
int last_error_code();
std::string last_error_message();
void reset_control();
}  // namespace sim

// Make `op` fail with `code` and `message` (`times` calls, or every call when times <= 0).
TUVO_SIM_API void tuvo_sim_fail(const char* op, int code, const char* message, int times);
// Undo fail, delay and block for `op`.
TUVO_SIM_API void tuvo_sim_clear(const char* op);
// Put `len` bytes (null for len < 0) under `key`: an operation's answer or a scene parameter.
TUVO_SIM_API void tuvo_sim_set_bytes(const char* key, const char* data, long long len);
TUVO_SIM_API void tuvo_sim_unset(const char* key);
// The arguments of the last finished call of `op` as a JSON object ("" if none).
TUVO_SIM_API const char* tuvo_sim_last_args(const char* op);
TUVO_SIM_API long long tuvo_sim_call_count(const char* op);
TUVO_SIM_API void tuvo_sim_delay(const char* op, int ms);
TUVO_SIM_API void tuvo_sim_block(const char* op);
TUVO_SIM_API void tuvo_sim_unblock(const char* op);
TUVO_SIM_API int tuvo_sim_inside(const char* op);
TUVO_SIM_API int tuvo_sim_wait_entered(const char* op, int timeout_ms);
// Back to defaults: no overrides, no objects, SDK shut down, the rig re-read.
TUVO_SIM_API void tuvo_sim_reset(void);
// Replace the rig description (same text format as the file named by TUVO_SIM_RIG); null
// restores the default rig.
TUVO_SIM_API int tuvo_sim_set_rig(const char* text);
// Number of live SDK objects of a kind: "image", "pointmap", "x1", "x2", "map".
TUVO_SIM_API long long tuvo_sim_live(const char* kind);

// A figure of device `sn`'s sensor model, NaN for an unknown device or key: "focal_px" and
// "baseline_mm" (the rig's), "max_angle_deg" (in force now), "projector_x", "projector_y",
// "projector_z" (the projector's true centre in the device's frame at rest, mm) and
// "capture_ms" (the modelled duration of the device's latest capture; -1 before any).
TUVO_SIM_API double tuvo_sim_device_value(const char* sn, const char* key);
// The true centre of marker `k` of device `sn`'s board, for tests: `xyz` in the device's frame at
// rest (mm) and `code` its code. Returns the board's number of markers, or -1 for an unknown
// device, a null pointer or no such marker.
TUVO_SIM_API int tuvo_sim_marker_truth(const char* sn, int k, double* xyz, int* code);
// Casts the rays of one capture of camera `camera` (0 left, 1 right, 2 extra) of device `sn`, as
// the device stands now, through Embree alone: one primary ray per pixel (rtcIntersect1), then
// one shadow ray from every hit towards the projector (rtcOccluded1), rows in parallel as a
// capture runs them. seconds[0], seconds[1]: the time of each pass, seconds[2], seconds[3]: the CPU
// time the process spent in each (all threads; steadier than the time on a busy machine);
// rays[0], rays[1]: how many rays each cast; rays[2], rays[3]: how many times each pass tested a
// ray against one of the scene's primitives (spheres, boxes, ...; not triangles), the work the
// acceleration structure leaves. Returns 0, or -1 for an unknown device or camera.
TUVO_SIM_API int tuvo_sim_ray_floor(const char* sn, int camera, double* seconds, long long* rays);
