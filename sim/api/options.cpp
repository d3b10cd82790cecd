// Stand-in SDK: option-record defaults, their text form and their meaning for a capture.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <sstream>

#include "api/camera.h"
#include "core/key_value.h"
#include "core/numbers.h"

namespace TUVO {

X1::CaptureOptions::CaptureOptions()
    : calc_normal(false), transform_to_camera(true), filter_range(0), use_auto_noise_removal(true),
      noise_removal_distance(0.0), noise_removal_point_number(40), light_contrast_threshold(3), phase_filter_range(0),
      exposure_time_2d(11), exposure_time_3d(11), projector_brightness(240), gain_2d(0.0f), gain_3d(0.0f),
      hdr_exposure_times(0), hdr_exposure_time_content{11, 20, 50}, hdr_gain_content{0.0f, 0.0f, 0.0f},
      hdr_scan_times_content{1, 1, 1}, hdr_projector_brightness_content{240, 240, 240}, calc_normal_radius(5),
      gamma_2d(1.0f), gamma_3d(1.0f), use_projector_capturing_2d_image(true), smoothness(SmoothnessLevel_Off),
      downsample_distance(0.0), capture_mode(CaptureMode_Normal), confidence_threshold(0.0), roi{0, 0, 0, 0},
      truncate_z_min(-9999.0), truncate_z_max(9999.0), bilateral_filter_kernal_size(0), bilateral_filter_depth_sigma(0.0),
      bilateral_filter_space_sigma(0.0), scan_times(1), use_auto_bilateral_filter(true), reflection_filter_threshold(0),
      smooth_sigma(1.75), enable_2d_in_capture(true) {}

X1::CustomTransformOptions::CustomTransformOptions()
    : coordinate_select(CoordinateSelect_Disabled), transform{1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1} {}

X2::CaptureOptions::CaptureOptions()
    : transform_to_camera(CameraID_Left), projector_brightness(240), calc_normal(false), calc_normal_radius(5),
      light_contrast_threshold(3), edge_noise_reduction_threshold(2), exposure_time_2d(11), exposure_time_3d(11),
      gain_2d(0.0f), gain_3d(0.0f), hdr_exposure_times(0), hdr_exposure_time_content{11, 20, 50},
      hdr_gain_content{0.0f, 0.0f, 0.0f}, hdr_projector_brightness_content{240, 240, 240}, gamma_2d(1.0f),
      gamma_3d(1.0f), projector_color(ProjectorColor_Blue), use_projector_capturing_2d_image(true),
      smoothness(SmoothnessLevel_Off), use_auto_noise_removal(true), noise_removal_distance(0.0),
      noise_removal_point_number(40), downsample_distance(0.0), capture_mode(CaptureMode_Normal),
      confidence_threshold(0.0), scan_times(1), hdr_scan_times_content{1, 1, 1}, bilateral_filter_kernal_size(0),
      bilateral_filter_depth_sigma(0.0), bilateral_filter_space_sigma(0.0), line_scanner_scan_time_ms(1000),
      line_scanner_exposure_time_us(300), line_scanner_min_distance(0), line_scanner_max_distance(0),
      correspond2d(false), line_scanner_laser_position(32768), use_auto_bilateral_filter(true),
      reflection_filter_threshold(0), smooth_sigma(1.75), roi{0, 0, 0, 0}, enable_2d_in_capture(true),
      pointcloud_completion(false), line_scanner_brightness_threshold(5) {}

X2::CustomTransformOptions::CustomTransformOptions()
    : coordinate_select(CoordinateSelect_Disabled), transform{1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1} {}

}  // namespace TUVO

namespace sim {

namespace {

enum class Kind { Bool, Int, UInt, UShort, Float, Double, Enum, Ints3, Floats3, Roi };

struct Field {
    const char* name;
    Kind kind;
    std::size_t offset;
};

#define F(T, name, kind) Field{#name, Kind::kind, offsetof(T, name)}
using X1O = TUVO::X1::CaptureOptions;
using X2O = TUVO::X2::CaptureOptions;

const std::vector<Field>& fields(const X1O*) {
    static const std::vector<Field> f = {
        F(X1O, calc_normal, Bool), F(X1O, transform_to_camera, Bool), F(X1O, filter_range, Int),
        F(X1O, use_auto_noise_removal, Bool), F(X1O, noise_removal_distance, Double),
        F(X1O, noise_removal_point_number, Int), F(X1O, light_contrast_threshold, Int), F(X1O, phase_filter_range, Int),
        F(X1O, exposure_time_2d, Int), F(X1O, exposure_time_3d, Int), F(X1O, projector_brightness, Int),
        F(X1O, gain_2d, Float), F(X1O, gain_3d, Float), F(X1O, hdr_exposure_times, Int),
        F(X1O, hdr_exposure_time_content, Ints3), F(X1O, hdr_gain_content, Floats3),
        F(X1O, hdr_scan_times_content, Ints3), F(X1O, hdr_projector_brightness_content, Ints3),
        F(X1O, calc_normal_radius, UInt), F(X1O, gamma_2d, Float), F(X1O, gamma_3d, Float),
        F(X1O, use_projector_capturing_2d_image, Bool), F(X1O, smoothness, Enum), F(X1O, downsample_distance, Double),
        F(X1O, capture_mode, Enum), F(X1O, confidence_threshold, Double), F(X1O, roi, Roi),
        F(X1O, truncate_z_min, Double), F(X1O, truncate_z_max, Double), F(X1O, bilateral_filter_kernal_size, Int),
        F(X1O, bilateral_filter_depth_sigma, Double), F(X1O, bilateral_filter_space_sigma, Double),
        F(X1O, scan_times, Int), F(X1O, use_auto_bilateral_filter, Bool), F(X1O, reflection_filter_threshold, Int),
        F(X1O, smooth_sigma, Double), F(X1O, enable_2d_in_capture, Bool)};
    return f;
}

const std::vector<Field>& fields(const X2O*) {
    static const std::vector<Field> f = {
        F(X2O, transform_to_camera, Enum), F(X2O, projector_brightness, Int), F(X2O, calc_normal, Bool),
        F(X2O, calc_normal_radius, UInt), F(X2O, light_contrast_threshold, Int),
        F(X2O, edge_noise_reduction_threshold, Int), F(X2O, exposure_time_2d, Int), F(X2O, exposure_time_3d, Int),
        F(X2O, gain_2d, Float), F(X2O, gain_3d, Float), F(X2O, hdr_exposure_times, Int),
        F(X2O, hdr_exposure_time_content, Ints3), F(X2O, hdr_gain_content, Floats3),
        F(X2O, hdr_projector_brightness_content, Ints3), F(X2O, gamma_2d, Float), F(X2O, gamma_3d, Float),
        F(X2O, projector_color, Enum), F(X2O, use_projector_capturing_2d_image, Bool), F(X2O, smoothness, Enum),
        F(X2O, use_auto_noise_removal, Bool), F(X2O, noise_removal_distance, Double),
        F(X2O, noise_removal_point_number, Int), F(X2O, downsample_distance, Double), F(X2O, capture_mode, Enum),
        F(X2O, confidence_threshold, Double), F(X2O, scan_times, Int), F(X2O, hdr_scan_times_content, Ints3),
        F(X2O, bilateral_filter_kernal_size, Int), F(X2O, bilateral_filter_depth_sigma, Double),
        F(X2O, bilateral_filter_space_sigma, Double), F(X2O, line_scanner_scan_time_ms, Int),
        F(X2O, line_scanner_exposure_time_us, Int), F(X2O, line_scanner_min_distance, Int),
        F(X2O, line_scanner_max_distance, Int), F(X2O, correspond2d, Bool), F(X2O, line_scanner_laser_position, UShort),
        F(X2O, use_auto_bilateral_filter, Bool), F(X2O, reflection_filter_threshold, Int), F(X2O, smooth_sigma, Double),
        F(X2O, roi, Roi), F(X2O, enable_2d_in_capture, Bool), F(X2O, pointcloud_completion, Bool),
        F(X2O, line_scanner_brightness_threshold, Int)};
    return f;
}
#undef F

template <class T>
T& at(void* base, std::size_t off) {
    return *reinterpret_cast<T*>(static_cast<char*>(base) + off);
}

template <class O>
std::string format_fields(const O& o) {
    std::ostringstream os;
    os.imbue(std::locale::classic());  // a decimal point whatever the program's locale
    os.precision(17);
    void* base = const_cast<O*>(&o);
    for (const Field& f : fields(&o)) {
        os << f.name << " = ";
        switch (f.kind) {
            case Kind::Bool: os << (at<bool>(base, f.offset) ? "true" : "false"); break;
            case Kind::Int: os << at<int>(base, f.offset); break;
            case Kind::UInt:
            case Kind::Enum: os << at<unsigned>(base, f.offset); break;
            case Kind::UShort: os << at<unsigned short>(base, f.offset); break;
            case Kind::Float: os << at<float>(base, f.offset); break;
            case Kind::Double: os << at<double>(base, f.offset); break;
            case Kind::Ints3: {
                int* v = &at<int>(base, f.offset);
                os << v[0] << ", " << v[1] << ", " << v[2];
                break;
            }
            case Kind::Floats3: {
                float* v = &at<float>(base, f.offset);
                os << v[0] << ", " << v[1] << ", " << v[2];
                break;
            }
            case Kind::Roi: {
                int* v = &at<int>(base, f.offset);
                os << v[0] << ", " << v[1] << ", " << v[2] << ", " << v[3];
                break;
            }
        }
        os << "\n";
    }
    return os.str();
}

template <class O>
bool parse_fields(const std::string& text, O* out, std::string* why) {
    O o = *out;
    void* base = &o;
    // A carriage return beside the '=' stays part of the key or the value.
    KeyValueReader r(text, " \t");
    auto fail = [&](const std::string& what) {
        *why = r.fault(what);
        return false;
    };
    while (r.next()) {
        if (r.line()[0] == '[') continue;  // section lines are passed over
        if (!r.has_equals()) return fail("expected key = value");
        const std::string key(r.key()), val(r.value());
        const Field* field = nullptr;
        for (const Field& f : fields(&o))
            if (key == f.name) field = &f;
        if (!field) return fail("unknown option " + key);
        if (field->kind == Kind::Bool) {
            if (val != "true" && val != "false") return fail(key + " must be true or false");
            at<bool>(base, field->offset) = val == "true";
            continue;
        }
        std::vector<double> v;
        if (!parse_number_list(val, &v)) return fail("malformed number in " + key);
        const std::size_t want = field->kind == Kind::Ints3 || field->kind == Kind::Floats3 ? 3 : field->kind == Kind::Roi ? 4 : 1;
        if (v.size() != want) return fail(key + " needs " + std::to_string(want) + " values");
        auto integral = [](double x, double lo, double hi) { return std::floor(x) == x && x >= lo && x <= hi; };
        // A finite double beyond the float range has no float value (converting it is undefined).
        auto beyond_float = [](double x) { return std::isfinite(x) && std::fabs(x) > std::numeric_limits<float>::max(); };
        if ((field->kind == Kind::Float || field->kind == Kind::Floats3) &&
            std::any_of(v.begin(), v.end(), beyond_float))
            return fail(key + " is out of the range of a 32-bit float");
        switch (field->kind) {
            case Kind::Int:
                if (!integral(v[0], -2147483648.0, 2147483647.0)) return fail(key + " must be a 32-bit integer");
                at<int>(base, field->offset) = static_cast<int>(v[0]);
                break;
            case Kind::UInt:
            case Kind::Enum:
                if (!integral(v[0], 0, 4294967295.0)) return fail(key + " must be an unsigned 32-bit integer");
                at<unsigned>(base, field->offset) = static_cast<unsigned>(v[0]);
                break;
            case Kind::UShort:
                if (!integral(v[0], 0, 65535)) return fail(key + " must be 0..65535");
                at<unsigned short>(base, field->offset) = static_cast<unsigned short>(v[0]);
                break;
            case Kind::Float: at<float>(base, field->offset) = static_cast<float>(v[0]); break;
            case Kind::Double: at<double>(base, field->offset) = v[0]; break;
            case Kind::Floats3:
                for (int k = 0; k < 3; ++k) (&at<float>(base, field->offset))[k] = static_cast<float>(v[k]);
                break;
            case Kind::Ints3:
            case Kind::Roi:
                for (std::size_t k = 0; k < want; ++k) {
                    if (!integral(v[k], -2147483648.0, 2147483647.0)) return fail(key + " must hold 32-bit integers");
                    (&at<int>(base, field->offset))[k] = static_cast<int>(v[k]);
                }
                break;
            case Kind::Bool: break;
        }
    }
    *out = o;
    return true;
}

template <class O>
void common_params(const O& o, CaptureParams* p) {
    p->calc_normal = o.calc_normal;
    p->exposure_2d = o.exposure_time_2d;
    p->exposure_3d = o.exposure_time_3d;
    p->brightness = o.projector_brightness;
    p->gain_2d = o.gain_2d;
    p->gain_3d = o.gain_3d;
    p->gamma_2d = o.gamma_2d;
    p->gamma_3d = o.gamma_3d;
    p->hdr_times = o.hdr_exposure_times;
    for (int k = 0; k < 3; ++k) {
        p->hdr_exposure[k] = o.hdr_exposure_time_content[k];
        p->hdr_gain[k] = o.hdr_gain_content[k];
        p->hdr_scan[k] = o.hdr_scan_times_content[k];
        p->hdr_brightness[k] = o.hdr_projector_brightness_content[k];
    }
    p->use_projector_2d = o.use_projector_capturing_2d_image;
    p->enable_2d = o.enable_2d_in_capture;
    p->noise_removal = o.use_auto_noise_removal;
    p->smoothness = o.smoothness;
    p->capture_mode = o.capture_mode;
    p->confidence_threshold = o.confidence_threshold;
    p->contrast_threshold = o.light_contrast_threshold;
    p->roi = o.roi;
    p->scan_times = o.scan_times;
    p->bilateral_kernel = o.bilateral_filter_kernal_size;
}

}  // namespace

CaptureParams params_of(const TUVO::X1::CaptureOptions& o) {
    CaptureParams p;
    common_params(o, &p);
    p.camera_frame = o.transform_to_camera;
    p.zmin = o.truncate_z_min;
    p.zmax = o.truncate_z_max;
    return p;
}

CaptureParams params_of(const TUVO::X2::CaptureOptions& o) {
    CaptureParams p;
    common_params(o, &p);
    p.frame_camera = o.transform_to_camera;
    p.correspond2d = o.correspond2d;
    p.completion = o.pointcloud_completion;
    p.projector_color = o.projector_color;
    return p;
}

std::string format_options(const TUVO::X1::CaptureOptions& o) { return format_fields(o); }
std::string format_options(const TUVO::X2::CaptureOptions& o) { return format_fields(o); }
bool parse_options(const std::string& text, TUVO::X1::CaptureOptions* o, std::string* why) {
    return parse_fields(text, o, why);
}
bool parse_options(const std::string& text, TUVO::X2::CaptureOptions* o, std::string* why) {
    return parse_fields(text, o, why);
}

}  // namespace sim
