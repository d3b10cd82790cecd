// Stand-in SDK, playback: one recorded frame read from its files and checked against the manifest.
#include "replay/frame_data.h"

#include <algorithm>

#include "core/png.h"
#include "replay/compressed.h"
#include "replay/files.h"
#include "replay/npy.h"
#include "replay/ply.h"
#include "replay/rules.h"

namespace sim {
namespace replay {

namespace {

// The most bytes a frame's file of `body` bytes of numbers may hold: its header (PLY and .npy alike),
// and the numbers as they are or deflated.
std::size_t file_bound(std::size_t body, bool compressed) {
    return static_cast<std::size_t>(limit("header_bytes")) + 16 + (compressed ? compress_bound(body) : body);
}

// The picture of camera `index`: an 8-bit PNG of the camera's recorded size, grey for Mono8 and
// RGB for RGB8 and BGR8. Its header is checked before anything is decoded.
bool load_picture(const Recording& rec, const std::string& rel, int index, TUVO::ImageType::Enum type,
                  FrameReader::Picture* out, std::string* why) {
    const Calibration& cal = rec.cameras[index];
    const int channels = type == TUVO::ImageType::Mono8 ? 1 : 3;
    const std::size_t raw = static_cast<std::size_t>(cal.width) * cal.height * channels;
    std::string bytes;
    if (!read_file_in(rec.root, rel, 2 * raw + (1u << 20), &bytes, why)) return false;
    const std::string name = rec.root + "/" + rel;
    PngHeader header;
    if (!png_header(bytes, &header, why)) return *why = name + ": " + *why, false;
    const std::uint32_t w = header.width, h = header.height;
    const int depth = header.depth, colour = header.colour;
    if (w != static_cast<std::uint32_t>(cal.width) || h != static_cast<std::uint32_t>(cal.height))
        return *why = name + ": the image is " + std::to_string(w) + " x " + std::to_string(h) + ", not the camera's " +
                      std::to_string(cal.width) + " x " + std::to_string(cal.height), false;
    if (depth != 8 || colour != (channels == 1 ? 0 : 2))
        return *why = name + ": a " + (channels == 1 ? "Mono8" : type == TUVO::ImageType::RGB8 ? "RGB8" : "BGR8") +
                      " image must be an 8-bit " +
                      (channels == 1 ? "grey" : "RGB") + " PNG", false;
    // What the image data inflate to is counted before libpng decodes (and allocates for) them.
    if (!check_png_data(bytes, cal.width, cal.height, channels, why)) return *why = name + ": " + *why, false;
    int dw, dh, dch, dbd;
    if (!decode_png(bytes, &out->pixels, &dw, &dh, &dch, &dbd, why)) return *why = name + ": " + *why, false;
    if (dw != cal.width || dh != cal.height || dch != channels || dbd != 8 || out->pixels.size() != raw)
        return *why = name + ": the PNG does not decode to the image its header announces", false;
    if (type == TUVO::ImageType::BGR8)
        for (std::size_t i = 0; i + 2 < out->pixels.size(); i += 3) std::swap(out->pixels[i], out->pixels[i + 2]);
    out->type = type;
    out->width = dw;
    out->height = dh;
    return true;
}

// Opens the .npy file `rel` as `part` and checks its header.
bool open_npy(const Recording& rec, const std::string& rel, const std::vector<long long>& shape, bool compressed,
              NumbersFile* part, std::string* why) {
    long long count = 1;
    for (long long d : shape) count *= d;
    if (!open_file_in(rec.root, rel, file_bound(static_cast<std::size_t>(count) * 8, compressed), &part->file, why))
        return false;
    if (!read_npy_header(part, shape, compressed, why)) return *why = rec.root + "/" + rel + ": " + *why, false;
    return true;
}

}  // namespace

bool FrameReader::open(const Recording& rec, const Stream& s, const Frame& f, bool images, std::string* why) {
    const long long n = static_cast<long long>(s.width) * s.height;
    const std::string dir = f.dir + "/";
    if (images) {
        for (int i = 0; i < 3; ++i) {
            const ImageFile& img = f.images[i];
            if (!img.file.empty() && !load_picture(rec, dir + img.file, i, img.type, &images_[i], why)) return false;
        }
    }
    const std::string ply = rec.root + "/" + dir + f.points;
    const std::size_t ply_bytes = file_bound(static_cast<std::size_t>(n) * (f.normals ? 48 : 24), f.compressed);
    if (!open_file_in(rec.root, dir + f.points, ply_bytes, &points.file, why)) return false;
    if (!read_ply_points_header(&points, n, f.compressed, why)) return *why = ply + ": " + *why, false;
    if ((points.fields == 6) != f.normals)
        return *why = ply + (f.normals ? ": has no normals" : ": has normals the manifest does not announce"), false;
    const std::vector<long long> plane = {s.height, s.width}, pairs = {s.height, s.width, 2};
    used_ = {true, !f.depth.empty(), !f.confidence.empty(), !f.correspond.empty()};
    if (used_[1] && !open_npy(rec, dir + f.depth, plane, f.compressed, &depth, why)) return false;
    if (used_[2] && !open_npy(rec, dir + f.confidence, plane, f.compressed, &confidence, why)) return false;
    if (used_[3] && !open_npy(rec, dir + f.correspond, pairs, f.compressed, &correspond, why)) return false;
    // Compressed numbers are inflated (and their streams checked whole) before any is written.
    NumbersFile* parts[4] = {&points, &depth, &confidence, &correspond};
    for (int i = 0; i < 4; ++i)
        if (used_[i] && !parts[i]->inflate(why)) return *why = parts[i]->file.name() + ": " + *why, false;
    return true;
}

bool FrameReader::read(const FrameOut& out, std::string* why) {
    NumbersFile* parts[4] = {&points, &depth, &confidence, &correspond};
    double* first[4] = {out.points, out.depth, out.confidence, out.correspond};
    for (int i = 0; i < 4; ++i)
        if (used_[i] && first[i] && !parts[i]->read(first[i], i == 0 ? out.normals : nullptr, why))
            return *why = parts[i]->file.name() + ": " + *why, false;
    return true;
}

}  // namespace replay
}  // namespace sim
