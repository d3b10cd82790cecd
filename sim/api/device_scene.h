// Stand-in SDK: the scene each device of the rig looks at, loaded once and placed for each capture.
#pragma once
#include <memory>
#include <string>
#include <vector>

#include "api/state.h"
#include "core/knobs.h"
#include "world/scene.h"

namespace sim {

// Loads the scene of every device of a rig: its `scene` key, else the file TUVO_SIM_SCENE names,
// else the default (a file several devices name is loaded once). Relative paths in the rig are
// taken from `rig_folder`. False with `why` naming the device and the fault.
bool load_scenes(std::vector<std::shared_ptr<DeviceState>>& rig, const std::string& rig_folder, const Knobs& k,
                 std::string* why);

// Places the device's scene for its next capture (the marker board shown as the knobs say).
void place_scene(Scene& s, DeviceState& d, const Knobs& k);

}  // namespace sim
