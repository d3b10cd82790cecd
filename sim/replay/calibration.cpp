// Stand-in SDK, playback: the recorded calibration of a playback device's cameras.
#include <algorithm>

#include "replay/playback.h"

namespace sim {
namespace replay {

const Calibration* recorded_calibration(const Recording& rec, int index, Report& report) {
    static const char* const kNames[3] = {"left", "right", "extra"};
    const Calibration& cal = rec.cameras[std::clamp(index, 0, 2)];
    if (!cal.known) {
        report.fail(TUVO::Error_NotFound,
                    std::string("the recording holds no calibration of the ") + kNames[std::clamp(index, 0, 2)] + " camera");
        return nullptr;
    }
    return &cal;
}

}  // namespace replay
}  // namespace sim
