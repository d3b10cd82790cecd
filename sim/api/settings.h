// Stand-in SDK: a camera's settings file: bandwidth, white balance and the custom transformation.
#pragma once
#include <string>

#include "api/camera.h"

namespace sim {

// The largest custom transformation selection the camera takes (X1: the board; X2: the board, or
// the extra camera where the device has one).
unsigned max_transform_select(const CameraState& c);
// The camera's settings as the file holds them.
std::string format_settings(CameraState& c);
// Reads a settings file into the camera; false with `why` set (and the camera unchanged) on a fault.
bool parse_settings(CameraState& c, const std::string& text, std::string* why);

}  // namespace sim
