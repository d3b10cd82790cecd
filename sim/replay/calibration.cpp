// Stand-in SDK, playback: the recorded calibration, resolution and balance of a playback device's cameras.
#include <algorithm>

#include "replay/playback.h"

namespace sim {
namespace replay {

namespace {

const char* const kNames[3] = {"left", "right", "extra"};

const Calibration* known(const CameraState& c, int index, Call& call) {
    const Calibration& cal = c.dev->playback->rec.cameras[std::clamp(index, 0, 2)];
    if (!cal.known) {
        call.fail(TUVO::Error_NotFound, std::string("the recording holds no calibration of the ") + kNames[std::clamp(index, 0, 2)] +
                                            " camera");
        return nullptr;
    }
    return &cal;
}

}  // namespace

void setup_camera(CameraState& c) {
    const Recording& rec = c.dev->playback->rec;
    for (int i = 0; i < 3; ++i) {
        const Calibration& cal = rec.cameras[i];
        if (!cal.known) continue;
        CameraModel& m = c.optics.models[i];
        m.width = cal.width;
        m.height = cal.height;
        m.fx = cal.intrinsics[0];
        m.fy = cal.intrinsics[4];
        m.cx = cal.intrinsics[2];
        m.cy = cal.intrinsics[5];
        for (int r = 0; r < 3; ++r) {
            for (int k = 0; k < 3; ++k) m.R(r, k) = cal.extrinsic[4 * r + k];
            m.t[r] = cal.extrinsic[4 * r + 3];
        }
        m.colour = cal.colour;
        c.optics.calib[i] = m;
    }
    const Stream* s = rec.stream(c.x2 ? "x2" : std::string("x1-") + camera_name(c.cid));
    if (s && s->balance_known) std::copy(s->balance, s->balance + 3, c.balance);
}

bool extrinsic(const CameraState& c, int index, float* m16, Call& call) {
    const Calibration* cal = known(c, index, call);
    if (!cal) return false;
    std::copy(cal->extrinsic, cal->extrinsic + 16, m16);
    return true;
}

bool intrinsics(const CameraState& c, int index, float* k9, float* d5, Call& call) {
    const Calibration* cal = known(c, index, call);
    if (!cal) return false;
    std::copy(cal->intrinsics, cal->intrinsics + 9, k9);
    std::copy(cal->distortion, cal->distortion + 5, d5);
    return true;
}

}  // namespace replay
}  // namespace sim
