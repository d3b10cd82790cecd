// Stand-in SDK: the SDK's life cycle: the rig read and the scenes loaded at SystemInit, everything
// released at SystemShutdown, and the control interface's reset and rig.
#include <unistd.h>

#include <cstdlib>

#include "api/device_scene.h"
#include "api/rig.h"
#include "api/state.h"
#include "control/control.h"
#include "control/core.h"
#include "control/knobs.h"
#include "core/errors.h"
#include "core/files.h"

namespace sim {

namespace {

std::string g_rig_text;  // set by tuvo_sim_set_rig; empty means the environment or the default
bool g_rig_text_set = false;
std::string g_rig_base;  // the current folder when tuvo_sim_set_rig was called

std::string current_folder() {
    char buf[4096];
    return ::getcwd(buf, sizeof buf) ? std::string(buf) : std::string();
}

// Reads the rig: the text set by the control interface, else the file named by TUVO_SIM_RIG,
// else the default rig. Relative playback folders and scene files are taken from the rig file's
// folder, `base` (the current folder for a text set by the control interface).
bool load_rig(std::vector<std::shared_ptr<DeviceState>>* out, std::string* base, std::string* why) {
    std::string text = kDefaultRig;
    if (g_rig_text_set) {
        text = g_rig_text;
        *base = g_rig_base;
    } else if (const char* path = std::getenv("TUVO_SIM_RIG")) {
        if (*path && !read_regular_file(path, 1u << 20, &text, why)) return false;
        const std::string here = path[0] == '/' ? std::string() : current_folder();
        const std::string file = here.empty() ? std::string(path) : here + "/" + path;
        const std::size_t slash = file.rfind('/');
        // A rig in the root folder: "/"; a relative name when the current folder has no name: its
        // folder as given ("" is the current one).
        *base = slash == std::string::npos ? "" : slash == 0 ? "/" : file.substr(0, slash);
    }
    if (!parse_rig(text, out, why, *base)) return false;
    for (auto& d : *out)
        for (auto& n : d->net) n.type = TUVO::NetworkType_DHCP;
    return true;
}

}  // namespace

}  // namespace sim

using namespace sim;

namespace TUVO {

bool SystemInit() try {
    Call call("SystemInit");
    if (call.failed()) return false;
    World& w = world();
    std::lock_guard<std::mutex> lock(w.m);
    if (w.inited) return true;
    std::vector<std::shared_ptr<DeviceState>> rig;
    std::string why, rig_base;
    if (!load_rig(&rig, &rig_base, &why)) {
        call.fail(Error_InvalidArgument, "rig description: " + why);
        return false;
    }
    if (!load_scenes(rig, rig_base, read_knobs(), &why)) {
        call.fail(Error_InvalidArgument, why);
        return false;
    }
    w.devices.clear();
    w.rig = std::move(rig);
    w.handles.assign(w.rig.size(), {0, 0});
    w.inited = true;
    clear_error();
    return true;
} catch (...) { return escaped(false); }

bool SystemIsInited() try {
    Call call("SystemIsInited");
    return sdk_inited();
} catch (...) { return escaped(false); }

void release_all_objects();             // cameras, defined with them
void release_all_objects_containers();  // images, point maps and maps

void SystemShutdown() try {
    Call call("SystemShutdown");
    {
        World& w = world();
        std::lock_guard<std::mutex> lock(w.m);
        if (!w.inited) return;
        w.inited = false;
        w.devices.clear();
    }
    release_all_objects();
} catch (...) { escaped(); }

}  // namespace TUVO

extern "C" {

void tuvo_sim_reset(void) {
    reset_control();
    TUVO::SystemShutdown();
    TUVO::release_all_objects_containers();
    clear_error();
}

int tuvo_sim_set_rig(const char* text) {
    std::vector<std::shared_ptr<DeviceState>> rig;
    std::string why;
    const std::string base = current_folder();
    if (text && !parse_rig(text, &rig, &why, base)) {
        set_error(TUVO::Error_InvalidArgument, "tuvo_sim_set_rig", why);
        return -1;
    }
    g_rig_base = base;
    g_rig_text_set = text != nullptr;
    g_rig_text = text ? text : "";
    return 0;
}

}  // extern "C"
