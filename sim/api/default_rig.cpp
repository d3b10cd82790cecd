// Stand-in SDK: the rig the SDK finds when neither the test nor the environment names one.
#include "api/rig.h"

namespace sim {

const char kDefaultRig[] =
    "# The default virtual rig.\n"
    "[device]\n"
    "name = TUVO Virtual S3\n"
    "sn = VS3-000101\n"
    "factory_date = 2026-03-14\n"
    "port = usb:2-1.4\n"
    "port_type = usb\n"
    "cameras = left, right, extra\n"
    "x1 = yes\n"
    "x2 = yes\n"
    "cover = yes\n"
    "color = white, blue\n"
    "capture_modes = fast, normal, ultra, robust, antiinterreflection, fixedlinescan\n"
    "near_mm = 400\n"
    "far_mm = 1200\n"
    "width = 1280\n"
    "height = 1024\n"
    "baseline_mm = 120\n"
    "[device]\n"
    "name = TUVO Virtual M1\n"
    "sn = VM1-000202\n"
    "factory_date = 2025-11-02\n"
    "port = 169.254.20.10\n"
    "port_type = gige\n"
    "cameras = left\n"
    "x1 = yes\n"
    "x2 = no\n"
    "cover = no\n"
    "color = blue\n"
    "color_camera = yes\n"
    "capture_modes = fast, normal, robust\n"
    "near_mm = 600\n"
    "far_mm = 2000\n"
    "width = 1600\n"
    "height = 1200\n";

}  // namespace sim
