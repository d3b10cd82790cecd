// Stand-in SDK entry points over the vision tools: SDK handles turned into the views they read.
#pragma once
#include <map>

#include "api/containers.h"
#include "vision/markers.h"

namespace sim {

// The object's pixels or points as the vision tools read them; the caller holds the object.
ImageView view_of(const ImageObj& img);
PointsView view_of(PointMapObj& pm);

// The object behind a handle, for the caller to hold while a tool looks at it; null, the last error
// set, for an invalid or destroyed handle.
std::shared_ptr<ImageObj> image_of(const TUVO::Image& image, Call& call);
std::shared_ptr<PointMapObj> points_of(const TUVO::PointMap& pm, Call& call);

// 3-D marker centres of an image and its point map given by handle (see marker_centres): false,
// the last error set, for an invalid handle too.
bool centres_of(const TUVO::PointMap& pm, const TUVO::Image& img, const TUVO::CodedCircleMarkerType& type, Call& call,
                std::map<int, Eigen::Vector3d>* out);

}  // namespace sim
