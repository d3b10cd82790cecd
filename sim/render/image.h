// Stand-in SDK: 2-D images: the light a pixel gets, the sensor's noise and the camera's processing.
#pragma once
#include "core/knobs.h"
#include "render/noise.h"
#include "render/optics.h"
#include "render/params.h"
#include "render/sensor.h"
#include "render/view.h"

namespace sim {

// How the projector's light leaves a surface point towards a viewer: the diffuse share (albedo
// without the mirror-like part) and the specular lobe (Phong, normalised so a polished surface's
// highlight outshines white paper many times). `to_light` and `to_viewer` are unit vectors from the
// point; the normal faces the viewer.
double specular_lobe(const Material& m, const Vec3& n, const Vec3& to_light, const Vec3& to_viewer);
inline const Material kNeutralMaterial{};  // for hits without a known object
// A hit's material (the neutral one for a hit without a known object).
inline const Material& material_of(const Scene& s, const Hit& h) {
    // One comparison: a negative index turns into a large one.
    return static_cast<std::size_t>(h.object) < s.materials.size() ? s.materials[h.object] : kNeutralMaterial;
}

// How the projector lights a hit: the direction towards it, the cosine of its incidence, one over
// its distance (1 / mm) and whether anything stands in between.
struct Lighting {
    Vec3 to_proj = Vec3::Zero();
    double cos_proj = 0;
    double inv_range = 0;
    bool lit = false;
};
// The projector's irradiance at 1 / `inv_range` relative to that at the device's working
// distance: `ref2` is that distance squared (see working_distance2).
inline double falloff(double inv_range, double ref2) { return ref2 * inv_range * inv_range; }
// The square of the distance z0 = near + 0.6 (far - near) at which the projector's light has the
// strength the sensor's unit describes.
inline double working_distance2(const DeviceOptics& o) {
    const double z0 = o.device.near_mm + 0.6 * (o.device.far_mm - o.device.near_mm);
    return z0 * z0;
}
// The room light a scene sets, relative to the light the sensor's figures describe.
inline double room_light(const Scene& s) { return s.ambient_lux / sensor::kAmbientLux; }
// The lighting of a hit (a shadow ray towards the projector where it faces it).
Lighting lighting_of(const Scene& s, const Vec3& projector, const Hit& h);
// lighting_of in two steps, for loops over many hits: the direction towards the projector (and
// its distance, `*len`), then the shadow ray, for a hit that faces the projector.
inline Lighting facing(const Vec3& projector, const Hit& h, double* len) {
    Lighting l;
    if (h.t < 0) return l;
    const Vec3 ab = projector - h.p;
    const double d = ab.norm();  // in a local: *len may alias h
    l.inv_range = 1 / std::max(d, 1e-3);
    l.to_proj = d > 0 ? Vec3(ab * l.inv_range) : ab;
    l.cos_proj = h.n.dot(l.to_proj);
    *len = d;
    return l;
}
bool unshadowed(const Scene& s, const Hit& h, const Lighting& l, double len);
// The shadow rays of hits h[0 .. n - 1] (n <= 64, neighbouring pixels) cast together: l[k].lit set
// to unshadowed(s, h[k], l[k], len[k]) for each hit that faces the projector (cos_proj > 0).
void light_together(const Scene& s, const Hit* h, Lighting* l, const double* len, int n);

// The 2-D image of camera `index`, pixel by pixel: light in, electrons, noise, gain, white balance,
// 8-bit conversion and gamma.
class ImageShader {
public:
    // Camera `index` of the optics looking at scene `s`; `balance`: the white balance's red,
    // green and blue gains.
    ImageShader(const Scene& s, const DeviceOptics& o, int index, const CaptureParams& p, const Knobs& k,
                const float balance[3], std::uint64_t key);
    int channels() const { return colour_ ? 3 : 1; }
    // Pixels i .. i + n - 1, of hits h[0 .. n - 1] under lighting l[..], into the image's pixels at
    // `out` (the one at i first); `mirrored`: RGB light a mirror-like surface at each point reflects
    // from elsewhere (units of the projector's white on white paper).
    void shade(std::size_t i, int n, const Hit* h, const Lighting* l, const Vec3* mirrored, std::uint8_t* out) const;
    // The RGB light a lit (or unlit) diffuse point sends back: for the reflections of other points.
    // `irradiance`: the projector's light there relative to a face-on surface at the working
    // distance (the cosine of its incidence times falloff()).
    Vec3 diffuse_light(const Hit& h, double irradiance, bool lit) const;
    double working_distance2() const { return ref2_; }
    const Scene& scene() const { return s_; }
    const Vec3& projector() const { return projector_at_; }

private:
    // shade() over n pixels, for a colour or a monochrome camera, with or without the projector's light.
    template <bool Colour, bool Projector>
    void shade_run(std::size_t i, int n, const Hit* h, const Lighting* l, const Vec3* mirrored,
                   std::uint8_t* out) const;
    const Scene& s_;
    Vec3 projector_at_;  // the projector's centre (scene frame)
    Vec3 centre_;        // the camera's centre (scene frame)
    bool colour_, projector_;
    double projector_light_;  // the projector's share of the light on a face-on surface at the working distance
    double ref2_;             // the working distance squared (see falloff())
    double room_;             // the room's light, in the units of projector_light_
    double excess_;           // the amplifier's excess noise factor F^2
    double floor_;            // read noise and quantisation, electrons^2
    double scale_;            // electrons per unit of light at this exposure
    Vec3 grey_;               // electrons of a monochrome pixel per unit of RGB light
    double gain_[3];          // converter gain per channel (analogue gain x white balance), DN per electron
    PixelNoise noise_;
    float noise_scale_;       // the scene parameter noise.scale
    std::vector<std::uint8_t> lut_;  // 12-bit level -> 8-bit output through the gamma curve
};

// The light a mirror-like surface at `h` reflects towards a viewer at `from` from whatever it
// mirrors (zero for other surfaces).
Vec3 mirrored_light(const ImageShader& shader, const Hit& h, const Vec3& from);

// Shades the image of camera `index` from its view into `out` (its width x height pixels of 1 or 3
// channels, as the camera is monochrome or colour).
void shade_image(const Scene& s, const DeviceOptics& o, int index, const CaptureParams& p, const Knobs& k,
                 const float balance[3], const View& v, std::uint64_t key, std::uint8_t* out);

}  // namespace sim
