// Stand-in SDK: materials of the scene's objects steered by scene parameters.
#include "api/materials.h"

#include <algorithm>
#include <cmath>

#include "control/core.h"

namespace sim {

void apply_material_params(Scene& s) {
    const std::size_t n = std::min(s.names.size(), s.materials.size());
    for (std::size_t k = 0; k < n; ++k) {
        Material& m = s.materials[k];
        const std::string base = "scene.object." + s.names[k] + ".";
        auto read = [&](const char* key, double lo, double hi, double* out) {
            const double v = param(base + key, std::nan(""));
            if (!std::isnan(v)) *out = std::clamp(v, lo, hi);
        };
        double grey = std::nan("");
        read("albedo", 0, 1, &grey);
        if (!std::isnan(grey)) m.albedo = Vec3::Constant(grey);
        for (int c = 0; c < 3; ++c) {
            static const char* keys[3] = {"albedo_r", "albedo_g", "albedo_b"};
            read(keys[c], 0, 1, &m.albedo[c]);
        }
        read("specular", 0, 1, &m.specular);
        read("shininess", 1, 10000, &m.shininess);
        read("mirror", 0, 1, &m.mirror);
        read("translucency", 0, 1, &m.translucency);
    }
}

}  // namespace sim
