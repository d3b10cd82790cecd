// The module's own record for a point map's normals: a snapshot of the SDK's pointer and size.
#pragma once
#include "sdk/TUVO.h"

namespace pytuvo {

struct NormalData {
    bool valid = false;
    double* data = nullptr;  // owned by the SDK point map
    TUVO::Size size{0, 0};
};

}  // namespace pytuvo
