// Stand-in SDK: the rig description, the text that names the virtual devices and what they can do.
#pragma once
#include <memory>
#include <string>
#include <vector>

#include "api/state.h"

namespace sim {

// The default rig: a three-camera device over USB and a one-camera colour device over GigE.
extern const char kDefaultRig[];

// Parses a rig description; returns false with `why` set on a malformed text. Relative playback
// folders are taken from `base`.
bool parse_rig(const std::string& text, std::vector<std::shared_ptr<DeviceState>>* out,
               std::string* why, const std::string& base = "");

}  // namespace sim
