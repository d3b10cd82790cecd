// Stand-in SDK: a camera's settings file: bandwidth, white balance and the custom transformation
// as `key = value` lines in a [camera] section.
#include "api/settings.h"

#include <algorithm>
#include <cmath>
#include <locale>
#include <sstream>
#include <vector>

#include "core/key_value.h"
#include "core/numbers.h"

namespace sim {

unsigned max_transform_select(const CameraState& c) {
    if (!c.x2) return TUVO::X1::CustomTransformOptions::CoordinateSelect_CaliBoard;
    return c.dev->extra ? TUVO::X2::CustomTransformOptions::CoordinateSelect_CameraExtra
                        : TUVO::X2::CustomTransformOptions::CoordinateSelect_CaliBoard;
}

std::string format_settings(CameraState& c) {
    std::ostringstream os;
    os.imbue(std::locale::classic());  // a decimal point whatever the program's locale
    os.precision(9);
    os << "# TUVO camera settings\n[camera]\n";
    os << "bandwidth = " << c.bandwidth << "\n";
    os << "balance = " << c.balance[0] << ", " << c.balance[1] << ", " << c.balance[2] << "\n";
    os << "transform_select = " << c.transform.select << "\n";
    os << "transform =";
    os.precision(17);
    for (int i = 0; i < 16; ++i) os << (i ? ", " : " ") << c.transform.m[i];
    os << "\n";
    return os.str();
}

bool parse_settings(CameraState& c, const std::string& text, std::string* why) {
    KeyValueReader r(text, " \t");  // a carriage return before the '=' stays part of the key
    float bandwidth = c.bandwidth, balance[3] = {c.balance[0], c.balance[1], c.balance[2]};
    CustomTransform t = c.transform;
    bool section = false;
    while (r.next()) {
        if (r.line().substr(0, 8) == "[camera]") {
            section = true;
            continue;
        }
        if (!section || !r.has_equals()) {
            *why = r.fault("expected key = value in a [camera] section");
            return false;
        }
        const std::string key(r.key());
        std::vector<double> v;
        if (!parse_number_list(r.after_equals(), &v)) {
            *why = r.fault("malformed number");
            return false;
        }
        if (key == "bandwidth" && v.size() == 1 && v[0] > 0 && v[0] <= 1 && static_cast<float>(v[0]) > 0)  // not 0 as a float
            bandwidth = static_cast<float>(v[0]);
        else if (key == "balance" && v.size() == 3 && v[0] >= 0.5 && v[0] <= 4 && v[1] >= 0.5 && v[1] <= 4 && v[2] >= 0.5 &&
                 v[2] <= 4)
            for (int k = 0; k < 3; ++k) balance[k] = static_cast<float>(v[k]);
        else if (key == "transform_select") {
            const unsigned most = max_transform_select(c);
            if (v.size() != 1 || !(v[0] >= 0 && v[0] <= most) || v[0] != std::floor(v[0])) {
                *why = r.fault("transform_select must be an integer from 0 to " + std::to_string(most));
                return false;
            }
            t.select = static_cast<unsigned>(v[0]);
        } else if (key == "transform" && v.size() == 16) {
            if (!std::all_of(v.begin(), v.end(), [](double x) { return std::isfinite(x); })) {
                *why = r.fault("the transformation holds a value that is not finite");
                return false;
            }
            std::copy(v.begin(), v.end(), t.m);
        } else {
            *why = r.fault("unknown key or value out of range: " + key);
            return false;
        }
    }
    if (!section) {
        *why = "no [camera] section";
        return false;
    }
    c.bandwidth = bandwidth;
    std::copy(balance, balance + 3, c.balance);
    c.transform = t;
    return true;
}

}  // namespace sim
