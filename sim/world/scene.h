// Stand-in SDK: the virtual scene (objects, materials, the marker board) and the rays cast into it.
#pragma once
#include <Eigen/Dense>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/geometry.h"

namespace sim {

// The marker layout of the calibration board: rows x cols coded markers.
struct MarkerSpec {
    int N = 12;
    double r0_mm = 6.0, r1_ratio = 2.0, r2_ratio = 3.0;
    double spacing_mm = 62.0;
    int rows = 3, cols = 4;
};

// The bit patterns (bit i: sector i, counted anticlockwise from the board's +x axis) of the first
// n markers, fewer when the code book holds fewer (made in one pass), and the code a detector
// reports for a pattern (its smallest rotation).
std::vector<std::uint32_t> marker_patterns(int n, int N);
int marker_code(std::uint32_t pattern, int N);
std::uint32_t smallest_rotation(std::uint32_t pattern, int N);

// What a surface does with the projector's light.
struct Material {
    Vec3 albedo = Vec3::Constant(0.8);  // diffuse reflectance per colour channel, 0..1
    double specular = 0;                // strength of the specular lobe (0 matte .. 1 polished)
    double shininess = 40;              // tightness of the lobe (Phong exponent)
    double mirror = 0;                  // share reflected like a mirror onto other surfaces, 0..1
    // Light that enters the surface and comes back out from below it, 0..1: its share of the diffuse
    // light and, in units of kScatterMm, how deep it comes back from on average (wax, skin, some plastics).
    double translucency = 0;
    static constexpr double kScatterMm = 2.0;
};

enum class Shape { Plane, Box, Sphere, Cylinder, Board, Mesh };

struct Mesh;   // world/mesh.h
class Accel;   // world/embree_scene.h
struct SceneSource;  // world/scene_file.h

// A pattern printed on an object, in its own frame: "waves" scales the albedo by
// 1 + contrast * w(x / period_x) * w(y / period_y), w a smooth wave of period 2 pi in [-1, 1].
struct Texture {
    double contrast = 0;
    double period_x = 1, period_y = 1;
};

// One object where it stands at a capture: its shape in its own frame and its pose.
struct Object {
    Shape shape = Shape::Box;
    Mat3 R = Mat3::Identity();  // object frame to device frame
    Vec3 t = Vec3::Zero();      // the object's origin in the device frame (mm)
    // Box: half edges; plane and board: half width and height (x, y); sphere: radius; cylinder:
    // radius and height (its base at the origin, its axis +z).
    Vec3 half = Vec3::Zero();
    double radius = 0, height = 0;
    Vec3 scale = Vec3::Ones();  // mesh: file units to mm, per axis
    std::shared_ptr<const Mesh> mesh;
    Texture texture;
    bool hidden = false;  // left out of ray casting (the board with scene.board = 0)
};

struct Scene {
    // Per object, indexed by Hit::object: a unique name and the object's material (its albedo is
    // the base that textures such as the board's print modulate).
    std::vector<std::string> names;
    std::vector<Material> materials;
    std::vector<Object> objects;
    double near_mm = 400, far_mm = 1200;
    double ambient_lux = 500;  // the room's light (illuminance, lux)
    // The marker board (at most one per scene; board < 0 when there is none). Origin at its
    // centre, x/y axes in its plane, z its normal (towards the print's viewer).
    int board = -1;
    Mat3 board_R = Mat3::Identity();
    Vec3 board_t = Vec3::Zero();
    double board_w = 0, board_h = 0;
    MarkerSpec markers;
    std::vector<std::uint32_t> patterns;  // per marker, before it is turned on the board
    bool with_board = true;
    // The ray-casting structure of the objects as placed (shared, immutable once built).
    std::shared_ptr<const Accel> accel;
    // What the placement was made from: kept while these stay the same.
    std::shared_ptr<const SceneSource> source;
    double range_scale = 0;
    std::uint64_t step = 0;

    // The built-in default scene for a working range, as placed for the first capture.
    static Scene make(double near_mm, double far_mm);
    // Centre of marker k in the board frame (mm).
    Vec3 marker_centre_board(int k) const;
    Vec3 marker_centre_device(int k) const { return board_R * marker_centre_board(k) + board_t; }
    int marker_count() const { return board < 0 ? 0 : markers.rows * markers.cols; }
};

// Per-pixel result of casting one ray: hit point (device frame), normal, surface reflectance.
struct Hit {
    double t = -1;  // distance along the ray, < 0: no hit
    Vec3 p, n;      // n faces the ray's origin
    Vec3 albedo;    // diffuse RGB reflectance 0..1 at this point (the material's, textures applied)
    int object = -1;  // index into Scene::names and Scene::materials
};

// Casts a ray from `o` along unit `d` (device frame).
Hit cast(const Scene& s, const Vec3& o, const Vec3& d);
// The same into *h without the albedo (left as it was), for callers that add it later with
// surface_albedo.
void cast_shape(const Scene& s, const Vec3& o, const Vec3& d, Hit* h);
// The same for the n rays from `o` along unit d[0 .. n - 1] (neighbouring pixels of a camera, as
// many as n <= 64), cast together: h[k] is what cast_shape gives for d[k].
void cast_shapes(const Scene& s, const Vec3& o, const Vec3* d, int n, Hit* h);
// Whether anything lies on the segment from `a` towards `b` (shadow test), ignoring a margin.
bool occluded(const Scene& s, const Vec3& a, const Vec3& b);
// Where a ray meets the board (distance, < 0 when it misses), and the board-frame point it meets.
double hit_board(const Scene& s, const Vec3& o, const Vec3& d, double* bx, double* by);
// The board's print at a board-frame point: 0.92 on white, 0.05 on marker ink. A board's albedo
// is its material's albedo times this over 0.92.
double board_albedo(const Scene& s, double x, double y);
// The same for a point in the cell of marker k (its centre `centre`, board frame).
double marker_print(const Scene& s, int k, const Vec3& centre, double x, double y);
// The marker cell *k that board point (x, y) (board frame, mm) lies in; false outside them all.
bool marker_cell(const Scene& s, double x, double y, int* k);
// Whether the print changes anywhere within `rho` of a board-frame point (an edge of a marker's
// dot, ring or sectors, a cell's border or the board's), so that a pixel covering only that disc
// sees one value of board_albedo.
bool print_edge_near(const Scene& s, double x, double y, double rho);
// The albedo of object `object` at device-frame point `p` (its material with its texture).
Vec3 surface_albedo(const Scene& s, int object, const Vec3& p);
// The same into h[k].albedo for each of the hits h[0 .. n - 1] that met a surface (t >= 0).
void surface_albedos(const Scene& s, Hit* h, int n);
// The same, hits on object `skip` left as they are.
void surface_albedos(const Scene& s, Hit* h, int n, int skip);

}  // namespace sim
