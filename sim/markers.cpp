// Stand-in SDK: coded circle marker detection and the two-camera transform.
#include "containers.h"
#include "control.h"

using namespace sim;

namespace TUVO {

CodedCircleMarkerType::CodedCircleMarkerType() : N(12), r1_to_r0_ratio(2.0), r2_to_r0_ratio(3.0) {}
CodedCircleMarker::CodedCircleMarker() : x(0.0), y(0.0), code(0) {}

bool DetectCodedCircleMarker(const Image& image, const CodedCircleMarkerType& type, int* count,
                             CodedCircleMarker* markers) {
    Call call("DetectCodedCircleMarker");
    if (count) *count = 0;
    call.fail(Error_NotSupported, "marker detection is not available yet");
    (void)image; (void)type; (void)markers;
    return false;
}

int GetTwoCameraTransformByCodedCircleMarker(const PointMap&, const Image&, const PointMap&, const Image&,
                                             const CodedCircleMarkerType&, double*, double*) {
    Call call("GetTwoCameraTransformByCodedCircleMarker");
    call.fail(Error_NotSupported, "not available yet");
    return Error_NotSupported;
}

}  // namespace TUVO
