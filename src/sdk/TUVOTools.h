// TUVO SDK: coded circle markers, two-camera registration, compensation and measurement tools.
#pragma once
#include "TUVOData.h"

namespace TUVO {

// A coded marker: a dark centre dot of radius r0 and a code ring between r1 and r2 cut into N
// equal sectors; a dark sector is a 1 bit. The code is the smallest value among the N rotations
// of the bit pattern, so it does not depend on how the marker is turned.
struct TUVO_API CodedCircleMarkerType {
    CodedCircleMarkerType();
    int N;
    double r1_to_r0_ratio;
    double r2_to_r0_ratio;
};

struct TUVO_API CodedCircleMarker {
    CodedCircleMarker();
    double x;  // sub-pixel centre, column
    double y;  // sub-pixel centre, row
    int code;
};

static_assert(sizeof(CodedCircleMarkerType) == 24 && offsetof(CodedCircleMarkerType, r1_to_r0_ratio) == 8,
              "CodedCircleMarkerType layout");
static_assert(sizeof(CodedCircleMarker) == 24 && offsetof(CodedCircleMarker, code) == 16,
              "CodedCircleMarker layout");

// The most markers one detection writes; `markers` must have room for this many.
constexpr int kMaxCodedCircleMarkers = 1000;

// Finds markers in a Mono8, RGB8 or BGR8 image; writes them and their number (at most
// kMaxCodedCircleMarkers). Returns false when the image or type is unusable.
TUVO_API bool DetectCodedCircleMarker(const Image& image, const CodedCircleMarkerType& type,
                                      int* count, CodedCircleMarker* markers);

// Detects markers in both images, takes their 3-D centres from the point maps, matches them by
// code and fits the rigid motion taking camera 1 points into camera 2: p2 = R * p1 + T.
// R is 9 values (row-major), T 3 values (mm). Returns the number of markers used (>= 3) or a
// negative error code.
TUVO_API int GetTwoCameraTransformByCodedCircleMarker(const PointMap& pointmap1, const Image& image1,
                                                      const PointMap& pointmap2, const Image& image2,
                                                      const CodedCircleMarkerType& type,
                                                      double* rotation9, double* translation3);

// p' = R * p + T for every valid point (NaN stays NaN); R 9 values row-major, T 3 values. Normals
// are rotated.
TUVO_API void TransformPointCloud(const double* rotation9, const double* translation3,
                                  PointMap& pointmap);

// Keeps the device's frame steady against markers fixed in the scene.
class TUVO_API Compensator_FixedMarkers {
public:
    Compensator_FixedMarkers();
    ~Compensator_FixedMarkers();
    Compensator_FixedMarkers(const Compensator_FixedMarkers&) = delete;
    Compensator_FixedMarkers& operator=(const Compensator_FixedMarkers&) = delete;
    // Records the markers of a reference capture whose code is at least `min_code` (0: all);
    // returns how many were recorded, or a negative error code.
    int Initialize(const PointMap& pointmap, const Image& image, int min_code);
    // Measures the reference markers in a new capture: `rms_mm` is their RMS displacement in
    // millimetres before correction. Needs at least 3 matched markers.
    bool Update(const PointMap& pointmap, const Image& image, double& rms_mm);
    // Applies the rigid motion found by the last Update, bringing the points back to the
    // reference frame, in place.
    bool Apply(PointMap& pointmap);

private:
    void* impl_;
};

// The external camera: `width` x `height` pixels, intrinsics K (9 values, row-major), distortion
// (5 values: k1 k2 p1 p2 k3) and, for GetExternalCameraPointMap, the 4x4 row-major extrinsic
// matrix taking device points (mm) into the external camera's frame.
//
// Three views of a marker board: for each, the device's image and point map and the external
// camera's Mono8 image (width x height bytes, rows packed). Markers seen by both are matched by
// code and the pose is solved from the 3-D/2-D pairs. Writes the extrinsic matrix and the RMS
// reprojection error in pixels. Returns nonzero on success.
TUVO_API int GetExternalCameraExtrinsicMatrix(const Image& image1, const PointMap& pointmap1,
                                              const unsigned char* external1, const Image& image2,
                                              const PointMap& pointmap2,
                                              const unsigned char* external2, const Image& image3,
                                              const PointMap& pointmap3,
                                              const unsigned char* external3, int width, int height,
                                              const float* intrinsic9, const float* distortion5,
                                              float* extrinsic16, double* rms_px);

// Re-projects the device's points into the external camera: a width x height point map in the
// external camera's frame holding the nearest point per pixel (NaN elsewhere).
TUVO_API PointMap GetExternalCameraPointMap(const PointMap& pointmap, int width, int height,
                                            const float* intrinsic9, const float* distortion5,
                                            const float* extrinsic16);

// Accuracy test on a board of rows x cols coded markers spaced `spacing_mm` apart. Board position
// k (row-major, row 0 at the top, column 0 at the left) carries the k-th code of the SDK's code
// book: the aperiodic N-bit ring patterns with N/4 to 3N/4 dark sectors, in increasing order of
// their smallest rotation (the virtual devices' boards follow it). Optional inputs (null to skip):
// `expected_xy` 2 * rows * cols board coordinates (mm) replacing the regular grid; `weights`
// rows * cols per-marker weights. Outputs: `image_xy` 2 * rows * cols detected image centres (px),
// `board_xyz` 3 * rows * cols measured 3-D centres (mm), both left untouched where a marker was not
// measured; `rms_mm` the (weighted) RMS distance between the measured centres and the ideal board
// after a best rigid fit, `max_mm` the largest. Returns the number of markers used, or a negative
// error code.
TUVO_API int TestAccuracy(const Image& image, const PointMap& pointmap, const float* expected_xy,
                          const float* weights, int rows, int cols, float spacing_mm,
                          float* image_xy, float* board_xyz, float* rms_mm, float* max_mm);

}  // namespace TUVO
