// Stand-in SDK: point-cloud transform, external camera and accuracy tools.
#pragma once
#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

#include "vision/markers.h"

namespace sim {

// Moves `count` points (x, y, z each) by rotation R (row-major 3 x 3) and translation T; their
// normals, when given, turn with them.
void transform_points(double* points, double* normals, std::size_t count, const double* R, const double* T);

// Whether an external camera's intrinsics K (3 x 3) and distortion D (k1 k2 p1 p2 k3) are finite,
// with positive focal lengths; reported when not.
bool usable_lens(const float* K, const float* D, Report& report);
// The markers an external camera's grey image (`width` x `height`) shows once that the device saw
// at `device` (code -> 3-D centre): their points appended to X, their image positions to uv.
void match_external(const std::map<int, Eigen::Vector3d>& device, const std::uint8_t* external, int width, int height,
                    const TUVO::CodedCircleMarkerType& type, std::vector<Eigen::Vector3d>* X,
                    std::vector<Eigen::Vector2d>* uv);
// The external camera's pose (row-major 4 x 4, device to camera) from the matched markers and its
// reprojection RMS in pixels; false (reported) when they are too few or no pose fits.
bool external_pose(const std::vector<Eigen::Vector3d>& X, const std::vector<Eigen::Vector2d>& uv, const float* K,
                   const float* D, float* extrinsic16, double* rms_px, Report& report);
// The point map seen from the external camera: `out` (3 doubles per pixel of its `width` x
// `height`, NaN filled) gets the nearest of the points that project to each pixel, in its frame.
void external_point_map(const PointsView& src, int width, int height, const float* K, const float* D,
                        const float* extrinsic16, double* out);

// The accuracy of a board of rows x cols markers (in the order of the stand-in's code book), from
// the markers `found` in its image and the point map, weighed by `grey` when given: the markers
// measured, or an error code (reported). Fills image_xy, board_xyz, rms_mm and max_mm as
// TestAccuracy does.
int board_accuracy(const std::vector<Detected>& found, const PointsView& points, const std::uint8_t* grey,
                   const TUVO::CodedCircleMarkerType& type, const float* expected_xy, const float* weights, int rows,
                   int cols, float spacing_mm, float* image_xy, float* board_xyz, float* rms_mm, float* max_mm,
                   Report& report);

}  // namespace sim
