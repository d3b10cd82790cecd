// Stand-in SDK: coded circle marker detection and the marker geometry shared by the tools.
#pragma once
#include <Eigen/Dense>
#include <map>
#include <vector>

#include "api/containers.h"
#include "core/scratch.h"

namespace sim {

// Bytes of a working buffer (see control/scratch.h).
using ScratchBytes = std::vector<std::uint8_t, ScratchAllocator<std::uint8_t>>;

struct Detected {
    double x, y;  // sub-pixel centre
    int code;
    double radius;  // mean radius of the centre dot, pixels
};

// Finds coded markers in a grey image (rows packed, `width` bytes each).
std::vector<Detected> detect_markers(const std::uint8_t* grey, int width, int height,
                                     const TUVO::CodedCircleMarkerType& type);
// Grey copy of an SDK image (Mono8, RGB8 or BGR8); false for an unusable image.
bool grey_of(const ImageObj& img, ScratchBytes* grey);
// Detects in an SDK image handle; false (last error set) for an invalid image or type.
bool detect_in(const TUVO::Image& image, const TUVO::CodedCircleMarkerType& type, Call& call,
               std::vector<Detected>* out);
// The grey image (the point map's size after a size check) the calling thread's latest detect_in
// looked at.
const ScratchBytes& detected_grey();
// The same for an image already looked up (null: invalid); the caller holds it for the call.
bool detect_in(const std::shared_ptr<ImageObj>& img, const TUVO::CodedCircleMarkerType& type, Call& call,
               std::vector<Detected>* out);
// The 3-D point of the point map at a sub-pixel position: a least-squares plane through the valid
// points within `radius` pixels, evaluated there. With `grey` (the image of the same size), each
// point weighs as its pixel's brightness: dark ink measures noisier. False when too few points are
// valid.
bool point_at(const PointMapObj& pm, const std::uint8_t* grey, double x, double y, double radius,
              Eigen::Vector3d* out);
// Rigid motion taking `from` onto `to` (least squares, optional weights); RMS residual in `rms`.
Eigen::Matrix4d rigid_fit(const std::vector<Eigen::Vector3d>& from, const std::vector<Eigen::Vector3d>& to,
                          const std::vector<double>* weights, double* rms);
// 3-D marker centres (code -> point) of an image and its point map: detected in the image, taken
// from the point map around each centre. Markers whose code appears twice are left out.
bool marker_centres(const TUVO::PointMap& pm, const TUVO::Image& img, const TUVO::CodedCircleMarkerType& type,
                    Call& call, std::map<int, Eigen::Vector3d>* out);

}  // namespace sim
