// Stand-in SDK: the knobs as tests set them now, read into one record at an SDK call's entry point.
#pragma once
#include <string>

#include "core/knobs.h"

namespace sim {

// Every knob of the table in core/knobs.cpp, read once.
Knobs read_knobs();

// Whether the device with this serial number is plugged in (`device.<serial>.connected`, default 1).
bool device_connected(const std::string& sn);

}  // namespace sim
