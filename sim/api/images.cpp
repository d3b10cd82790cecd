// Stand-in SDK: Image: made, cloned, loaded from and saved as PNG files.
#include <cstring>

#include "api/containers.h"
#include "control/knobs.h"
#include "core/handles.h"
#include "core/pixel_pool.h"

using namespace sim;

namespace TUVO {

namespace ImageType {
const char* ToString(Enum type) try {
    Call call("ImageType.ToString");
    call.arg("type", static_cast<long long>(type));
    if (auto o = override_text("ImageType.ToString")) return *o;
    switch (type) {
        case None: return "None";
        case Mono8: return "Mono8";
        case RGB8: return "RGB8";
        case BGR8: return "BGR8";
    }
    return "Unknown";
} catch (...) { return escaped<const char*>(""); }

std::uint64_t GetPixelSize(Enum type) {
    switch (type) {
        case Mono8: return 1;
        case RGB8:
        case BGR8: return 3;
        default: return 0;
    }
}
}  // namespace ImageType

Image::Image() : slot(0), generation(0) {}

Image Image::Create(ImageType::Enum type, Size size, unsigned char* data, bool own_data) try {
    Call call("Image.Create");
    call.arg("type", static_cast<long long>(type)).arg("width", static_cast<long long>(size.width));
    call.arg("height", static_cast<long long>(size.height)).arg_bool("own_data", own_data);
    call.arg_bool("data", data != nullptr);
    if (call.failed()) return Image();
    if (ImageType::GetPixelSize(type) == 0) {
        call.fail(Error_InvalidArgument, "image type must be Mono8, RGB8 or BGR8");
        return Image();
    }
    if (!usable_size(size)) {
        call.fail(Error_InvalidArgument, "size " + std::to_string(size.width) + "x" +
                                             std::to_string(size.height) + " is not usable");
        return Image();
    }
    if (data && !own_data) {
        auto obj = std::make_shared<ImageObj>();
        obj->type = type;
        obj->width = size.width;
        obj->height = size.height;
        obj->data = data;
        return make_handle<Image>(images().add(obj));
    }
    std::shared_ptr<ImageObj> obj;
    Image img = new_image(type, size.width, size.height, &obj, data != nullptr);
    if (data) std::memcpy(obj->data, data, obj->bytes());
    return img;
} catch (...) { return escaped(Image()); }

Image Image::CreateFromFile(const char* filename) try {
    Call call("Image.CreateFromFile");
    call.arg("filename", filename);
    if (call.failed()) return Image();
    if (!filename) {
        call.fail(Error_InvalidArgument, "null file name");
        return Image();
    }
    InFile file;
    std::string why;
    if (!file.open(filename, kMaxImageFileBytes, &why)) {
        call.fail(Error_FileIO, why);
        return Image();
    }
    std::vector<std::uint8_t> px;
    int w, h, ch, bd;
    if (!decode_png(file, &px, &w, &h, &ch, &bd, &why)) {
        call.fail(Error_FileIO, std::string(filename) + ": " + why);
        return Image();
    }
    if (bd != 8 || (ch != 1 && ch != 3)) {
        call.fail(Error_NotSupported, std::string(filename) + ": only 8-bit grey or RGB images load");
        return Image();
    }
    std::shared_ptr<ImageObj> obj;
    Image img = new_image(ch == 1 ? ImageType::Mono8 : ImageType::RGB8, w, h, &obj,
                          px.size() == static_cast<std::size_t>(w) * h * ch);
    std::memcpy(obj->data, px.data(), px.size());
    return img;
} catch (...) { return escaped(Image()); }

void Image::Destroy(Image image, bool no_reuse) try {
    Call call("Image.Destroy");
    call.arg("slot", static_cast<long long>(image.slot)).arg_bool("no_reuse", no_reuse);
    auto obj = images().remove(image.slot, image.generation);
    if (obj && !no_reuse && obj.use_count() == 1) give_pixels(std::move(obj->storage));
} catch (...) { escaped(); }

Image Image::Clone() const try {
    Call call("Image.Clone");
    if (call.failed()) return Image();
    auto obj = lookup(images(), *this);
    if (!obj) {
        call.fail(Error_InvalidHandle, "invalid or destroyed image");
        return Image();
    }
    std::shared_ptr<ImageObj> to;
    Image copy = new_image(obj->type, obj->width, obj->height, &to, true);
    std::memcpy(to->data, obj->data, obj->bytes());
    return copy;
} catch (...) { return escaped(Image()); }

bool Image::IsValid() const try {
    Call call("Image.IsValid");
    return lookup(images(), *this) != nullptr;
} catch (...) { return escaped(false); }

Size Image::GetSize() const try {
    Call call("Image.GetSize");
    if (auto o = override_size("Image.GetSize")) return *o;
    auto obj = lookup(images(), *this);
    return obj ? Size{obj->width, obj->height} : Size{0, 0};
} catch (...) { return escaped(Size()); }

ImageType::Enum Image::GetType() const try {
    Call call("Image.GetType");
    if (auto o = override_int("Image.GetType")) return static_cast<ImageType::Enum>(*o);
    auto obj = lookup(images(), *this);
    return obj ? obj->type : ImageType::None;
} catch (...) { return escaped(ImageType::None); }

unsigned char* Image::GetDataPtr() const try {
    Call call("Image.GetDataPtr");
    if (auto o = override_bytes("Image.GetDataPtr"); o && o->is_null) return nullptr;
    auto obj = lookup(images(), *this);
    return obj ? obj->data : nullptr;
} catch (...) { return escaped<unsigned char*>(nullptr); }

bool Image::SaveImage(const char* filename) const try {
    Call call("Image.SaveImage");
    call.arg("filename", filename);
    if (call.failed()) return false;
    if (!filename) {
        call.fail(Error_InvalidArgument, "null file name");
        return false;
    }
    auto obj = lookup(images(), *this);
    if (!obj) {
        call.fail(Error_InvalidHandle, "invalid or destroyed image");
        return false;
    }
    std::string png, why;
    if (pick_format(filename, {"png"}, &why) < 0) {
        call.fail(Error_InvalidArgument, why);
        return false;
    }
    const std::uint8_t* src = obj->data;
    std::vector<std::uint8_t> rgb;
    int ch = obj->type == ImageType::Mono8 ? 1 : 3;
    if (obj->type == ImageType::BGR8) {
        rgb.assign(src, src + obj->bytes());
        for (std::size_t i = 0; i + 2 < rgb.size(); i += 3) std::swap(rgb[i], rgb[i + 2]);
        src = rgb.data();
    }
    if (!encode_png(src, obj->width, obj->height, ch, 8, &png, &why) ||
        !save_file(filename, png, read_knobs().save_fail_after_bytes, &why)) {
        call.fail(Error_FileIO, why);
        return false;
    }
    return true;
} catch (...) { return escaped(false); }

}  // namespace TUVO
