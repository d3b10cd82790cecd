// Stand-in SDK: system life cycle, errors, the rig of virtual devices, discovery and Device.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <unordered_map>

#include "api/playback.h"
#include "control/control.h"
#include "core/files.h"
#include "world/scene_file.h"
#include "world/world.h"

namespace sim {

// The SDK's state lives as long as the process: a call still running in another thread while the
// process exits must not find it destroyed.
World& world() {
    static World* w = new World;
    return *w;
}

namespace {

const char* kDefaultRig =
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

std::string trim(const std::string& s) {
    auto b = s.find_first_not_of(" \t\r");
    if (b == std::string::npos) return "";
    auto e = s.find_last_not_of(" \t\r");
    return s.substr(b, e - b + 1);
}

std::vector<std::string> split_list(const std::string& s) {
    std::vector<std::string> out;
    std::stringstream ss(s);
    std::string item;
    while (std::getline(ss, item, ',')) {
        item = trim(item);
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

const char* kVersion = "TUVO virtual SDK 1.4.0";

}  // namespace

bool parse_rig(const std::string& text, std::vector<std::shared_ptr<DeviceState>>* out,
               std::string* why, const std::string& base) {
    std::vector<std::shared_ptr<DeviceState>> devs;
    std::vector<replay::RigEntry> playback;  // per device
    std::stringstream in(text);
    std::string line;
    int lineno = 0;
    auto bad = [&](const std::string& what) {
        *why = "line " + std::to_string(lineno) + ": " + what;
        return false;
    };
    while (std::getline(in, line)) {
        ++lineno;
        line = trim(line);
        if (line.empty() || line[0] == '#') continue;
        if (line == "[device]") {
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
        auto eq = line.find('=');
        if (eq == std::string::npos) return bad("expected key = value");
        if (devs.empty()) return bad("a [device] section must come first");
        std::string key = trim(line.substr(0, eq)), val = trim(line.substr(eq + 1));
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

std::pair<std::uint32_t, std::uint32_t> handle_for(World& w, std::size_t i) {
    auto h = w.handles[i];
    if (!w.devices.get(h.first, h.second)) {
        h = w.devices.add(w.rig[i]);
        w.handles[i] = h;
    }
    return h;
}

}  // namespace

bool sdk_inited() {
    World& w = world();
    std::lock_guard<std::mutex> lock(w.m);
    return w.inited;
}

std::shared_ptr<DeviceState> device_of(const TUVO::Device& d, Call& call) {
    auto dev = world().devices.get(d.slot, d.generation);
    if (!dev) call.fail(TUVO::Error_InvalidHandle, "invalid or destroyed device handle");
    return dev;
}

}  // namespace sim

using namespace sim;

namespace TUVO {

const char* GetVersion() try {
    Call call("GetVersion");
    if (auto o = override_text("GetVersion")) return *o;
    return kVersion;
} catch (...) { return escaped<const char*>(""); }

int GetLastError() try {
    Call call("GetLastError");
    if (auto o = override_int("GetLastError")) return static_cast<int>(*o);
    return last_error_code();
} catch (...) { return escaped_code(); }

const char* GetLastErrorMessage() try {
    Call call("GetLastErrorMessage");
    thread_local std::string text;
    if (auto o = override_bytes("GetLastErrorMessage"))
        text = o->is_null ? std::string() : o->bytes;
    else
        text = last_error_message();
    return text.c_str();
} catch (...) { return escaped<const char*>(""); }

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
    if (!load_scenes(rig, rig_base, &why)) {
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

namespace SystemListDeviceType {
const char* ToString(Enum type) try {
    Call call("SystemListDeviceType.ToString");
    call.arg("type", static_cast<long long>(type));
    if (auto o = override_text("SystemListDeviceType.ToString")) return *o;
    switch (type) {
        case USB: return "USB";
        case GigE: return "GigE";
        case All: return "All";
    }
    return "Unknown";
} catch (...) { return escaped<const char*>(""); }
}  // namespace SystemListDeviceType

int SystemListDevices(Device* devices, std::size_t capacity, std::size_t* count,
                      SystemListDeviceType::Enum type) try {
    Call call("SystemListDevices");
    call.arg("capacity", static_cast<long long>(capacity)).arg("type", static_cast<long long>(type));
    if (count) *count = 0;
    if (call.failed()) return GetLastError();
    if (!count || (!devices && capacity)) {
        call.fail(Error_InvalidArgument, "null device array or count");
        return Error_InvalidArgument;
    }
    if (type < SystemListDeviceType::USB || type > SystemListDeviceType::All) {
        call.fail(Error_InvalidArgument, "unknown device type " + std::to_string(type));
        return Error_InvalidArgument;
    }
    World& w = world();
    std::lock_guard<std::mutex> lock(w.m);
    if (!w.inited) {
        call.fail(Error_NotInitialized, "SystemInit has not been called");
        return Error_NotInitialized;
    }
    std::size_t found = 0;
    for (std::size_t i = 0; i < w.rig.size(); ++i) {
        const DeviceState& d = *w.rig[i];
        bool wanted = (type & SystemListDeviceType::USB && d.port_type == PortType_USB) ||
                      (type & SystemListDeviceType::GigE && d.port_type == PortType_GIGE);
        if (!wanted) continue;
        if (found < capacity) {
            auto h = handle_for(w, i);
            devices[found].slot = h.first;
            devices[found].generation = h.second;
        }
        ++found;
    }
    *count = found;
    if (auto o = override_int("SystemListDevices.count")) *count = static_cast<std::size_t>(*o);
    if (auto o = override_int("SystemListDevices.status")) return static_cast<int>(*o);
    return 0;
} catch (...) { return escaped_code(); }

Device SystemFindDevice(const char* serialNumber) try {
    Call call("SystemFindDevice");
    call.arg("serialNumber", serialNumber);
    Device out;
    if (call.failed()) return out;
    if (!serialNumber) {
        call.fail(Error_InvalidArgument, "null serial number");
        return out;
    }
    World& w = world();
    std::lock_guard<std::mutex> lock(w.m);
    if (!w.inited) {
        call.fail(Error_NotInitialized, "SystemInit has not been called");
        return out;
    }
    for (std::size_t i = 0; i < w.rig.size(); ++i) {
        if (w.rig[i]->sn == serialNumber) {
            auto h = handle_for(w, i);
            out.slot = h.first;
            out.generation = h.second;
            return out;
        }
    }
    call.fail(Error_NotFound, std::string("no device with serial number ") + serialNumber);
    return out;
} catch (...) { return escaped(Device()); }

Device::Device() : slot(0), generation(0) {}

void Device::Destroy(Device device) try {
    Call call("Device.Destroy");
    call.arg("slot", static_cast<long long>(device.slot));
    world().devices.remove(device.slot, device.generation);
} catch (...) { escaped(); }

bool Device::IsValid() const try {
    Call call("Device.IsValid");
    if (auto o = override_int("Device.IsValid")) return *o != 0;
    return world().devices.get(slot, generation) != nullptr;
} catch (...) { return escaped(false); }

void Device::Print() const try {
    Call call("Device.Print");
    auto d = world().devices.get(slot, generation);
    if (!d) {
        std::printf("Device: invalid handle\n");
        std::fflush(stdout);
        return;
    }
    std::printf("Device %s (serial %s)\n  port: %s (%s)\n  made: %s\n  cameras:%s%s%s\n"
                "  resolution: %d x %d\n  working distance: %d to %d mm\n  modes: X1 %s, X2 %s;"
                " protective cover %s\n",
                d->name.c_str(), d->sn.c_str(), d->port.c_str(),
                d->port_type == PortType_USB ? "USB" : "GigE", d->factory_date.c_str(),
                d->cameras & CameraID_Left ? " left" : "", d->cameras & CameraID_Right ? " right" : "",
                d->cameras & CameraID_Extra ? " extra" : "", d->width, d->height, d->near_mm,
                d->far_mm, d->x1 ? "yes" : "no", d->x2 ? "yes" : "no", d->cover ? "yes" : "no");
    std::fflush(stdout);
} catch (...) { escaped(); }

bool Device::GetDeviceInfo(DeviceInfo* info) try {
    Call call("Device.GetDeviceInfo");
    if (call.failed()) return false;
    if (!info) {
        call.fail(Error_InvalidArgument, "null DeviceInfo");
        return false;
    }
    if (auto o = override_bytes("Device.GetDeviceInfo.info")) {
        std::memset(info, 0, sizeof *info);
        std::memcpy(info, o->bytes.data(), std::min(o->bytes.size(), sizeof *info));
        return true;
    }
    auto d = device_of(*this, call);
    if (!d) return false;
    std::memset(info, 0, sizeof *info);
    std::snprintf(info->name, sizeof info->name, "%s", d->name.c_str());
    std::snprintf(info->sn, sizeof info->sn, "%s", d->sn.c_str());
    std::snprintf(info->factroydate, sizeof info->factroydate, "%s", d->factory_date.c_str());
    std::snprintf(info->port, sizeof info->port, "%s", d->port.c_str());
    info->type = d->port_type;
    info->cameraid = static_cast<CameraID>(d->cameras);
    info->boardmodel = d->boardmodel;
    info->support_x2 = d->x2;
    info->support_color = static_cast<ProjectorColor>(d->projector_colors);
    info->workingdist_near_mm = d->near_mm;
    info->workingdist_far_mm = d->far_mm;
    info->support_capture_mode = static_cast<CaptureMode>(d->capture_modes);
    info->support_x1 = d->x1;
    info->support_protective_cover = d->cover;
    info->support_extra = d->extra;
    return true;
} catch (...) { return escaped(false); }

bool Device::IsFirmwareMatch() try {
    Call call("Device.IsFirmwareMatch");
    if (call.failed()) return false;
    auto d = device_of(*this, call);
    return d && d->firmware_match;
} catch (...) { return escaped(false); }

namespace {

bool parse_ipv4(const char* text, std::uint32_t* out) {
    if (!text) return false;
    std::uint32_t v = 0;
    int parts = 0;
    const char* p = text;
    while (parts < 4) {
        if (*p < '0' || *p > '9') return false;
        int octet = 0, digits = 0;
        while (*p >= '0' && *p <= '9') {
            octet = octet * 10 + (*p++ - '0');
            if (++digits > 3 || octet > 255) return false;
        }
        v = (v << 8) | static_cast<std::uint32_t>(octet);
        ++parts;
        if (parts < 4) {
            if (*p != '.') return false;
            ++p;
        }
    }
    if (*p != '\0') return false;
    *out = v;
    return true;
}

int mask_prefix(std::uint32_t mask) {
    int n = 0;
    while (n < 32 && (mask & (0x80000000u >> n))) ++n;
    return (n == 32 || (mask << n) == 0) ? n : -1;
}

}  // namespace

int Device::SetNetworkConfig(NetworkDevice dev, NetworkType type, const char* ip,
                             const char* netmask, const char* gateway) try {
    Call call("Device.SetNetworkConfig");
    call.arg("dev", static_cast<long long>(dev)).arg("type", static_cast<long long>(type));
    call.arg("ip", ip).arg("netmask", netmask).arg("gateway", gateway);
    if (call.failed()) return GetLastError();
    if (auto o = override_int("Device.SetNetworkConfig.status")) return static_cast<int>(*o);
    auto d = device_of(*this, call);
    if (!d) return Error_InvalidHandle;
    if (dev > NetworkDevice_ExtraCamera) {
        call.fail(Error_InvalidArgument, "unknown network component " + std::to_string(dev));
        return Error_InvalidArgument;
    }
    if (type != NetworkType_DHCP && type != NetworkType_STATIC) {
        call.fail(Error_InvalidArgument, "unknown network type " + std::to_string(type));
        return Error_InvalidArgument;
    }
    NetConfig cfg;
    cfg.type = type;
    if (type == NetworkType_STATIC) {
        std::uint32_t a, m, g;
        if (!parse_ipv4(ip, &a)) {
            call.fail(Error_InvalidArgument, std::string("bad IPv4 address: ") + (ip ? ip : "(null)"));
            return Error_InvalidArgument;
        }
        if (!parse_ipv4(netmask, &m) || mask_prefix(m) <= 0) {
            call.fail(Error_InvalidArgument, std::string("bad netmask: ") + (netmask ? netmask : "(null)"));
            return Error_InvalidArgument;
        }
        if (!parse_ipv4(gateway, &g)) {
            call.fail(Error_InvalidArgument, std::string("bad gateway: ") + (gateway ? gateway : "(null)"));
            return Error_InvalidArgument;
        }
        if ((a & m) != (g & m)) {
            call.fail(Error_InvalidArgument, "gateway is outside the address's subnet");
            return Error_InvalidArgument;
        }
        cfg.ip = ip;
        cfg.netmask = netmask;
        cfg.gateway = gateway;
    } else {
        // DHCP: addresses are optional; given ones must still be well formed.
        std::uint32_t x;
        for (const char* t : {ip, netmask, gateway})
            if (t && *t && !parse_ipv4(t, &x)) {
                call.fail(Error_InvalidArgument, std::string("bad IPv4 address: ") + t);
                return Error_InvalidArgument;
            }
    }
    if (dev == NetworkDevice_RightCamera && !(d->cameras & CameraID_Right)) {
        call.fail(Error_NotSupported, "the device has no right camera");
        return Error_NotSupported;
    }
    if (dev == NetworkDevice_ExtraCamera && !(d->cameras & CameraID_Extra)) {
        call.fail(Error_NotSupported, "the device has no extra camera");
        return Error_NotSupported;
    }
    std::lock_guard<std::mutex> lock(d->m);
    d->net[dev] = cfg;
    return 0;
} catch (...) { return escaped_code(); }

int Device::GetNetworkConfig(NetworkDevice dev, NetworkType* type, char* ip, char* netmask,
                             char* gateway, int* prefix) try {
    Call call("Device.GetNetworkConfig");
    call.arg("dev", static_cast<long long>(dev));
    if (call.failed()) return GetLastError();
    bool overridden = false;
    const char* names[] = {"ip", "netmask", "gateway"};
    char* bufs[] = {ip, netmask, gateway};
    for (int i = 0; i < 3; ++i) {
        if (auto o = override_bytes(std::string("Device.GetNetworkConfig.") + names[i])) {
            if (bufs[i]) std::memcpy(bufs[i], o->bytes.data(), std::min<std::size_t>(16, o->bytes.size()));
            overridden = true;
        }
    }
    if (auto o = override_int("Device.GetNetworkConfig.type")) {
        if (type) *type = static_cast<NetworkType>(*o);
        overridden = true;
    }
    if (auto o = override_int("Device.GetNetworkConfig.prefix")) {
        if (prefix) *prefix = static_cast<int>(*o);
        overridden = true;
    }
    if (overridden) return 0;
    auto d = device_of(*this, call);
    if (!d) return Error_InvalidHandle;
    if (dev > NetworkDevice_ExtraCamera) {
        call.fail(Error_InvalidArgument, "unknown network component " + std::to_string(dev));
        return Error_InvalidArgument;
    }
    NetConfig cfg;
    {
        std::lock_guard<std::mutex> lock(d->m);
        cfg = d->net[dev];
    }
    if (type) *type = cfg.type;
    const std::string* texts[] = {&cfg.ip, &cfg.netmask, &cfg.gateway};
    for (int i = 0; i < 3; ++i)
        if (bufs[i]) std::snprintf(bufs[i], 16, "%s", texts[i]->c_str());
    if (prefix) {
        std::uint32_t m;
        *prefix = parse_ipv4(cfg.netmask.c_str(), &m) ? mask_prefix(m) : 0;
    }
    return 0;
} catch (...) { return escaped_code(); }

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
