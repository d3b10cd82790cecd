// Stand-in SDK, playback: a recording's manifest (manifest.json), read and checked.
#include "replay/manifest.h"

#include <Eigen/LU>
#include <cmath>
#include <nlohmann/json.hpp>

#include "core/json_bounds.h"
#include "core/numbers.h"
#include "render/budget.h"
#include "replay/files.h"
#include "replay/rules.h"

namespace sim {
namespace replay {

namespace {

const char* const kCameraNames[3] = {"left", "right", "extra"};

int camera_of(const std::string& name) {
    for (int i = 0; i < 3; ++i)
        if (name == kCameraNames[i]) return i;
    return -1;
}

template <class T, std::size_t N>
void floats(const json& v, T (&out)[N]) {
    for (std::size_t i = 0; i < N; ++i) out[i] = static_cast<T>(v[i].get<double>());
}

// The checks below follow the table's records (RuleChecker), then what relates fields to one
// another, in the order the Python reader (tuvo_tools.manifest) makes them: both refuse the same
// manifest with the same message. Values are read out only once checked.

bool read_device(RuleChecker& ck, const json& d, Description* out) {
    out->name = d["name"].get<std::string>();
    out->sn = d["sn"].get<std::string>();
    out->factory_date = d["factroydate"].get<std::string>();
    out->port = d["port"].get<std::string>();
    out->boardmodel = d["boardmodel"].get<int>();
    out->x1 = d["support_x1"].get<bool>();
    out->x2 = d["support_x2"].get<bool>();
    out->cover = d["support_protective_cover"].get<bool>();
    out->extra = d["support_extra"].get<bool>();
    out->colors = d["support_color"].get<unsigned>();
    out->capture_modes = d["support_capture_mode"].get<unsigned>();
    out->near_mm = d["workingdist_near_mm"].get<int>();
    out->far_mm = d["workingdist_far_mm"].get<int>();
    const unsigned cameras = d["cameraid"].get<unsigned>();
    if (out->sn.empty()) return ck.fail("device.sn", "is empty");
    if (out->near_mm >= out->far_mm) return ck.fail("device", "workingdist_near_mm must be below workingdist_far_mm");
    if (!(cameras & TUVO::CameraID_Left)) return ck.fail("device.cameraid", "names no left camera");
    out->port_type = static_cast<TUVO::PortType>(d["type"].get<int>());
    out->cameras = cameras;
    return true;
}

bool read_camera(RuleChecker& ck, const json& c, const std::string& p, Calibration* out) {
    if (!ck.record(c, p, "camera")) return false;
    const long long w = c["width"].get<long long>(), h = c["height"].get<long long>();
    if (w * h > limit("pixels")) return ck.fail(p, "has more than " + grouped(limit("pixels")) + " pixels");
    out->width = static_cast<int>(w);
    out->height = static_cast<int>(h);
    floats(c["intrinsics"], out->intrinsics);
    floats(c["distortion"], out->distortion);
    floats(c["extrinsic"], out->extrinsic);
    out->colour = c["colour"].get<bool>();
    if (!(out->intrinsics[0] > 0) || !(out->intrinsics[4] > 0)) return ck.fail(p + ".intrinsics", "has no positive focal length");
    // Points are moved out of this camera's frame through its inverse.
    Eigen::Matrix4d E;
    for (int i = 0; i < 16; ++i) E(i / 4, i % 4) = out->extrinsic[i];
    if (!Eigen::FullPivLU<Eigen::Matrix4d>(E).isInvertible()) return ck.fail(p + ".extrinsic", "is not invertible");
    out->known = true;
    return true;
}

// The options, checked by the table, as the text form the stand-in keeps them in ("key = value"
// lines), then parsed into the record.
template <class Opts>
bool read_options(RuleChecker& ck, const json& o, const std::string& p,
                  bool (*parse_options)(const std::string&, Opts*, std::string*), Opts* out) {
    std::string text;
    for (auto it = o.begin(); it != o.end(); ++it) {
        std::string value;
        auto number = [&](const json& v) {
            if (v.is_number_unsigned()) value += std::to_string(v.get<unsigned long long>());
            else if (v.is_number_integer()) value += std::to_string(v.get<long long>());
            else value += format_double(v.get<double>());
        };
        const json& v = it.value();
        if (v.is_boolean()) {
            value = v.get<bool>() ? "true" : "false";
        } else if (v.is_array()) {
            for (std::size_t i = 0; i < v.size(); ++i) {
                if (i) value += ", ";
                number(v[i]);
            }
        } else {
            number(v);
        }
        text += it.key() + " = " + value + "\n";
    }
    std::string why;
    if (!parse_options(text, out, &why)) return ck.fail(p, why);
    return true;
}

bool read_frame(RuleChecker& ck, const json& f, const std::string& p, const Stream& s, const Recording& rec,
                long long version, Frame* out) {
    if (!ck.record(f, p, "frame")) return false;
    out->dir = f["dir"].get<std::string>();
    if (f.contains("images") && !f["images"].is_null()) {
        const json& images = f["images"];
        for (auto it = images.begin(); it != images.end(); ++it) {
            const std::string where = p + ".images." + it.key();
            const int index = camera_of(it.key());
            if (index < 0) return ck.fail(where, "names no camera (left, right or extra)");
            if (!(rec.device.cameras & (1u << index))) return ck.fail(where, "is a camera the device lacks");
            if (!rec.cameras[index].known) return ck.fail(where, "is a camera whose calibration is not recorded");
            if (!s.x2 && static_cast<unsigned>(1u << index) != s.camera) return ck.fail(where, "is not the X1's camera");
            if (!ck.record(it.value(), where, "image")) return false;
            ImageFile& img = out->images[index];
            img.file = it.value()["file"].get<std::string>();
            const std::string type = it.value()["type"].get<std::string>();
            img.type = type == "Mono8" ? TUVO::ImageType::Mono8 : type == "RGB8" ? TUVO::ImageType::RGB8 : TUVO::ImageType::BGR8;
        }
    }
    out->points = f["points"]["file"].get<std::string>();
    out->normals = f["points"]["normals"].get<bool>();
    for (auto [key, name] : {std::pair<const char*, std::string*>{"depth", &out->depth}, {"confidence", &out->confidence},
                             {"correspond", &out->correspond}})
        if (f.contains(key) && !f[key].is_null()) *name = f[key].get<std::string>();
    if (!s.x2 && !out->correspond.empty()) return ck.fail(p + ".correspond", "belongs to X2 captures only");
    out->compressed = f.contains("compression") && !f["compression"].is_null();
    const long long from = rules().at("compressed_from_version").get<long long>();
    if (out->compressed && version < from)
        return ck.fail(p + ".compression", "needs recording format version " + std::to_string(from));
    return true;
}

bool read_stream(RuleChecker& ck, const std::string& name, const json& j, Recording& rec, long long version,
                 const OptionReaders& options, Stream* out) {
    const std::string p = "streams." + name;
    out->name = name;
    if (!ck.record(j, p, "stream_kind")) return false;
    out->x2 = j["kind"] == "x2";
    if (out->x2) {
        if (name != "x2") return ck.fail(p, "an X2 stream must be named x2");
        if (!rec.cameras[0].known || !rec.cameras[1].known) return ck.fail(p, "needs the calibration of the left and right cameras");
    }
    if (!ck.record(j, p, out->x2 ? "x2_stream" : "x1_stream")) return false;
    int index = 0;  // the camera whose calibration the maps follow (X2: the left one)
    out->camera = TUVO::CameraID_Left;
    if (!out->x2) {
        const std::string cam = j["camera"].get<std::string>();
        index = camera_of(cam);
        if (name != "x1-" + cam) return ck.fail(p + ".camera", "must be left, right or extra, as the stream's name says");
        if (!(rec.device.cameras & (1u << index))) return ck.fail(p + ".camera", "is a camera the device lacks");
        if (!rec.cameras[index].known) return ck.fail(p, "needs the calibration of its camera");
        out->camera = 1u << index;
    }
    const long long w = j["width"].get<long long>(), h = j["height"].get<long long>();
    if (w * h > limit("pixels")) return ck.fail(p, "has more than " + grouped(limit("pixels")) + " pixels");
    const Calibration& calibration = rec.cameras[index];
    if (w != calibration.width || h != calibration.height)
        return ck.fail(p, "is " + std::to_string(w) + " x " + std::to_string(h) + " pixels, its camera's calibration " +
                              std::to_string(calibration.width) + " x " + std::to_string(calibration.height));
    out->width = static_cast<int>(w);
    out->height = static_cast<int>(h);
    const json& t = j["custom_transform"];
    out->transform.select = t["coordinate_select"].get<unsigned>();
    if (t.contains("matrix") && !t["matrix"].is_null()) {
        for (int i = 0; i < 16; ++i) out->transform.matrix[i] = t["matrix"][i].get<double>();
        out->transform.matrix_known = true;
    } else if (out->transform.select != 0) {
        return ck.fail(p + ".custom_transform.matrix", "is needed with a coordinate_select other than 0");
    }
    if (out->x2 ? !read_options(ck, j["options"], p + ".options", options.x2, &out->x2_options)
                : !read_options(ck, j["options"], p + ".options", options.x1, &out->x1_options))
        return false;
    if (j.contains("balance") && !j["balance"].is_null()) {
        floats(j["balance"], out->balance);
        out->balance_known = true;
    }
    const json& frames = j["frames"];
    // One by one: room is taken for frames that are read, not for the number the list claims.
    for (std::size_t i = 0; i < frames.size(); ++i) {
        Frame f;
        if (!read_frame(ck, frames[i], p + ".frames[" + std::to_string(i) + "]", *out, rec, version, &f)) return false;
        out->frames.push_back(std::move(f));
    }
    return true;
}

}  // namespace

bool load_manifest(const std::string& root, const OptionReaders& options, const Knobs& knobs, Recording* out,
                   std::string* why) {
    std::string text;
    if (!read_file_in(root, "manifest.json", static_cast<std::size_t>(limit("manifest_bytes")), &text, why)) return false;
    const std::string name = root + "/manifest.json";
    if (text.find('\0') != std::string::npos) return *why = name + ": holds a NUL character", false;
    // Measured before it is parsed: how deep it nests, how many values it holds and what they
    // take once parsed. Running out of memory while the parsed value is built cannot be recovered
    // from (the parser's clean-up allocates), so the memory is checked first.
    JsonBounds bounds;
    bounds.depth = static_cast<int>(limit("manifest_depth"));
    bounds.values = limit("manifest_values");
    bounds.memory = available_memory(knobs);
    JsonExtent extent;
    std::string parse_error;
    json j;
    try {
        switch (measure_json(text, bounds, &extent, &parse_error)) {
            case JsonFit::fits: break;
            case JsonFit::too_deep: return *why = name + ": nests deeper than a recording's manifest", false;
            case JsonFit::too_many:
                return *why = name + ": holds more than " + grouped(limit("manifest_values")) + " values", false;
            case JsonFit::too_large:
                return *why = name + ": reading it takes up to " + std::to_string(extent.bytes() >> 20) + " MB and " +
                              std::to_string(bounds.memory >> 20) + " MB of memory is available", false;
            case JsonFit::malformed: return *why = name + ": not JSON (" + parse_error + ")", false;
        }
        j = json::parse(text);
    } catch (const std::bad_alloc&) {  // more than the bound foresaw, with room left to unwind
        return *why = name + ": out of memory while it was read", false;
    } catch (const json::exception& e) {  // (measured as well-formed above)
        *why = name + ": not JSON (" + e.what() + ")";
        return false;
    }
    RuleChecker ck;
    Recording rec;
    rec.root = root;
    auto done = [&]() {
        *why = name + ": " + ck.fault;
        return false;
    };
    const std::string format = rules().at("format").get<std::string>();
    if (!j.is_object() || !j.contains("format") || j["format"] != format)
        return *why = name + ": not a TUVO recording (\"format\" is not \"" + format + "\")", false;
    // The version first: a newer format may differ in everything else.
    if (!ck.record(j, "manifest", "version")) return done();
    const long long version = j["version"].get<long long>(), newest = rules().at("newest_version").get<long long>();
    if (version > newest)
        return *why = name + ": recording format version " + std::to_string(version) + " is newer than this reader reads (" +
                      std::to_string(newest) + ")", false;
    if (!ck.record(j, "manifest", "manifest") || !read_device(ck, j["device"], &rec.device)) return done();
    const json& cameras = j["cameras"];
    for (auto it = cameras.begin(); it != cameras.end(); ++it) {  // in the order of their names
        const std::string p = "cameras." + it.key();
        const int index = camera_of(it.key());
        if (index < 0) return ck.fail(p, "names no camera (left, right or extra)"), done();
        if (!(rec.device.cameras & (1u << index))) return ck.fail(p, "is a camera the device lacks"), done();
        if (!read_camera(ck, it.value(), p, &rec.cameras[index])) return done();
    }
    const json& streams = j["streams"];
    for (auto it = streams.begin(); it != streams.end(); ++it) {
        bool known = false;
        for (const json& s : rules().at("streams")) known = known || s == it.key();
        if (!known)
            return ck.fail("streams." + it.key(), "is not a stream name (" + choices(rules().at("streams")) + ")"), done();
        rec.streams.emplace_back();
        if (!read_stream(ck, it.key(), it.value(), rec, version, options, &rec.streams.back())) return done();
    }
    *out = std::move(rec);
    return true;
}

}  // namespace replay
}  // namespace sim
