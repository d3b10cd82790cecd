// Stand-in SDK: the 3-D measurement: what the device decodes at each pixel and the point it triangulates.
#include "render/measure.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <type_traits>
#include <vector>

#include "core/scratch.h"
#include "render/image.h"
#include "render/indirect.h"
#include "render/noise.h"
#include "render/parallel.h"
#include "render/sensor.h"
#include "world/embree_scene.h"
#include "world/wave.h"

namespace sim {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr float kNaNf = std::numeric_limits<float>::quiet_NaN();
constexpr double kPi = 3.14159265358979323846;

// The noise's spatial structure: a share of it is correlated over `kFieldCell` pixels (the
// projector's speckle and flicker), the rest white.
constexpr int kFieldCell = 16;
constexpr double kCorrelatedShare = 0.3;
// The device's systematic error, as a disparity in camera pixels: a bias and a ripple with the
// fringes' phase (the projector's non-linearity), both fixed per device.
constexpr double kBiasPx = 0.003, kRipplePx = 0.002, kRipplePeriod = 16.0 / 3;  // projector pixels
// The calibration's drift with temperature (the projector's pointing and the baseline's expansion),
// as a disparity per degree away from the temperature the device was calibrated at.
constexpr double kDriftPxPerC = 0.0012;
// Inter-reflected fringes relative to the direct ones beyond which robust decoding sees the codes
// disagree (beyond 1 the wrong code wins).
constexpr double kMixedLimit = 0.2;
// The same for light bounced off diffuse surfaces, which reaches a pixel from many points: the
// codes' bits, compared with their inverses, flip where it tips the balance by this share.
constexpr double kCodeLimit = 0.1;
// Depth edges: a pixel is looked at closely where the distance along the rays bends or steps by
// more than this (mm, or share of the distance) between neighbours; its footprint spans this many
// pixels, blurred by a Gaussian of this sigma; noise removal keeps a mixed point within this share
// of the distance of a surface the pixel covers.
constexpr float kEdgeStepMm = 0.6f, kEdgeStepShare = 0.0015f;
constexpr double kBlurPx = 0.5, kEdgeKeep = 0.0008;
// How far a point may measure from all its neighbours before noise removal takes it for a code read
// wrong: beyond the noise and any step a pixel's footprint can mix (mm, or a share of the depth).
constexpr float kLoneMm = 8.0f, kLoneShare = 0.02f;
// The correspondence's error across the fringes (along them it follows the epipolar line).
constexpr double kAcrossShare = 0.3;

enum Stream : std::uint64_t { kWhite = 1, kField = 2, kEdges = 3, kCorrespond = 4, kDecide = 5 };

// What the mirror-like part of a surface shows the camera: the hit its reflection lands on.
struct Reflection {
    Hit q;
    double cos_proj = 0;  // the projector's light there: the cosine of its incidence times falloff()
    bool lit = false;
};

// Whether the other camera of a two-camera device sees a pixel's point, and where: made for a
// block's pixels together (state -1: not made, 0: not seen, 1: seen at u, v).
struct OtherView {
    int state = -1;
    double u = 0, v = 0;
};

// What a pixel decodes: the projector's column (or, with two cameras, the match in the other
// camera, u and v), the variance of the disparity, the confidence and the fringe periods a code
// read wrong puts it off by; ok false when it decodes nothing (the rest is then left unset).
struct Decoded {
    bool ok, stereo;
    int wrong;
    double column, variance, conf, u, v;
    std::uint64_t bits;  // the pixel's white noise bits
};

// What triangulation gives the pixels of a block, kept until the block is stored, an array per
// output so each is stored in one plain loop (the points as the output holds them, x y z per
// pixel). A pixel without a point (ok false) holds what its outputs then get: NaN depth and point,
// zero confidence and phase, not outside the truncation window (cu and cv unset; with one camera
// they are set only when the correspondence is wanted). The flags are bool, not bytes: a byte's
// store could change anything, so the compiler would read all again.
struct Measured {
    static constexpr int kBlock = PixelRenderer::kBlock;
    bool ok[kBlock];
    bool outside[kBlock];  // the point lies outside the truncation window
    float zc[kBlock];      // z as pass one keeps it
    double z[kBlock], conf[kBlock], cu[kBlock], cv[kBlock];
    double q[kBlock][3];  // the point, output frame
    std::uint16_t phase[kBlock];  // the decoded projector column, 1/32 pixel (0: none)
    // Entry k for a pixel without a point.
    void none(int k) {
        ok[k] = false;
        outside[k] = false;
        phase[k] = 0;
        zc[k] = std::numeric_limits<float>::quiet_NaN();
        z[k] = q[k][0] = q[k][1] = q[k][2] = std::numeric_limits<double>::quiet_NaN();
        conf[k] = 0;
    }
};

// Pass one's per-pixel arrays (z, truncation, true distance), kept by the thread for its next
// capture of the same size: fresh memory costs page faults. Held by a Measurement while it lives,
// given back when it ends; a capture of another size frees them before it makes its own, and
// they are freed after a call that left them larger than kKeptScratchBytes.
class PassOneArrays {
public:
    PassOneArrays(std::size_t pixels, std::unique_ptr<float[]>* zc, std::unique_ptr<std::uint8_t[]>* outside,
                  std::unique_ptr<float[]>* range)
        : pixels_(pixels), zc_(zc), outside_(outside), range_(range) {
        Kept& k = kept();
        if (k.pixels != pixels || !k.zc || !k.outside || !k.range) k = Kept();
        *zc = k.zc ? std::move(k.zc) : std::unique_ptr<float[]>(new float[pixels]);
        *outside = k.outside ? std::move(k.outside) : std::unique_ptr<std::uint8_t[]>(new std::uint8_t[pixels]);
        *range = k.range ? std::move(k.range) : std::unique_ptr<float[]>(new float[pixels]);
        k = Kept();
    }
    ~PassOneArrays() {
        Kept& k = kept();
        k = Kept();
        if (!*zc_ || !*outside_ || !*range_) return;
        k.pixels = pixels_;
        k.zc = std::move(*zc_);
        k.outside = std::move(*outside_);
        k.range = std::move(*range_);
    }
    PassOneArrays(const PassOneArrays&) = delete;
    PassOneArrays& operator=(const PassOneArrays&) = delete;

private:
    struct Kept {
        std::size_t pixels = 0;
        std::unique_ptr<float[]> zc;
        std::unique_ptr<std::uint8_t[]> outside;
        std::unique_ptr<float[]> range;
    };
    static Kept& kept() {
        thread_local Kept k;
        trim_after_calls([] {
            Kept& t = kept();
            if (t.pixels * (2 * sizeof(float) + sizeof(std::uint8_t)) > kKeptScratchBytes) t = Kept();
        });
        return k;
    }
    std::size_t pixels_;
    std::unique_ptr<float[]>* zc_;
    std::unique_ptr<std::uint8_t[]>* outside_;
    std::unique_ptr<float[]>* range_;
};

// Room for N values of a type that is trivially destroyed, made only where a block uses them
// (a plain array would first set all N to their defaults).
template <class T, int N>
class Uninitialised {
public:
    T& operator[](int k) { return *std::launder(reinterpret_cast<T*>(raw_) + k); }

private:
    static_assert(std::is_trivially_destructible<T>::value, "left as they are");
    alignas(T) unsigned char raw_[sizeof(T) * N];
};

// One capture's measurement: everything fixed for the capture, then one call per pixel.
class Measurement {
public:
    Measurement(const Scene& s, const DeviceOptics& o, const CaptureParams& p, const Knobs& k, const MeasureJob& job,
                const MeasureOut& out);
    // Pixels x0 .. x0 + n - 1 of row y, which see hits[0 .. n - 1]: their lighting first, all
    // together, then each pixel decoded, then triangulated (the reported camera's ray made only
    // for pixels that decoded something), and last all stored.
    void block(int x0, int y, int n, const Hit* hits) const;
    void finish_row(int y) const;  // the second pass, a row at a time: edges, truncation, depth

private:
    // The second pass for one pixel; `edge`: marked by edge_marks (its footprint's rays cast).
    void finish_pixel(int x, int y, bool keep_corr, bool edge) const;
    // Whether pixel (x, y)'s point stands off every neighbour that has one (at least one does):
    // a code read wrong, which noise removal drops.
    bool alone(int x, int y) const;
    // What a pixel whose footprint may straddle a depth edge decodes: false when it covers one
    // surface; else how far the surfaces' mixed fringes move its depth (mm), the fringes' contrast
    // left (0..1) and how far the mixed point then stands from the nearest surface it covers (mm).
    bool straddles(int x, int y, double* dz, double* contrast, double* off) const;
    // A pixel in two steps: what it decodes from the fringes (and the light a mirror-like surface
    // reflects there, for the image), then the point triangulated from that, or none. The results
    // are written in place: a decoded pixel is larger than registers carry.
    // kOneView: one camera and one exposure (per capture), so a surface with no translucent,
    // specular or mirror-like part decodes through plain().
    template <bool kOneView>
    void front(int x, int y, const Hit& h, const Material& m, const Lighting& l, const OtherView& seen, Vec3* mirrored,
               Decoded* f, bool all_inside) const;
    // decode() for the usual pixel: one camera, one exposure, a surface with no translucent,
    // specular or mirror-like light; the same arithmetic without the rare branches (`in`: whether
    // the pixel is inside the ROI).
    void plain(int x, int y, bool in, const Hit& h, const Material& m, const Lighting& l, Decoded* f) const;
    void decode(int x, int y, const Hit& h, const Material& m, const Lighting& l, const Reflection* r,
                const OtherView& seen, Decoded* f) const;
    // Whether the other camera sees the point p, as made for the block or else now.
    bool sees_other(const Vec3& p, const OtherView& seen, double* u, double* v) const;
    // Set once, from the constructor: the light's fall with distance, the room's light and the
    // depth of field for the device's range; the decoder's random choices and the noise's tail.
    void radiometry(const Scene& s, const DeviceOptics& c);
    void decoding(const Knobs& k, double limit_deg);
    // What is left of the fringes' contrast at a point 1 / inv_cam from the camera and 1 / inv_proj
    // from the projector, relative to the working distance (depth of field).
    double focus(double inv_cam, double inv_proj) const { return focus_norm_ * blur(inv_cam) * blur(inv_proj); }
    // exp(-dof_k_ (inv - inv_focus_)^2): from a table (interpolated) from the lens out to half the
    // near end of the range, beyond it computed.
    double blur(double inv) const {
        const double s = inv * blur_scale_;
        if (!(s >= 0 && s < kBlurSteps)) {
            const double a = inv - inv_focus_;
            return std::exp(-dof_k_ * a * a);
        }
        return blur_step(s);
    }
    // blur() from the table, at step s (0 <= s < kBlurSteps) of it.
    double blur_step(double s) const {
        const int i = static_cast<int>(s);
        return blur_[2 * i] + blur_[2 * i + 1] * (s - i);
    }
    static constexpr int kBlurSteps = 4096;
    // Whether the decoder keeps pixel i, whose fringes through the exposure it chose are `fr` and
    // whose steeper angle (camera or projector) has cosine `cos_min`; sets the confidence and the
    // periods a code read wrong puts it off by.
    bool accept(std::size_t i, const Fringes& fr, double cos_min, Decoded* f) const;
    // accept()'s rarer steps, kept out of the pixels' usual path: the risk that the finest code bit
    // is read wrong (for a ratio below snr2_risk_), and the random choices for a pixel that is
    // oblique or at risk.
    [[gnu::noinline, gnu::cold]] double code_risk(double code_snr2) const;
    [[gnu::noinline]] bool decide(std::size_t i, double cos_min, double risk, Decoded* f) const;
    void triangulate(std::size_t i, int x, int y, const Decoded& f, Measured* r, int k) const;
    // What a translucent surface does to the decoded column; the share of the diffuse light that
    // keeps its fringes.
    double translucent(const Material& m, const Hit& h, double* column) const;
    // What light bounced off other surfaces does to pixel (x, y) (`direct`: the modulated light
    // the point sends back per unit of irradiance; `irradiance`: the projector's own there): its
    // fringes pull the decoded column, all of it adds to *washed (light without fringes). False:
    // the codes disagree and the mode drops the pixel.
    bool bounced(int x, int y, const Hit& h, double direct, double diffuse, double irradiance, double* column,
                 double* washed) const;
    // bounced() for light that carries fringes or codes (`unit`: the diffuse light per unit of it).
    [[gnu::noinline]] bool bounced_fringes(double re, double im, double code, double unit, double direct,
                                           double irradiance, double* column) const;
    // The block's results into the outputs, one output at a time: nothing read while they are
    // written can change under the stores.
    void store(int x0, int y, int n, const Hit* hits, const OtherView* seen, const Measured& got) const;
    // The reported camera's ray through pixel (x, y) in its own frame, scaled to a z of 1: a point
    // at depth z along it is the ray times z.
    Vec3 reported_direction(int x, int y) const;
    bool in_view(const CameraModel& m, const Vec3& p, double* u, double* v) const { return sim::in_view(m, p, u, v); }
    bool sees(const CameraModel& m, const Vec3& p, double* u, double* v) const;
    // The depth at which the reported camera's ray `r` (its own frame, z 1) meets what the device
    // decoded.
    bool by_projector(const Vec3& r, double column, double* z) const;
    bool by_camera(const Vec3& r, double u, double v, double* z) const;
    void invalidate(std::size_t i, bool keep_correspondence) const;
    bool inside(int x, int y) const {  // within the ROI (an empty one holds every pixel)
        const TUVO::ROI& r = p_.roi;
        return r.width <= 0 || r.height <= 0 || (x >= r.x && x < r.x + r.width && y >= r.y && y < r.y + r.height);
    }

    const Scene& s_;
    const DeviceOptics& c_;
    const CaptureParams& p_;
    const MeasureOut& out_;
    int W_, H_;
    const CameraModel &cam_, &rep_;      // the measuring camera: true (scene frame) and reported
    const CameraModel *other_, *other_rep_;
    Mat3 out_R_, normal_R_;
    Vec3 out_t_;
    // A projector column x/z = c is the plane of normal n = n0 - c n2 through the projector's
    // centre (n0, n2: the projector's x and z axes); a ray r from the camera meets it at depth
    // (n0.b - c n2.b) / (n.r), b the baseline. Kept in the camera's frame: n0 and n2, and n0.b, n2.b.
    Vec3 plane0_, plane2_;
    double reach0_, reach2_;
    Mat3 out_ray_;    // the camera's frame -> the output frame: rotation, then origin
    Vec3 out_origin_;
    PhaseModel phases_[3];  // per exposure (HDR has up to three), the phase the sensor measures
    int steps_;
    PatternSet patterns_;
    Vec3 weights_;
    double cos_limit_;
    double min_conf_;  // the confidence threshold
    double ref2_;      // the working distance squared: the projector's light falls as ref2_ / distance^2
    double room_;      // the room's light through the filter, units of light per unit albedo
    double inv_focus_, dof_k_, dof_norm_;  // depth of field (see focus(); dof_norm_ in logarithms)
    double focus_norm_, blur_scale_;       // exp(dof_norm_); table steps per unit of 1 / distance
    std::vector<double> blur_;             // blur() at kBlurSteps + 1 steps, each and its rise to the next
    // Decoding: the swing a pixel measures, times spread_[12 random bits]; pixels whose swing stays
    // below swing_floor_ never decode. Past the angle whose cosine is cos_soft_ fewer pixels are
    // accepted: those whose cosine reaches accepted_[12 random bits]. Codes may be read wrong where
    // the squared signal to noise ratio of the finest code bit is below snr2_risk_ (noise.scale
    // applied by inv_scale_).
    std::vector<double> spread_;  // (each a float's value)
    std::vector<double> accepted_;
    double swing_floor_, cos_soft_, snr2_risk_, inv_scale_;
    std::vector<float> tail_;  // the white phase noise's scale per 12 random bits (mean square 1)
    double fringe_;  // one fringe period in the projector's normalised coordinates
    double white_, correlated_;  // noise weights after smoothing, times noise.scale
    bool truth_;
    double bias_, ripple_, ripple_phase_;
    double drift_;  // the disparity the warm-up adds, camera pixels
    double ripple_scale_;  // the ripple's phase per unit of the projector's normalised column
    double inv_fx_;        // 1 / the reported camera's fx
    double far_;           // the farthest depth in the camera's frame the decoder reaches
    PixelNoise white_noise_, corr_noise_, decide_noise_;
    EdgeRays edges_;
    SmoothField field_;
    std::shared_ptr<const RayTable> rep_rays_;  // the reported camera's directions (null: made as needed)
    std::unique_ptr<float[]> zc_;  // pass one: z in the camera's frame per pixel (every pixel written)
    // Pass one: whether the pixel's point lies outside the truncation window (written with each point).
    std::unique_ptr<std::uint8_t[]> outside_;
    std::unique_ptr<float[]> range_;  // pass one: the true distance along each pixel's ray (NaN: no hit)
    PassOneArrays pass_one_{static_cast<std::size_t>(W_) * H_, &zc_, &outside_, &range_};  // makes and keeps the three
    // The disparity error of a pixel that decoded f with a phase noise of `sigma`, where the
    // correlated noise's field is `field` (camera pixels): white noise (its scale varying from
    // pixel to pixel: the tail) and correlated noise, a code read wrong, and the device's
    // systematic error.
    double disparity_error(const Decoded& f, double sigma, float field) const;
    // triangulate() for a block's n pixels with one camera, together: each pixel's column first,
    // then the points in plain loops over arrays, which the compiler does two pixels at a time.
    void triangulate_block(int x0, int y, int n, const Decoded* decoded, Measured* r) const;
    std::unique_ptr<const IndirectLight> indirect_;  // null: none (truth mode)
};

Measurement::Measurement(const Scene& s, const DeviceOptics& c, const CaptureParams& p, const Knobs& k,
                         const MeasureJob& job, const MeasureOut& out)
    : s_(s), c_(c), p_(p), out_(out), W_(c.models[job.index].width), H_(c.models[job.index].height),
      cam_(c.models[job.index]), rep_(c.calib[job.index]),
      other_(job.other >= 0 ? &c.models[job.other] : nullptr),
      other_rep_(job.other >= 0 ? &c.calib[job.other] : nullptr),
      steps_(job.sensor->steps()), patterns_(job.sensor->patterns()),
      white_noise_(combine(job.key, kWhite)), corr_noise_(combine(job.key, kCorrespond)),
      decide_noise_(combine(job.key, kDecide)), edges_(k),
      field_(combine(job.key, kField), c.models[job.index].width, c.models[job.index].height, kFieldCell) {
    out_R_ = job.output.topLeftCorner<3, 3>();
    out_t_ = job.output.topRightCorner<3, 1>();
    normal_R_ = out_R_ * c.pose.R.transpose();  // scene -> device -> output
    for (int i = 0; i < steps_; ++i) phases_[i] = job.sensor->phase(i);  // kept beside the rest the pixels read
    unsigned colour = p.projector_color;
    if (!colour) {  // the device's own: blue where it has it
        const unsigned have = c.device.projector_colors;
        colour = (have & TUVO::ProjectorColor_Blue) ? TUVO::ProjectorColor_Blue : have;
    }
    weights_ = colour_weights(colour);
    const double limit = k.max_angle(c.device.max_angle_deg);
    cos_limit_ = std::cos(limit * kPi / 180);
    min_conf_ = p.confidence_threshold;
    decoding(k, limit);
    fringe_ = sensor::kFringePx / cam_.fx;  // the projector's resolution matches the camera's
    truth_ = k.truth_mode();
    // Smoothing averages neighbours: it removes white noise well, correlated noise hardly.
    static const double smooth_white[4] = {1.0, 0.7, 0.5, 0.35};
    static const double smooth_field[4] = {1.0, 0.95, 0.9, 0.85};
    const unsigned level = std::min(p.smoothness, 3u);
    const double scale = k.noise_scale;
    const double share = truth_ ? 0.0 : kCorrelatedShare;
    white_ = scale * std::sqrt(1 - share * share) * smooth_white[level] * (p.bilateral_kernel > 1 ? 0.85 : 1.0);
    correlated_ = scale * share * smooth_field[level];
    // The systematic error belongs to the device and camera, not to the capture.
    const PixelNoise device(hash_text("systematic:" + c.device.sn + ":" + std::to_string(job.index)));
    const std::uint64_t bits = device.bits(0);
    bias_ = truth_ ? 0 : kBiasPx * (1 + 0.3 * device.normal(bits, 0));
    ripple_ = truth_ ? 0 : kRipplePx * (1 + 0.3 * device.normal(bits, 1));
    ripple_phase_ = 2 * kPi * PixelNoise::uniform(device.bits(1));
    drift_ = truth_ ? 0 : kDriftPxPerC * (1 + 0.3 * device.normal(bits, 2)) * job.warm_c;
    ripple_scale_ = 2 * kPi * c.projector_model.fx / kRipplePeriod;
    inv_fx_ = 1 / rep_.fx;
    far_ = c.device.far_mm * 1.5;
    radiometry(s, c);
    rep_rays_ = pixel_directions(rep_, k.render_threads);
    const Vec3 baseline = c.projector_calib.t - rep_.t;
    plane0_ = rep_.R.transpose() * c.projector_calib.R.col(0);
    plane2_ = rep_.R.transpose() * c.projector_calib.R.col(2);
    reach0_ = c.projector_calib.R.col(0).dot(baseline);
    reach2_ = c.projector_calib.R.col(2).dot(baseline);
    out_ray_ = out_R_ * rep_.R;
    out_origin_ = out_R_ * rep_.t + out_t_;
    const BouncePlan plan = bounce_plan(k, W_, H_);
    if (plan.on)
        indirect_ = std::make_unique<const IndirectLight>(s, cam_, c.projector, c.projector_model, fringe_, weights_,
                                                          plan, patterns_.reject_mixed, k.render_threads);
}

bool Measurement::sees(const CameraModel& m, const Vec3& p, double* u, double* v) const {
    return in_view(m, p, u, v) && !occluded(s_, p, m.t);
}

bool Measurement::sees_other(const Vec3& p, const OtherView& seen, double* u, double* v) const {
    if (seen.state < 0) return sees(*other_, p, u, v);
    *u = seen.u;
    *v = seen.v;
    return seen.state > 0;
}

bool Measurement::by_projector(const Vec3& r, double column, double* z) const {
    const double den = plane0_.dot(r) - column * plane2_.dot(r);
    if (std::abs(den) < 1e-12) return false;
    const double s = (reach0_ - column * reach2_) / den;
    if (!(s > 0)) return false;
    *z = s;
    return true;
}

bool Measurement::by_camera(const Vec3& r, double u, double v, double* z) const {
    // The point of this camera's ray nearest to the other camera's ray through (u, v).
    const Vec3 d = rep_.R * r;
    const Vec3 e = other_rep_->R * other_rep_->direction(u, v);
    const Vec3 w = rep_.t - other_rep_->t;
    const double a = d.dot(d), b = d.dot(e), c = e.dot(e), den = a * c - b * b;
    if (den < 1e-12 * a * c) return false;
    const double s = (b * e.dot(w) - c * d.dot(w)) / den;
    if (!(s > 0)) return false;
    *z = s;
    return true;
}

void Measurement::invalidate(std::size_t i, bool keep_correspondence) const {
    if (out_.points) std::fill_n(out_.points + 3 * i, 3, kNaN);
    if (out_.normals) std::fill_n(out_.normals + 3 * i, 3, kNaN);
    if (out_.confidence) out_.confidence[i] = 0;
    if (out_.correspond && !keep_correspondence) std::fill_n(out_.correspond + 2 * i, 2, kNaN);
    if (out_.depth) out_.depth[i] = kNaN;
}

// Decodes pixel (x, y) into *f (ok false: nothing).
void Measurement::decode(int x, int y, const Hit& h, const Material& m, const Lighting& l, const Reflection* r,
                         const OtherView& seen, Decoded* f) const {
    f->ok = false;
    if (!l.lit || !inside(x, y)) return;
    const double inv_t = 1 / h.t;
    const Vec3 to_cam = (cam_.t - h.p) * inv_t;  // the ray was a unit vector
    const Vec3& to_proj = l.to_proj;
    const double cos_cam = h.n.dot(to_cam), cos_proj = l.cos_proj;
    if (cos_cam <= cos_limit_ || cos_proj <= cos_limit_) return;  // too oblique to decode
    const double albedo = weights_.dot(h.albedo);
    double diffuse = albedo * (1 - m.mirror);
    const double room = room_ * albedo;
    // The projector's light there: its incidence and its fall with distance.
    const double irradiance = cos_proj * falloff(l.inv_range, ref2_);
    // The projector's column at the point, and what translucency and inter-reflections make of it.
    const CameraModel& pr = c_.projector_model;
    const Vec3 rel = h.p - pr.t;  // in the projector's frame only x and z matter
    const double px = pr.R.col(0).dot(rel), pz = pr.R.col(2).dot(rel);
    if (pz <= 1e-6) return;  // behind the projector's lens
    double column = px / pz, extra = 0, washed = 0;  // washed: light without fringes
    if (m.translucency > 0) {  // the fringes' light that comes back blurred only adds light
        const double kept = translucent(m, h, &column);
        washed = diffuse * (1 - kept) * irradiance;
        diffuse *= kept;
    }
    const double lobe = m.specular > 0 ? specular_lobe(m, h.n, to_proj, to_cam) : 0.0;
    if (indirect_ && diffuse > 0 && !bounced(x, y, h, diffuse + lobe, diffuse, irradiance, &column, &washed)) return;
    if (r && r->lit) {
        // Two sets of fringes add up: the decoded phase is that of the sum of two phasors, and the
        // codes follow the stronger one.
        const double indirect = m.mirror * weights_.dot(r->q.albedo) * r->cos_proj * patterns_.indirect;
        const double a = indirect / std::max((diffuse + lobe) * irradiance, 1e-12);
        if (patterns_.reject_mixed && a > kMixedLimit) return;
        const Vec3 pq = pr.from_device(r->q.p);
        const double wrong = pq.z() > 1e-6 ? pq.x() / pq.z() : column;
        const double dphase = 2 * kPi * (wrong - column) / fringe_;
        if (a < 1) {
            column += std::atan2(a * std::sin(dphase), 1 + a * std::cos(dphase)) * fringe_ / (2 * kPi);
        } else {
            column = wrong + std::atan2(std::sin(-dphase) / a, 1 + std::cos(-dphase) / a) * fringe_ / (2 * kPi);
        }
        extra = indirect;
    }
    // Two cameras: the other one must see the point too, unless completion fills it from the projector.
    double u = 0, v = 0, cos_other = 0, lobe_other = 0;
    bool stereo = other_ != nullptr;
    if (stereo) {
        Vec3 target = h.p;
        if (extra > 0) {  // the other camera finds the wrong code where this ray meets its plane
            const Vec3 d = (h.p - cam_.t).normalized();
            const Vec3 n = pr.R * Vec3(1, 0, -column);
            const double den = n.dot(d);
            if (std::abs(den) < 1e-12) return;
            target = cam_.t + d * (n.dot(pr.t - cam_.t) / den);
        }
        // A wrong code is found wherever it lies along the other camera's epipolar line.
        double su = 0, sv = 0;  // (where it sees the point: kept apart, so u and v stay in registers)
        const bool sees = extra > 0 ? in_view(*other_, target, &su, &sv) : sees_other(h.p, seen, &su, &sv);
        u = su;
        v = sv;
        if (sees) {
            const Vec3 to_other = (other_->t - h.p).normalized();
            cos_other = h.n.dot(to_other);
            lobe_other = specular_lobe(m, h.n, to_proj, to_other);
            if (cos_other <= cos_limit_) stereo = false;
        } else {
            stereo = false;
        }
        if (!stereo && !p_.completion) return;
    }
    // The exposure that measures best: least phase noise, neither saturated nor too faint in
    // either camera. The fringes' contrast falls away from the lenses' focus, and their phase is
    // smeared over the pixel's footprint, which grows as 1 / cos of the viewing angle.
    const double here = (diffuse + lobe) * irradiance, there = (diffuse + lobe_other) * irradiance;
    const double sharp = focus(inv_t, l.inv_range);
    auto through = [&](int k, bool both) {  // the fringes through exposure k (variance -1: none)
        Fringes fr = phases_[k].fringes(here, room, extra * cos_proj + washed, sharp * cos_cam);
        if (fr.variance < 0 || fr.swing < swing_floor_) return Fringes{-1, 0, 0};
        if (both) {
            const Fringes fo = phases_[k].fringes(there, room, washed, sharp * cos_other);
            if (fo.variance < 0 || fo.swing < swing_floor_) return Fringes{-1, 0, 0};  // saturated or dark there
            fr.variance += fo.variance;
            fr.swing = std::min(fr.swing, fo.swing);
            fr.code_snr2 = std::min(fr.code_snr2, fo.code_snr2);
        }
        if (phases_[k].scans() != 1) fr.variance /= phases_[k].scans();
        return fr;
    };
    auto best = [&](bool both) {
        Fringes b{-1, 0, 0};
        for (int k = 0; k < steps_; ++k) {
            const Fringes fr = through(k, both);
            if (fr.variance >= 0 && (b.variance < 0 || fr.variance < b.variance)) b = fr;
        }
        return b;
    };
    // One exposure and one camera, the usual case, need no search.
    Fringes fr = steps_ == 1 && !stereo ? through(0, false) : best(stereo);
    if (fr.variance < 0 && stereo && p_.completion) {  // the other camera failed: the projector's view alone
        stereo = false;
        fr = best(false);
    }
    if (fr.variance < 0) return;
    const double steepest = stereo ? std::min({cos_cam, cos_proj, cos_other}) : std::min(cos_cam, cos_proj);
    if (!accept(static_cast<std::size_t>(y) * W_ + x, fr, steepest, f)) return;
    f->ok = true;
    f->stereo = stereo;
    f->column = column;
    f->variance = fr.variance;
    f->u = u;
    f->v = v;
}

void Measurement::plain(int x, int y, bool in, const Hit& h, const Material& m, const Lighting& l, Decoded* f) const {
    f->ok = false;
    if (!l.lit || !in) return;
    const double albedo = weights_.dot(h.albedo);
    const double diffuse = albedo * (1 - m.mirror);
    // The light bounced off other surfaces first, while little else is held. Where it carries
    // fringes or codes (a few pixels) decode() takes the pixel, as it takes one whose depth of
    // field is not in the table: the usual path then calls nothing.
    const bool bounce = indirect_ && diffuse > 0;
    IndirectLight::Sample got;
    if (bounce) {
        got = indirect_->at(x, y, h.object);
        if (got.light > 0 && (got.im != 0 || got.code != 0)) return decode(x, y, h, m, l, nullptr, OtherView(), f);
    }
    const double inv_t = 1 / h.t;
    const Vec3 to_cam = (cam_.t - h.p) * inv_t;
    const double cos_cam = h.n.dot(to_cam), cos_proj = l.cos_proj;
    if (cos_cam <= cos_limit_ || cos_proj <= cos_limit_) return;
    const double room = room_ * albedo;
    const double irradiance = cos_proj * falloff(l.inv_range, ref2_);
    const CameraModel& pr = c_.projector_model;
    const Vec3 rel = h.p - pr.t;
    const double px = pr.R.col(0).dot(rel), pz = pr.R.col(2).dot(rel);
    if (pz <= 1e-6) return;
    // The column, which bounced light without fringes or codes leaves as it is, kept with the
    // pixel now (read only if it decodes): fewer values held below. No lobe and no mirrored
    // light: the light the fringes add to is bounced light alone (0 or more, so 0 times cos_proj
    // adds nothing to it).
    f->column = px / pz;
    double washed = 0;
    if (bounce && got.light > 0) washed += diffuse * ref2_ * got.light;
    const double here = diffuse * irradiance;
    const double s_cam = inv_t * blur_scale_, s_proj = l.inv_range * blur_scale_;
    if (!(s_cam >= 0 && s_cam < kBlurSteps) || !(s_proj >= 0 && s_proj < kBlurSteps))
        return decode(x, y, h, m, l, nullptr, OtherView(), f);
    const double sharp = focus_norm_ * blur_step(s_cam) * blur_step(s_proj);  // focus()
    const PhaseModel& ph = phases_[0];
    Fringes fr = ph.fringes(here, room, washed, sharp * cos_cam);
    if (fr.variance < 0 || fr.swing < swing_floor_) return;
    if (ph.scans() != 1) fr.variance /= ph.scans();
    if (!accept(static_cast<std::size_t>(y) * W_ + x, fr, std::min(cos_cam, cos_proj), f)) return;
    f->ok = true;
    f->stereo = false;
    f->variance = fr.variance;
    f->u = 0;
    f->v = 0;
}

double Measurement::translucent(const Material& m, const Hit& h, double* column) const {
    // Light that enters the surface comes back out around where it entered, as if from `depth`
    // below it along the camera's ray: its fringes washed over about that distance (a Gaussian
    // blur keeps exp(-2 pi^2 (depth / period)^2) of them) and their phase that of the point below,
    // so the decoded phase, a sum of the two phasors, moves towards it.
    const double share = m.translucency, depth = m.translucency * Material::kScatterMm;
    const Vec3 q = c_.projector_model.from_device(h.p + (h.p - cam_.t) * (depth / h.t));
    if (q.z() <= 1e-6) return 1;
    const double period = fringe_ * q.z();  // mm
    const double a = share * std::exp(-2 * kPi * kPi * (depth / period) * (depth / period)), direct = 1 - share;
    if (!truth_) {  // truth mode measures the surface itself
        const double dphase = 2 * kPi * (q.x() / q.z() - *column) / fringe_;
        *column += std::atan2(a * std::sin(dphase), direct + a * std::cos(dphase)) * fringe_ / (2 * kPi);
    }
    return direct + a;
}

inline bool Measurement::bounced(int x, int y, const Hit& h, double direct, double diffuse, double irradiance,
                                 double* column, double* washed) const {
    const IndirectLight::Sample got = indirect_->at(x, y, h.object);
    const double light = got.light;
    if (!(light > 0)) return true;
    // The bounced light is per squared millimetre of distance to the projector; the projector's
    // own light is 1 at the working distance (see falloff()).
    const double unit = diffuse * ref2_;
    *washed += unit * light;
    if (got.im == 0 && got.code == 0) return true;  // light alone (as most pixels get): neither pulls
    return bounced_fringes(got.re, got.im, got.code, unit, direct, irradiance, column);
}

bool Measurement::bounced_fringes(double re, double im, double code, double unit, double direct, double irradiance,
                                  double* column) const {
    const double scale = patterns_.indirect * unit / std::max(direct * irradiance, 1e-12);
    const double a_re = scale * re, a_im = scale * im;
    if (patterns_.reject_mixed && scale * code > kCodeLimit) return false;  // the codes' bits disagree
    if (a_im != 0) *column += std::atan2(a_im, 1 + a_re) * fringe_ / (2 * kPi);
    return true;
}

double Measurement::code_risk(double code_snr2) const {
    return 0.5 * std::erfc(std::sqrt(0.5 * code_snr2) * inv_scale_);
}

inline bool Measurement::accept(std::size_t i, const Fringes& fr, double cos_min, Decoded* f) const {
    // The risk that the finest code bit is read wrong (the normal distribution's tail beyond its
    // signal to noise ratio), and the confidence.
    const double risk = fr.code_snr2 < snr2_risk_ ? code_risk(fr.code_snr2) : 0.0;
    const double conf = confidence(fr.variance, fr.swing, risk);
    if (min_conf_ > 0 && conf < min_conf_) return false;  // below the confidence asked for
    // The swing this pixel measures against the threshold (the pixel's white noise bits: the
    // upper 12 pick its spread, the others serve triangulate()).
    const std::uint64_t bits = white_noise_.bits(i);
    if (fr.swing * spread_[bits >> 52] < 1) return false;
    f->bits = bits;
    f->conf = conf;
    f->wrong = 0;
    if (cos_min >= cos_soft_ && risk == 0) return true;
    return decide(i, cos_min, risk, f);
}

bool Measurement::decide(std::size_t i, double cos_min, double risk, Decoded* f) const {
    const std::uint64_t more = decide_noise_.bits(i);
    // Oblique surfaces: fewer pixels kept towards the angle limit.
    if (cos_min < accepted_[more & (kQuantiles - 1)]) return false;
    // The finest code bit read wrong: the pixel lands a fringe period off, either way.
    if (((more >> 32) & 0x7fffffffu) * 0x1.0p-31 < risk) f->wrong = more >> 63 ? 1 : -1;
    return true;
}

void Measurement::radiometry(const Scene& s, const DeviceOptics& c) {
    ref2_ = std::max(working_distance2(c), 1.0);
    room_ = sensor::kAmbient * room_light(s);
    const double near = c.device.near_mm, far = c.device.far_mm;
    inv_focus_ = dof_k_ = dof_norm_ = 0;
    focus_norm_ = 1;
    blur_scale_ = 0;
    blur_.assign(2 * (kBlurSteps + 1), 0.0);
    for (int i = 0; i <= kBlurSteps; ++i) blur_[2 * i] = 1;
    if (!(near > 0 && far > near)) return;  // no range to focus in
    inv_focus_ = (near + far) / (2 * near * far);
    const double end = 1 / near - inv_focus_;  // the defocus at either end of the range
    dof_k_ = -std::log(sensor::kEndContrast) / (2 * end * end);
    const double mid = 1 / std::sqrt(ref2_) - inv_focus_;
    dof_norm_ = 2 * dof_k_ * mid * mid;
    focus_norm_ = std::exp(dof_norm_);
    blur_scale_ = kBlurSteps / (2 / near);
    for (int i = 0; i <= kBlurSteps; ++i) {
        const double a = i / blur_scale_ - inv_focus_;
        blur_[2 * i] = std::exp(-dof_k_ * a * a);
    }
    for (int i = 0; i < kBlurSteps; ++i) blur_[2 * i + 1] = blur_[2 * i + 2] - blur_[2 * i];
}

void Measurement::decoding(const Knobs& k, double limit_deg) {
    using namespace sensor;
    const double scale = k.noise_scale;  // 0 removes the randomness: each pixel at its median
    const float* q = normal_quantiles();
    const double q_max = q[kQuantiles - 1];
    spread_.resize(kQuantiles);
    tail_.resize(kQuantiles);
    accepted_.resize(kQuantiles);
    // Half the pixels kept kAngleMargin inside the limit, the fall normal (kAngleSpread), none past it.
    const double mid = limit_deg - kAngleMargin, spread = kAngleSpread * scale;
    double sum = 0;
    for (int i = 0; i < kQuantiles; ++i) {
        accepted_[i] = std::cos(std::clamp(mid + spread * q[i], 0.0, limit_deg) * kPi / 180);
        spread_[i] = static_cast<float>(std::exp(kSwingSpread * scale * q[i]));
        const double t = std::exp(kTailSpread * q[i]);
        tail_[i] = static_cast<float>(t);
        sum += t * t;
    }
    const float norm = static_cast<float>(std::sqrt(kQuantiles / sum));
    for (float& t : tail_) t *= norm;
    swing_floor_ = std::exp(-kSwingSpread * scale * q_max);
    cos_soft_ = *std::max_element(accepted_.begin(), accepted_.end());
    snr2_risk_ = 36 * scale * scale;  // six standard deviations: a risk below 1e-9
    inv_scale_ = scale > 0 ? 1 / scale : 0;
}

inline double Measurement::disparity_error(const Decoded& f, double sigma, float field) const {
    const std::uint64_t bits = f.bits;  // white_noise_.bits(i)
    const double white = white_ * tail_[(bits >> 32) & (kQuantiles - 1)];
    double error = sigma * (white * white_noise_.normal(bits, 0) + correlated_ * field);
    if (f.wrong) error += f.wrong * sensor::kFringePx;
    if (ripple_ != 0) error += ripple_ * wave(ripple_scale_ * f.column + ripple_phase_);
    return error + (bias_ + drift_);
}

// The point of pixel i from what it decoded into entry k of *r, or none there.
void Measurement::triangulate(std::size_t i, int x, int y, const Decoded& f, Measured* r, int k) const {
    const Vec3 ray = reported_direction(x, y);
    const bool stereo = f.stereo;
    const double variance = f.variance, u = f.u, v = f.v;
    double column = f.column;
    const double conf = f.conf;
    const double sigma = std::sqrt(variance);
    const double error = disparity_error(f, sigma, field_.at(x, y));
    const std::uint64_t bits = f.bits;  // white_noise_.bits(i)
    // Triangulation with the calibration the device reports (`ray`: its ray through the pixel).
    double z;  // depth in the measuring camera's frame
    double cu = kNaN, cv = kNaN;
    if (stereo) {
        cu = u + error;
        cv = v + kAcrossShare * sigma * white_ * white_noise_.normal(bits, 1);
        if (!by_camera(ray, cu, cv, &z)) return r->none(k);
    } else {
        column += error * inv_fx_;
        if (!by_projector(ray, column, &z)) return r->none(k);
    }
    if (z > far_) return r->none(k);  // beyond the decoder's reach
    const Vec3 local = ray * z;
    if (!stereo && out_.correspond && p_.correspond2d && other_) {
        double u2, v2;  // completed points: where the other camera would see them
        if (other_rep_->project(other_rep_->from_device(rep_.R * local + rep_.t), &u2, &v2)) cu = u2, cv = v2;
    }
    const Vec3 q = out_ray_ * local + out_origin_;
    r->ok[k] = true;
    // The truncation window applies to the depth of the output frame.
    r->outside[k] = q.z() < p_.zmin || q.z() > p_.zmax;
    for (int c = 0; c < 3; ++c) r->q[k][c] = q[c];
    r->zc[k] = static_cast<float>(z);
    r->z[k] = z;
    r->conf[k] = conf;
    const double c = 32.0 * (c_.projector_model.fx * column + c_.projector_model.cx);  // 1/32 pixel
    r->phase[k] = std::isfinite(c) ? static_cast<std::uint16_t>(std::clamp(c, 1.0, 65535.0)) : 0;
    r->cu[k] = cu;
    r->cv[k] = cv;
}

void Measurement::triangulate_block(int x0, int y, int n, const Decoded* decoded, Measured* r) const {
    constexpr int kBlock = PixelRenderer::kBlock;
    // The reported camera's ray through each pixel (z 1) and the column it decoded, with its
    // error; NaN for a pixel that decoded nothing, which then meets no plane.
    double rx[kBlock], ry[kBlock], column[kBlock], conf[kBlock];
    float field[kBlock];
    field_.row(x0, y, n, field);
    const float* table = rep_rays_ ? rep_rays_->at(x0, y) : nullptr;  // as reported_direction() reads it
    for (int k = 0; k < n; ++k) {
        const Decoded& f = decoded[k];
        if (!f.ok) {
            rx[k] = ry[k] = conf[k] = 0;
            column[k] = kNaN;
            continue;
        }
        if (table) {
            rx[k] = table[2 * k];
            ry[k] = table[2 * k + 1];
        } else {
            const Vec3 ray = rep_.direction(x0 + k, y);
            rx[k] = ray.x();
            ry[k] = ray.y();
        }
        column[k] = f.column + disparity_error(f, std::sqrt(f.variance), field[k]) * inv_fx_;
        conf[k] = f.conf;
    }
    // by_projector(), then the point in the output frame, written out as Eigen evaluates them
    // (the same operations in the same order: the same bits), each step a loop of its own.
    const double a0 = plane0_.x(), a1 = plane0_.y(), a2 = plane0_.z();
    const double b0 = plane2_.x(), b1 = plane2_.y(), b2 = plane2_.z();
    const double reach0 = reach0_, reach2 = reach2_, far = far_;
    double z[kBlock];  // NaN: no point
    for (int k = 0; k < n; ++k) {
        const double x = rx[k], y = ry[k], c = column[k];
        const double den = ((a0 * x + a1 * y) + a2) - c * ((b0 * x + b1 * y) + b2);
        const double s = (reach0 - c * reach2) / den;
        // Not beyond the decoder's reach either.
        const bool ok = !(std::abs(den) < 1e-12) & (s > 0) & !(s > far);
        z[k] = ok ? s : kNaN;
        column[k] = ok ? c : kNaN;  // its phase: none without a point
        conf[k] = ok ? conf[k] : 0.0;
    }
    const Mat3& M = out_ray_;
    const double m00 = M(0, 0), m01 = M(0, 1), m02 = M(0, 2), m10 = M(1, 0), m11 = M(1, 1), m12 = M(1, 2);
    const double m20 = M(2, 0), m21 = M(2, 1), m22 = M(2, 2);
    const double o0 = out_origin_.x(), o1 = out_origin_.y(), o2 = out_origin_.z();
    double qx[kBlock], qy[kBlock], qz[kBlock];
    for (int k = 0; k < n; ++k) {
        const double lx = rx[k] * z[k], ly = ry[k] * z[k], lz = z[k];
        qx[k] = ((m00 * lx + m01 * ly) + m02 * lz) + o0;
        qy[k] = ((m10 * lx + m11 * ly) + m12 * lz) + o1;
        qz[k] = (m20 * lx + (m21 * ly + m22 * lz)) + o2;
    }
    const double fx = c_.projector_model.fx, cx = c_.projector_model.cx;
    const double zmin = p_.zmin, zmax = p_.zmax;
    for (int k = 0; k < n; ++k) {
        r->ok[k] = z[k] == z[k];
        r->outside[k] = (qz[k] < zmin) | (qz[k] > zmax);  // NaN: no point, not outside
        r->zc[k] = static_cast<float>(z[k]);
    }
    std::copy_n(z, n, r->z);
    std::copy_n(conf, n, r->conf);
    for (int k = 0; k < n; ++k) {
        const double p = 32.0 * (fx * column[k] + cx);  // 1/32 pixel; NaN without a point
        r->phase[k] = std::isfinite(p) ? static_cast<std::uint16_t>(std::clamp(p, 1.0, 65535.0)) : 0;
    }
    if (out_.correspond) {  // with one camera, none
        std::fill_n(r->cu, n, kNaN);
        std::fill_n(r->cv, n, kNaN);
    }
    for (int k = 0; k < n; ++k) {
        r->q[k][0] = qx[k];
        r->q[k][1] = qy[k];
        r->q[k][2] = qz[k];
    }
}

Vec3 Measurement::reported_direction(int x, int y) const {
    if (!rep_rays_) return rep_.direction(x, y);
    const float* r = rep_rays_->at(x, y);
    return Vec3(r[0], r[1], 1.0);
}

void Measurement::block(int x0, int y, int n, const Hit* hits) const {
    constexpr int kBlock = PixelRenderer::kBlock;
    // Whether the ROI holds all the block's pixels (then none needs asking).
    const TUVO::ROI& roi = p_.roi;
    const bool all_inside = roi.width <= 0 || roi.height <= 0 ||
                            (y >= roi.y && y < roi.y + roi.height && x0 >= roi.x && x0 + n <= roi.x + roi.width);
    const bool all_lit = out_.image || all_inside;  // every hit's lighting wanted
    // Each pixel's lighting made once (not first cleared): the direction towards the projector,
    // then the shadow rays, cast together. Pass one keeps the true distance along each ray.
    Uninitialised<Lighting, kBlock> light;
    double len[kBlock];
    float* const range = range_.get() + static_cast<std::size_t>(y) * W_ + x0;
    for (int k = 0; k < n; ++k) {
        const Hit& h = hits[k];
        if (h.t >= 0) {
            range[k] = static_cast<float>(h.t);
            new (&light[k]) Lighting(all_lit || inside(x0 + k, y) ? facing(c_.projector, h, &len[k]) : Lighting());
        } else {
            range[k] = kNaNf;
            new (&light[k]) Lighting();
        }
    }
    light_together(s_, hits, &light[0], len, n);  // the shadow rays, cast together
    // Read only with another camera (decode and store ask for it then).
    Uninitialised<OtherView, kBlock> seen;
    if (other_) {  // the rays towards the other camera from the lit points, cast together
        Vec3 o[kBlock], d[kBlock];
        double far[kBlock];
        int which[kBlock], m = 0;
        for (int k = 0; k < n; ++k) {
            OtherView& sk = *new (&seen[k]) OtherView();
            if (!light[k].lit || !inside(x0 + k, y)) continue;  // lit: it has a hit
            sk.state = other_camera_ray(*other_, hits[k].p, &sk.u, &sk.v, &o[m], &d[m], &far[m]);
            if (sk.state == 2) which[m++] = k;
        }
        bool blocked[kBlock];
        if (m && s_.accel) s_.accel->occluded_many(o, d, m, 1e-6, far, blocked);
        for (int j = 0; j < m; ++j) seen[which[j]].state = s_.accel && blocked[j] ? 0 : 1;
    }
    Vec3 mirrored[kBlock];  // the light a mirror-like surface reflects, for the image
    Decoded decoded[kBlock];
    // Each hit's material as material_of() finds it, the scene's list looked up once.
    const Material* const materials = s_.materials.data();
    const std::size_t n_materials = s_.materials.size();
    auto material = [&](const Hit& h) -> const Material& {
        return static_cast<std::size_t>(h.object) < n_materials ? materials[h.object] : kNeutralMaterial;
    };
    if (!other_ && steps_ == 1)
        for (int k = 0; k < n; ++k)
            front<true>(x0 + k, y, hits[k], material(hits[k]), light[k], seen[k], &mirrored[k], &decoded[k], all_inside);
    else
        for (int k = 0; k < n; ++k)
            front<false>(x0 + k, y, hits[k], material(hits[k]), light[k], seen[k], &mirrored[k], &decoded[k], all_inside);
    Measured got;
    const std::size_t i = static_cast<std::size_t>(y) * W_ + x0;
    if (other_) {
        for (int k = 0; k < n; ++k)
            if (decoded[k].ok)
                triangulate(i + k, x0 + k, y, decoded[k], &got, k);
            else
                got.none(k);
    } else {
        triangulate_block(x0, y, n, decoded, &got);
    }
    store(x0, y, n, hits, &seen[0], got);
    if (out_.image) out_.shader->shade(i, n, hits, &light[0], mirrored, out_.image + out_.shader->channels() * i);
}

template <bool kOneView>
void Measurement::front(int x, int y, const Hit& h, const Material& m, const Lighting& l, const OtherView& seen,
                        Vec3* mirrored, Decoded* f, bool all_inside) const {
    *mirrored = Vec3::Zero();
    // Most surfaces reflect nothing mirror-like: decoded straight away.
    if (!(m.mirror > 0 && h.t >= 0 && (out_.image || inside(x, y)))) {
        if (kOneView && !(m.translucency > 0) && !(m.specular > 0))
            return plain(x, y, all_inside || inside(x, y), h, m, l, f);
        return decode(x, y, h, m, l, nullptr, seen, f);
    }
    // What the mirror-like part shows.
    const Vec3 d = (h.p - cam_.t).normalized();
    Reflection reflection;
    reflection.q = cast(s_, h.p + h.n * 0.01, d - 2 * d.dot(h.n) * h.n);
    const Reflection* r = nullptr;
    if (reflection.q.t >= 0) {
        const Lighting lq = lighting_of(s_, c_.projector, reflection.q);
        reflection.cos_proj = lq.cos_proj * falloff(lq.inv_range, ref2_);  // the light it gets there
        reflection.lit = lq.lit;
        r = &reflection;
    }
    if (out_.image && r) *mirrored = out_.shader->diffuse_light(r->q, r->cos_proj, r->lit) * m.mirror;
    decode(x, y, h, m, l, r, seen, f);
}

void Measurement::store(int x0, int y, int n, const Hit* hits, const OtherView* seen, const Measured& got) const {
    const std::size_t i = static_cast<std::size_t>(y) * W_ + x0;
    const MeasureOut o = out_;  // a copy: the outputs' stores cannot move it
    std::copy_n(got.zc, n, zc_.get() + i);
    static_assert(sizeof(bool) == 1, "the flags are bytes");
    std::memcpy(outside_.get() + i, got.outside, n);  // bool: 0 or 1
    if (o.depth) std::copy_n(got.z, n, o.depth + i);
    if (o.points) std::copy_n(&got.q[0][0], 3 * n, o.points + 3 * i);  // the map may come unfilled
    if (o.normals) {
        const Mat3 R = normal_R_;
        for (int k = 0; k < n; ++k) {
            const Vec3 nr = got.ok[k] ? Vec3(R * hits[k].n) : Vec3::Constant(kNaN);
            for (int c = 0; c < 3; ++c) o.normals[3 * (i + k) + c] = nr[c];
        }
    }
    if (o.confidence) std::copy_n(got.conf, n, o.confidence + i);
    if (o.phase) std::copy_n(got.phase, n, o.phase + i);
    if (o.correspond)
        for (int k = 0; k < n; ++k) {
            double u = got.cu[k], v = got.cv[k];
            if (!got.ok[k]) {
                const Hit& h = hits[k];
                // Two-camera devices may still match the 2-D texture of what both cameras see.
                if (p_.correspond2d && other_ && h.t >= 0 && sees_other(h.p, seen[k], &u, &v)) {
                    const std::uint64_t bits = corr_noise_.bits(i + k);
                    u += 0.05 * corr_noise_.normal(bits, 0);
                    v += 0.05 * corr_noise_.normal(bits, 1);
                } else {
                    u = v = kNaN;
                }
            }
            o.correspond[2 * (i + k)] = u;
            o.correspond[2 * (i + k) + 1] = v;
        }
}

void Measurement::finish_row(int y) const {
    const std::size_t row = static_cast<std::size_t>(y) * W_;
    const bool keep_corr = p_.correspond2d;
    // Most pixels see one smooth surface (the distance along their rays changes steadily) and lie
    // inside the truncation window: a quick pass over a stretch of the row marks the others, and
    // only those are looked at closely.
    const std::uint8_t* outside_row = &outside_[row];
    constexpr int kStretch = 256;
    std::uint8_t marked[kStretch];
    for (int x0 = 0; x0 < W_; x0 += kStretch) {
        const int n = std::min(kStretch, W_ - x0);
        edge_marks(range_.get(), W_, H_, y, x0, n, marked);
        const std::uint8_t* os = outside_row + x0;
        std::uint8_t lone[kStretch] = {};
        if (p_.noise_removal) {  // and points that measured far from a neighbour (see alone())
            const float* zs = &zc_[row] + x0;
            const float* za = y > 0 ? zs - W_ : zs;
            const float* zb = y + 1 < H_ ? zs + W_ : zs;
            const int first = x0 == 0 ? 1 : 0, last = x0 + n == W_ ? n - 1 : n;  // the row's ends: below
            for (int k = first; k < last; ++k) {
                const float zk = zs[k], limit = std::max(kLoneMm, kLoneShare * zk);
                lone[k] = (std::abs(zs[k - 1] - zk) > limit) | (std::abs(zs[k + 1] - zk) > limit) |
                          (std::abs(za[k] - zk) > limit) | (std::abs(zb[k] - zk) > limit);
            }
            if (first) lone[0] = 1;
            if (last < n) lone[n - 1] = 1;
        }
        // Eight pixels at a time: most have nothing to look at.
        int k = 0;
        for (; k + 8 <= n; k += 8) {
            std::uint64_t a, b, c;
            std::memcpy(&a, marked + k, 8);
            std::memcpy(&b, os + k, 8);
            std::memcpy(&c, lone + k, 8);
            if (!(a | b | c)) continue;
            for (int j = k; j < k + 8; ++j)
                if (marked[j] | os[j] | lone[j]) finish_pixel(x0 + j, y, keep_corr, marked[j]);
        }
        for (; k < n; ++k)
            if (marked[k] | os[k] | lone[k]) finish_pixel(x0 + k, y, keep_corr, marked[k]);
    }
}


bool Measurement::straddles(int x, int y, double* dz, double* contrast, double* off) const {
    // The pixel's footprint (a little over a pixel: the lens blurs) sampled by 3 x 3 rays, each
    // jittered within its third and weighted by the blur; the same jitter in every capture.
    const Vec3 d0 = cam_.R * cam_.ray(x, y);
    Hit c;  // the centre: its albedo is not wanted
    cast_shape(s_, cam_.t, d0, &c);
    if (c.t < 0) return false;
    const CameraModel& pr = c_.projector_model;
    // Only x and z of the points in the projector's frame (and z in the camera's) matter: made
    // row by row as from_device() makes them, the same bits without the rest.
    const auto xz = [](const CameraModel& m, const Vec3& p, double* px, double* pz) {
        const Vec3 rel = p - m.t;
        *px = m.R.col(0).dot(rel);
        *pz = m.R.col(2).dot(rel);
    };
    const auto depth = [](const CameraModel& m, const Vec3& p) { return m.R.col(2).dot(p - m.t); };
    double pcx, pcz;
    xz(pr, c.p, &pcx, &pcz);
    if (pcz <= 1e-6) return false;
    const double c0 = pcx / pcz, unit = (c.p - c_.projector).squaredNorm();
    const std::size_t i = static_cast<std::size_t>(y) * W_ + x;
    constexpr int kRays = EdgeRays::kRays;
    double offset_x[kRays], offset_y[kRays];
    edges_.offsets(i, offset_x, offset_y);
    // The footprint's rays cast together, then the shadow rays of those that meet another surface
    // facing the projector (the centre decoded: it is lit), together too.
    Vec3 dir[kRays];
    for (int j = 0; j < kRays; ++j) dir[j] = cam_.R * cam_.ray(x + offset_x[j], y + offset_y[j]);
    Hit hit[kRays];
    cast_shapes(s_, cam_.t, dir, kRays, hit);
    Lighting light[kRays];
    bool same[kRays], lit[kRays];
    bool mixed = false;
    Vec3 so[kRays], sd[kRays];
    double sfar[kRays];
    int which[kRays], m = 0;
    for (int j = 0; j < kRays; ++j) {
        const Hit& q = hit[j];
        same[j] = EdgeRays::same(c, q);
        mixed = mixed || !same[j];
        lit[j] = false;
        if (q.t < 0) continue;  // nothing there: no light
        double len = 0;
        light[j] = facing(c_.projector, q, &len);
        if (light[j].cos_proj <= 0) continue;
        lit[j] = true;
        if (same[j] || !s_.accel || !(len > 1.5)) continue;  // as unshadowed() casts it
        so[m] = q.p + light[j].to_proj * 0.5;
        sd[m] = light[j].to_proj;
        sfar[m] = len - 1.0;
        which[m++] = j;
    }
    if (m) {
        bool blocked[kRays];
        s_.accel->occluded_many(so, sd, m, 1e-6, sfar, blocked);
        for (int k = 0; k < m; ++k) lit[which[k]] = !blocked[k];
    }
    double sum = 0, shift = 0, re = 0, im = 0, depths[kRays];
    int n = 0;
    for (int j = 0; j < kRays; ++j) {
        if (!lit[j]) continue;
        const Hit& q = hit[j];
        const Lighting& l = light[j];
        const double dx = offset_x[j], dy = offset_y[j];
        double pqx, pqz;
        xz(pr, q.p, &pqx, &pqz);
        if (pqz <= 1e-6) continue;
        const double blur = std::exp(-(dx * dx + dy * dy) / (2 * kBlurPx * kBlurPx));
        const double w = blur * weights_.dot(surface_albedo(s_, q.object, q.p)) * (1 - material_of(s_, q).mirror) *
                         l.cos_proj * unit / (q.p - c_.projector).squaredNorm();
        // Against the column the pixel's own surface shows there: a footprint on one surface
        // decodes its centre's column, the other surfaces' share pulls it.
        const Vec3 dj = q.p - cam_.t;
        const double facing_own = c.n.dot(dj);
        if (std::abs(facing_own) < 1e-9) continue;
        double pox, poz;
        xz(pr, cam_.t + dj * (c.n.dot(c.p - cam_.t) / facing_own), &pox, &poz);
        if (poz <= 1e-6) continue;
        const double dc = pqx / pqz - pox / poz;
        sum += w;
        shift += w * dc;
        re += w * std::cos(2 * kPi * dc / fringe_);
        im += w * std::sin(2 * kPi * dc / fringe_);
        depths[n++] = depth(cam_, q.p);
    }
    if (!mixed || !(sum > 0)) return false;
    // The codes and the phase follow the mixed light: the decoded column is the light's mean one,
    // with the fringes' contrast left over.
    const Vec3 r = reported_direction(x, y);
    double z0, z1;
    if (!by_projector(r, c0, &z0) || !by_projector(r, c0 + shift / sum, &z1)) return false;
    *dz = z1 - z0;
    *contrast = std::hypot(re, im) / sum;
    const double at = depth(cam_, c.p) + *dz;  // where the mixed point lies, without noise
    *off = std::numeric_limits<double>::infinity();
    for (int k = 0; k < n; ++k) *off = std::min(*off, std::abs(at - depths[k]));
    return true;
}

void Measurement::finish_pixel(int x, int y, bool keep_corr, bool edge) const {
    const std::size_t i = static_cast<std::size_t>(y) * W_ + x;
    const float zf = zc_[i];
    // A pixel across a depth edge sees both surfaces: its phase, and so its point, mixes them. The
    // footprint's rays are cast for every marked pixel with a hit, a point or none, as the ray-casting
    // floor casts them.
    double dz, contrast, off;
    const bool straddling = edge && !std::isnan(range_[i]) && straddles(x, y, &dz, &contrast, &off);
    if (std::isnan(zf)) return;  // no point (pass one set its depth NaN)
    if (p_.noise_removal && alone(x, y)) {
        invalidate(i, keep_corr);
        return;
    }
    bool outside = outside_[i];  // the truncation window applies to the depth of the output frame
    if (straddling) {
        if (p_.noise_removal && off > kEdgeKeep * zf) {  // it stands off every surface it covers
            invalidate(i, keep_corr);
            return;
        }
        if (out_.confidence) {  // the mixed fringes' contrast: below the confidence asked for, no point
            out_.confidence[i] *= contrast * contrast;
            if (out_.confidence[i] < p_.confidence_threshold) {
                invalidate(i, keep_corr);
                return;
            }
        }
        const double mixed = (out_.depth ? out_.depth[i] : zf) + dz;
        const Vec3 ray = rep_.ray(x, y);
        const Vec3 p = rep_.t + rep_.R * ray * (mixed / ray.z());
        const Vec3 q = out_R_ * p + out_t_;
        if (out_.points) std::copy(q.data(), q.data() + 3, out_.points + 3 * i);
        outside = q.z() < p_.zmin || q.z() > p_.zmax;
        if (out_.correspond && other_rep_) {
            double u, v;
            if (other_rep_->project(other_rep_->from_device(p), &u, &v))
                out_.correspond[2 * i] = u, out_.correspond[2 * i + 1] = v;
        }
        if (out_.depth) out_.depth[i] = mixed;
    }
    if (out_.points && outside) invalidate(i, keep_corr);
}

bool Measurement::alone(int x, int y) const {
    const std::size_t i = static_cast<std::size_t>(y) * W_ + x;
    const float zf = zc_[i], limit = std::max(kLoneMm, kLoneShare * zf);
    int near = 0, far = 0;
    auto look = [&](float zn) {
        if (std::isnan(zn)) return;
        (std::abs(zn - zf) > limit ? far : near) += 1;
    };
    if (x > 0) look(zc_[i - 1]);
    if (x + 1 < W_) look(zc_[i + 1]);
    if (y > 0) look(zc_[i - W_]);
    if (y + 1 < H_) look(zc_[i + W_]);
    return far > 0 && near == 0;
}

}  // namespace

void edge_marks(const float* range, int W, int H, int y, int x0, int n, std::uint8_t* marked) {
    const float* t = range + static_cast<std::size_t>(y) * W;
    const float* above = y > 0 && y + 1 < H ? t - W : t;  // the first and last rows: along only
    const float* below = y > 0 && y + 1 < H ? t + W : t;
    const float* ts = t + x0;
    const float *as = above + x0, *bs = below + x0;
    const auto mark = [&](int k, float along) {
        const float tk = ts[k], limit = std::max(kEdgeStepMm, kEdgeStepShare * tk);
        // A kink or step (or no hit) beside it; NaN compares false, so marks.
        marked[k] = !(std::abs(along) <= limit) | !(std::abs(as[k] - 2 * tk + bs[k]) <= limit);
    };
    const int first = x0 == 0 ? 1 : 0, last = x0 + n == W ? n - 1 : n;  // the row's ends: across only
    for (int k = first; k < last; ++k) mark(k, ts[k - 1] - 2 * ts[k] + ts[k + 1]);
    if (first) mark(0, ts[0] - ts[0]);  // (NaN where it has no hit)
    if (last < n) mark(n - 1, ts[n - 1] - ts[n - 1]);
}

EdgeRays::EdgeRays(const Knobs& k) : noise(combine(hash_double(k.noise_seed), kEdges)) {}

void EdgeRays::offsets(std::size_t i, double dx[kRays], double dy[kRays]) const {
    const std::uint64_t jitter[3] = {noise.bits(3 * i), noise.bits(3 * i + 1), noise.bits(3 * i + 2)};
    const auto share = [&](int lane) { return ((jitter[lane / 8] >> (8 * (lane % 8))) & 0xff) / 256.0; };
    for (int j = 0; j < kRays; ++j) {
        dx[j] = kFootprintPx * ((j % 3 + share(2 * j)) / 3 - 0.5);
        dy[j] = kFootprintPx * ((j / 3 + share(2 * j + 1)) / 3 - 0.5);
    }
}

bool in_view(const CameraModel& m, const Vec3& p, double* u, double* v) {
    return m.project(m.from_device(p), u, v) && *u >= 0 && *v >= 0 && *u <= m.width - 1 && *v <= m.height - 1;
}

int other_camera_ray(const CameraModel& other, const Vec3& p, double* u, double* v, Vec3* o, Vec3* d, double* len) {
    if (!in_view(other, p, u, v)) return 0;
    // The segment towards the camera, a margin off each end (as occluded() casts it).
    const Vec3 ab = other.t - p;
    const double l = ab.norm();
    if (!(l > 1.5)) return 1;
    *d = ab / l;
    *o = p + *d * 0.5;
    *len = l - 1.0;
    return 2;
}

namespace {

// The map from device coordinates into a frame given by its pose (R, t) in the device's frame.
Eigen::Matrix4d into_frame(const Mat3& R, const Vec3& t) {
    Eigen::Matrix4d m = Eigen::Matrix4d::Identity();
    m.topLeftCorner<3, 3>() = R.transpose();
    m.topRightCorner<3, 1>() = -R.transpose() * t;
    return m;
}

}  // namespace

// Device coordinates to output coordinates: the frame of the camera the options name (the left
// camera's, which is the device's, when they ask for the device frame), as the calibration reports
// it; with a custom transformation, its matrix applied to the chosen camera's or the calibration
// board's frame.
Eigen::Matrix4d output_transform(const DeviceOptics& c, const Scene& s, bool x2, unsigned cid, const CaptureParams& p,
                                 const CustomTransform& t) {
    if (t.select == 0) {
        const int idx = p.camera_frame ? std::max(0, camera_index(p.frame_camera)) : 0;
        return into_frame(c.calib[idx].R, c.calib[idx].t);
    }
    Eigen::Matrix4d user;
    for (int i = 0; i < 16; ++i) user(i / 4, i % 4) = t.m[i];
    const bool board = (!x2 && t.select == 2) || (x2 && t.select == 3);
    if (board) {  // the board where it stands relative to the device now
        const Mat3 R = c.pose.R.transpose() * s.board_R;
        const Vec3 tb = c.pose.R.transpose() * (s.board_t - c.pose.t);
        return user * into_frame(R, tb);
    }
    unsigned cam = cid;  // X1: its own camera
    if (x2) cam = t.select == 2 ? TUVO::CameraID_Right : t.select == 4 ? TUVO::CameraID_Extra : TUVO::CameraID_Left;
    const CameraModel& m = c.calib[std::max(0, camera_index(cam))];
    return user * into_frame(m.R, m.t);
}

void measure(const Scene& s, const DeviceOptics& c, const CaptureParams& p, const Knobs& k, const MeasureJob& job,
             const MeasureOut& out, const std::atomic<bool>* cancel) {
    const Measurement m(s, c, p, k, job, out);
    const CameraModel& cam = c.models[job.index];
    const PixelRenderer render(s, cam, k.render_threads);
    const int W = cam.width, H = cam.height;
    // A row is finished once its neighbours are measured: inside a run of rows right after the
    // next row (while the three are still in the cache), at the run's ends after all runs.
    std::vector<std::uint8_t> later(H, 0);
    parallel_rows(H, k.render_threads, [&](int y0, int y1) {
        bool stopped = false;
        Hit hits[PixelRenderer::kBlock];
        for (int y = y0; y < y1; ++y) {
            stopped = stopped || (cancel && cancel->load(std::memory_order_relaxed));
            for (int x0 = 0; x0 < W; x0 += PixelRenderer::kBlock) {
                const int n = std::min(PixelRenderer::kBlock, W - x0);
                if (stopped)
                    std::fill_n(hits, n, Hit());
                else
                    render.block(x0, y, n, hits);
                m.block(x0, y, n, hits);
            }
            if (y - 1 > y0) m.finish_row(y - 1);
        }
        later[y0] = 1;
        later[y1 - 1] = 1;
    });
    std::vector<int> ends;
    for (int y = 0; y < H; ++y)
        if (later[y]) ends.push_back(y);
    parallel_rows(static_cast<int>(ends.size()), k.render_threads, [&](int k0, int k1) {
        for (int k = k0; k < k1; ++k) m.finish_row(ends[k]);
    });
}

}  // namespace sim
