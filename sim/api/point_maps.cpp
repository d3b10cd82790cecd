// Stand-in SDK: PointMap: made, cloned, loaded from and saved as point-cloud files (PLY, PCD).
#include <cstring>

#include "api/cloud_files.h"
#include "api/containers.h"
#include "control/knobs.h"

using namespace sim;

namespace TUVO {

namespace PointMapType {
const char* ToString(Enum type) try {
    Call call("PointMapType.ToString");
    call.arg("type", static_cast<long long>(type));
    if (auto o = override_text("PointMapType.ToString")) return *o;
    switch (type) {
        case None: return "None";
        case PointsOnly: return "PointsOnly";
        case PointsNormals: return "PointsNormals";
    }
    return "Unknown";
} catch (...) { return escaped<const char*>(""); }
}  // namespace PointMapType

PointMap::PointMap() : slot(0), generation(0) {}

PointMap PointMap::Create(PointMapType::Enum type, Size size, double* data, bool own_data) try {
    Call call("PointMap.Create");
    call.arg("type", static_cast<long long>(type)).arg("width", static_cast<long long>(size.width));
    call.arg("height", static_cast<long long>(size.height)).arg_bool("own_data", own_data);
    if (call.failed()) return PointMap();
    if (type != PointMapType::PointsOnly && type != PointMapType::PointsNormals) {
        call.fail(Error_InvalidArgument, "point map type must be PointsOnly or PointsNormals");
        return PointMap();
    }
    if (!usable_size(size)) {
        call.fail(Error_InvalidArgument, "size " + std::to_string(size.width) + "x" +
                                             std::to_string(size.height) + " is not usable");
        return PointMap();
    }
    std::shared_ptr<PointMapObj> obj;
    // Points given (copied or looked at) replace the NaN a new map is filled with; normals are not given.
    PointMap pm = new_pointmap(size.width, size.height, type == PointMapType::PointsNormals, nullptr, &obj);
    if (data && !own_data) {
        obj->points.clear();
        obj->points.shrink_to_fit();
        obj->foreign = data;
    } else if (data) {
        std::memcpy(obj->points.data(), data, obj->points.size() * sizeof(double));
    }
    return pm;
} catch (...) { return escaped(PointMap()); }

PointMap PointMap::CreateFromFile(const char* filename, Size size, PointMapUnit::Enum unit) try {
    Call call("PointMap.CreateFromFile");
    call.arg("filename", filename).arg("width", static_cast<long long>(size.width));
    call.arg("height", static_cast<long long>(size.height)).arg("unit", static_cast<long long>(unit));
    if (call.failed()) return PointMap();
    if (!filename) {
        call.fail(Error_InvalidArgument, "null file name");
        return PointMap();
    }
    if (unit != PointMapUnit::Meter && unit != PointMapUnit::Millimeter) {
        call.fail(Error_InvalidArgument, "unknown unit");
        return PointMap();
    }
    InFile file;
    std::string why;
    if (!file.open(filename, kMaxPointFileBytes, &why)) {
        call.fail(Error_FileIO, why);
        return PointMap();
    }
    Numbers pts;
    int w, h;
    const bool pcd = file_extension(filename) == "pcd";
    if (!(pcd ? parse_pcd(file, unit, &pts, &w, &h, &why) : parse_ply(file, unit, &pts, &w, &h, &why))) {
        call.fail(Error_FileIO, std::string(filename) + ": " + why);
        return PointMap();
    }
    if (size.width != 0 || size.height != 0) {
        if (size.width <= 0 || size.height <= 0 ||
            static_cast<long long>(size.width) * size.height != static_cast<long long>(w) * h) {
            call.fail(Error_InvalidArgument, std::string(filename) + ": holds " +
                                                 std::to_string(static_cast<long long>(w) * h) +
                                                 " points, not " + std::to_string(size.width) + "x" +
                                                 std::to_string(size.height));
            return PointMap();
        }
        w = size.width;
        h = size.height;
    }
    std::shared_ptr<PointMapObj> obj;
    PointMap pm = new_pointmap(w, h, false, &pts, &obj, true);  // the points read become the map's
    if (!pts.empty()) obj->points = std::move(pts);
    return pm;
} catch (...) { return escaped(PointMap()); }

void PointMap::Destroy(PointMap pointmap, bool no_reuse) try {
    Call call("PointMap.Destroy");
    call.arg("slot", static_cast<long long>(pointmap.slot)).arg_bool("no_reuse", no_reuse);
    pointmaps().remove(pointmap.slot, pointmap.generation);
} catch (...) { escaped(); }

PointMap PointMap::Clone() const try {
    Call call("PointMap.Clone");
    if (call.failed()) return PointMap();
    auto obj = lookup(pointmaps(), *this);
    if (!obj) {
        call.fail(Error_InvalidHandle, "invalid or destroyed point map");
        return PointMap();
    }
    std::shared_ptr<PointMapObj> c;
    PointMap copy = new_pointmap(obj->width, obj->height, !obj->normals.empty(), nullptr, &c, true);
    std::memcpy(c->points.data(), obj->pts(), obj->count() * 3 * sizeof(double));
    if (!obj->normals.empty()) std::memcpy(c->normals.data(), obj->normals.data(), obj->count() * 3 * sizeof(double));
    return copy;
} catch (...) { return escaped(PointMap()); }

bool PointMap::IsValid() const try {
    Call call("PointMap.IsValid");
    return lookup(pointmaps(), *this) != nullptr;
} catch (...) { return escaped(false); }

Size PointMap::GetSize() const try {
    Call call("PointMap.GetSize");
    if (auto o = override_size("PointMap.GetSize")) return *o;
    auto obj = lookup(pointmaps(), *this);
    return obj ? Size{obj->width, obj->height} : Size{0, 0};
} catch (...) { return escaped(Size()); }

double* PointMap::GetPointDataPtr() try {
    Call call("PointMap.GetPointDataPtr");
    if (auto o = override_bytes("PointMap.GetPointDataPtr"); o && o->is_null) return nullptr;
    auto obj = lookup(pointmaps(), *this);
    return obj ? obj->pts() : nullptr;
} catch (...) { return escaped<double*>(nullptr); }

double* PointMap::GetNormalDataPtr() try {
    Call call("PointMap.GetNormalDataPtr");
    if (auto o = override_bytes("PointMap.GetNormalDataPtr"); o && o->is_null) return nullptr;
    auto obj = lookup(pointmaps(), *this);
    return obj ? obj->nrm() : nullptr;
} catch (...) { return escaped<double*>(nullptr); }

bool PointMap::Save(const char* filename, PointMapUnit::Enum unit, bool isBinary, const Image& image) try {
    Call call("PointMap.Save");
    call.arg("filename", filename).arg("unit", static_cast<long long>(unit)).arg_bool("isBinary", isBinary);
    call.arg("image_slot", static_cast<long long>(image.slot));
    if (call.failed()) return false;
    if (!filename) {
        call.fail(Error_InvalidArgument, "null file name");
        return false;
    }
    if (unit != PointMapUnit::Meter && unit != PointMapUnit::Millimeter) {
        call.fail(Error_InvalidArgument, "unknown unit");
        return false;
    }
    auto obj = lookup(pointmaps(), *this);
    if (!obj) {
        call.fail(Error_InvalidHandle, "invalid or destroyed point map");
        return false;
    }
    std::string why;
    const int format = pick_format(filename, {"ply", "pcd"}, &why);
    if (format < 0) {
        call.fail(Error_InvalidArgument, why);
        return false;
    }
    std::shared_ptr<ImageObj> img;
    if (image.slot != 0) {
        img = lookup(images(), image);
        if (!img) {
            call.fail(Error_InvalidHandle, "invalid or destroyed image");
            return false;
        }
        if (img->width != obj->width || img->height != obj->height) {
            call.fail(Error_InvalidArgument, "the image's size differs from the point map's");
            return false;
        }
    }
    CloudData cloud;
    cloud.points = obj->pts();
    cloud.width = obj->width;
    cloud.height = obj->height;
    cloud.scale = unit == PointMapUnit::Meter ? 0.001 : 1.0;
    cloud.unit = unit == PointMapUnit::Meter ? "m" : "mm";
    cloud.image = img.get();
    const std::string out = encode_cloud(format == 1 ? CloudFormat::Pcd : CloudFormat::Ply, cloud, isBinary);
    if (!save_file(filename, out, read_knobs().save_fail_after_bytes, &why)) {
        call.fail(Error_FileIO, why);
        return false;
    }
    return true;
} catch (...) { return escaped(false); }

}  // namespace TUVO
