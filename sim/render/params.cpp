// Stand-in SDK: range checks of a capture's settings.
#include "render/params.h"

#include <cmath>
#include <string>

namespace sim {

bool valid_2d(const CaptureParams& p, Report& report) {
    if (p.exposure_2d < 3 || p.exposure_2d > 100) {
        report.fail(TUVO::Error_InvalidArgument, "exposure_time_2d must be 3..100");
        return false;
    }
    if (!(p.gain_2d >= 0 && p.gain_2d <= 20) || !(p.gamma_2d >= 0.5f && p.gamma_2d <= 3.0f) || p.brightness < 1 ||
        p.brightness > 255) {
        report.fail(TUVO::Error_InvalidArgument, "gain_2d must be 0..20, gamma_2d 0.5..3 and projector_brightness 1..255");
        return false;
    }
    return true;
}

bool valid_3d(const CaptureParams& p, Report& report) {
    if (p.exposure_3d < 3 || p.exposure_3d > 100 || p.brightness < 1 || p.brightness > 255 || p.scan_times < 1 ||
        p.scan_times > 8) {
        report.fail(TUVO::Error_InvalidArgument, "exposure_time_3d must be 3..100, projector_brightness 1..255 and "
                                               "scan_times 1..8");
        return false;
    }
    if (!(p.gain_3d >= 0 && p.gain_3d <= 20) || !(p.gamma_3d >= 0.5f && p.gamma_3d <= 3.0f)) {
        report.fail(TUVO::Error_InvalidArgument, "gain_3d must be 0..20 and gamma_3d 0.5..3");
        return false;
    }
    if (p.hdr_times < 0 || p.hdr_times > 3) {
        report.fail(TUVO::Error_InvalidArgument, "hdr_exposure_times must be 0..3");
        return false;
    }
    for (int k = 0; k < p.hdr_times; ++k) {
        if (p.hdr_exposure[k] < 3 || p.hdr_exposure[k] > 100 || !(p.hdr_gain[k] >= 0 && p.hdr_gain[k] <= 20) ||
            p.hdr_brightness[k] < 1 || p.hdr_brightness[k] > 255 || p.hdr_scan[k] < 1 || p.hdr_scan[k] > 8) {
            report.fail(TUVO::Error_InvalidArgument, "HDR step " + std::to_string(k) + " is out of range");
            return false;
        }
    }
    if (std::isnan(p.confidence_threshold) || std::isnan(p.zmin) || std::isnan(p.zmax)) {
        report.fail(TUVO::Error_InvalidArgument, "confidence_threshold and the truncation limits must be numbers");
        return false;
    }
    return true;
}

}  // namespace sim
