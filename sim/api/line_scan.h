// Stand-in SDK: the fixed line scan's producer thread, and stopping it.
#pragma once
#include <memory>
#include <string>

#include "api/camera.h"

namespace sim {

// The producer of a fixed line scan (X2): a laser line sweeps the scene once per `period_ms`; it
// publishes a complete point map (points nearer than `zmin` or farther than `zmax` dropped, where
// those are positive) at the end of every sweep, until stopped. A failure ends the scan; the next
// call on it reports why.
void scan_loop(std::shared_ptr<CameraState> c, CaptureParams p, CustomTransform t, int period_ms, double zmin,
               double zmax);

// Stops the fixed line scan and joins its producer. Exactly one caller joins; callers that find a
// stop under way wait for it to finish. Stopped: a running scan was stopped (by this call or the one
// it waited for); Ended: the producer had ended on its own (its error in `why` and `code`); Idle:
// there was no scan.
enum class ScanStop { Idle, Stopped, Ended };
ScanStop stop_scanner(CameraState& c, int* code = nullptr, std::string* why = nullptr);
// Stops every camera's scan at the process's exit, before the state the producers use is torn
// down; registered once, when the first scan starts.
void stop_scanners_at_exit();

}  // namespace sim
