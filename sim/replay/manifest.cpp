// Stand-in SDK, playback: a recording's manifest (manifest.json), read and checked.
#include "replay/manifest.h"

#include <algorithm>
#include <Eigen/LU>
#include <cmath>
#include <limits>
#include <nlohmann/json.hpp>

#include "api/camera.h"
#include "control/numbers.h"
#include "render/budget.h"
#include "replay/files.h"

namespace sim {
namespace replay {

namespace {

using json = nlohmann::json;

constexpr int kMaxDepth = 16;  // the manifest nests five levels; more is not a recording
// A recording of 100,000 frames holds some 1,600,000 values.
constexpr long long kMaxValues = 2000000;

const char* const kCameraNames[3] = {"left", "right", "extra"};

// How deep the text nests arrays and objects, about how many values it holds (each container and
// each comma outside texts) and what they take once parsed, found before parsing, so that a
// hostile file can neither make the parser or the value's destructor recurse without bound nor
// take memory without bound. Running out of memory while the parsed value is built cannot be
// recovered from (the parser's clean-up allocates), so the memory is checked first.
struct Extent {
    int depth = 0;
    long long values = 0, containers = 0, members = 0, texts = 0, long_text_bytes = 0, longest = 0;
    // Bytes of the parsed value at most: a slot in its container for each value (a vector's,
    // which may have grown to twice what it holds), a heap block for each container, a tree node
    // holding its key for each member of an object, a heap block for each text and another for
    // its characters when they do not fit inside it; and, once, the parser's copies of the
    // longest text while it reads it.
    std::uint64_t bytes() const {
        return 32ull * (values + containers) + 64ull * containers + 96ull * members + 48ull * texts +
               static_cast<std::uint64_t>(long_text_bytes) + 5ull * static_cast<std::uint64_t>(longest);
    }
};

Extent extent_of(const std::string& text) {
    Extent e;
    int depth = 0;
    bool in_string = false, escaped = false;
    long long length = 0;  // of the text being read
    for (char ch : text) {
        if (in_string) {
            ++length;
            if (escaped) {
                escaped = false;
            } else if (ch == '\\') {
                escaped = true;
            } else if (ch == '"') {
                in_string = false;
                if (length > 16) e.long_text_bytes += length + 32;  // 15 bytes fit inside
                e.longest = std::max(e.longest, length);
            }
        } else if (ch == '"') {
            in_string = true;
            length = 0;
            ++e.texts;
        } else if (ch == '[' || ch == '{') {
            e.depth = std::max(e.depth, ++depth);
            ++e.values;
            ++e.containers;
        } else if (ch == ']' || ch == '}') {
            --depth;
        } else if (ch == ',') {
            ++e.values;
        } else if (ch == ':') {
            ++e.members;
        }
    }
    return e;
}

// Reads typed values out of the parsed manifest; the first fault is kept with the path to it.
class Checker {
public:
    std::string fault;

    bool fail(const std::string& path, const std::string& what) {
        if (fault.empty()) fault = path + ": " + what;
        return false;
    }

    const json* member(const json& obj, const std::string& path, const char* key, bool required = true) {
        if (!obj.is_object()) return fail(path, "must be an object"), nullptr;
        auto it = obj.find(key);
        if (it == obj.end() || (it->is_null() && !required)) {
            if (required) fail(path, std::string("lacks \"") + key + "\"");
            return nullptr;
        }
        return &*it;
    }

    bool text(const json& obj, const std::string& path, const char* key, std::size_t max_len, std::string* out) {
        const json* v = member(obj, path, key);
        if (!v) return false;
        const std::string where = path + "." + key;
        if (!v->is_string()) return fail(where, "must be a text");
        const std::string& s = v->get_ref<const std::string&>();
        if (s.size() > max_len) return fail(where, "is longer than " + std::to_string(max_len) + " bytes");
        if (s.find('\0') != std::string::npos) return fail(where, "holds a NUL character");
        *out = s;
        return true;
    }

    bool integer(const json& obj, const std::string& path, const char* key, long long lo, long long hi, long long* out) {
        const json* v = member(obj, path, key);
        if (!v) return false;
        const std::string where = path + "." + key;
        if (!v->is_number_integer()) return fail(where, "must be an integer");
        if (v->is_number_unsigned() && v->get<unsigned long long>() > static_cast<unsigned long long>(hi))
            return fail(where, "must be " + std::to_string(lo) + " to " + std::to_string(hi));
        const long long x = v->get<long long>();
        if (x < lo || x > hi) return fail(where, "must be " + std::to_string(lo) + " to " + std::to_string(hi));
        *out = x;
        return true;
    }

    template <class T>
    bool integer_as(const json& obj, const std::string& path, const char* key, long long lo, long long hi, T* out) {
        long long x;
        if (!integer(obj, path, key, lo, hi, &x)) return false;
        *out = static_cast<T>(x);
        return true;
    }

    bool boolean(const json& obj, const std::string& path, const char* key, bool* out) {
        const json* v = member(obj, path, key);
        if (!v) return false;
        if (!v->is_boolean()) return fail(path + "." + key, "must be true or false");
        *out = v->get<bool>();
        return true;
    }

    // A list of exactly n finite numbers.
    template <class T>
    bool numbers(const json& v, const std::string& path, std::size_t n, T* out) {
        if (!v.is_array() || v.size() != n) return fail(path, "must be a list of " + std::to_string(n) + " numbers");
        for (std::size_t i = 0; i < n; ++i) {
            if (!v[i].is_number()) return fail(path, "must hold numbers only");
            const double x = v[i].get<double>();
            if (!std::isfinite(x)) return fail(path, "must hold finite numbers");
            if (std::abs(x) > static_cast<double>(std::numeric_limits<T>::max()))
                return fail(path, "holds a number out of the range of a 32-bit float");
            out[i] = static_cast<T>(x);
        }
        return true;
    }
};

bool read_device(Checker& ck, const json& d, Description* out) {
    const std::string p = "device";
    long long type = 0, cameras = 0;
    bool ok = ck.text(d, p, "name", 31, &out->name) && ck.text(d, p, "sn", 31, &out->sn) &&
              ck.text(d, p, "factroydate", 31, &out->factory_date) && ck.text(d, p, "port", 31, &out->port) &&
              ck.integer(d, p, "type", 1, 2, &type) && ck.integer(d, p, "cameraid", 1, 7, &cameras) &&
              ck.integer_as(d, p, "boardmodel", -2147483648LL, 2147483647LL, &out->boardmodel) &&
              ck.boolean(d, p, "support_x1", &out->x1) && ck.boolean(d, p, "support_x2", &out->x2) &&
              ck.boolean(d, p, "support_protective_cover", &out->cover) && ck.boolean(d, p, "support_extra", &out->extra) &&
              ck.integer_as(d, p, "support_color", 0, 15, &out->colors) &&
              ck.integer_as(d, p, "support_capture_mode", 0, 255, &out->capture_modes) &&
              ck.integer_as(d, p, "workingdist_near_mm", 0, 1000000, &out->near_mm) &&
              ck.integer_as(d, p, "workingdist_far_mm", 0, 1000000, &out->far_mm);
    if (!ok) return false;
    if (out->sn.empty()) return ck.fail(p + ".sn", "is empty");
    if (out->near_mm >= out->far_mm) return ck.fail(p, "workingdist_near_mm must be below workingdist_far_mm");
    if (!(cameras & TUVO::CameraID_Left)) return ck.fail(p + ".cameraid", "names no left camera");
    out->port_type = static_cast<TUVO::PortType>(type);
    out->cameras = static_cast<unsigned>(cameras);
    return true;
}

bool read_camera(Checker& ck, const json& c, const std::string& p, Calibration* out) {
    long long w = 0, h = 0;
    if (!ck.integer(c, p, "width", 1, 65535, &w) || !ck.integer(c, p, "height", 1, 65535, &h)) return false;
    if (w * h > kMaxPixels) return ck.fail(p, "has more than 16,777,216 pixels");
    out->width = static_cast<int>(w);
    out->height = static_cast<int>(h);
    const json* k = ck.member(c, p, "intrinsics");
    const json* d = ck.member(c, p, "distortion");
    const json* e = ck.member(c, p, "extrinsic");
    if (!k || !d || !e || !ck.numbers(*k, p + ".intrinsics", 9, out->intrinsics) ||
        !ck.numbers(*d, p + ".distortion", 5, out->distortion) || !ck.numbers(*e, p + ".extrinsic", 16, out->extrinsic) ||
        !ck.boolean(c, p, "colour", &out->colour))
        return false;
    if (!(out->intrinsics[0] > 0) || !(out->intrinsics[4] > 0)) return ck.fail(p + ".intrinsics", "has no positive focal length");
    // Points are moved out of this camera's frame through its inverse.
    Eigen::Matrix4d E;
    for (int i = 0; i < 16; ++i) E(i / 4, i % 4) = out->extrinsic[i];
    if (!Eigen::FullPivLU<Eigen::Matrix4d>(E).isInvertible()) return ck.fail(p + ".extrinsic", "is not invertible");
    out->known = true;
    return true;
}

// The options as the text form the stand-in keeps them in ("key = value" lines), then parsed.
template <class Opts>
bool read_options(Checker& ck, const json& o, const std::string& p, Opts* out) {
    if (!o.is_object()) return ck.fail(p, "must be an object");
    std::string text;
    for (auto it = o.begin(); it != o.end(); ++it) {
        const std::string& key = it.key();
        if (key.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789_") != std::string::npos || key.size() > 64)
            return ck.fail(p, "has a malformed option name");
        std::string value;
        auto number = [&](const json& v) {
            if (v.is_number_integer()) {
                value += v.is_number_unsigned() ? std::to_string(v.get<unsigned long long>()) : std::to_string(v.get<long long>());
                return true;
            }
            if (!v.is_number_float() || !std::isfinite(v.get<double>())) return false;
            value += format_double(v.get<double>());
            return true;
        };
        const json& v = it.value();
        if (v.is_boolean()) {
            value = v.get<bool>() ? "true" : "false";
        } else if (v.is_array()) {
            if (v.empty() || v.size() > 4) return ck.fail(p + "." + key, "must hold 1 to 4 numbers");
            for (std::size_t i = 0; i < v.size(); ++i) {
                if (i) value += ", ";
                if (!number(v[i])) return ck.fail(p + "." + key, "must hold finite numbers");
            }
        } else if (!number(v)) {
            return ck.fail(p + "." + key, "must be a finite number, true/false or a list of numbers");
        }
        text += key + " = " + value + "\n";
    }
    std::string why;
    if (!parse_options(text, out, &why)) return ck.fail(p, why);
    return true;
}

bool read_transform(Checker& ck, const json& t, const std::string& p, bool x2, Transform* out) {
    if (!ck.integer_as(t, p, "coordinate_select", 0, x2 ? 4 : 2, &out->select)) return false;
    const json* m = ck.member(t, p, "matrix", false);
    if (!ck.fault.empty()) return false;
    if (m) {
        if (!ck.numbers(*m, p + ".matrix", 16, out->matrix)) return false;
        out->matrix_known = true;
    } else if (out->select != 0) {
        return ck.fail(p + ".matrix", "is needed with a coordinate_select other than 0");
    }
    return true;
}

bool read_frame(Checker& ck, const json& f, const std::string& p, const Stream& s, const Recording& rec, Frame* out) {
    if (!ck.text(f, p, "dir", 255, &out->dir)) return false;
    if (!safe_relative(out->dir, 2)) return ck.fail(p + ".dir", "is not a folder inside the recording");
    auto file_name = [&](const json& v, const std::string& where, std::string* name) {
        if (!v.is_string() || !safe_relative(v.get<std::string>(), 1))
            return ck.fail(where, "is not a file name inside the frame's folder");
        *name = v.get<std::string>();
        return true;
    };
    if (const json* images = ck.member(f, p, "images", false)) {
        if (!images->is_object()) return ck.fail(p + ".images", "must be an object");
        for (auto it = images->begin(); it != images->end(); ++it) {
            const std::string where = p + ".images." + it.key();
            int index = -1;
            for (int i = 0; i < 3; ++i)
                if (it.key() == kCameraNames[i]) index = i;
            if (index < 0) return ck.fail(where, "names no camera (left, right or extra)");
            if (!(rec.device.cameras & (1u << index))) return ck.fail(where, "is a camera the device lacks");
            if (!rec.cameras[index].known) return ck.fail(where, "is a camera whose calibration is not recorded");
            if (!s.x2 && static_cast<unsigned>(1u << index) != s.camera) return ck.fail(where, "is not the X1's camera");
            ImageFile& img = out->images[index];
            const json* file = ck.member(it.value(), where, "file");
            std::string type;
            if (!file || !file_name(*file, where + ".file", &img.file) || !ck.text(it.value(), where, "type", 8, &type))
                return false;
            if (type == "Mono8") img.type = TUVO::ImageType::Mono8;
            else if (type == "RGB8") img.type = TUVO::ImageType::RGB8;
            else if (type == "BGR8") img.type = TUVO::ImageType::BGR8;
            else return ck.fail(where + ".type", "must be Mono8, RGB8 or BGR8");
        }
    } else if (!ck.fault.empty()) {
        return false;
    }
    const json* points = ck.member(f, p, "points");
    if (!points) return false;
    const json* pf = ck.member(*points, p + ".points", "file");
    if (!pf || !file_name(*pf, p + ".points.file", &out->points) || !ck.boolean(*points, p + ".points", "normals", &out->normals))
        return false;
    for (auto [key, name] : {std::pair<const char*, std::string*>{"depth", &out->depth}, {"confidence", &out->confidence},
                             {"correspond", &out->correspond}}) {
        const json* v = ck.member(f, p, key, false);
        if (!ck.fault.empty()) return false;
        if (v && !file_name(*v, p + "." + key, name)) return false;
    }
    if (!s.x2 && !out->correspond.empty()) return ck.fail(p + ".correspond", "belongs to X2 captures only");
    return true;
}

bool read_stream(Checker& ck, const std::string& name, const json& j, Recording& rec, Stream* out) {
    const std::string p = "streams." + name;
    out->name = name;
    std::string kind;
    if (!ck.text(j, p, "kind", 8, &kind)) return false;
    int index = 0;  // the camera whose calibration the maps follow (X2: the left one)
    if (kind == "x2") {
        if (name != "x2") return ck.fail(p, "an X2 stream must be named x2");
        out->x2 = true;
        out->camera = TUVO::CameraID_Left;
        if (!rec.cameras[0].known || !rec.cameras[1].known) return ck.fail(p, "needs the calibration of the left and right cameras");
    } else if (kind == "x1") {
        std::string cam;
        if (!ck.text(j, p, "camera", 8, &cam)) return false;
        index = -1;
        for (int i = 0; i < 3; ++i)
            if (cam == kCameraNames[i]) index = i;
        if (index < 0 || name != "x1-" + cam) return ck.fail(p + ".camera", "must be left, right or extra, as the stream's name says");
        if (!(rec.device.cameras & (1u << index))) return ck.fail(p + ".camera", "is a camera the device lacks");
        if (!rec.cameras[index].known) return ck.fail(p, "needs the calibration of its camera");
        out->camera = 1u << index;
    } else {
        return ck.fail(p + ".kind", "must be x1 or x2");
    }
    long long w = 0, h = 0;
    if (!ck.integer(j, p, "width", 1, 65535, &w) || !ck.integer(j, p, "height", 1, 65535, &h)) return false;
    if (w * h > kMaxPixels) return ck.fail(p, "has more than 16,777,216 pixels");
    const Calibration& calibration = rec.cameras[index];
    if (w != calibration.width || h != calibration.height)
        return ck.fail(p, "is " + std::to_string(w) + " x " + std::to_string(h) + " pixels, its camera's calibration " +
                              std::to_string(calibration.width) + " x " + std::to_string(calibration.height));
    out->width = static_cast<int>(w);
    out->height = static_cast<int>(h);
    const json* options = ck.member(j, p, "options");
    if (!options) return false;
    if (out->x2 ? !read_options(ck, *options, p + ".options", &out->x2_options)
                : !read_options(ck, *options, p + ".options", &out->x1_options))
        return false;
    const json* t = ck.member(j, p, "custom_transform");
    if (!t || !read_transform(ck, *t, p + ".custom_transform", out->x2, &out->transform)) return false;
    if (const json* b = ck.member(j, p, "balance", false)) {
        if (!ck.numbers(*b, p + ".balance", 3, out->balance)) return false;
        out->balance_known = true;
    } else if (!ck.fault.empty()) {
        return false;
    }
    const json* frames = ck.member(j, p, "frames");
    if (!frames) return false;
    if (!frames->is_array()) return ck.fail(p + ".frames", "must be a list");
    if (frames->size() > kMaxFrames) return ck.fail(p + ".frames", "holds more than 1,000,000 frames");
    // One by one: room is taken for frames that are read, not for the number the list claims.
    for (std::size_t i = 0; i < frames->size(); ++i) {
        Frame f;
        if (!read_frame(ck, (*frames)[i], p + ".frames[" + std::to_string(i) + "]", *out, rec, &f)) return false;
        out->frames.push_back(std::move(f));
    }
    return true;
}

}  // namespace

bool load_manifest(const std::string& root, Recording* out, std::string* why) {
    std::string text;
    if (!read_file_in(root, "manifest.json", kMaxManifestBytes, &text, why)) return false;
    const std::string name = root + "/manifest.json";
    if (text.find('\0') != std::string::npos) return *why = name + ": holds a NUL character", false;
    const Extent extent = extent_of(text);
    if (extent.depth > kMaxDepth) return *why = name + ": nests deeper than a recording's manifest", false;
    if (extent.values > kMaxValues) return *why = name + ": holds more than 2,000,000 values", false;
    const std::uint64_t need = extent.bytes(), avail = available_memory();
    if (need > avail)
        return *why = name + ": reading it takes up to " + std::to_string(need >> 20) + " MB and " +
                      std::to_string(avail >> 20) + " MB of memory is available", false;
    json j;
    try {
        j = json::parse(text);
    } catch (const std::bad_alloc&) {  // more than the bound foresaw, with room left to unwind
        return *why = name + ": out of memory while it was read", false;
    } catch (const json::exception& e) {
        *why = name + ": not JSON (" + e.what() + ")";
        return false;
    }
    Checker ck;
    Recording rec;
    rec.root = root;
    auto done = [&]() {
        *why = name + ": " + ck.fault;
        return false;
    };
    auto bad = [&](const std::string& path, const std::string& what) {
        ck.fail(path, what);
        return done();
    };
    if (!j.is_object() || !j.contains("format") || !j["format"].is_string() || j["format"] != "tuvo-recording")
        return *why = name + ": not a TUVO recording (\"format\" is not \"tuvo-recording\")", false;
    long long version = 0;
    if (!ck.integer(j, "manifest", "version", 1, 1000000, &version)) return done();
    if (version > kFormatVersion)
        return *why = name + ": recording format version " + std::to_string(version) + " is newer than this SDK reads (" +
                      std::to_string(kFormatVersion) + ")", false;
    const json* device = ck.member(j, "manifest", "device");
    if (!device || !read_device(ck, *device, &rec.device)) return done();
    const json* cameras = ck.member(j, "manifest", "cameras");
    if (!cameras) return done();
    if (!cameras->is_object()) return bad("cameras", "must be an object");
    for (auto it = cameras->begin(); it != cameras->end(); ++it) {
        int index = -1;
        for (int i = 0; i < 3; ++i)
            if (it.key() == kCameraNames[i]) index = i;
        if (index < 0) return bad("cameras." + it.key(), "names no camera (left, right or extra)");
        if (!(rec.device.cameras & (1u << index))) return bad("cameras." + it.key(), "is a camera the device lacks");
        if (!read_camera(ck, it.value(), "cameras." + it.key(), &rec.cameras[index])) return done();
    }
    const json* streams = ck.member(j, "manifest", "streams");
    if (!streams) return done();
    if (!streams->is_object()) return bad("streams", "must be an object");
    for (auto it = streams->begin(); it != streams->end(); ++it) {
        if (it.key() != "x2" && it.key() != "x1-left" && it.key() != "x1-right" && it.key() != "x1-extra")
            return bad("streams." + it.key(), "is not a stream name (x1-left, x1-right, x1-extra or x2)");
        rec.streams.emplace_back();
        if (!read_stream(ck, it.key(), it.value(), rec, &rec.streams.back())) return done();
    }
    *out = std::move(rec);
    return true;
}

}  // namespace replay
}  // namespace sim
