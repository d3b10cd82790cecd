// Stand-in SDK: coded circle marker detection and the marker geometry shared by the tools.
#pragma once
#include <Eigen/Dense>
#include <cstdint>
#include <map>
#include <vector>

#include "TUVO.h"
#include "core/report.h"
#include "core/scratch.h"

namespace sim {

// Bytes of a working buffer (see core/scratch.h).
using ScratchBytes = std::vector<std::uint8_t, ScratchAllocator<std::uint8_t>>;

// An image as the tools read it: `width` x `height` pixels of `type`, rows packed. The caller keeps
// the pixels alive while a tool looks at them.
struct ImageView {
    TUVO::ImageType::Enum type = TUVO::ImageType::None;
    int width = 0, height = 0;
    const std::uint8_t* data = nullptr;
};

// A point map as the tools read it: x, y, z per pixel (NaN where none), rows packed.
struct PointsView {
    int width = 0, height = 0;
    const double* points = nullptr;
};

struct Detected {
    double x, y;  // sub-pixel centre
    int code;
    double radius;  // mean radius of the centre dot, pixels
};

// Finds coded markers in a grey image (rows packed, `width` bytes each).
std::vector<Detected> detect_markers(const std::uint8_t* grey, int width, int height,
                                     const TUVO::CodedCircleMarkerType& type);
// Grey copy of an image (Mono8, RGB8 or BGR8); false for an unusable image.
bool grey_of(const ImageView& img, ScratchBytes* grey);
// Detects in an image; false (reported) for an invalid marker type or an image without usable
// pixels.
bool detect_in(const ImageView& image, const TUVO::CodedCircleMarkerType& type, Report& report,
               std::vector<Detected>* out);
// The grey image the calling thread's latest detect_in looked at.
const ScratchBytes& detected_grey();
// The 3-D point of the point map at a sub-pixel position: a least-squares plane through the valid
// points within `radius` pixels, evaluated there. With `grey` (the image of the same size), each
// point weighs as its pixel's brightness: dark ink measures noisier. False when too few points are
// valid.
bool point_at(const PointsView& pm, const std::uint8_t* grey, double x, double y, double radius,
              Eigen::Vector3d* out);
// Rigid motion taking `from` onto `to` (least squares, optional weights); RMS residual in `rms`.
Eigen::Matrix4d rigid_fit(const std::vector<Eigen::Vector3d>& from, const std::vector<Eigen::Vector3d>& to,
                          const std::vector<double>* weights, double* rms);
// 3-D marker centres (code -> point) of an image and its point map: detected in the image, taken
// from the point map around each centre. Markers whose code appears twice are left out. False
// (reported) when the image is unusable or its size differs from the point map's.
bool marker_centres(const PointsView& pm, const ImageView& img, const TUVO::CodedCircleMarkerType& type,
                    Report& report, std::map<int, Eigen::Vector3d>* out);
// The rigid transform from the first camera's marker centres to the second's, over the codes both
// see: the number of them, or 0 (reported) when they are too few or leave the rotation open.
int two_camera_transform(const std::map<int, Eigen::Vector3d>& a, const std::map<int, Eigen::Vector3d>& b,
                         double* rotation9, double* translation3, Report& report);

}  // namespace sim
