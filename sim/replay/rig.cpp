// Stand-in SDK, playback: the rig's playback devices and the recordings they name.
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

bool open_recording(const RigEntry& e, const OptionReaders& options, const Knobs& knobs, std::shared_ptr<Playback>* out,
                    std::string* why) {
    out->reset();
    if (e.path.empty()) {
        if (e.keys.count("loop")) return *why = "loop needs playback", false;
        return true;
    }
    for (const std::string& k : e.keys)
        if (!kRigKeys.count(k)) return *why = k + " cannot be set for a playback device: its recording describes it", false;
    auto pb = std::make_shared<Playback>();
    if (!load_manifest(e.path, options, knobs, &pb->rec, why)) return false;
    pb->loop = e.loop;
    *out = std::move(pb);
    return true;
}

}  // namespace replay
}  // namespace sim
