// Stand-in SDK: the per-pixel maps: depth (saved as PNG), confidence and correspondence.
#include <string>

#include "api/containers.h"
#include "api/depth_colour.h"
#include "control/knobs.h"

using namespace sim;

namespace TUVO {

namespace {

template <class H>
std::shared_ptr<MapObj> map_of(const H& h) {
    return maps().get(h.slot, h.generation);
}

template <class H>
Size map_size(const H& h, const char* op) {
    if (auto o = override_size(std::string(op) + ".GetSize")) return *o;
    auto m = map_of(h);
    return m ? Size{m->width, m->height} : Size{0, 0};
}

template <class H>
double* map_data(const H& h, const char* op) {
    if (auto o = override_bytes(std::string(op) + ".GetDataPtr"); o && o->is_null) return nullptr;
    auto m = map_of(h);
    return m ? m->data.data() : nullptr;
}

}  // namespace

DepthMap::DepthMap() : slot(0), generation(0) {}
bool DepthMap::IsValid() const try {
    Call call("DepthMap.IsValid");
    return map_of(*this) != nullptr;
} catch (...) { return escaped(false); }
Size DepthMap::GetSize() const try {
    Call call("DepthMap.GetSize");
    return map_size(*this, "DepthMap");
} catch (...) { return escaped(Size()); }
double* DepthMap::GetDataPtr() try {
    Call call("DepthMap.GetDataPtr");
    return map_data(*this, "DepthMap");
} catch (...) { return escaped<double*>(nullptr); }

bool DepthMap::SaveDepthMap(const char* filename, bool flag) try {
    Call call("DepthMap.SaveDepthMap");
    call.arg("filename", filename).arg_bool("flag", flag);
    if (call.failed()) return false;
    if (!filename) {
        call.fail(Error_InvalidArgument, "null file name");
        return false;
    }
    auto m = map_of(*this);
    if (!m) {
        call.fail(Error_InvalidHandle, "invalid depth map");
        return false;
    }
    std::string png, why;
    if (pick_format(filename, {"png"}, &why) < 0) {
        call.fail(Error_InvalidArgument, why);
        return false;
    }
    const bool ok = encode_depth_png(*m, flag, &png, &why);
    if (!ok || !save_file(filename, png, read_knobs().save_fail_after_bytes, &why)) {
        call.fail(Error_FileIO, why);
        return false;
    }
    return true;
} catch (...) { return escaped(false); }

ConfidenceMap::ConfidenceMap() : slot(0), generation(0) {}
bool ConfidenceMap::IsValid() const try {
    Call call("ConfidenceMap.IsValid");
    return map_of(*this) != nullptr;
} catch (...) { return escaped(false); }
Size ConfidenceMap::GetSize() const try {
    Call call("ConfidenceMap.GetSize");
    return map_size(*this, "ConfidenceMap");
} catch (...) { return escaped(Size()); }
double* ConfidenceMap::GetDataPtr() try {
    Call call("ConfidenceMap.GetDataPtr");
    return map_data(*this, "ConfidenceMap");
} catch (...) { return escaped<double*>(nullptr); }

CorrespondMap::CorrespondMap() : slot(0), generation(0) {}
bool CorrespondMap::IsValid() const try {
    Call call("CorrespondMap.IsValid");
    return map_of(*this) != nullptr;
} catch (...) { return escaped(false); }
Size CorrespondMap::GetSize() const try {
    Call call("CorrespondMap.GetSize");
    return map_size(*this, "CorrespondMap");
} catch (...) { return escaped(Size()); }
double* CorrespondMap::GetDataPtr() try {
    Call call("CorrespondMap.GetDataPtr");
    return map_data(*this, "CorrespondMap");
} catch (...) { return escaped<double*>(nullptr); }

}  // namespace TUVO
