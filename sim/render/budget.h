// Stand-in SDK: what a capture's results take in memory, and refusing captures that cannot fit.
#pragma once
#include <cstdint>

#include "core/knobs.h"
#include "core/report.h"
#include "render/optics.h"
#include "render/params.h"

namespace sim {

enum class CaptureKind { Points, Image, LineScan };

// Bytes of the results one capture hands back: per pixel the points (24), depth (8) and
// confidence (8), normals (24) when asked for, images (1 grey or 3 colour per camera) when taken,
// correspondences (16) for X2.
// `cameras`: the CameraID flags of the cameras the handle holds; `x2`: a two-camera handle.
std::uint64_t result_bytes(const DeviceOptics& o, unsigned cameras, bool x2, const CaptureParams& p, CaptureKind kind);

// Memory the process can still take: MemAvailable, and what RLIMIT_AS and RLIMIT_DATA leave (the
// knob memory.available_mb, when not negative, stands in for all three).
std::uint64_t available_memory(const Knobs& k);

// A capture may take three times the bytes of its results while it runs, and 36 bytes per pixel
// for each view it renders. False (last error Error_OutOfMemory, naming the size and the figures)
// when that is more than is available; nothing is allocated before the check.
bool fits_memory(const DeviceOptics& o, unsigned cameras, bool x2, const CaptureParams& p, CaptureKind kind,
                 const Knobs& k, Report& report);

}  // namespace sim
