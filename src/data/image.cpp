// Image, its module-level functions and its buffer view over SDK pixel memory.
#include <type_traits>

#include "module/bindings.h"

namespace pytuvo {

using TUVO::Image;

// The view describes one byte per channel, rows packed: the SDK's pixel pointer must be bytes.
static_assert(std::is_same<decltype(std::declval<const Image&>().GetDataPtr()), unsigned char*>::value,
              "Image pixels are unsigned bytes");
namespace ImageType = TUVO::ImageType;

void bind_image_functions(py::module_& m) {
    m.def("ImageTypeToString", &ImageType::ToString, release_gil());
    m.def("ImageTypeGetPixelSize", &ImageType::GetPixelSize, release_gil());
    m.def("ImageCreate", [](ImageType::Enum type, const TUVO::Size& size) {
        return Image::Create(type, size, nullptr, true);
    }, release_gil());
    m.def("ImageDestroy", [](const Image& img, bool no_reuse) { Image::Destroy(img, no_reuse); },
          "Destroy the image", py::arg("img"), py::arg("no_reuse") = true, release_gil());
}

void bind_Image(py::module_& m) {
    py::class_<Image>(m, "Image", guarded_buffer_protocol())
        .def(py::init<>(), release_gil())
        .def_static("CreateFromFile", [](const CText& filename) { return Image::CreateFromFile(filename); },
                    release_gil())
        .def_static("Destroy", [](const Image& img) { Image::Destroy(img, true); }, release_gil())
        .def("IsValid", self_ref(&Image::IsValid), release_gil())
        .def("GetSize", self_ref(&Image::GetSize), release_gil())
        .def("SaveImage", self_ref(&Image::SaveImage), release_gil())
        .def("GetType", self_ref(&Image::GetType), release_gil())
        .def("Clone", self_ref(&Image::Clone), release_gil())
        .def_buffer([](Image& img) -> py::buffer_info {
            const TUVO::Size size = img.GetSize();
            const ImageType::Enum type = img.GetType();
            const py::ssize_t h = size.height, w = size.width;
            if (w == 0 || h == 0 || type == ImageType::None) return py::buffer_info();
            if (type == ImageType::Mono8) return dense_view(img.GetDataPtr(), {h, w});
            // Interleaved channels, one byte each: as many as the type's pixel size says.
            py::ssize_t channels = static_cast<py::ssize_t>(ImageType::GetPixelSize(type));
            if (channels == 0) return py::buffer_info();
            return dense_view(img.GetDataPtr(), {h, w, channels});
        });
}

}  // namespace pytuvo
