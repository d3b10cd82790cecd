// TUVO SDK: the whole public interface.
#pragma once
#include "TUVOCamera.h"
#include "TUVODevice.h"
#include "TUVOData.h"
#include "TUVOTools.h"
#include "TUVOTypes.h"
