// Stand-in SDK: reading the tuvo_sim knobs into their typed record.
#include "control/knobs.h"

#include <algorithm>
#include <cmath>

#include "control/core.h"

namespace sim {

Knobs read_knobs() {
    Knobs k;
    for (std::size_t i = 0; i < kKnobCount; ++i) {
        const KnobField& f = kKnobFields[i];
        const double v = param(f.name, f.fallback);
        // A ranged knob set to something not a number keeps its default; the others take it as is.
        const bool ranged = !(std::isinf(f.lo) && std::isinf(f.hi));
        k.*f.field = !ranged ? v : std::isnan(v) ? f.fallback : std::clamp(v, f.lo, f.hi);
    }
    k.noise_seed_version = param_version("noise.seed");
    return k;
}

bool device_connected(const std::string& sn) { return param("device." + sn + ".connected", 1.0) != 0.0; }

}  // namespace sim
