// Stand-in SDK: the sensor model: electrons from the light a pixel gets, saturation, the contrast a
// fringe needs to decode, and the phase noise that follows from the signal.
#pragma once
#include <limits>

#include "render/params.h"
#include "core/geometry.h"

namespace sim {

// The sensor, the projector and the room.
namespace sensor {
constexpr double kFullWell = 20000;  // electrons a pixel holds; the 12-bit converter's full scale at 0 dB
constexpr double kReadNoise = 8;     // electrons rms, added before the amplifier (so gain amplifies it)
constexpr double kContrast = 0.55;  // modulation depth of the fringes as the camera sees them
// Electrons of full projector white on a white, face-on surface at 11 ms and brightness 240: the
// unit of light below. The fringe peaks fill the well at 1.8 units; at the default contrast
// threshold, fringes need 0.03 units to decode.
constexpr double kUnitElectrons = kFullWell / (1.8 * (1 + kContrast) / 2);
constexpr double kAmbient = 0.02;   // unmodulated room light through the filter, in units at 11 ms
constexpr double kFringePx = 6.7;   // fringe period as the camera sees it, pixels
constexpr double kRefExposureMs = 11, kRefBrightness = 240;
// 2-D images: 8-bit output of the same sensor; light units give this many electrons at 11 ms.
constexpr double kImageUnitElectrons = 190.0 / 255.0 * kFullWell;
constexpr double kImageAmbient = 0.35;  // room light in the 2-D image, relative to the projector's white
}  // namespace sensor

// What a capture mode projects and how it decodes.
struct PatternSet {
    int phase_steps = 12;     // phase-shifted fringe frames: the phase noise falls as 1/sqrt of them
    int code_frames = 4;      // Gray-code and reference frames
    double indirect = 1.0;    // share of inter-reflected light left after the mode separates direct light
    bool reject_mixed = false;  // drops pixels whose codes disagree (direct and inter-reflected light mixed)
    int frames() const { return phase_steps + code_frames; }
};
PatternSet pattern_set(unsigned capture_mode);

// The phase measured at a pixel through one exposure. `light` is the projector's light that comes
// back (diffuse and specular, in the units above, modulated by the fringes), `room` the unmodulated
// light, `extra` further modulated light that adds noise and fills the well (inter-reflections).
class PhaseModel {
public:
    // The variance of the phase as a disparity (camera pixels squared, one scan, face-on); negative
    // when the pixel saturates or its fringes are too faint to decode.
    double variance(double light, double room, double extra) const {
        const double lit = (light + extra) * light_e_;
        const double A = 0.5 * lit + room * room_e_;  // each frame: I = A + B cos(phase), electrons
        const double B = half_contrast_ * light * light_e_;
        if (A + half_contrast_ * lit >= full_) return -1;  // clipped at the converter's full scale
        if (!(B >= min_swing_)) return -1;                 // too little swing in grey levels to decode
        return k_ * (A + sensor::kReadNoise * sensor::kReadNoise) / (B * B);
    }
    int scans() const { return scans_; }

private:
    friend class Sensor;
    double light_e_ = 0, room_e_ = 0, half_contrast_ = 0, full_ = 0, min_swing_ = 0, k_ = 0;
    int scans_ = 1;
};

// The sensor as one capture sets it: the patterns its mode projects and, per exposure (an HDR
// capture has two or three), the time, the frames averaged per pattern and the phase it measures.
class Sensor {
public:
    explicit Sensor(const CaptureParams& p);
    const PatternSet& patterns() const { return patterns_; }
    int steps() const { return steps_; }
    const PhaseModel& phase(int k) const { return phases_[k]; }
    double exposure_ms(int k) const { return ms_[k]; }

private:
    PatternSet patterns_;
    int steps_ = 1;
    PhaseModel phases_[3];
    double ms_[3] = {0, 0, 0};
};

// Confidence of a measurement from the variance of its disparity (1 noiseless, 0.5 at 0.05 px rms),
// and the variance at a confidence (infinite for a confidence of 0 or less).
inline double confidence_of(double variance_px2) { return (0.05 * 0.05) / (0.05 * 0.05 + variance_px2); }
inline double variance_at(double confidence) {
    return confidence > 0 ? 0.05 * 0.05 * (1 / confidence - 1) : std::numeric_limits<double>::infinity();
}

// Weights of the red, green and blue reflectance seen in the light of a projector colour (a
// CameraID-style flag of ProjectorColor; white or unknown: the eye's luminance weights).
Vec3 colour_weights(unsigned projector_color);

}  // namespace sim
