// Stand-in SDK: the sensor model: electrons from the light a pixel gets, saturation, the contrast a
// fringe needs to decode, and the phase noise that follows from the signal.
#pragma once

#include "render/params.h"
#include "core/geometry.h"

namespace sim {

// The sensor, the projector and the room.
namespace sensor {
constexpr double kFullWell = 20000;  // electrons a pixel holds; the 12-bit converter's full scale at 0 dB
constexpr double kReadNoise = 8;     // electrons rms, added before the amplifier (so gain amplifies it)
constexpr double kContrast = 0.55;  // modulation depth of the fringes as the camera sees them, at z0 (below)
// Electrons of full projector white on a white, face-on surface at 11 ms and brightness 240, at the
// device's working distance z0 = near + 0.6 (far - near) from the projector: the unit of light
// below. The projector's irradiance falls as 1 / distance^2 from there. The fringe peaks fill the
// well at 1.8 units; at the default contrast threshold, fringes need 0.03 units to decode.
constexpr double kUnitElectrons = kFullWell / (1.8 * (1 + kContrast) / 2);
constexpr double kAmbient = 0.02;   // unmodulated room light through the filter, in units at 11 ms
constexpr double kAmbientLux = 500;  // the room light the figures above and below describe (an office)
constexpr double kFringePx = 6.7;   // fringe period as the camera sees it, pixels
constexpr double kRefExposureMs = 11, kRefBrightness = 240;
// 2-D images: 8-bit output of the same sensor; light units give this many electrons at 11 ms.
constexpr double kImageUnitElectrons = 190.0 / 255.0 * kFullWell;
constexpr double kImageAmbient = 0.35;  // room light in the 2-D image, relative to the projector's white
// The amplifier's excess noise: its gain varies from charge packet to charge packet, so at linear
// gain g the shot noise's variance is multiplied by F^2 = 1 + kExcess (1 - 1/g) (none at 0 dB).
constexpr double kExcess = 0.5;
// One step of the 12-bit converter, electrons at 0 dB; its quantisation adds step^2 / 12 / g^2.
constexpr double kConverterStep = kFullWell / 4096;
// Decoding. The fringes' swing a pixel measures varies from pixel to pixel (the surface's grain,
// the projector's speckle, the pixel's response): log-normal, this spread. The phase noise's scale
// varies the same way (the tail of the noise): log-normal, this spread, its mean square one.
constexpr double kSwingSpread = 0.4;
constexpr double kTailSpread = 0.3;
// The finest Gray-code stripes (half a fringe period wide, their edges blurred) reach the camera with
// this share of the fringes' swing; a bit read wrong puts the pixel one period off.
constexpr double kCodeSwing = 0.4;
// The acceptance of oblique surfaces: half the pixels kept this many degrees inside the angle
// limit, the fall a normal distribution of this spread (degrees); none past the limit.
constexpr double kAngleMargin = 5.5, kAngleSpread = 2.2;
// Depth of field: the lenses are focused at 2 near far / (near + far), where the defocus blur
// |1 / distance - 1 / focus| is as large at either end of the working range; the fringes' contrast
// falls as a Gaussian blur's transfer, exp(-c blur^2), to this share of that at focus at the ends.
constexpr double kEndContrast = 0.75;
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

// What one exposure makes of a pixel's fringes: the variance of the phase as a disparity (camera
// pixels squared, one scan, face-on; negative when the pixel saturates or sees no fringes), the
// fringes' swing over the swing the decoder needs (1: at the threshold) and the signal to noise
// ratio, squared, of the finest code bit (before noise.scale).
struct Fringes {
    double variance, swing, code_snr2;
};

// The phase measured at a pixel through one exposure. `light` is the projector's light that comes
// back (diffuse and specular, in the units above, modulated by the fringes), `room` the unmodulated
// light, `extra` further modulated light that adds noise and fills the well (inter-reflections),
// `contrast` what is left of the fringes' contrast (depth of field, the pixel's footprint).
class PhaseModel {
public:
    Fringes fringes(double light, double room, double extra, double contrast = 1) const {
        const double lit = (light + extra) * light_e_;
        const double A = 0.5 * lit + room * room_e_;  // each frame: I = A + B cos(phase), electrons
        const double B = half_contrast_ * contrast * light * light_e_;
        if (A + half_contrast_ * lit >= full_ || !(B > 0)) return {-1, 0, 0};  // clipped at full scale, or dark
        const double noise = excess_ * A + floor_;  // a frame's, electrons^2: shot, read, quantisation
        const double B2 = B * B, d = 1 / (B2 * noise);
        return {k_ * noise * noise * d, B * inv_min_swing_, code_k_ * B2 * B2 * d};
    }
    int scans() const { return scans_; }

private:
    friend class Sensor;
    double light_e_ = 0, room_e_ = 0, half_contrast_ = 0, full_ = 0, inv_min_swing_ = 0, k_ = 0;
    double excess_ = 1, floor_ = 0, code_k_ = 0;
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

// The amplifier's excess noise factor F^2 at linear gain `gain` (see sensor::kExcess).
double excess_noise(double gain);

// Confidence of a measurement: its precision (1 noiseless, 0.5 at 0.05 px rms of disparity, from
// its variance in px^2), how far the fringes' swing clears the decoder's threshold (`swing` 1: at
// it; a factor 0.5 there) and the risk that a code was read wrong.
inline double confidence(double variance_px2, double swing, double risk) {
    const double s2 = swing * swing, s4 = s2 * s2;
    return (1 - risk) * (0.05 * 0.05) * s4 / ((0.05 * 0.05 + variance_px2) * (1 + s4));
}

// Weights of the red, green and blue reflectance seen in the light of a projector colour (a
// CameraID-style flag of ProjectorColor; white or unknown: the eye's luminance weights).
Vec3 colour_weights(unsigned projector_color);

}  // namespace sim
