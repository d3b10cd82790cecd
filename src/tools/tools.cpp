// Calibration and measurement tools: markers, two-camera transform, compensator, accuracy.
#include <limits>
#include <new>
#include <stdexcept>

#include "module/bindings.h"

namespace pytuvo {

namespace {

using U8Array = py::array_t<std::uint8_t, py::array::c_style | py::array::forcecast>;
using F64Array = py::array_t<double, py::array::c_style | py::array::forcecast>;

// A float list handed to the SDK: null when empty, refused when shorter than the SDK reads.
const float* list_arg(const std::vector<float>& values, std::size_t needed, const char* what) {
    if (values.empty()) return nullptr;
    if (values.size() < needed)
        throw std::invalid_argument(std::string(what) + ": expected at least " + std::to_string(needed) +
                                    " values, got " + std::to_string(values.size()));
    return values.data();
}

const float* required_list(const std::vector<float>& values, std::size_t needed, const char* what) {
    if (values.size() < needed)
        throw std::invalid_argument(std::string(what) + ": expected at least " + std::to_string(needed) +
                                    " values, got " + std::to_string(values.size()));
    return values.data();
}

// Exactly `needed` values: a 4 x 4 pose given for a 3 x 3 rotation is a mistake, not a longer one.
const double* f64_arg(const F64Array& a, py::ssize_t needed, const char* what) {
    if (a.size() != needed)
        throw std::invalid_argument(std::string(what) + ": expected " + std::to_string(needed) + " values, got " +
                                    std::to_string(a.size()));
    return a.data();
}

const std::uint8_t* u8_arg(const U8Array& a, long long needed, const char* what) {
    if (needed < 0 || a.size() < needed)
        throw std::invalid_argument(std::string(what) + ": expected at least " + std::to_string(needed) +
                                    " bytes, got " + std::to_string(a.size()));
    return a.data();
}

std::vector<TUVO::CodedCircleMarker> detect(const TUVO::Image& image, const TUVO::CodedCircleMarkerType& type) {
    std::vector<TUVO::CodedCircleMarker> buffer(TUVO::kMaxCodedCircleMarkers);
    for (auto& mk : buffer) mk.x = mk.y = 0.0, mk.code = 0;
    int count = 0;
    TUVO::DetectCodedCircleMarker(image, type, &count, buffer.data());
    // Never more than the buffer holds, whatever count the SDK reports.
    buffer.resize(static_cast<std::size_t>(std::clamp(count, 0, TUVO::kMaxCodedCircleMarkers)));
    return buffer;
}

using AccuracyResult = std::tuple<int, std::vector<float>, std::vector<float>, float, float>;

AccuracyResult test_accuracy(const TUVO::Image& image, const TUVO::PointMap& pm, const std::vector<float>* expected,
                             const std::vector<float>* weights, int rows, int cols, float spacing) {
    // Output sizes in 32-bit arithmetic, as the SDK counts them; a negative size cannot be allocated.
    const std::int32_t n = static_cast<std::int32_t>(static_cast<std::uint32_t>(rows) * static_cast<std::uint32_t>(cols));
    const long long n2 = 2LL * n, n3 = 3LL * n;
    // A product that wrapped would size the buffers below what the counts make the SDK write, and
    // beyond 16 M markers they are refused too: no board comes near it.
    if (n2 < 0 || n3 < 0 || n > (1 << 24) || static_cast<long long>(rows) * cols != n) throw std::bad_alloc();
    std::vector<float> image_xy(static_cast<std::size_t>(n2), 0.0f), board_xyz(static_cast<std::size_t>(n3), 0.0f);
    const float* e = expected ? list_arg(*expected, static_cast<std::size_t>(n2), "TestAccuracy expected") : nullptr;
    const float* w = weights ? list_arg(*weights, static_cast<std::size_t>(n), "TestAccuracy weights") : nullptr;
    float rms = 0.0f, worst = 0.0f;
    int result = TUVO::TestAccuracy(image, pm, e, w, rows, cols, spacing, image_xy.data(), board_xyz.data(), &rms, &worst);
    return AccuracyResult(result, std::move(image_xy), std::move(board_xyz), rms, worst);
}

}  // namespace

void bind_Compensator_FixedMarkers(py::module_& m) {
    using C = TUVO::Compensator_FixedMarkers;
    py::class_<C>(m, "Compensator_FixedMarkers")
        .def(py::init<>(), release_gil())
        .def("Initialize", self_ref(&C::Initialize), release_gil())
        .def("Update", [](C& c, const TUVO::PointMap& pm, const TUVO::Image& img) {
            double rms = 0.0;
            bool ok = c.Update(pm, img, rms);
            return std::make_tuple(ok, rms);
        }, release_gil())
        .def("Apply", [](C& c, TUVO::PointMap& pm) {
            bool ok = c.Apply(pm);
            return std::make_tuple(ok, TUVO::PointMap(pm));
        }, release_gil());
}

void bind_external_camera_functions(py::module_& m) {
    m.def("GetExternalCameraExtrinsicMatrix",
          [](const TUVO::Image& i1, const TUVO::PointMap& p1, const U8Array& e1, const TUVO::Image& i2,
             const TUVO::PointMap& p2, const U8Array& e2, const TUVO::Image& i3, const TUVO::PointMap& p3,
             const U8Array& e3, int width, int height, const std::vector<float>& intrinsic,
             const std::vector<float>& distortion) {
              const long long bytes = static_cast<long long>(width) * height;
              const std::uint8_t* x1 = u8_arg(e1, bytes, "external image 1");
              const std::uint8_t* x2 = u8_arg(e2, bytes, "external image 2");
              const std::uint8_t* x3 = u8_arg(e3, bytes, "external image 3");
              const float* k = required_list(intrinsic, 9, "intrinsic parameters");
              const float* d = required_list(distortion, 5, "distortion coefficients");
              float extrinsic[16] = {};
              double rms = 0.0;
              int ok = TUVO::GetExternalCameraExtrinsicMatrix(i1, p1, x1, i2, p2, x2, i3, p3, x3, width, height, k, d,
                                                              extrinsic, &rms);
              return std::make_tuple(ok != 0, float_list(extrinsic), rms);
          }, release_gil());
    m.def("GetExternalCameraPointMap",
          [](const TUVO::PointMap& pm, int width, int height, const std::vector<float>& intrinsic,
             const std::vector<float>& distortion, const std::vector<float>& extrinsic) {
              const float* k = required_list(intrinsic, 9, "intrinsic parameters");
              const float* d = required_list(distortion, 5, "distortion coefficients");
              const float* e = required_list(extrinsic, 16, "extrinsic matrix");
              return TUVO::GetExternalCameraPointMap(pm, width, height, k, d, e);
          }, release_gil());
}

void bind_CodedCircleMarkerType(py::module_& m) {
    using T = TUVO::CodedCircleMarkerType;
    py::class_<T>(m, "CodedCircleMarkerType")
        .def(py::init<>(), release_gil())
        .def_readwrite("N", &T::N)
        .def_readwrite("r1_to_r0_ratio", &T::r1_to_r0_ratio)
        .def_readwrite("r2_to_r0_ratio", &T::r2_to_r0_ratio);
}

void bind_CodedCircleMarker(py::module_& m) {
    using T = TUVO::CodedCircleMarker;
    py::class_<T>(m, "CodedCircleMarker")
        .def(py::init<>(), release_gil())
        .def_readwrite("x", &T::x)
        .def_readwrite("y", &T::y)
        .def_readwrite("code", &T::code);
}

void bind_DetectCodedCircleMarker(py::module_& m) {
    m.def("DetectCodedCircleMarker", &detect, release_gil());
    m.def("DetectCodedCircleMarker", [](const U8Array& array, const TUVO::CodedCircleMarkerType& type) {
        // Only what an SDK image can describe: rows x cols grey, or rows x cols x 1 or 3 bytes.
        const py::ssize_t ndim = array.ndim();
        if (ndim != 2 && !(ndim == 3 && (array.shape(2) == 1 || array.shape(2) == 3)))
            throw std::invalid_argument(
                "DetectCodedCircleMarker: expected an array of shape (rows, cols), (rows, cols, 1) or (rows, cols, 3)");
        if (array.shape(0) > std::numeric_limits<int>::max() || array.shape(1) > std::numeric_limits<int>::max())
            throw std::invalid_argument("DetectCodedCircleMarker: array is too large");
        const TUVO::Size size{static_cast<int>(array.shape(1)), static_cast<int>(array.shape(0))};
        const auto kind = (ndim == 3 && array.shape(2) == 3) ? TUVO::ImageType::BGR8 : TUVO::ImageType::Mono8;
        TUVO::Image image = TUVO::Image::Create(kind, size, const_cast<std::uint8_t*>(array.data()), false);
        if (!image.IsValid())  // not "no markers": the SDK could not look at the array at all
            throw std::invalid_argument(std::string("DetectCodedCircleMarker: the SDK makes no image of this array (") +
                                        TUVO::GetLastErrorMessage() + ")");
        std::vector<TUVO::CodedCircleMarker> found = detect(image, type);
        // The image only looked at the array's memory; release its handle.
        TUVO::Image::Destroy(image, true);
        return found;
    }, release_gil());
}

void bind_GetTwoCameraTransformByCodedCircleMarker(py::module_& m) {
    m.def("GetTwoCameraTransformByCodedCircleMarker",
          [](const TUVO::PointMap& pm1, const TUVO::Image& img1, const TUVO::PointMap& pm2, const TUVO::Image& img2,
             const TUVO::CodedCircleMarkerType& type) {
              double rotation[9] = {}, translation[3] = {};
              int result;
              {
                  ReleasedLock unlocked;
                  result = TUVO::GetTwoCameraTransformByCodedCircleMarker(pm1, img1, pm2, img2, type, rotation,
                                                                          translation);
              }
              py::array_t<double> r(std::vector<py::ssize_t>{3, 3}), t(std::vector<py::ssize_t>{3});
              std::memcpy(r.mutable_data(), rotation, sizeof rotation);
              std::memcpy(t.mutable_data(), translation, sizeof translation);
              return std::make_tuple(result, r, t);
          });
}

void bind_TransformPointCloud(py::module_& m) {
    m.def("TransformPointCloud", [](const F64Array& rotation, const F64Array& translation, TUVO::PointMap& pm) {
        const double* r = f64_arg(rotation, 9, "TransformPointCloud rotation");
        const double* t = f64_arg(translation, 3, "TransformPointCloud translation");
        TUVO::TransformPointCloud(r, t, pm);
    }, release_gil());
}

void bind_TestAccuracy(py::module_& m) {
    m.def("TestAccuracy", [](const TUVO::Image& image, const TUVO::PointMap& pm, int rows, int cols, float spacing) {
        return test_accuracy(image, pm, nullptr, nullptr, rows, cols, spacing);
    }, release_gil());
    m.def("TestAccuracy", [](const TUVO::Image& image, const TUVO::PointMap& pm, const std::vector<float>& expected,
                             const std::vector<float>& weights, int rows, int cols, float spacing) {
        return test_accuracy(image, pm, &expected, &weights, rows, cols, spacing);
    }, release_gil());
}

}  // namespace pytuvo
