// Stand-in SDK: 2-D images: the light a pixel gets, the sensor's noise and the camera's processing.
#include "render/image.h"

#include <algorithm>
#include <cmath>

#include "render/parallel.h"
#include "render/sensor.h"
#include "world/embree_scene.h"

namespace sim {

namespace {

const Vec3 kTint(1.12, 1.0, 0.82);  // the room's light is warm; white balance evens it out
const Vec3 kLuminance(0.299, 0.587, 0.114);

}  // namespace

double specular_lobe(const Material& m, const Vec3& n, const Vec3& to_light, const Vec3& to_viewer) {
    if (m.specular <= 0) return 0;
    const Vec3 mirror = 2 * n.dot(to_light) * n - to_light;
    const double c = mirror.dot(to_viewer);
    if (c <= 0) return 0;
    return m.specular * (m.shininess + 2) / 2 * std::pow(c, m.shininess);
}

bool unshadowed(const Scene& s, const Hit& h, const Lighting& l, double len) {
    // The shadow ray occluded() casts, with the direction already made.
    return !s.accel || !(len > 1.5) || !s.accel->occluded(h.p + l.to_proj * 0.5, l.to_proj, 1e-6, len - 1.0);
}

void light_together(const Scene& s, const Hit* h, Lighting* l, const double* len, int n) {
    const Accel* const accel = s.accel.get();
    if (!accel) {  // nothing to stand in between
        for (int k = 0; k < n; ++k)
            if (l[k].cos_proj > 0) l[k].lit = true;
        return;
    }
    constexpr int kMax = Accel::kTogether;
    Vec3 o[kMax], d[kMax];
    double far[kMax];
    int which[kMax];
    // The rays packed through pointers that move on with each ray (cheaper than indexing).
    Vec3 *op = o, *dp = d;
    double* farp = far;
    int* whichp = which;
    for (int k = 0; k < n; ++k) {
        Lighting& lk = l[k];
        if (!(lk.cos_proj > 0)) continue;
        const double lenk = len[k];
        if (!(lenk > 1.5)) {
            lk.lit = true;
            continue;
        }
        *op++ = h[k].p + lk.to_proj * 0.5;
        *dp++ = lk.to_proj;
        *farp++ = lenk - 1.0;
        *whichp++ = k;
    }
    const int m = static_cast<int>(whichp - which);
    if (!m) return;
    bool blocked[kMax];
    accel->occluded_many(o, d, m, 1e-6, far, blocked);
    if (m == n) {  // every hit cast a ray: which[j] is j
        for (int j = 0; j < m; ++j) l[j].lit = !blocked[j];
    } else {
        for (int j = 0; j < m; ++j) l[which[j]].lit = !blocked[j];
    }
}

Lighting lighting_of(const Scene& s, const Vec3& projector, const Hit& h) {
    double len = 0;
    Lighting l = facing(projector, h, &len);
    if (l.cos_proj > 0) l.lit = unshadowed(s, h, l, len);  // unless it faces away
    return l;
}

ImageShader::ImageShader(const Scene& s, const DeviceOptics& c, int index, const CaptureParams& p, const Knobs& knobs,
                         const float balance[3], std::uint64_t key)
    : s_(s), projector_at_(c.projector), noise_(key) {
    using namespace sensor;
    const CameraModel& cam = c.models[index];
    centre_ = cam.t;
    colour_ = cam.colour;
    projector_ = p.use_projector_2d;
    projector_light_ = (1 - kImageAmbient) * p.brightness / kRefBrightness;
    ref2_ = sim::working_distance2(c);
    room_ = kImageAmbient * room_light(s);
    const double analogue = std::pow(10.0, p.gain_2d / 20.0);
    excess_ = excess_noise(analogue);
    floor_ = kReadNoise * kReadNoise + kConverterStep * kConverterStep / (12 * analogue * analogue);
    scale_ = kImageUnitElectrons * p.exposure_2d / kRefExposureMs;
    grey_ = kTint.cwiseProduct(kLuminance) * scale_;
    noise_scale_ = static_cast<float>(knobs.noise_scale);
    const double dn_per_electron = 255.0 / kFullWell * analogue;
    for (int k = 0; k < 3; ++k) gain_[k] = dn_per_electron * (colour_ ? balance[k] : 1.0f);
    const double inv_gamma = 1.0 / std::max(0.05f, p.gamma_2d);
    lut_.resize(4096);
    for (int k = 0; k < 4096; ++k)
        lut_[k] = static_cast<std::uint8_t>(std::lround(255.0 * std::pow(k / 4095.0, inv_gamma)));
}

namespace {

// A pixel's electrons to its 8-bit value, with what that needs held in locals: the image's bytes
// may alias anything, so a loop that writes them would read the shader's members again after every
// store.
struct Encoder {
    double excess, floor;
    const std::uint8_t* lut;
    std::uint8_t operator()(double electrons, double gain, float noise) const {
        using namespace sensor;
        // Shot noise (with the amplifier's excess noise), read noise and quantisation in electrons,
        // clipped at the full well, then amplified.
        double e = electrons + noise * std::sqrt(excess * electrons + floor);
        e = std::clamp(e, 0.0, kFullWell);
        const double dn = std::min(255.0, e * gain);
        return lut[static_cast<int>(dn * (4095.0 / 255.0) + 0.5)];
    }
};

}  // namespace

Vec3 ImageShader::diffuse_light(const Hit& h, double irradiance, bool lit) const {
    const Material& m = material_of(s_, h);
    double light = room_;
    if (lit && projector_ && irradiance > 0) light += projector_light_ * irradiance;
    return h.albedo * ((1 - m.mirror) * light);
}

void ImageShader::shade(std::size_t i, int n, const Hit* h, const Lighting* l, const Vec3* mirrored,
                        std::uint8_t* out) const {
    if (colour_ && projector_)
        shade_run<true, true>(i, n, h, l, mirrored, out);
    else if (colour_)
        shade_run<true, false>(i, n, h, l, mirrored, out);
    else if (projector_)
        shade_run<false, true>(i, n, h, l, mirrored, out);
    else
        shade_run<false, false>(i, n, h, l, mirrored, out);
}

template <bool Colour, bool Projector>
void ImageShader::shade_run(std::size_t i, int n, const Hit* h, const Lighting* l, const Vec3* mirrored,
                            std::uint8_t* out) const {
    // The members the loop reads, in locals (see Encoder).
    const Encoder encode{excess_, floor_, lut_.data()};
    const Material* const materials = s_.materials.data();
    const std::size_t n_materials = s_.materials.size();
    const double projector_light = projector_light_, ref2 = ref2_, room = room_, scale = scale_;
    const float noise_scale = noise_scale_;
    const Vec3 centre = centre_, grey = grey_;
    const double gain[3] = {gain_[0], gain_[1], gain_[2]};
    const PixelNoise noise = noise_;
    for (int k = 0; k < n; ++k, out += Colour ? 3 : 1) {
        const Hit& hk = h[k];
        const Lighting& lk = l[k];
        Vec3 light = mirrored[k];
        if (hk.t >= 0) {
            // As material_of(s_, hk).
            const Material& m =
                static_cast<std::size_t>(hk.object) < n_materials ? materials[hk.object] : kNeutralMaterial;
            // As diffuse_light(hk, lk.cos_proj * falloff(lk.inv_range, ref2_), lk.lit).
            const double lamp =
                Projector && lk.lit && lk.cos_proj > 0 ? projector_light * falloff(lk.inv_range, ref2) : 0.0;
            light += hk.albedo * ((1 - m.mirror) * (room + lamp * lk.cos_proj));
            if (lamp > 0 && m.specular > 0) {
                const Vec3 to_cam = (centre - hk.p).normalized();
                light += Vec3::Constant(specular_lobe(m, hk.n, lk.to_proj, to_cam) * lk.cos_proj * lamp);
            }
        }
        const std::uint64_t bits = noise.bits(i + k);
        if (Colour) {
            const Vec3 electrons = light.cwiseProduct(kTint) * scale;
            for (int c = 0; c < 3; ++c) out[c] = encode(electrons[c], gain[c], noise_scale * noise.normal(bits, c));
        } else {
            out[0] = encode(light.dot(grey), gain[0], noise_scale * noise.normal(bits, 0));
        }
    }
}

Vec3 mirrored_light(const ImageShader& shader, const Hit& h, const Vec3& from) {
    const Scene& s = shader.scene();
    const Material& m = material_of(s, h);
    if (m.mirror <= 0 || h.t < 0) return Vec3::Zero();
    const Vec3 d = (h.p - from).normalized();
    const Vec3 reflected = d - 2 * d.dot(h.n) * h.n;
    const Hit q = cast(s, h.p + h.n * 0.01, reflected);
    if (q.t < 0) return Vec3::Zero();
    const Lighting l = lighting_of(s, shader.projector(), q);
    return shader.diffuse_light(q, l.cos_proj * falloff(l.inv_range, shader.working_distance2()), l.lit) * m.mirror;
}

void shade_image(const Scene& s, const DeviceOptics& c, int index, const CaptureParams& p, const Knobs& k,
                 const float balance[3], const View& v, std::uint64_t key, std::uint8_t* out) {
    const CameraModel& cam = c.models[index];
    const ImageShader shader(s, c, index, p, k, balance, key);
    const int ch = shader.channels();
    // A block of neighbouring pixels at a time: their shadow rays cast together.
    constexpr int kBlock = PixelRenderer::kBlock;
    parallel_rows(cam.height, k.render_threads, [&](int y0, int y1) {
        const std::size_t end = static_cast<std::size_t>(y1) * cam.width;
        Hit h[kBlock];
        Lighting l[kBlock];  // left unlit without the projector
        double len[kBlock];
        Vec3 mirrored[kBlock];
        for (std::size_t i = static_cast<std::size_t>(y0) * cam.width; i < end; i += kBlock) {
            const int n = static_cast<int>(std::min<std::size_t>(kBlock, end - i));
            for (int j = 0; j < n; ++j) h[j] = v.hits[i + j];
            if (p.use_projector_2d) {
                for (int j = 0; j < n; ++j) l[j] = facing(c.projector, h[j], &len[j]);
                light_together(s, h, l, len, n);
            }
            for (int j = 0; j < n; ++j) mirrored[j] = mirrored_light(shader, h[j], cam.t);
            shader.shade(i, n, h, l, mirrored, out + ch * i);
        }
    });
}

}  // namespace sim
