// Stand-in SDK: the scene each device of the rig looks at, loaded once and placed for each capture.
#include "api/device_scene.h"

#include "world/mesh.h"
#include "world/motion.h"
#include "world/scene_file.h"

namespace sim {

bool load_scenes(std::vector<std::shared_ptr<DeviceState>>& rig, const std::string& rig_folder, const Knobs& k,
                 std::string* why) {
    std::vector<SceneWanted> wanted;
    wanted.reserve(rig.size());
    for (const auto& d : rig) wanted.push_back({d->scene_path, static_cast<double>(d->near_mm), static_cast<double>(d->far_mm)});
    std::vector<std::shared_ptr<const SceneSource>> scenes;
    std::size_t failed = 0;
    if (!load_scenes(wanted, rig_folder, mesh_limits(k), &scenes, &failed, why)) {
        *why = "device " + rig[failed]->sn + ": " + *why;
        return false;
    }
    for (std::size_t i = 0; i < rig.size(); ++i) rig[i]->scene = scenes[i];
    return true;
}

void place_scene(Scene& s, DeviceState& d, const Knobs& k) {
    std::shared_ptr<const SceneSource> source;
    std::uint64_t step;
    {
        std::lock_guard<std::mutex> lock(d.m);
        source = d.scene;
        step = d.captures;
    }
    if (!source) source = default_scene();
    place_scene(s, source, d.near_mm, d.far_mm, step, k.with_board());
}

}  // namespace sim
