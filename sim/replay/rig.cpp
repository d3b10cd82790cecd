// Stand-in SDK, playback: the rig's playback devices, described by their recordings.
#include <algorithm>
#include <cctype>

#include "replay/playback.h"

namespace sim {
namespace replay {

namespace {

// Keys a playback device may still take from the rig; the rest of its description is recorded.
const std::set<std::string> kRigKeys = {"playback", "loop", "sn", "name", "port", "port_type"};

}  // namespace

bool rig_key(RigEntry& e, const std::string& key, const std::string& value, const std::string& base, std::string* why) {
    if (key == "loop") {
        std::string v = value;
        for (auto& ch : v) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
        if (v == "yes" || v == "true" || v == "1" || v == "on") e.loop = true;
        else if (v == "no" || v == "false" || v == "0" || v == "off") e.loop = false;
        else return *why = "loop must be yes or no", false;
        return true;
    }
    if (value.empty()) return *why = "playback needs the folder of a recording", false;
    if (value.find('\0') != std::string::npos) return *why = "the playback folder's name holds a NUL character", false;
    if (value.size() > 4096) return *why = "the playback folder's name is longer than 4096 bytes", false;
    e.path = (value[0] == '/' || base.empty()) ? value : base + (base.back() == '/' ? "" : "/") + value;
    return true;
}

bool attach(DeviceState& d, const RigEntry& e, std::string* why) {
    if (e.path.empty()) {
        if (e.keys.count("loop")) return *why = "loop needs playback", false;
        return true;
    }
    for (const std::string& k : e.keys)
        if (!kRigKeys.count(k)) return *why = k + " cannot be set for a playback device: its recording describes it", false;
    auto pb = std::make_shared<Playback>();
    if (!load_manifest(e.path, &pb->rec, why)) return false;
    pb->loop = e.loop;
    const Description& r = pb->rec.device;
    if (!e.keys.count("name")) d.name = r.name;
    if (!e.keys.count("sn")) d.sn = r.sn;
    if (!e.keys.count("port")) d.port = r.port;
    if (!e.keys.count("port_type")) d.port_type = r.port_type;
    d.factory_date = r.factory_date;
    d.cameras = r.cameras;
    d.boardmodel = r.boardmodel;
    d.x1 = r.x1;
    d.x2 = r.x2;
    d.cover = r.cover;
    d.extra = r.extra;
    d.projector_colors = r.colors;
    d.capture_modes = r.capture_modes;
    d.near_mm = r.near_mm;
    d.far_mm = r.far_mm;
    const Calibration& left = pb->rec.cameras[0];
    if (left.known) {
        d.width = left.width;
        d.height = left.height;
    } else if (!pb->rec.streams.empty()) {
        d.width = pb->rec.streams.front().width;
        d.height = pb->rec.streams.front().height;
    }
    d.color = left.known && left.colour;
    d.playback = std::move(pb);
    return true;
}

}  // namespace replay
}  // namespace sim
