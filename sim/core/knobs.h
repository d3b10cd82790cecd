// Stand-in SDK: the knobs tests turn through tuvo_sim (scene, noise and device parameters) as one
// typed record, read once per SDK call at its entry point and handed down as `const Knobs&`.
#pragma once
#include <cstddef>
#include <cstdint>
#include <limits>

namespace sim {

// Every value as the control interface gives it: the default when unset (or, for a ranged knob,
// not a number), else the value held to the knob's range. Keys with generated names (a device's
// `device.<serial>.connected`, an object's `scene.object.<name>.*`) are read where their name is
// known, by the entry point.
struct Knobs {
    double noise_seed = 1;            // noise.seed
    std::uint64_t noise_seed_version = 0;  // changes whenever noise.seed is set or unset
    double noise_scale = 1;           // noise.scale
    double truth = 0;                 // sim.truth
    double max_angle_deg = std::numeric_limits<double>::quiet_NaN();  // sim.max_angle_deg (NaN: the rig's)
    double render_threads = 0;        // render.threads
    double timing_realistic = 0;      // timing.realistic
    double memory_available_mb = -1;  // memory.available_mb
    double move_x = 0, move_y = 0, move_z = 0;  // scene.move_*
    double turn_x = 0, turn_y = 0;              // scene.turn_*
    double board = 1;                 // scene.board
    double cover_travel_ms = 400;     // cover.travel_ms
    double cover_timeout_ms = 10000;  // cover.timeout_ms
    double save_fail_after_bytes = -1;  // save.fail_after_bytes
    double max_mesh_bytes = 268435456;        // scene.max_mesh_bytes (256 MiB)
    double max_mesh_triangles = 4000000;      // scene.max_mesh_triangles
    double warm_up_s = 0;             // sim.warm_up_s

    // Truth mode: the reported calibration is the true one; no systematic error, no correlated noise.
    bool truth_mode() const { return truth != 0; }
    bool with_board() const { return board != 0; }
    bool realistic_timing() const { return timing_realistic != 0; }
    // The angle limit of a device whose rig gives `rig_deg`, held to 1 .. 89.9 degrees.
    double max_angle(double rig_deg) const;
};

// One knob: its tuvo_sim name, default and range (both infinite: read as given, NaN included),
// a line of documentation, and where it lives in the record.
struct KnobField {
    const char* name;
    double fallback, lo, hi;
    const char* doc;
    double Knobs::*field;
};
// The knobs in the order the README lists them.
extern const KnobField kKnobFields[];
extern const std::size_t kKnobCount;

}  // namespace sim
