// Stand-in SDK: point maps written as point-cloud files, PLY or PCD.
#include "api/cloud_files.h"

#include <cstdio>
#include <cstring>

namespace sim {

namespace {

// The RGB colour of pixel `i` of an 8-bit grey, RGB or BGR image.
void colour_of(const ImageObj& img, std::size_t i, std::uint8_t rgb[3]) {
    const std::uint8_t* px = img.data + i * TUVO::ImageType::GetPixelSize(img.type);
    if (img.type == TUVO::ImageType::Mono8) rgb[0] = rgb[1] = rgb[2] = px[0];
    else if (img.type == TUVO::ImageType::RGB8) rgb[0] = px[0], rgb[1] = px[1], rgb[2] = px[2];
    else rgb[0] = px[2], rgb[1] = px[1], rgb[2] = px[0];
}

std::string ply_header(const CloudData& c, std::size_t n, bool binary) {
    std::string h = "ply\nformat ";
    h += binary ? "binary_little_endian 1.0\n" : "ascii 1.0\n";
    h += "comment written by the TUVO virtual SDK\n";
    h += "comment grid " + std::to_string(c.width) + " " + std::to_string(c.height) + "\n";
    h += std::string("comment unit ") + c.unit + "\n";
    h += "element vertex " + std::to_string(n) + "\n";
    h += "property double x\nproperty double y\nproperty double z\n";
    if (c.image) h += "property uchar red\nproperty uchar green\nproperty uchar blue\n";
    return h + "end_header\n";
}

// PCD 0.7, organised (WIDTH x HEIGHT), points as doubles and the colour packed as rgb = 0x00RRGGBB
// in a 4-byte unsigned field, the form point-cloud libraries read as colour.
std::string pcd_header(const CloudData& c, std::size_t n, bool binary) {
    std::string h = "# .PCD v0.7 - Point Cloud Data file format\n";
    h += "# written by the TUVO virtual SDK, unit ";
    h += c.unit;
    h += "\nVERSION 0.7\n";
    h += c.image ? "FIELDS x y z rgb\nSIZE 8 8 8 4\nTYPE F F F U\nCOUNT 1 1 1 1\n"
                 : "FIELDS x y z\nSIZE 8 8 8\nTYPE F F F\nCOUNT 1 1 1\n";
    h += "WIDTH " + std::to_string(c.width) + "\nHEIGHT " + std::to_string(c.height) + "\n";
    h += "VIEWPOINT 0 0 0 1 0 0 0\nPOINTS " + std::to_string(n) + "\n";
    h += binary ? "DATA binary\n" : "DATA ascii\n";
    return h;
}

}  // namespace

std::string encode_cloud(CloudFormat format, const CloudData& c, bool binary) {
    const std::size_t n = static_cast<std::size_t>(c.width) * c.height;
    const bool pcd = format == CloudFormat::Pcd;
    std::string out = pcd ? pcd_header(c, n, binary) : ply_header(c, n, binary);
    const double* p = c.points;
    if (binary) {
        // PLY's colour is three bytes; PCD's packs them into one little-endian word.
        const std::size_t colour_bytes = c.image ? (pcd ? 4 : 3) : 0;
        const std::size_t rec = 24 + colour_bytes;
        const std::size_t base = out.size();
        out.resize(base + rec * n);
        char* dst = &out[base];
        for (std::size_t i = 0; i < n; ++i, dst += rec) {
            const double xyz[3] = {p[3 * i] * c.scale, p[3 * i + 1] * c.scale, p[3 * i + 2] * c.scale};
            std::memcpy(dst, xyz, 24);
            if (!c.image) continue;
            std::uint8_t rgb[3];
            colour_of(*c.image, i, rgb);
            if (pcd) {
                const std::uint8_t word[4] = {rgb[2], rgb[1], rgb[0], 0};
                std::memcpy(dst + 24, word, 4);
            } else {
                std::memcpy(dst + 24, rgb, 3);
            }
        }
        return out;
    }
    char buf[128];
    for (std::size_t i = 0; i < n; ++i) {
        int len = std::snprintf(buf, sizeof buf, "%.9g %.9g %.9g", p[3 * i] * c.scale, p[3 * i + 1] * c.scale,
                                p[3 * i + 2] * c.scale);
        out.append(buf, len);
        if (c.image) {
            std::uint8_t rgb[3];
            colour_of(*c.image, i, rgb);
            if (pcd)
                len = std::snprintf(buf, sizeof buf, " %lu",
                                    (static_cast<unsigned long>(rgb[0]) << 16) | (rgb[1] << 8) | rgb[2]);
            else
                len = std::snprintf(buf, sizeof buf, " %u %u %u", rgb[0], rgb[1], rgb[2]);
            out.append(buf, len);
        }
        out += '\n';
    }
    return out;
}

}  // namespace sim
