// Stand-in SDK: the 3-D measurement: what the device decodes at each pixel and the point it triangulates.
#include "render/measure.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <vector>

#include "render/image.h"
#include "render/noise.h"
#include "render/parallel.h"
#include "render/sensor.h"
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
// Inter-reflected fringes relative to the direct ones beyond which robust decoding sees the codes
// disagree (beyond 1 the wrong code wins).
constexpr double kMixedLimit = 0.2;
// The correspondence's error across the fringes (along them it follows the epipolar line).
constexpr double kAcrossShare = 0.3;

enum Stream : std::uint64_t { kWhite = 1, kField = 2, kEdges = 3, kCorrespond = 4 };

// What the mirror-like part of a surface shows the camera: the hit its reflection lands on.
struct Reflection {
    Hit q;
    double cos_proj = 0;
    bool lit = false;
};

// What a pixel decodes: the projector's column (or, with two cameras, the match in the other
// camera, u and v) and the variance of the disparity; ok false when it decodes nothing (the rest
// is then left unset).
struct Decoded {
    bool ok, stereo;
    double column, variance, u, v;
};

// What triangulation gives the pixels of a block, kept until the block is stored, an array per
// output so each is stored in one plain loop. A pixel without a point (ok 0) holds what its
// outputs then get: NaN depth, column and point, zero confidence (cu and cv unset).
struct Measured {
    static constexpr int kBlock = PixelRenderer::kBlock;
    std::uint8_t ok[kBlock];
    double z[kBlock], conf[kBlock], column[kBlock], cu[kBlock], cv[kBlock];
    double q[3][kBlock];  // the point, output frame
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
    void finish_pixel(int x, int y, bool keep_corr) const;  // the second pass for one pixel
    // A pixel in two steps: what it decodes from the fringes (and the light a mirror-like surface
    // reflects there, for the image), then the point triangulated from that, or none. The results
    // are written in place: a decoded pixel is larger than registers carry.
    void front(int x, int y, const Hit& h, const Lighting& l, Vec3* mirrored, Decoded* f) const;
    void decode(int x, int y, const Hit& h, const Material& m, const Lighting& l, const Reflection* r, Decoded* f) const;
    void triangulate(std::size_t i, int x, int y, const Decoded& f, Measured* r, int k) const;
    // The block's results into the outputs, one output at a time: nothing read while they are
    // written can change under the stores.
    void store(int x0, int y, int n, const Hit* hits, const Measured& got) const;
    // The reported camera's ray through pixel (x, y) in its own frame, scaled to a z of 1: a point
    // at depth z along it is the ray times z.
    Vec3 reported_direction(int x, int y) const;
    bool in_view(const CameraModel& m, const Vec3& p, double* u, double* v) const;
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
    double max_variance_;  // the disparity variance at the confidence threshold
    double fringe_;  // one fringe period in the projector's normalised coordinates
    double white_, correlated_;  // noise weights after smoothing, times noise.scale
    bool truth_;
    double bias_, ripple_, ripple_phase_;
    double ripple_scale_;  // the ripple's phase per unit of the projector's normalised column
    double inv_fx_;        // 1 / the reported camera's fx
    double near_, far_;    // the working range points must lie in, depth in the camera's frame
    PixelNoise white_noise_, edge_noise_, corr_noise_;
    SmoothField field_;
    std::shared_ptr<const RayTable> rep_rays_;  // the reported camera's directions (null: made as needed)
    std::unique_ptr<float[]> zc_;  // pass one: z in the camera's frame per pixel (every pixel written)
    // Pass one: whether the pixel's point lies outside the truncation window (written with each point).
    std::unique_ptr<std::uint8_t[]> outside_;
};

Measurement::Measurement(const Scene& s, const DeviceOptics& c, const CaptureParams& p, const Knobs& k,
                         const MeasureJob& job, const MeasureOut& out)
    : s_(s), c_(c), p_(p), out_(out), W_(c.models[job.index].width), H_(c.models[job.index].height),
      cam_(c.models[job.index]), rep_(c.calib[job.index]),
      other_(job.other >= 0 ? &c.models[job.other] : nullptr),
      other_rep_(job.other >= 0 ? &c.calib[job.other] : nullptr),
      steps_(job.sensor->steps()), patterns_(job.sensor->patterns()),
      white_noise_(combine(job.key, kWhite)), edge_noise_(combine(job.key, kEdges)),
      corr_noise_(combine(job.key, kCorrespond)),
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
    max_variance_ = variance_at(p.confidence_threshold);
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
    ripple_scale_ = 2 * kPi * c.projector_model.fx / kRipplePeriod;
    inv_fx_ = 1 / rep_.fx;
    near_ = c.device.near_mm * 0.85;
    far_ = c.device.far_mm * 1.15;
    rep_rays_ = pixel_directions(rep_, k.render_threads);
    const Vec3 baseline = c.projector_calib.t - rep_.t;
    plane0_ = rep_.R.transpose() * c.projector_calib.R.col(0);
    plane2_ = rep_.R.transpose() * c.projector_calib.R.col(2);
    reach0_ = c.projector_calib.R.col(0).dot(baseline);
    reach2_ = c.projector_calib.R.col(2).dot(baseline);
    out_ray_ = out_R_ * rep_.R;
    out_origin_ = out_R_ * rep_.t + out_t_;
    zc_.reset(new float[static_cast<std::size_t>(W_) * H_]);
    outside_.reset(new std::uint8_t[static_cast<std::size_t>(W_) * H_]);
}

bool Measurement::in_view(const CameraModel& m, const Vec3& p, double* u, double* v) const {
    return m.project(m.from_device(p), u, v) && *u >= 0 && *v >= 0 && *u <= m.width - 1 && *v <= m.height - 1;
}

bool Measurement::sees(const CameraModel& m, const Vec3& p, double* u, double* v) const {
    return in_view(m, p, u, v) && !occluded(s_, p, m.t);
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
                         Decoded* f) const {
    f->ok = false;
    if (!l.lit || !inside(x, y)) return;
    const Vec3 to_cam = (cam_.t - h.p) * (1 / h.t);  // the ray was a unit vector
    const Vec3& to_proj = l.to_proj;
    const double cos_cam = h.n.dot(to_cam), cos_proj = l.cos_proj;
    if (cos_cam <= cos_limit_ || cos_proj <= cos_limit_) return;  // too oblique to decode
    const double albedo = weights_.dot(h.albedo);
    const double diffuse = albedo * (1 - m.mirror);
    const double room = sensor::kAmbient * albedo;
    // The projector's column at the point, and what inter-reflections make of it.
    const CameraModel& pr = c_.projector_model;
    const Vec3 rel = h.p - pr.t;  // in the projector's frame only x and z matter
    const double px = pr.R.col(0).dot(rel), pz = pr.R.col(2).dot(rel);
    if (pz <= 1e-6) return;  // behind the projector's lens
    double column = px / pz, extra = 0;
    const double lobe = m.specular > 0 ? specular_lobe(m, h.n, to_proj, to_cam) : 0.0;
    if (r && r->lit) {
        // Two sets of fringes add up: the decoded phase is that of the sum of two phasors, and the
        // codes follow the stronger one.
        const double indirect = m.mirror * weights_.dot(r->q.albedo) * r->cos_proj * patterns_.indirect;
        const double a = indirect / std::max((diffuse + lobe) * cos_proj, 1e-12);
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
    Vec3 target = h.p;
    if (stereo && extra > 0) {  // the other camera finds the wrong code where this ray meets its plane
        const Vec3 d = (h.p - cam_.t).normalized();
        const Vec3 n = pr.R * Vec3(1, 0, -column);
        const double den = n.dot(d);
        if (std::abs(den) < 1e-12) return;
        target = cam_.t + d * (n.dot(pr.t - cam_.t) / den);
    }
    if (stereo) {
        // A wrong code is found wherever it lies along the other camera's epipolar line.
        if (extra > 0 ? in_view(*other_, target, &u, &v) : sees(*other_, h.p, &u, &v)) {
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
    // either camera. The fringes' phase is smeared over the pixel's footprint, which grows as
    // 1 / cos of the viewing angle.
    const double here = (diffuse + lobe) * cos_proj, there = (diffuse + lobe_other) * cos_proj;
    const double footprint = 1 / (cos_cam * cos_cam), footprint_other = stereo ? 1 / (cos_other * cos_other) : 0;
    auto through = [&](int k, bool both) {  // the variance through exposure k, or -1
        double var = phases_[k].variance(here, room, extra * cos_proj);
        if (var < 0) return -1.0;
        var *= footprint;
        if (both) {
            const double var_other = phases_[k].variance(there, room, 0);
            if (var_other < 0) return -1.0;  // saturated or dark in the other camera
            var += var_other * footprint_other;
        }
        if (phases_[k].scans() != 1) var /= phases_[k].scans();
        return var;
    };
    auto best_variance = [&](bool both) {
        double best = -1;
        for (int k = 0; k < steps_; ++k) {
            const double var = through(k, both);
            if (var >= 0 && (best < 0 || var < best)) best = var;
        }
        return best;
    };
    // One exposure and one camera, the usual case, need no search.
    double variance = steps_ == 1 && !stereo ? through(0, false) : best_variance(stereo);
    if (variance < 0 && stereo && p_.completion) {  // the other camera failed: the projector's view alone
        stereo = false;
        variance = best_variance(false);
    }
    if (variance < 0 || variance > max_variance_) return;  // below the confidence asked for
    f->ok = true;
    f->stereo = stereo;
    f->column = column;
    f->variance = variance;
    f->u = u;
    f->v = v;
}

// The point of pixel i from what it decoded into entry k of *r, left as it was when there is none.
void Measurement::triangulate(std::size_t i, int x, int y, const Decoded& f, Measured* r, int k) const {
    const Vec3 ray = reported_direction(x, y);
    const bool stereo = f.stereo;
    const double variance = f.variance, u = f.u, v = f.v;
    double column = f.column;
    const double conf = confidence_of(variance);
    const double sigma = std::sqrt(variance);
    // The disparity error of this pixel, camera pixels: white and correlated noise, and the
    // device's systematic error.
    const std::uint64_t bits = white_noise_.bits(i);
    double error = sigma * (white_ * white_noise_.normal(bits, 0) + correlated_ * field_.at(x, y));
    if (ripple_ != 0) error += ripple_ * wave(ripple_scale_ * column + ripple_phase_);
    error += bias_;
    // Triangulation with the calibration the device reports (`ray`: its ray through the pixel).
    double z;  // depth in the measuring camera's frame
    double cu = kNaN, cv = kNaN;
    if (stereo) {
        cu = u + error;
        cv = v + kAcrossShare * sigma * white_ * white_noise_.normal(bits, 1);
        if (!by_camera(ray, cu, cv, &z)) return;
    } else {
        column += error * inv_fx_;
        if (!by_projector(ray, column, &z)) return;
    }
    if (z < near_ || z > far_) return;  // out of the working range
    const Vec3 local = ray * z;
    if (!stereo && out_.correspond && p_.correspond2d && other_) {
        double u2, v2;  // completed points: where the other camera would see them
        if (other_rep_->project(other_rep_->from_device(rep_.R * local + rep_.t), &u2, &v2)) cu = u2, cv = v2;
    }
    const Vec3 q = out_ray_ * local + out_origin_;
    r->ok[k] = 1;
    for (int c = 0; c < 3; ++c) r->q[c][k] = q[c];
    r->z[k] = z;
    r->conf[k] = conf;
    r->column[k] = column;
    r->cu[k] = cu;
    r->cv[k] = cv;
}

Vec3 Measurement::reported_direction(int x, int y) const {
    if (!rep_rays_) return rep_.direction(x, y);
    const double* r = rep_rays_->at(x, y);
    return Vec3(r[0], r[1], 1.0);
}

void Measurement::block(int x0, int y, int n, const Hit* hits) const {
    Lighting light[PixelRenderer::kBlock];
    double len[PixelRenderer::kBlock];
    for (int k = 0; k < n; ++k)
        if (hits[k].t >= 0 && (out_.image || inside(x0 + k, y))) light[k] = facing(c_.projector, hits[k], &len[k]);
    for (int k = 0; k < n; ++k)
        if (light[k].cos_proj > 0) light[k].lit = unshadowed(s_, hits[k], light[k], len[k]);
    Vec3 mirrored[PixelRenderer::kBlock];  // the light a mirror-like surface reflects, for the image
    Decoded decoded[PixelRenderer::kBlock];
    for (int k = 0; k < n; ++k) front(x0 + k, y, hits[k], light[k], &mirrored[k], &decoded[k]);
    Measured got;
    std::fill_n(got.ok, n, 0);
    std::fill_n(got.z, n, kNaN);
    std::fill_n(got.conf, n, 0.0);
    std::fill_n(got.column, n, kNaN);
    for (auto& q : got.q) std::fill_n(q, n, kNaN);
    const std::size_t i = static_cast<std::size_t>(y) * W_ + x0;
    for (int k = 0; k < n; ++k)
        if (decoded[k].ok) triangulate(i + k, x0 + k, y, decoded[k], &got, k);
    store(x0, y, n, hits, got);
    if (out_.image) out_.shader->shade(i, n, hits, light, mirrored, out_.image + out_.shader->channels() * i);
}

void Measurement::front(int x, int y, const Hit& h, const Lighting& l, Vec3* mirrored, Decoded* f) const {
    const Material& m = material_of(s_, h);
    Reflection reflection;
    const Reflection* r = nullptr;
    if (m.mirror > 0 && h.t >= 0 && (out_.image || inside(x, y))) {  // what the mirror-like part shows
        const Vec3 d = (h.p - cam_.t).normalized();
        reflection.q = cast(s_, h.p + h.n * 0.01, d - 2 * d.dot(h.n) * h.n);
        if (reflection.q.t >= 0) {
            const Lighting lq = lighting_of(s_, c_.projector, reflection.q);
            reflection.cos_proj = lq.cos_proj;
            reflection.lit = lq.lit;
            r = &reflection;
        }
    }
    *mirrored = Vec3::Zero();
    if (out_.image && r) *mirrored = out_.shader->diffuse_light(r->q, r->cos_proj, r->lit) * m.mirror;
    decode(x, y, h, m, l, r, f);
}

void Measurement::store(int x0, int y, int n, const Hit* hits, const Measured& got) const {
    const std::size_t i = static_cast<std::size_t>(y) * W_ + x0;
    const MeasureOut o = out_;  // a copy: the outputs' stores cannot move it
    float* const zc = zc_.get() + i;
    std::uint8_t* const outside = outside_.get() + i;
    const double zmin = p_.zmin, zmax = p_.zmax;
    for (int k = 0; k < n; ++k) zc[k] = static_cast<float>(got.z[k]);
    // The truncation window applies to the depth of the output frame (NaN: no point, not outside).
    for (int k = 0; k < n; ++k) outside[k] = (got.q[2][k] < zmin) | (got.q[2][k] > zmax);
    if (o.depth) std::copy_n(got.z, n, o.depth + i);
    if (o.points)  // the map may come unfilled
        for (int k = 0; k < n; ++k)
            for (int c = 0; c < 3; ++c) o.points[3 * (i + k) + c] = got.q[c][k];
    if (o.normals) {
        const Mat3 R = normal_R_;
        for (int k = 0; k < n; ++k) {
            const Vec3 nr = got.ok[k] ? Vec3(R * hits[k].n) : Vec3::Constant(kNaN);
            for (int c = 0; c < 3; ++c) o.normals[3 * (i + k) + c] = nr[c];
        }
    }
    if (o.confidence) std::copy_n(got.conf, n, o.confidence + i);
    if (o.phase) {
        const double fx = c_.projector_model.fx, cx = c_.projector_model.cx;
        for (int k = 0; k < n; ++k) {
            const double c = 32.0 * (fx * got.column[k] + cx);  // 1/32 pixel; NaN without a point
            o.phase[i + k] = std::isfinite(c) ? static_cast<std::uint16_t>(std::clamp(c, 1.0, 65535.0)) : 0;
        }
    }
    if (o.correspond)
        for (int k = 0; k < n; ++k) {
            double u = got.cu[k], v = got.cv[k];
            if (!got.ok[k]) {
                const Hit& h = hits[k];
                // Two-camera devices may still match the 2-D texture of what both cameras see.
                if (p_.correspond2d && other_ && h.t >= 0 && sees(*other_, h.p, &u, &v)) {
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
    const float* z = &zc_[row];
    const float* up = y > 0 ? z - W_ : nullptr;
    const float* down = y + 1 < H_ ? z + W_ : nullptr;
    const bool keep_corr = p_.correspond2d;
    // Most pixels differ from no neighbour beyond the limit and lie inside the truncation window:
    // a quick pass over a stretch of the row marks the others (the row's ends always), and only
    // those are looked at closely.
    const float* above = up ? up : z;  // a missing row is the row itself: it differs nowhere
    const float* below = down ? down : z;
    const std::uint8_t* outside_row = &outside_[row];
    constexpr int kStretch = 256;
    std::uint8_t marked[kStretch];
    for (int x0 = 0; x0 < W_; x0 += kStretch) {
        const int n = std::min(kStretch, W_ - x0);
        const int first = x0 == 0 ? 1 : 0, last = x0 + n == W_ ? n - 1 : n;  // the row's ends: marked
        for (int k = 0; k < n; ++k) marked[k] = 1;
        const float* zs = z + x0;
        const float *as = above + x0, *bs = below + x0;
        const std::uint8_t* os = outside_row + x0;
        for (int k = first; k < last; ++k) {
            const float zf = zs[k], limit = std::max(8.0f, 0.02f * zf);
            marked[k] = (std::abs(zs[k - 1] - zf) > limit) | (std::abs(zs[k + 1] - zf) > limit) |
                        (std::abs(as[k] - zf) > limit) | (std::abs(bs[k] - zf) > limit) | os[k];
        }
        for (int k = 0; k < n; ++k)
            if (marked[k]) finish_pixel(x0 + k, y, keep_corr);
    }
}

void Measurement::finish_pixel(int x, int y, bool keep_corr) const {
    const std::size_t row = static_cast<std::size_t>(y) * W_;
    const float* z = &zc_[row];
    const float* up = y > 0 ? z - W_ : nullptr;
    const float* down = y + 1 < H_ ? z + W_ : nullptr;
    const float zf = z[x];
    if (std::isnan(zf)) return;  // no point (pass one set its depth NaN)
    // A pixel across a depth edge sees both surfaces: its phase, and so its point, mixes them.
    // The neighbour differing most beyond the limit (left, right, up, down: the first of equals).
    const float limit = std::max(8.0f, 0.02f * zf);
    float across = 0, step = 0;
    auto look = [&](float zn) {
        const float diff = std::abs(zn - zf);
        if (diff > limit && diff > step) step = diff, across = zn;  // NaN compares false
    };
    if (x > 0) look(z[x - 1]);
    if (x + 1 < W_) look(z[x + 1]);
    if (up) look(up[x]);
    if (down) look(down[x]);
    const std::size_t i = row + x;
    bool outside = outside_[i];  // the truncation window applies to the depth of the output frame
    if (step > 0) {
        if (p_.noise_removal) {
            invalidate(i, keep_corr);
            return;
        }
        const double depth = out_.depth ? out_.depth[i] : zf;
        // Mostly its own surface (the pixel's centre lies on it), partly the other one.
        const double w = 0.5 + 0.5 * PixelNoise::uniform(edge_noise_.bits(i));
        const double mixed = w * depth + (1 - w) * across;
        const Vec3 ray = rep_.ray(x, y);
        const Vec3 p = rep_.t + rep_.R * ray * (mixed / ray.z());
        const Vec3 q = out_R_ * p + out_t_;
        if (out_.points) std::copy(q.data(), q.data() + 3, out_.points + 3 * i);
        outside = q.z() < p_.zmin || q.z() > p_.zmax;
        if (out_.confidence) out_.confidence[i] *= 0.3;
        if (out_.correspond && other_rep_) {
            double u, v;
            if (other_rep_->project(other_rep_->from_device(p), &u, &v))
                out_.correspond[2 * i] = u, out_.correspond[2 * i + 1] = v;
        }
        if (out_.depth) out_.depth[i] = mixed;
    }
    if (out_.points && outside) invalidate(i, keep_corr);
}

}  // namespace

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
