// Stand-in SDK: the sensor model (signal, saturation, contrast, phase noise) and the capture modes.
#include "render/sensor.h"

#include <algorithm>
#include <cmath>

namespace sim {

PatternSet pattern_set(unsigned mode) {
    PatternSet s;
    if (mode & TUVO::CaptureMode_AntiInterReflection) {
        // High-frequency fringes take out much of the light that reaches a pixel over other
        // surfaces (mirror-like reflections keep their fringes, though), and codes that disagree
        // are dropped.
        s.phase_steps = 16, s.code_frames = 8, s.indirect = 0.3, s.reject_mixed = true;
    } else if (mode & TUVO::CaptureMode_Robust) {
        // Complementary codes: pixels whose codes disagree are dropped.
        s.phase_steps = 12, s.code_frames = 8, s.reject_mixed = true;
    } else if (mode & TUVO::CaptureMode_Ultra) {
        s.phase_steps = 24, s.code_frames = 4;
    } else if (mode & TUVO::CaptureMode_Normal) {
        s.phase_steps = 12, s.code_frames = 4;
    } else if (mode & TUVO::CaptureMode_Fast) {
        s.phase_steps = 4, s.code_frames = 6;
    } else if (mode & (TUVO::CaptureMode_SwingLineScan | TUVO::CaptureMode_LineArrayShift)) {
        s.phase_steps = 24, s.code_frames = 8;
    }
    return s;
}

int exposures_of(const CaptureParams& p, Exposure out[3]) {
    auto make = [](int ms, float gain_db, int brightness, int scans) {
        Exposure e;
        e.ms = ms;
        e.gain = std::pow(10.0, gain_db / 20.0);
        e.brightness = brightness;
        e.scans = std::max(1, scans);
        return e;
    };
    if (p.hdr_times >= 2 && p.hdr_times <= 3) {
        for (int k = 0; k < p.hdr_times; ++k)
            out[k] = make(p.hdr_exposure[k], p.hdr_gain[k], p.hdr_brightness[k], std::max(p.scan_times, p.hdr_scan[k]));
        return p.hdr_times;
    }
    out[0] = make(p.exposure_3d, p.gain_3d, p.brightness, p.scan_times);
    return 1;
}

PhaseModel::PhaseModel(const Exposure& e, const PatternSet& ps, double contrast_threshold) {
    using namespace sensor;
    const double scale = kUnitElectrons * (e.ms / kRefExposureMs);
    light_e_ = scale * (e.brightness / kRefBrightness);
    room_e_ = scale;
    half_contrast_ = 0.5 * kContrast;
    // The amplifier multiplies electrons and the read noise alike; the converter clips at full scale.
    full_ = kFullWell / e.gain;
    // The decoder needs the fringes' swing 2B, in 8-bit grey levels, to reach the threshold.
    min_swing_ = std::max(contrast_threshold, 1e-9) / (2 * e.gain * (255.0 / kFullWell));
    // N-step phase shifting: var(phase) = (2 / N) noise^2 / B^2 radians^2; a fringe period is
    // kFringePx pixels.
    const double px_per_radian = kFringePx / (2 * 3.14159265358979323846);
    k_ = px_per_radian * px_per_radian * 2.0 / ps.phase_steps;
    scans_ = e.scans;
}

Vec3 colour_weights(unsigned c) {
    switch (c) {
        case TUVO::ProjectorColor_Red: return Vec3(1, 0, 0);
        case TUVO::ProjectorColor_Green: return Vec3(0, 1, 0);
        case TUVO::ProjectorColor_Blue: return Vec3(0, 0, 1);
        default: return Vec3(0.299, 0.587, 0.114);
    }
}

}  // namespace sim
