// Stand-in SDK: scene files (TOML) describing the objects a device looks at, and the built-in default.
#pragma once
#include <memory>
#include <string>
#include <vector>

#include "world/mesh.h"
#include "world/motion.h"
#include "world/scene.h"

namespace sim {

// One object as the file describes it: shape, pose at rest, material and motion, lengths as
// written (a placement scales them with the device's range when the scene asks for it).
struct ObjectSpec {
    std::string name;
    int line = 0;     // where the file describes it
    Object object;    // shape and pose at rest
    MarkerSpec markers;  // boards
    Material material;
    MotionStep motion;
};

// A loaded scene: immutable, shared by every device and camera that looks at it.
struct SceneSource {
    std::string path;           // the file, or "" for the built-in default scene
    double reference_mm = 0;    // > 0: lengths scale by z0 / reference_mm (z0: see range_scale)
    double ambient_lux = 500;   // the room's light, lux (an office)
    std::vector<ObjectSpec> objects;
    MotionStep device;          // the device's own motion
    int board = -1;             // index of the marker board, if any
    std::size_t triangles = 0;  // of all its meshes
    bool moves() const;
    // The factor lengths are multiplied by for a device with this working range: 1, or
    // z0 / reference_mm with z0 = near + 0.6 (far - near), where the default scene's table lies.
    double range_scale(double near_mm, double far_mm) const;
};

// Limits of a scene file (mesh limits: world/mesh.h).
constexpr std::uint64_t kMaxSceneFileBytes = 1 << 20;
constexpr std::size_t kMaxObjects = 10000;
constexpr std::uint64_t kMaxSceneTriangles = 8000000;
// Objects as placed for a device (lengths scaled for its range): within this of the device, mm,
// and at least this large, mm, for the renderer to handle them.
constexpr double kMaxPlacedReach = 1e9;
constexpr double kMinPlacedSize = 1e-4;
// The room light a scene may set, lux (full sunlight is about 100 000).
constexpr double kMaxAmbientLux = 200000;

// Reads a scene file. Null with `why` set ("<file>: line <n>: object '<name>': <reason>") on
// any fault; nothing is kept of a scene that fails.
std::shared_ptr<const SceneSource> load_scene(const std::string& path, const MeshLimits& limits, std::string* why);
// Parses scene text; `path` names it in messages and anchors the relative mesh paths; each mesh is
// held to `limits`.
std::shared_ptr<const SceneSource> parse_scene(const std::string& text, const std::string& path,
                                               const MeshLimits& limits, std::string* why);
// The built-in default scene (sim/scenes/default.toml, compiled into the library).
std::shared_ptr<const SceneSource> default_scene();
// The scene one device of a rig asks for: the rig's `scene` key ("" when it names none) and the
// device's working range, which the scene's objects must fit once placed.
struct SceneWanted {
    std::string path;
    double near_mm = 0, far_mm = 0;
};
// Loads the scene of every device of a rig: its `scene` key, else the file TUVO_SIM_SCENE names,
// else the default (a file several devices name is loaded once). Relative paths in the rig are
// taken from `rig_folder`. False with `*failed` the device's index and `why` the fault
// ("scene <file>: ...").
bool load_scenes(const std::vector<SceneWanted>& wanted, const std::string& rig_folder, const MeshLimits& limits,
                 std::vector<std::shared_ptr<const SceneSource>>* out, std::size_t* failed, std::string* why);

}  // namespace sim
