// Stand-in SDK: materials of the scene's objects steered by scene parameters.
#pragma once
#include "world/scene.h"

namespace sim {

// Applies the scene parameters scene.object.<name>.<albedo|albedo_r|albedo_g|albedo_b|specular|
// shininess|mirror|translucency> to the materials of the scene's objects by name (values clamped
// to their ranges; NaN ignored).
void apply_material_params(Scene& s);

}  // namespace sim
