// Stand-in SDK: point-cloud transform, fixed-marker compensator, external camera and accuracy tools.
#include "containers.h"
#include "control.h"

using namespace sim;

namespace TUVO {

void TransformPointCloud(const double* R, const double* T, PointMap& pm) {
    Call call("TransformPointCloud");
    if (call.failed()) return;
    if (!R || !T) {
        call.fail(Error_InvalidArgument, "null rotation or translation");
        return;
    }
    auto obj = lookup(pointmaps(), pm);
    if (!obj) {
        call.fail(Error_InvalidHandle, "invalid or destroyed point map");
        return;
    }
    double* p = obj->pts();
    double* n = obj->nrm();
    for (std::size_t i = 0; i < obj->count(); ++i) {
        double* q = p + 3 * i;
        const double x = q[0], y = q[1], z = q[2];
        q[0] = R[0] * x + R[1] * y + R[2] * z + T[0];
        q[1] = R[3] * x + R[4] * y + R[5] * z + T[1];
        q[2] = R[6] * x + R[7] * y + R[8] * z + T[2];
        if (n) {
            double* m = n + 3 * i;
            const double a = m[0], b = m[1], c = m[2];
            m[0] = R[0] * a + R[1] * b + R[2] * c;
            m[1] = R[3] * a + R[4] * b + R[5] * c;
            m[2] = R[6] * a + R[7] * b + R[8] * c;
        }
    }
}

Compensator_FixedMarkers::Compensator_FixedMarkers() : impl_(nullptr) {}
Compensator_FixedMarkers::~Compensator_FixedMarkers() {}
int Compensator_FixedMarkers::Initialize(const PointMap&, const Image&, int) {
    Call call("Compensator_FixedMarkers.Initialize");
    call.fail(Error_NotSupported, "not available yet");
    return Error_NotSupported;
}
bool Compensator_FixedMarkers::Update(const PointMap&, const Image&, double&) {
    Call call("Compensator_FixedMarkers.Update");
    call.fail(Error_NotSupported, "not available yet");
    return false;
}
bool Compensator_FixedMarkers::Apply(PointMap&) {
    Call call("Compensator_FixedMarkers.Apply");
    call.fail(Error_NotSupported, "not available yet");
    return false;
}

int GetExternalCameraExtrinsicMatrix(const Image&, const PointMap&, const unsigned char*, const Image&,
                                     const PointMap&, const unsigned char*, const Image&, const PointMap&,
                                     const unsigned char*, int, int, const float*, const float*, float*, double*) {
    Call call("GetExternalCameraExtrinsicMatrix");
    call.fail(Error_NotSupported, "not available yet");
    return 0;
}

PointMap GetExternalCameraPointMap(const PointMap&, int, int, const float*, const float*, const float*) {
    Call call("GetExternalCameraPointMap");
    call.fail(Error_NotSupported, "not available yet");
    return PointMap();
}

int TestAccuracy(const Image&, const PointMap&, const float*, const float*, int, int, float, float*, float*, float*,
                 float*) {
    Call call("TestAccuracy");
    call.fail(Error_NotSupported, "not available yet");
    return Error_NotSupported;
}

}  // namespace TUVO
