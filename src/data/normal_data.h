// The module's own record for a point map's normals: a snapshot of the SDK's pointer and size.
#pragma once
#include "sdk/TUVO.h"

// Global, as the SDK's own records are named: signatures show it as "NormalData".
struct NormalData {
    bool valid = false;
    double* data = nullptr;  // owned by the SDK point map
    TUVO::Size size{0, 0};
    // The handle the record was made from (a small value: it keeps nothing alive). The record's
    // memory is only reached while that point map lives and still holds it.
    TUVO::PointMap source;
};
