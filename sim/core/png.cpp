// Stand-in SDK: the PNG codec (libpng).
#include "core/png.h"

#include <png.h>

#include <cstring>

#include "core/buffers.h"

namespace sim {

namespace {

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

}  // namespace sim
