// Stand-in SDK: light bounced once between surfaces. Where a surface sees another lit surface, that
// surface's fringes reach the pixel too and pull its phase; the light is smooth, so it is cast from
// a coarse grid of pixels and interpolated between them.
#pragma once
#include <cstdint>
#include <vector>

#include "core/knobs.h"
#include "render/camera_model.h"
#include "world/scene.h"

namespace sim {

// The bounce rays of a capture: from the surface each grid pixel sees, kRays rays spread over its
// hemisphere by the cosine (stratified, turned per pixel from the noise seed), each followed by a
// shadow ray from what it meets towards the projector. The capture and the ray-casting floor both
// cast these.
struct BouncePlan {
    static constexpr int kCell = 8;  // grid pixels apart (and the image's last row and column)
    static constexpr int kRays = 4;  // per grid pixel
    bool on = false;                 // truth mode casts none
    int width = 0, height = 0, columns = 0, rows = 0;
    std::uint64_t key = 0;
    int x_of(int gx) const { return gx * kCell < width ? gx * kCell : width - 1; }
    int y_of(int gy) const { return gy * kCell < height ? gy * kCell : height - 1; }
    int nodes() const { return columns * rows; }
};
BouncePlan bounce_plan(const Knobs& k, int width, int height);
// Where grid pixel `node`'s surface point `p` (normal `n`, facing the camera) sends its rays from,
// and ray j's unit direction.
inline Vec3 bounce_origin(const Vec3& p, const Vec3& n) { return p + n * 0.01; }
Vec3 bounce_direction(const BouncePlan& plan, int node, int j, const Vec3& n);
// The shadow ray from a bounce ray's hit towards the projector as the capture casts it: origin,
// unit direction and length (false: none is cast, the hit faces away).
bool bounce_shadow(const Vec3& projector, const Hit& q, Vec3* o, Vec3* d, double* len);

// The bounced light over a camera's pixels. Per grid pixel: the light arriving from other lit
// surfaces (diffuse reflectance in the projector's colour x cosine of the light's incidence /
// squared distance to the projector, mm^-2, averaged over the hemisphere) and its fringes as a
// phasor relative to the pixel's own phase (damped by how much the fringes vary over what each
// ray stands for), and the same for the codes' wider stripes.
class IndirectLight {
public:
    // `projector` and `projector_model`: the true projector; `fringe`: one fringe period in its
    // normalised columns; `weights`: the projector colour's weights of the reflectance; `codes`:
    // whether the codes' phasor is wanted (else left 0).
    IndirectLight(const Scene& s, const CameraModel& cam, const Vec3& projector, const CameraModel& projector_model,
                  double fringe, const Vec3& weights, const BouncePlan& plan, bool codes, double threads);
    // At pixel (x, y), which sees `object`, interpolated from the grid pixels on that object where
    // there are some: the light, its fringes' phasor (re, im) and the size of the phasor of the
    // codes' stripes (a few fringes wide, so they keep more of it).
    struct Sample {
        double light = 0, re = 0, im = 0, code = 0;
    };
    Sample at(int x, int y, int object) const;

private:
    struct Node {
        double light = 0;  // (a float's value: the light is kept to a float's precision)
        float re = 0, im = 0, code = 0;
        int object = -1;
        bool fringes = false;  // any of re, im and code not 0
        bool plain = false;    // the cell this node is the first corner of: no fringes at any corner
    };
    // A pixel column (row): the first grid column of the cell it lies in (for a row, the index of
    // that grid row's first node), how far across the cell it lies (t, 0 .. 1) and 1 - t.
    struct Axis {
        double t = 0, u = 1;
        int first = 0;
    };
    // at() for a pixel whose cell has fringes at a corner (`a` its first node); kept out of the
    // usual pixel's path.
    [[gnu::noinline]] Sample mixed(const Node* a, const Axis& ax, const Axis& ay, int object) const;
    BouncePlan plan_;
    std::vector<Node> nodes_;
    std::vector<Axis> across_, down_;
};

}  // namespace sim
