// Stand-in SDK: the virtual scene and the rays cast into it.
#pragma once
#include <Eigen/Dense>
#include <cstdint>
#include <string>
#include <vector>

#include "render/camera_model.h"

namespace sim {

// The marker layout of the calibration board: rows x cols coded markers.
struct MarkerSpec {
    int N = 12;
    double r0_mm = 6.0, r1_ratio = 2.0, r2_ratio = 3.0;
    double spacing_mm = 62.0;
    int rows = 3, cols = 4;
};

// The bit pattern (bit i: sector i, counted anticlockwise from the board's +x axis) of the k-th
// marker and the code a detector reports for it (the smallest rotation of the pattern).
std::uint32_t marker_pattern(int k, int N);
int marker_code(std::uint32_t pattern, int N);
std::uint32_t smallest_rotation(std::uint32_t pattern, int N);

// What a surface does with the projector's light.
struct Material {
    Vec3 albedo = Vec3::Constant(0.8);  // diffuse reflectance per colour channel, 0..1
    double specular = 0;                // strength of the specular lobe (0 matte .. 1 polished)
    double shininess = 40;              // tightness of the lobe (Phong exponent)
    double mirror = 0;                  // share reflected like a mirror onto other surfaces, 0..1
};

struct Scene {
    // Per object, indexed by Hit::object: a unique name and the object's material (its albedo is
    // the base that textures such as the board's print modulate).
    std::vector<std::string> names;
    std::vector<Material> materials;
    double near_mm = 400, far_mm = 1200;
    // Ground plane n . x = d (device frame), its texture albedo varies gently.
    Vec3 plane_n;
    double plane_d = 0;
    Vec3 sphere_c;
    double sphere_r = 0;
    Vec3 box_c, box_half;
    Mat3 box_R;  // box frame to device
    Vec3 cyl_c;  // base centre; axis along cyl_axis
    Vec3 cyl_axis;
    double cyl_r = 0, cyl_h = 0;
    // Marker board: origin at its centre, x/y axes in its plane, z its normal (towards camera).
    Mat3 board_R;
    Vec3 board_t;
    double board_w = 0, board_h = 0;
    MarkerSpec markers;
    std::vector<std::uint32_t> patterns;  // per marker, before it is turned on the board
    bool with_board = true;

    static Scene make(double near_mm, double far_mm);
    // Centre of marker k in the board frame (mm).
    Vec3 marker_centre_board(int k) const;
    Vec3 marker_centre_device(int k) const { return board_R * marker_centre_board(k) + board_t; }
    int marker_count() const { return markers.rows * markers.cols; }
};

// Per-pixel result of casting one ray: hit point (device frame), normal, surface reflectance.
struct Hit {
    double t = -1;  // distance along the ray, < 0: no hit
    Vec3 p, n;
    Vec3 albedo;    // diffuse RGB reflectance 0..1 at this point (the material's, textures applied)
    int object = -1;  // index into Scene::names and Scene::materials
};

// Casts a ray from `o` along unit `d` (device frame).
Hit cast(const Scene& s, const Vec3& o, const Vec3& d);
// Whether anything lies on the segment from `a` towards `b` (shadow test), ignoring a margin.
bool occluded(const Scene& s, const Vec3& a, const Vec3& b);
// Where a ray meets the board (distance, < 0 when it misses), and the board-frame point it meets.
double hit_board(const Scene& s, const Vec3& o, const Vec3& d, double* bx, double* by);
// The board's reflectance at a board-frame point (0 black marker ink, ~0.92 white).
double board_albedo(const Scene& s, double x, double y);

}  // namespace sim
