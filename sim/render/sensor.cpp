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

double excess_noise(double gain) { return 1 + sensor::kExcess * std::max(0.0, 1 - 1 / gain); }

Sensor::Sensor(const CaptureParams& p) : patterns_(pattern_set(p.capture_mode)) {
    using namespace sensor;
    const double threshold = std::clamp(p.contrast_threshold, 0, 255);
    // Two or three HDR steps when the options ask for them, else the one exposure.
    const bool hdr = p.hdr_times >= 2 && p.hdr_times <= 3;
    steps_ = hdr ? p.hdr_times : 1;
    for (int k = 0; k < steps_; ++k) {
        const double ms = hdr ? p.hdr_exposure[k] : p.exposure_3d;
        const double gain = std::pow(10.0, (hdr ? p.hdr_gain[k] : p.gain_3d) / 20.0);  // linear analogue gain
        const double brightness = hdr ? p.hdr_brightness[k] : p.brightness;             // projector, 1..255
        PhaseModel& m = phases_[k];
        ms_[k] = ms;
        m.scans_ = std::max(1, hdr ? std::max(p.scan_times, p.hdr_scan[k]) : p.scan_times);
        const double scale = kUnitElectrons * (ms / kRefExposureMs);
        m.light_e_ = scale * (brightness / kRefBrightness);
        m.room_e_ = scale;
        m.half_contrast_ = 0.5 * kContrast;
        // The amplifier multiplies electrons and the read noise alike; the converter clips at full scale.
        m.full_ = kFullWell / gain;
        // The decoder needs the fringes' swing 2B, in 8-bit grey levels, to reach the threshold.
        m.inv_min_swing_ = (2 * gain * (255.0 / kFullWell)) / std::max(threshold, 1e-9);
        // Per frame, the shot noise times the amplifier's excess noise factor, and the read noise
        // and the converter's quantisation, referred to the electrons.
        m.excess_ = excess_noise(gain);
        m.floor_ = kReadNoise * kReadNoise + kConverterStep * kConverterStep / (12 * gain * gain);
        // The finest code bit read against the mean of the phase frames (noise sqrt(1 + 2 / N) of a
        // frame's), or, with complementary codes, against its inverse (twice the swing, sqrt(2) the noise).
        const double code_noise = patterns_.code_frames >= 8 ? 0.5 : 1 + 2.0 / patterns_.phase_steps;
        m.code_k_ = kCodeSwing * kCodeSwing / code_noise;
        // N-step phase shifting: var(phase) = (2 / N) noise^2 / B^2 radians^2; a fringe period is
        // kFringePx pixels.
        const double px_per_radian = kFringePx / (2 * 3.14159265358979323846);
        m.k_ = px_per_radian * px_per_radian * 2.0 / patterns_.phase_steps;
    }
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
