// Stand-in SDK: Image, PointMap and the per-pixel maps, with their files (PNG, PLY, PCD).
#include <png.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <map>

#include "api/containers.h"
#include "api/cloud_files.h"
#include "control/control.h"
#include "core/files.h"

namespace sim {

// Like the rest of the SDK's state, the tables live as long as the process (calls may still run in
// other threads while it exits).
Table<ImageObj>& images() {
    static auto* t = new Table<ImageObj>;
    return *t;
}
Table<PointMapObj>& pointmaps() {
    static auto* t = new Table<PointMapObj>;
    return *t;
}
Table<MapObj>& maps() {
    static auto* t = new Table<MapObj>;
    return *t;
}

namespace {

// Pixel memory given back with no_reuse == false, kept for the next image of the same size.
struct Pool {
    std::mutex m;
    std::multimap<std::size_t, std::vector<std::uint8_t>> free;
};
Pool& pool() {
    static Pool* p = new Pool;  // lives as long as the process
    return *p;
}

std::vector<std::uint8_t> take_pixels(std::size_t n) {
    Pool& p = pool();
    std::lock_guard<std::mutex> lock(p.m);
    auto it = p.free.find(n);
    if (it == p.free.end()) return std::vector<std::uint8_t>(n, 0);
    std::vector<std::uint8_t> v = std::move(it->second);
    p.free.erase(it);
    std::fill(v.begin(), v.end(), 0);
    return v;
}

void give_pixels(std::vector<std::uint8_t> v) {
    if (v.empty()) return;
    Pool& p = pool();
    std::lock_guard<std::mutex> lock(p.m);
    if (p.free.size() >= 8) p.free.erase(p.free.begin());
    p.free.emplace(v.size(), std::move(v));
}

bool valid_size(TUVO::Size s) {
    return s.width > 0 && s.height > 0 && static_cast<long long>(s.width) * s.height <= kMaxPixels;
}

std::string ext_of(const std::string& path) {
    auto dot = path.rfind('.');
    if (dot == std::string::npos) return "";
    std::string e = path.substr(dot + 1);
    for (auto& ch : e) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    return e;
}

// Where libpng reads from: bytes in memory, or an open file read only as far as libpng asks (the
// header, then the compressed rows until the image is whole).
struct PngReader {
    const std::string* bytes = nullptr;
    std::size_t pos = 0;
    InFile* file = nullptr;
    std::string file_error;
};

void png_read_cb(png_structp png, png_bytep out, png_size_t n) {
    auto* r = static_cast<PngReader*>(png_get_io_ptr(png));
    if (r->file) {
        if (!r->file->read(out, n, &r->file_error)) png_error(png, "truncated PNG data");
        return;
    }
    if (r->pos + n > r->bytes->size()) png_error(png, "truncated PNG data");
    std::memcpy(out, r->bytes->data() + r->pos, n);
    r->pos += n;
}

void png_write_cb(png_structp png, png_bytep data, png_size_t n) {
    static_cast<std::string*>(png_get_io_ptr(png))->append(reinterpret_cast<char*>(data), n);
}

void png_error_cb(png_structp png, png_const_charp msg) {
    auto* why = static_cast<std::string*>(png_get_error_ptr(png));
    if (why) *why = msg;
    longjmp(png_jmpbuf(png), 1);
}

void png_warning_cb(png_structp, png_const_charp) {}

}  // namespace

bool encode_png(const std::uint8_t* data, int width, int height, int channels, int bit_depth,
                std::string* out, std::string* why) {
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, why, png_error_cb, png_warning_cb);
    if (!png) return *why = "out of memory", false;
    png_infop info = png_create_info_struct(png);
    std::vector<png_bytep> rows(static_cast<std::size_t>(height));
    if (!info || setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return false;
    }
    png_set_write_fn(png, out, png_write_cb, nullptr);
    png_set_compression_level(png, 3);
    png_set_IHDR(png, info, width, height, bit_depth,
                 channels == 1 ? PNG_COLOR_TYPE_GRAY : PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    if (bit_depth == 16) png_set_swap(png);  // our 16-bit samples are little-endian in memory
    std::size_t stride = static_cast<std::size_t>(width) * channels * (bit_depth / 8);
    for (int y = 0; y < height; ++y) rows[y] = const_cast<png_bytep>(data + stride * y);
    png_write_image(png, rows.data());
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return true;
}

namespace {

bool decode_png_from(PngReader& reader, std::vector<std::uint8_t>* pixels, int* width, int* height, int* channels,
                     int* bit_depth, std::string* why) {
    // The signature is checked here: a file that is no PNG is not read any further.
    png_byte sig[8];
    if (reader.file) {
        if (!reader.file->read(sig, 8, &reader.file_error)) return *why = "not a PNG file", false;
    } else {
        if (reader.bytes->size() < 8) return *why = "not a PNG file", false;
        std::memcpy(sig, reader.bytes->data(), 8);
        reader.pos = 8;
    }
    if (png_sig_cmp(sig, 0, 8)) return *why = "not a PNG file", false;
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, why, png_error_cb, png_warning_cb);
    if (!png) return *why = "out of memory", false;
    png_infop info = png_create_info_struct(png);
    std::vector<png_bytep> rows;
    if (!info || setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, &info, nullptr);
        return false;
    }
    png_set_read_fn(png, &reader, png_read_cb);
    png_set_sig_bytes(png, 8);
    png_set_user_limits(png, 65536, 65536);
    png_read_info(png, info);
    png_uint_32 w = png_get_image_width(png, info), h = png_get_image_height(png, info);
    if (static_cast<unsigned long long>(w) * h > static_cast<unsigned long long>(kMaxPixels)) png_error(png, "image is too large");
    int depth = png_get_bit_depth(png, info), type = png_get_color_type(png, info);
    if (type == PNG_COLOR_TYPE_PALETTE) png_set_palette_to_rgb(png);
    if (type == PNG_COLOR_TYPE_GRAY && depth < 8) png_set_expand_gray_1_2_4_to_8(png);
    if (png_get_valid(png, info, PNG_INFO_tRNS)) png_set_tRNS_to_alpha(png);
    if (type & PNG_COLOR_MASK_ALPHA || png_get_valid(png, info, PNG_INFO_tRNS)) png_set_strip_alpha(png);
    if (depth == 16) png_set_swap(png);
    png_read_update_info(png, info);
    int ch = png_get_channels(png, info);
    int bd = png_get_bit_depth(png, info);
    std::size_t stride = png_get_rowbytes(png, info);
    pixels->assign(stride * h, 0);
    rows.resize(h);
    for (png_uint_32 y = 0; y < h; ++y) rows[y] = pixels->data() + stride * y;
    png_read_image(png, rows.data());
    png_destroy_read_struct(&png, &info, nullptr);
    *width = static_cast<int>(w);
    *height = static_cast<int>(h);
    *channels = ch;
    *bit_depth = bd;
    return true;
}

}  // namespace

bool decode_png(const std::string& bytes, std::vector<std::uint8_t>* pixels, int* width,
                int* height, int* channels, int* bit_depth, std::string* why) {
    PngReader reader;
    reader.bytes = &bytes;
    return decode_png_from(reader, pixels, width, height, channels, bit_depth, why);
}

bool decode_png(InFile& file, std::vector<std::uint8_t>* pixels, int* width, int* height, int* channels,
                int* bit_depth, std::string* why) {
    PngReader reader;
    reader.file = &file;
    return decode_png_from(reader, pixels, width, height, channels, bit_depth, why);
}

TUVO::Image new_image(TUVO::ImageType::Enum type, int width, int height, std::shared_ptr<ImageObj>* held) {
    auto obj = std::make_shared<ImageObj>();
    obj->type = type;
    obj->width = width;
    obj->height = height;
    obj->storage = take_pixels(obj->bytes());
    obj->data = obj->storage.data();
    if (held) *held = obj;
    return make_handle<TUVO::Image>(images().add(obj));
}

TUVO::PointMap new_pointmap(int width, int height, bool normals, std::vector<double>* spare,
                            std::shared_ptr<PointMapObj>* held) {
    auto obj = std::make_shared<PointMapObj>();
    obj->width = width;
    obj->height = height;
    if (spare && spare->size() == obj->count() * 3)
        obj->points.swap(*spare);  // left as it is: the caller writes every value
    else
        obj->points.assign(obj->count() * 3, std::numeric_limits<double>::quiet_NaN());
    if (normals) obj->normals.assign(obj->count() * 3, std::numeric_limits<double>::quiet_NaN());
    if (held) *held = obj;
    return make_handle<TUVO::PointMap>(pointmaps().add(obj));
}

std::pair<std::uint32_t, std::uint32_t> new_map(int width, int height, int comps) {
    auto obj = std::make_shared<MapObj>();
    obj->width = width;
    obj->height = height;
    obj->comps = comps;
    obj->data.assign(static_cast<std::size_t>(width) * height * comps,
                     std::numeric_limits<double>::quiet_NaN());
    return maps().add(obj);
}

std::shared_ptr<MapObj> map_for(std::pair<std::uint32_t, std::uint32_t>& slot, int w, int h, int comps) {
    auto m = maps().get(slot.first, slot.second);
    if (!m || m->width != w || m->height != h || m->comps != comps) {
        if (m) maps().remove(slot.first, slot.second);
        slot = new_map(w, h, comps);
        m = maps().get(slot.first, slot.second);
    }
    return m;
}

void store_map(std::pair<std::uint32_t, std::uint32_t>& slot, int w, int h, int comps, const std::vector<double>& data) {
    auto m = map_for(slot, w, h, comps);
    std::copy(data.begin(), data.end(), m->data.begin());
}

}  // namespace sim

using namespace sim;

namespace TUVO {

void release_all_objects_containers() {
    images().clear();
    pointmaps().clear();
    maps().clear();
}

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

namespace PointMapType {
const char* ToString(Enum type) try {
    Call call("PointMapType.ToString");
    call.arg("type", static_cast<long long>(type));
    if (auto o = override_text("PointMapType.ToString")) return *o;
    switch (type) {
        case None: return "None";
        case PointsOnly: return "PointsOnly";
        case PointsNormals: return "PointsNormals";
    }
    return "Unknown";
} catch (...) { return escaped<const char*>(""); }
}  // namespace PointMapType

// ---- Image ----

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
    if (!valid_size(size)) {
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
    Image img = new_image(type, size.width, size.height, &obj);
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
    Image img = new_image(ch == 1 ? ImageType::Mono8 : ImageType::RGB8, w, h, &obj);
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
    Image copy = new_image(obj->type, obj->width, obj->height, &to);
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
        !save_file(filename, png, &why)) {
        call.fail(Error_FileIO, why);
        return false;
    }
    return true;
} catch (...) { return escaped(false); }

// ---- PointMap ----

PointMap::PointMap() : slot(0), generation(0) {}

PointMap PointMap::Create(PointMapType::Enum type, Size size, double* data, bool own_data) try {
    Call call("PointMap.Create");
    call.arg("type", static_cast<long long>(type)).arg("width", static_cast<long long>(size.width));
    call.arg("height", static_cast<long long>(size.height)).arg_bool("own_data", own_data);
    if (call.failed()) return PointMap();
    if (type != PointMapType::PointsOnly && type != PointMapType::PointsNormals) {
        call.fail(Error_InvalidArgument, "point map type must be PointsOnly or PointsNormals");
        return PointMap();
    }
    if (!valid_size(size)) {
        call.fail(Error_InvalidArgument, "size " + std::to_string(size.width) + "x" +
                                             std::to_string(size.height) + " is not usable");
        return PointMap();
    }
    std::shared_ptr<PointMapObj> obj;
    PointMap pm = new_pointmap(size.width, size.height, type == PointMapType::PointsNormals, nullptr, &obj);
    if (data && !own_data) {
        obj->points.clear();
        obj->points.shrink_to_fit();
        obj->foreign = data;
    } else if (data) {
        std::memcpy(obj->points.data(), data, obj->points.size() * sizeof(double));
    }
    return pm;
} catch (...) { return escaped(PointMap()); }

PointMap PointMap::CreateFromFile(const char* filename, Size size, PointMapUnit::Enum unit) try {
    Call call("PointMap.CreateFromFile");
    call.arg("filename", filename).arg("width", static_cast<long long>(size.width));
    call.arg("height", static_cast<long long>(size.height)).arg("unit", static_cast<long long>(unit));
    if (call.failed()) return PointMap();
    if (!filename) {
        call.fail(Error_InvalidArgument, "null file name");
        return PointMap();
    }
    if (unit != PointMapUnit::Meter && unit != PointMapUnit::Millimeter) {
        call.fail(Error_InvalidArgument, "unknown unit");
        return PointMap();
    }
    InFile file;
    std::string why;
    if (!file.open(filename, kMaxPointFileBytes, &why)) {
        call.fail(Error_FileIO, why);
        return PointMap();
    }
    std::vector<double> pts;
    int w, h;
    const bool pcd = file_extension(filename) == "pcd";
    if (!(pcd ? parse_pcd(file, unit, &pts, &w, &h, &why) : parse_ply(file, unit, &pts, &w, &h, &why))) {
        call.fail(Error_FileIO, std::string(filename) + ": " + why);
        return PointMap();
    }
    if (size.width != 0 || size.height != 0) {
        if (size.width <= 0 || size.height <= 0 ||
            static_cast<long long>(size.width) * size.height != static_cast<long long>(w) * h) {
            call.fail(Error_InvalidArgument, std::string(filename) + ": holds " +
                                                 std::to_string(static_cast<long long>(w) * h) +
                                                 " points, not " + std::to_string(size.width) + "x" +
                                                 std::to_string(size.height));
            return PointMap();
        }
        w = size.width;
        h = size.height;
    }
    std::shared_ptr<PointMapObj> obj;
    PointMap pm = new_pointmap(w, h, false, nullptr, &obj);
    obj->points = std::move(pts);
    return pm;
} catch (...) { return escaped(PointMap()); }

void PointMap::Destroy(PointMap pointmap, bool no_reuse) try {
    Call call("PointMap.Destroy");
    call.arg("slot", static_cast<long long>(pointmap.slot)).arg_bool("no_reuse", no_reuse);
    pointmaps().remove(pointmap.slot, pointmap.generation);
} catch (...) { escaped(); }

PointMap PointMap::Clone() const try {
    Call call("PointMap.Clone");
    if (call.failed()) return PointMap();
    auto obj = lookup(pointmaps(), *this);
    if (!obj) {
        call.fail(Error_InvalidHandle, "invalid or destroyed point map");
        return PointMap();
    }
    std::shared_ptr<PointMapObj> c;
    PointMap copy = new_pointmap(obj->width, obj->height, !obj->normals.empty(), nullptr, &c);
    std::memcpy(c->points.data(), obj->pts(), obj->count() * 3 * sizeof(double));
    c->normals = obj->normals;
    return copy;
} catch (...) { return escaped(PointMap()); }

bool PointMap::IsValid() const try {
    Call call("PointMap.IsValid");
    return lookup(pointmaps(), *this) != nullptr;
} catch (...) { return escaped(false); }

Size PointMap::GetSize() const try {
    Call call("PointMap.GetSize");
    if (auto o = override_size("PointMap.GetSize")) return *o;
    auto obj = lookup(pointmaps(), *this);
    return obj ? Size{obj->width, obj->height} : Size{0, 0};
} catch (...) { return escaped(Size()); }

double* PointMap::GetPointDataPtr() try {
    Call call("PointMap.GetPointDataPtr");
    if (auto o = override_bytes("PointMap.GetPointDataPtr"); o && o->is_null) return nullptr;
    auto obj = lookup(pointmaps(), *this);
    return obj ? obj->pts() : nullptr;
} catch (...) { return escaped<double*>(nullptr); }

double* PointMap::GetNormalDataPtr() try {
    Call call("PointMap.GetNormalDataPtr");
    if (auto o = override_bytes("PointMap.GetNormalDataPtr"); o && o->is_null) return nullptr;
    auto obj = lookup(pointmaps(), *this);
    return obj ? obj->nrm() : nullptr;
} catch (...) { return escaped<double*>(nullptr); }

bool PointMap::Save(const char* filename, PointMapUnit::Enum unit, bool isBinary, const Image& image) try {
    Call call("PointMap.Save");
    call.arg("filename", filename).arg("unit", static_cast<long long>(unit)).arg_bool("isBinary", isBinary);
    call.arg("image_slot", static_cast<long long>(image.slot));
    if (call.failed()) return false;
    if (!filename) {
        call.fail(Error_InvalidArgument, "null file name");
        return false;
    }
    if (unit != PointMapUnit::Meter && unit != PointMapUnit::Millimeter) {
        call.fail(Error_InvalidArgument, "unknown unit");
        return false;
    }
    auto obj = lookup(pointmaps(), *this);
    if (!obj) {
        call.fail(Error_InvalidHandle, "invalid or destroyed point map");
        return false;
    }
    std::string why;
    const int format = pick_format(filename, {"ply", "pcd"}, &why);
    if (format < 0) {
        call.fail(Error_InvalidArgument, why);
        return false;
    }
    std::shared_ptr<ImageObj> img;
    if (image.slot != 0) {
        img = lookup(images(), image);
        if (!img) {
            call.fail(Error_InvalidHandle, "invalid or destroyed image");
            return false;
        }
        if (img->width != obj->width || img->height != obj->height) {
            call.fail(Error_InvalidArgument, "the image's size differs from the point map's");
            return false;
        }
    }
    CloudData cloud;
    cloud.points = obj->pts();
    cloud.width = obj->width;
    cloud.height = obj->height;
    cloud.scale = unit == PointMapUnit::Meter ? 0.001 : 1.0;
    cloud.unit = unit == PointMapUnit::Meter ? "m" : "mm";
    cloud.image = img.get();
    const std::string out = encode_cloud(format == 1 ? CloudFormat::Pcd : CloudFormat::Ply, cloud, isBinary);
    if (!save_file(filename, out, &why)) {
        call.fail(Error_FileIO, why);
        return false;
    }
    return true;
} catch (...) { return escaped(false); }

// ---- per-pixel maps ----

namespace {

template <class H>
std::shared_ptr<MapObj> map_of(const H& h) {
    return maps().get(h.slot, h.generation);
}

template <class H>
Size map_size(const H& h, const char* op) {
    if (auto o = override_size(std::string(op) + ".GetSize")) return *o;
    auto m = map_of(h);
    return m ? Size{m->width, m->height} : Size{0, 0};
}

template <class H>
double* map_data(const H& h, const char* op) {
    if (auto o = override_bytes(std::string(op) + ".GetDataPtr"); o && o->is_null) return nullptr;
    auto m = map_of(h);
    return m ? m->data.data() : nullptr;
}

}  // namespace

DepthMap::DepthMap() : slot(0), generation(0) {}
bool DepthMap::IsValid() const try {
    Call call("DepthMap.IsValid");
    return map_of(*this) != nullptr;
} catch (...) { return escaped(false); }
Size DepthMap::GetSize() const try {
    Call call("DepthMap.GetSize");
    return map_size(*this, "DepthMap");
} catch (...) { return escaped(Size()); }
double* DepthMap::GetDataPtr() try {
    Call call("DepthMap.GetDataPtr");
    return map_data(*this, "DepthMap");
} catch (...) { return escaped<double*>(nullptr); }

bool DepthMap::SaveDepthMap(const char* filename, bool flag) try {
    Call call("DepthMap.SaveDepthMap");
    call.arg("filename", filename).arg_bool("flag", flag);
    if (call.failed()) return false;
    if (!filename) {
        call.fail(Error_InvalidArgument, "null file name");
        return false;
    }
    auto m = map_of(*this);
    if (!m) {
        call.fail(Error_InvalidHandle, "invalid depth map");
        return false;
    }
    std::string png, why;
    if (pick_format(filename, {"png"}, &why) < 0) {
        call.fail(Error_InvalidArgument, why);
        return false;
    }
    const std::size_t n = static_cast<std::size_t>(m->width) * m->height;
    bool ok;
    if (!flag) {
        std::vector<std::uint16_t> px(n);
        for (std::size_t i = 0; i < n; ++i) {
            double z = m->data[i];
            px[i] = (std::isfinite(z) && z > 0) ? static_cast<std::uint16_t>(std::min(65535.0, std::round(z))) : 0;
        }
        ok = encode_png(reinterpret_cast<const std::uint8_t*>(px.data()), m->width, m->height, 1, 16, &png, &why);
    } else {
        double lo = 1e300, hi = -1e300;
        for (std::size_t i = 0; i < n; ++i)
            if (std::isfinite(m->data[i])) lo = std::min(lo, m->data[i]), hi = std::max(hi, m->data[i]);
        std::vector<std::uint8_t> rgb(n * 3, 0);
        for (std::size_t i = 0; i < n; ++i) {
            double z = m->data[i];
            if (!std::isfinite(z)) continue;
            double t = hi > lo ? (z - lo) / (hi - lo) : 0.0;  // 0 near (red) to 1 far (blue)
            double r = std::clamp(1.5 - std::abs(4 * t - 0.5), 0.0, 1.0);
            double g = std::clamp(1.5 - std::abs(4 * t - 2.0), 0.0, 1.0);
            double b = std::clamp(1.5 - std::abs(4 * t - 3.5), 0.0, 1.0);
            rgb[3 * i] = static_cast<std::uint8_t>(255 * r);
            rgb[3 * i + 1] = static_cast<std::uint8_t>(255 * g);
            rgb[3 * i + 2] = static_cast<std::uint8_t>(255 * b);
        }
        ok = encode_png(rgb.data(), m->width, m->height, 3, 8, &png, &why);
    }
    if (!ok || !save_file(filename, png, &why)) {
        call.fail(Error_FileIO, why);
        return false;
    }
    return true;
} catch (...) { return escaped(false); }

ConfidenceMap::ConfidenceMap() : slot(0), generation(0) {}
bool ConfidenceMap::IsValid() const try {
    Call call("ConfidenceMap.IsValid");
    return map_of(*this) != nullptr;
} catch (...) { return escaped(false); }
Size ConfidenceMap::GetSize() const try {
    Call call("ConfidenceMap.GetSize");
    return map_size(*this, "ConfidenceMap");
} catch (...) { return escaped(Size()); }
double* ConfidenceMap::GetDataPtr() try {
    Call call("ConfidenceMap.GetDataPtr");
    return map_data(*this, "ConfidenceMap");
} catch (...) { return escaped<double*>(nullptr); }

CorrespondMap::CorrespondMap() : slot(0), generation(0) {}
bool CorrespondMap::IsValid() const try {
    Call call("CorrespondMap.IsValid");
    return map_of(*this) != nullptr;
} catch (...) { return escaped(false); }
Size CorrespondMap::GetSize() const try {
    Call call("CorrespondMap.GetSize");
    return map_size(*this, "CorrespondMap");
} catch (...) { return escaped(Size()); }
double* CorrespondMap::GetDataPtr() try {
    Call call("CorrespondMap.GetDataPtr");
    return map_data(*this, "CorrespondMap");
} catch (...) { return escaped<double*>(nullptr); }

}  // namespace TUVO

long long tuvo_sim_live(const char* kind) {
    std::string k = kind ? kind : "";
    if (k == "image") return static_cast<long long>(images().live());
    if (k == "pointmap") return static_cast<long long>(pointmaps().live());
    if (k == "map") return static_cast<long long>(maps().live());
    return -1;
}
