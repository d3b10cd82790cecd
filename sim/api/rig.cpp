// Stand-in SDK: the rig description, `key = value` lines in one [device] section per virtual device.
#include "api/rig.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <unordered_map>

#include "api/playback.h"
#include "core/key_value.h"
#include "core/text.h"

namespace sim {

namespace {

std::vector<std::string> split_list(const std::string& s) {
    std::vector<std::string> out;
    std::stringstream ss(s);
    std::string item;
    while (std::getline(ss, item, ',')) {
        item = std::string(trim(item));
        for (auto& ch : item) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
        if (!item.empty()) out.push_back(item);
    }
    return out;
}

bool parse_bool(const std::string& v, bool* out) {
    std::string s = v;
    for (auto& ch : s) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    if (s == "yes" || s == "true" || s == "1" || s == "on") return *out = true, true;
    if (s == "no" || s == "false" || s == "0" || s == "off") return *out = false, true;
    return false;
}

bool parse_int(const std::string& v, int lo, int hi, int* out) {
    char* end = nullptr;
    long x = std::strtol(v.c_str(), &end, 10);
    if (v.empty() || *end != '\0' || x < lo || x > hi) return false;
    *out = static_cast<int>(x);
    return true;
}

}  // namespace

bool parse_rig(const std::string& text, std::vector<std::shared_ptr<DeviceState>>* out,
               std::string* why, const std::string& base) {
    std::vector<std::shared_ptr<DeviceState>> devs;
    std::vector<replay::RigEntry> playback;  // per device
    KeyValueReader r(text);
    auto bad = [&](const std::string& what) {
        *why = r.fault(what);
        return false;
    };
    while (r.next()) {
        if (r.line() == "[device]") {
            auto d = std::make_shared<DeviceState>();
            int n = static_cast<int>(devs.size()) + 1;
            char buf[64];
            std::snprintf(buf, sizeof buf, "VDEV-%06d", n);
            d->sn = buf;
            d->name = "TUVO Virtual Device";
            d->factory_date = "2026-01-01";
            d->port = "usb:1-" + std::to_string(n);
            devs.push_back(d);
            playback.emplace_back();
            continue;
        }
        if (!r.has_equals()) return bad("expected key = value");
        if (devs.empty()) return bad("a [device] section must come first");
        const std::string key(r.key()), val(r.value());
        DeviceState& d = *devs.back();
        if (!playback.back().keys.insert(key).second) return bad(key + " is given twice for one device");
        if (key == "playback" || key == "loop") {
            std::string msg;
            if (!replay::rig_key(playback.back(), key, val, base, &msg)) return bad(msg);
        } else if (key == "name" || key == "sn" || key == "factory_date" || key == "port") {
            if (val.size() > 31) return bad(key + " is longer than 31 bytes");
            if (val.find('\0') != std::string::npos) return bad(key + " holds a NUL character");
            if (!is_utf8(val)) return bad(key + " is not UTF-8 text");
            (key == "name" ? d.name : key == "sn" ? d.sn : key == "port" ? d.port : d.factory_date) = val;
        } else if (key == "port_type") {
            if (val == "usb") d.port_type = TUVO::PortType_USB;
            else if (val == "gige") d.port_type = TUVO::PortType_GIGE;
            else return bad("port_type must be usb or gige");
        } else if (key == "cameras") {
            unsigned c = 0;
            for (auto& s : split_list(val)) {
                if (s == "left") c |= TUVO::CameraID_Left;
                else if (s == "right") c |= TUVO::CameraID_Right;
                else if (s == "extra") c |= TUVO::CameraID_Extra;
                else return bad("unknown camera " + s);
            }
            if (!(c & TUVO::CameraID_Left)) return bad("a device needs a left camera");
            d.cameras = c;
        } else if (key == "color") {
            unsigned c = 0;
            for (auto& s : split_list(val)) {
                if (s == "red") c |= TUVO::ProjectorColor_Red;
                else if (s == "green") c |= TUVO::ProjectorColor_Green;
                else if (s == "blue") c |= TUVO::ProjectorColor_Blue;
                else if (s == "white") c |= TUVO::ProjectorColor_White;
                else return bad("unknown colour " + s);
            }
            d.projector_colors = c;
        } else if (key == "capture_modes") {
            static const char* names[] = {"fast", "normal", "ultra", "robust", "antiinterreflection",
                                          "swinglinescan", "fixedlinescan", "linearrayshift"};
            unsigned c = 0;
            for (auto& s : split_list(val)) {
                bool found = false;
                for (unsigned i = 0; i < 8; ++i)
                    if (s == names[i]) c |= 1u << i, found = true;
                if (!found) return bad("unknown capture mode " + s);
            }
            d.capture_modes = c;
        } else if (key == "x1" || key == "x2" || key == "cover" || key == "firmware_match" || key == "color_camera") {
            bool b;
            if (!parse_bool(val, &b)) return bad(key + " must be yes or no");
            (key == "x1" ? d.x1 : key == "x2" ? d.x2 : key == "cover" ? d.cover : key == "color_camera" ? d.color
                                                                                                          : d.firmware_match) = b;
        } else if (key == "near_mm" || key == "far_mm") {
            if (!parse_int(val, 10, 100000, key == "near_mm" ? &d.near_mm : &d.far_mm))
                return bad(key + " must be an integer from 10 to 100000");
        } else if (key == "width" || key == "height") {
            if (!parse_int(val, 16, 8192, key == "width" ? &d.width : &d.height))
                return bad(key + " must be an integer from 16 to 8192");
        } else if (key == "baseline_mm") {
            int b;
            if (!parse_int(val, 10, 2000, &b)) return bad("baseline_mm must be 10 to 2000");
            d.baseline_mm = b;
        } else if (key == "scene") {
            if (val.find('\0') != std::string::npos) return bad("the scene file's name holds a NUL character");
            d.scene_path = val;
        } else if (key == "focal_px") {
            int f;
            if (!parse_int(val, 50, 100000, &f)) return bad("focal_px must be 50 to 100000");
            d.focal_px = f;
        } else if (key == "max_angle_deg") {
            int a;
            if (!parse_int(val, 10, 89, &a)) return bad("max_angle_deg must be 10 to 89");
            d.max_angle_deg = a;
        } else if (key == "realistic_timing") {
            if (!parse_bool(val, &d.realistic_timing)) return bad("realistic_timing must be yes or no");
        } else if (key == "boardmodel") {
            if (!parse_int(val, 0, 1000000, &d.boardmodel)) return bad("boardmodel must be an integer");
        } else {
            return bad("unknown key " + key);
        }
    }
    for (std::size_t i = 0; i < devs.size(); ++i) {
        if (!replay::attach(*devs[i], playback[i], why)) {
            *why = "device " + std::to_string(i + 1) + ": " + *why;
            return false;
        }
    }
    std::unordered_map<std::string, std::size_t> serials;  // serial -> its first device
    for (std::size_t i = 0; i < devs.size(); ++i) {
        const auto first = serials.emplace(devs[i]->sn, i).first->second;
        if (first != i) {
            *why = "device " + std::to_string(i + 1) + ": serial number " + devs[i]->sn + " is device " +
                   std::to_string(first + 1) + "'s too";
            return false;
        }
    }
    for (auto& d : devs) {
        if (d->near_mm >= d->far_mm) {
            *why = "device " + d->sn + ": near_mm must be below far_mm";
            return false;
        }
        d->extra = (d->cameras & TUVO::CameraID_Extra) != 0;
        if (d->x2 && !(d->cameras & TUVO::CameraID_Right)) {
            *why = "device " + d->sn + ": x2 needs a right camera";
            return false;
        }
    }
    *out = std::move(devs);
    return true;
}
}  // namespace sim
