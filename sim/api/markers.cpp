// Stand-in SDK entry points: coded circle marker detection and the two-camera transform.
#include "api/markers.h"

#include <algorithm>

#include "control/control.h"

namespace sim {

ImageView view_of(const ImageObj& img) { return ImageView{img.type, img.width, img.height, img.data}; }

PointsView view_of(PointMapObj& pm) { return PointsView{pm.width, pm.height, pm.pts()}; }

// Each object is looked up once and held to the end: destroyed meanwhile by another thread, it
// stays alive until the call is done with it.
std::shared_ptr<ImageObj> image_of(const TUVO::Image& image, Call& call) {
    auto img = lookup(images(), image);
    if (!img) call.fail(TUVO::Error_InvalidHandle, "invalid or destroyed image");
    return img;
}

std::shared_ptr<PointMapObj> points_of(const TUVO::PointMap& pm, Call& call) {
    auto points = lookup(pointmaps(), pm);
    if (!points) call.fail(TUVO::Error_InvalidHandle, "invalid or destroyed point map");
    return points;
}

bool centres_of(const TUVO::PointMap& pm, const TUVO::Image& img, const TUVO::CodedCircleMarkerType& type, Call& call,
                std::map<int, Eigen::Vector3d>* out) {
    auto points = points_of(pm, call);
    if (!points) return false;
    auto image = image_of(img, call);
    return image && marker_centres(view_of(*points), view_of(*image), type, call, out);
}

}  // namespace sim

using namespace sim;

namespace TUVO {

CodedCircleMarkerType::CodedCircleMarkerType() : N(12), r1_to_r0_ratio(2.0), r2_to_r0_ratio(3.0) {}
CodedCircleMarker::CodedCircleMarker() : x(0.0), y(0.0), code(0) {}

bool DetectCodedCircleMarker(const Image& image, const CodedCircleMarkerType& type, int* count,
                             CodedCircleMarker* markers) try {
    Call call("DetectCodedCircleMarker");
    call.arg("N", static_cast<long long>(type.N));
    if (count) *count = 0;
    if (call.failed()) return false;
    if (auto o = override_int("DetectCodedCircleMarker.count")) {
        // A crafted answer: that many markers, written up to the buffer's room.
        if (count) *count = static_cast<int>(*o);
        for (long long i = 0; markers && i < std::min<long long>(*o, kMaxCodedCircleMarkers); ++i) {
            markers[i].x = static_cast<double>(i);
            markers[i].y = static_cast<double>(2 * i);
            markers[i].code = static_cast<int>(100 + i);
        }
        return true;
    }
    if (!count || !markers) {
        call.fail(Error_InvalidArgument, "null count or marker buffer");
        return false;
    }
    auto img = image_of(image, call);
    std::vector<Detected> found;
    if (!img || !detect_in(view_of(*img), type, call, &found)) return false;
    const int n = static_cast<int>(std::min<std::size_t>(found.size(), kMaxCodedCircleMarkers));
    for (int i = 0; i < n; ++i) {
        markers[i].x = found[i].x;
        markers[i].y = found[i].y;
        markers[i].code = found[i].code;
    }
    *count = n;
    return true;
} catch (...) { return escaped(false); }

int GetTwoCameraTransformByCodedCircleMarker(const PointMap& pointmap1, const Image& image1, const PointMap& pointmap2,
                                             const Image& image2, const CodedCircleMarkerType& type, double* rotation9,
                                             double* translation3) try {
    Call call("GetTwoCameraTransformByCodedCircleMarker");
    if (call.failed()) return GetLastError();
    if (!rotation9 || !translation3) {
        call.fail(Error_InvalidArgument, "null rotation or translation buffer");
        return Error_InvalidArgument;
    }
    std::map<int, Eigen::Vector3d> a, b;
    if (!centres_of(pointmap1, image1, type, call, &a) || !centres_of(pointmap2, image2, type, call, &b))
        return GetLastError();
    const int shared = two_camera_transform(a, b, rotation9, translation3, call);
    return shared > 0 ? shared : Error_Failed;
} catch (...) { return escaped_code(); }

}  // namespace TUVO
