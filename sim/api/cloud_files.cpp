// Stand-in SDK: point maps as point-cloud files, PLY or PCD, read and written.
#include "api/cloud_files.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <map>
#include <sstream>

#include "core/ply_header.h"

namespace sim {

namespace PointMapUnit = TUVO::PointMapUnit;

namespace {

// A PLY or PCD header ends within this many bytes.
constexpr std::size_t kMaxHeader = 1 << 16;
// A text value takes at most this many bytes on average, blanks included ("%.17g" and a blank
// take 25).
constexpr std::size_t kMaxAsciiValue = 64;
// The most fields a PCD record may have.
constexpr std::size_t kMaxPcdFields = 256;

// Reads on past a header of `header` bytes in `bytes` until the body holds `promised` bytes or the
// file ends; fewer than `least` is a truncated file.
bool read_body(InFile& file, std::string* bytes, std::size_t header, std::size_t least, std::size_t promised,
               const char* kind, std::string* why) {
    const std::size_t have = bytes->size() - header;
    if (have < promised && !file.append(promised - have, bytes, why)) return false;
    if (bytes->size() - header < least) return *why = std::string(kind) + " file is truncated", false;
    return true;
}

// The numbers of a text body, read in place. Numbers are read the same in every locale (a
// program's locale may use decimal commas) and must end in a blank or the end of the body.
class TextValues {
public:
    // `cut`: the file goes on past what was read.
    TextValues(const std::string& bytes, std::size_t from, bool cut, const char* kind)
        : p_(bytes.c_str() + from), end_(p_ + std::strlen(p_)), cut_(cut), kind_(kind) {}

    // The next number, after any blanks; within the current line when `same_line`.
    bool next(double* v, bool same_line, std::string* why) {
        while (*p_ == ' ' || *p_ == '\t' || *p_ == '\r' || (!same_line && *p_ == '\n')) ++p_;
        if (*p_ == '\n') return *why = kind_ + " file has a line with too few values", false;
        if (!*p_) return end_of_text(why);
        const char* start = *p_ == '+' && p_[1] != '-' ? p_ + 1 : p_;
        const auto [e, ec] = std::from_chars(start, end_, *v);  // also "nan", "-nan", "inf"
        if (e == start || ec == std::errc::invalid_argument) return *why = kind_ + " file has a malformed number", false;
        // A number that reaches the end of what was read may go on in the file.
        if (cut_ && e == end_) return *why = kind_ + " values take more than 64 bytes each", false;
        if (ec == std::errc::result_out_of_range) return *why = kind_ + " file has a number out of range", false;
        if (*e && *e != ' ' && *e != '\t' && *e != '\r' && *e != '\n')
            return *why = kind_ + " file has a malformed number", false;
        p_ = e;
        return true;
    }

    // The end of a record that takes a line of its own: blanks, then a line break or the end.
    bool end_line(std::string* why) {
        while (*p_ == ' ' || *p_ == '\t' || *p_ == '\r') ++p_;
        if (*p_ == '\n') ++p_;
        else if (*p_) return *why = kind_ + " file has a line with too many values", false;
        return true;
    }

private:
    bool end_of_text(std::string* why) const {
        // A NUL inside what was read is no text; at its end, the file is short or a value too long.
        if (cut_) return *why = kind_ + " values take more than 64 bytes each", false;
        return *why = kind_ + " file is truncated", false;
    }

    const char* p_;
    const char* end_;  // the first NUL: the text ends there (a sparse file's zeros are no text)
    bool cut_;
    std::string kind_;
};

// A count of up to 12 decimal digits, or -1.
long long count_of(const std::string& word) {
    if (word.empty() || word.size() > 12 || word.find_first_not_of("0123456789") != std::string::npos) return -1;
    return std::stoll(word);
}


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

// PCD 0.7, organised (WIDTH x HEIGHT), coordinates as 4-byte floats (the type point-cloud libraries
// expect; 0.1 um at 2 m) and the colour packed as rgb = 0x00RRGGBB in a 4-byte unsigned field.
std::string pcd_header(const CloudData& c, std::size_t n, bool binary) {
    std::string h = "# .PCD v0.7 - Point Cloud Data file format\n";
    h += "# written by the TUVO virtual SDK\n# unit ";
    h += c.unit;
    h += "\nVERSION 0.7\n";
    h += c.image ? "FIELDS x y z rgb\nSIZE 4 4 4 4\nTYPE F F F U\nCOUNT 1 1 1 1\n"
                 : "FIELDS x y z\nSIZE 4 4 4\nTYPE F F F\nCOUNT 1 1 1\n";
    h += "WIDTH " + std::to_string(c.width) + "\nHEIGHT " + std::to_string(c.height) + "\n";
    h += "VIEWPOINT 0 0 0 1 0 0 0\nPOINTS " + std::to_string(n) + "\n";
    h += binary ? "DATA binary\n" : "DATA ascii\n";
    return h;
}

}  // namespace

// Reads the header, then only the vertices it announces: a file longer than that is not read to
// its end.
bool parse_ply(InFile& file, PointMapUnit::Enum unit, Numbers* pts, int* width, int* height,
               std::string* why) {
    std::string bytes;
    if (!file.append(kMaxHeader, &bytes, why)) return false;
    std::vector<PlyHeaderLine> lines;
    std::size_t body_at = 0;
    switch (read_ply_header(bytes, {kMaxHeader}, &lines, &body_at)) {
        case PlyHeaderFound::NotPly: return *why = "not a PLY file", false;
        case PlyHeaderFound::Unclosed:
            return *why = file.at_end() ? "not a PLY file" : "PLY header is longer than 65536 bytes", false;
        case PlyHeaderFound::Yes: break;
    }
    std::string format;
    long long vertices = -1;
    int gw = 0, gh = 0;
    double scale_to_mm = 1.0;
    std::vector<std::pair<std::string, std::string>> props;  // (type, name) of the vertex element
    bool in_vertex = false;
    for (const PlyHeaderLine& l : lines) {
        const std::string& word = l.word(0);
        if (word == "format") {
            if (!format.empty()) return *why = "the PLY file has two format lines", false;
            format = l.word(1);
            const std::string& version = l.word(2);
            if (format != "ascii" && format != "binary_little_endian")
                return *why = "PLY format " + format + " is not supported", false;
            if (version != "1.0") return *why = "PLY format version " + version + " is not supported", false;
        } else if (word == "element") {
            // The vertices come first (their records open the body); elements after them are ignored.
            const std::string& name = l.word(1);
            const std::string& n = l.word(2);
            in_vertex = name == "vertex";
            if (!in_vertex) {
                if (vertices < 0) return *why = "the vertex element must come first", false;
                continue;
            }
            if (vertices >= 0) return *why = "the PLY file has two vertex elements", false;
            if (n.empty() || n.size() > 12 || n.find_first_not_of("0123456789") != std::string::npos || l.words.size() > 3)
                return *why = "the PLY vertex count is malformed", false;
            vertices = std::stoll(n);
            if (vertices == 0) return *why = "the PLY file holds no points", false;
        } else if (word == "property" && in_vertex) {
            props.emplace_back(l.word(1), l.word(2));
        } else if (word == "comment") {
            std::istringstream ls(l.text);
            std::string key;
            ls >> key >> key;  // the word after "comment"
            if (key == "grid") ls >> gw >> gh;
            if (key == "unit") {
                std::string u;
                ls >> u;
                scale_to_mm = u == "m" ? 1000.0 : 1.0;
            }
        }
    }
    if (vertices < 0 || props.size() < 3 || props[0].second != "x" || props[1].second != "y" ||
        props[2].second != "z")
        return *why = "PLY file has no x, y, z vertices", false;
    if (vertices > kMaxPixels) return *why = "PLY file holds too many points", false;
    if (gw <= 0 || gh <= 0 || static_cast<long long>(gw) * gh != vertices) {
        gw = static_cast<int>(vertices);
        gh = 1;
    }
    static const std::map<std::string, int> sizes = {
        {"char", 1}, {"uchar", 1}, {"int8", 1}, {"uint8", 1}, {"short", 2}, {"ushort", 2},
        {"int16", 2}, {"uint16", 2}, {"int", 4}, {"uint", 4}, {"int32", 4}, {"uint32", 4},
        {"float", 4}, {"float32", 4}, {"double", 8}, {"float64", 8}};
    if (format.empty()) return *why = "the PLY file has no format line", false;
    std::size_t stride = 0;
    for (auto& p : props) {
        auto it = sizes.find(p.first);
        if (it == sizes.end()) return *why = "PLY property type " + p.first + " is not supported", false;
        stride += it->second;
    }
    for (int k = 0; k < 3; ++k)
        if (format != "ascii" && props[k].first != "double" && props[k].first != "float64" &&
            props[k].first != "float" && props[k].first != "float32")
            return *why = "PLY coordinates must be float or double", false;
    // The file's unit is recorded in a comment; points come back in the unit asked for.
    double scale = scale_to_mm * (unit == PointMapUnit::Meter ? 0.001 : 1.0);
    // Room only for what the file can hold: binary needs whole records, ASCII two bytes a value.
    const bool text = format == "ascii";
    const std::size_t values = props.size() * static_cast<std::size_t>(vertices);
    if (!read_body(file, &bytes, body_at, text ? 2 * values - 1 : stride * static_cast<std::size_t>(vertices),
                   text ? kMaxAsciiValue * values : stride * static_cast<std::size_t>(vertices), "PLY", why))
        return false;
    const char* body = bytes.data() + body_at;
    pts->assign(static_cast<std::size_t>(vertices) * 3, 0.0);
    if (!text) {
        for (long long i = 0; i < vertices; ++i) {
            const char* p = body + stride * i;
            for (int k = 0; k < 3; ++k) {
                const std::string& t = props[k].first;
                double v;
                if (t == "double" || t == "float64") {
                    std::memcpy(&v, p, 8);
                    p += 8;
                } else {  // float: the header was checked
                    float f;
                    std::memcpy(&f, p, 4);
                    v = f;
                    p += 4;
                }
                (*pts)[i * 3 + k] = v * scale;
            }
        }
    } else {
        TextValues in(bytes, body_at, !file.at_end(), "PLY");
        for (long long i = 0; i < vertices; ++i) {
            for (std::size_t k = 0; k < props.size(); ++k) {
                double v;
                if (!in.next(&v, false, why)) return false;
                if (k < 3) (*pts)[i * 3 + k] = v * scale;
            }
        }
    }
    *width = gw;
    *height = gh;
    return true;
}

// PCD 0.7: a header of keyword lines up to DATA, then WIDTH x HEIGHT records, text or binary. The
// x, y and z fields must be floats of 4 or 8 bytes; other fields (colour, normals) are skipped.
bool parse_pcd(InFile& file, PointMapUnit::Enum unit, Numbers* pts, int* width, int* height,
               std::string* why) {
    std::string bytes;
    if (!file.append(kMaxHeader, &bytes, why)) return false;
    std::map<std::string, std::vector<std::string>> keys;
    double scale_to_mm = 1.0;
    std::size_t pos = 0;
    while (!keys.count("DATA")) {
        const std::size_t nl = bytes.find('\n', pos);
        if (nl == std::string::npos)
            return *why = keys.empty() || file.at_end() ? "not a PCD file" : "PCD header is longer than 65536 bytes",
                   false;
        std::string line = bytes.substr(pos, nl - pos);
        pos = nl + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) continue;
        if (line[0] == '#') {
            if (line == "# unit m") scale_to_mm = 1000.0;  // the unit this SDK records
            continue;
        }
        std::istringstream ls(line);
        std::string key, word;
        ls >> key;
        static const char* const known[] = {"VERSION", "FIELDS", "SIZE", "TYPE", "COUNT",
                                            "WIDTH", "HEIGHT", "VIEWPOINT", "POINTS", "DATA"};
        if (std::find_if(std::begin(known), std::end(known), [&](const char* k) { return key == k; }) ==
            std::end(known))
            return *why = keys.empty() ? "not a PCD file" : "PCD header has an unknown line " + line.substr(0, 40),
                   false;
        if (keys.count(key)) return *why = "PCD header gives " + key + " twice", false;
        auto& values = keys[key];
        while (ls >> word) {
            if (values.size() == kMaxPcdFields) return *why = "PCD header has more than 256 fields", false;
            values.push_back(word);
        }
    }
    const auto& fields = keys["FIELDS"];
    const std::size_t n = fields.size();
    auto& counts = keys["COUNT"];
    if (counts.empty()) counts.assign(n, "1");
    if (n == 0 || keys["SIZE"].size() != n || keys["TYPE"].size() != n || counts.size() != n)
        return *why = "PCD header's FIELDS, SIZE, TYPE and COUNT do not agree", false;
    // Where each field starts in a binary record and among a text record's values.
    std::vector<std::size_t> offset(n), first(n), bytes_of(n);
    std::size_t stride = 0, values = 0;
    int xyz[3] = {-1, -1, -1};
    for (std::size_t i = 0; i < n; ++i) {
        const long long size = count_of(keys["SIZE"][i]), count = count_of(counts[i]);
        const std::string& type = keys["TYPE"][i];
        if ((size != 1 && size != 2 && size != 4 && size != 8) || (type != "F" && type != "I" && type != "U") ||
            count < 1 || count > 65536)
            return *why = "PCD field " + fields[i].substr(0, 40) + " has an unsupported SIZE, TYPE or COUNT", false;
        offset[i] = stride;
        first[i] = values;
        bytes_of[i] = static_cast<std::size_t>(size);
        stride += static_cast<std::size_t>(size * count);
        values += static_cast<std::size_t>(count);
        for (int k = 0; k < 3; ++k) {
            if (fields[i] != std::string(1, static_cast<char>('x' + k))) continue;
            if (xyz[k] >= 0) return *why = "PCD field " + fields[i] + " is given twice", false;
            if (type != "F" || size < 4 || count != 1)
                return *why = "PCD coordinates must be single floats or doubles", false;
            xyz[k] = static_cast<int>(i);
        }
    }
    if (xyz[0] < 0 || xyz[1] < 0 || xyz[2] < 0) return *why = "PCD file has no x, y, z fields", false;
    const long long w = keys["WIDTH"].size() == 1 ? count_of(keys["WIDTH"][0]) : -1;
    const long long h = keys["HEIGHT"].size() == 1 ? count_of(keys["HEIGHT"][0]) : -1;
    if (w < 0 || h < 0) return *why = "PCD file's WIDTH or HEIGHT is malformed", false;
    if (w > kMaxPixels || h > kMaxPixels || w * h > kMaxPixels) return *why = "PCD file holds too many points", false;
    const long long points = w * h;
    if (points == 0) return *why = "PCD file holds no points", false;
    if (keys.count("POINTS") && (keys["POINTS"].size() != 1 || count_of(keys["POINTS"][0]) != points))
        return *why = "PCD file's POINTS differs from WIDTH x HEIGHT", false;
    const std::string data = keys["DATA"].size() == 1 ? keys["DATA"][0] : "";
    const bool text = data == "ascii";
    if (!text && data != "binary") return *why = "PCD data " + data.substr(0, 40) + " is not supported", false;
    const std::size_t count = static_cast<std::size_t>(points);
    if (!read_body(file, &bytes, pos, text ? 2 * values * count - 1 : stride * count,
                   text ? kMaxAsciiValue * values * count : stride * count, "PCD", why))
        return false;
    // The file's unit is recorded in a comment; points come back in the unit asked for.
    const double scale = scale_to_mm * (unit == PointMapUnit::Meter ? 0.001 : 1.0);
    pts->assign(count * 3, 0.0);
    if (text) {
        TextValues in(bytes, pos, !file.at_end(), "PCD");
        std::vector<double> record(values);
        for (std::size_t i = 0; i < count; ++i) {
            // One record a line.
            for (std::size_t k = 0; k < values; ++k)
                if (!in.next(&record[k], k > 0, why)) return false;
            if (!in.end_line(why)) return false;
            for (int k = 0; k < 3; ++k) (*pts)[i * 3 + k] = record[first[xyz[k]]] * scale;
        }
    } else {
        const char* body = bytes.data() + pos;
        for (std::size_t i = 0; i < count; ++i) {
            for (int k = 0; k < 3; ++k) {
                const char* p = body + stride * i + offset[xyz[k]];
                double v;
                if (bytes_of[xyz[k]] == 8) {
                    std::memcpy(&v, p, 8);
                } else {
                    float f;
                    std::memcpy(&f, p, 4);
                    v = f;
                }
                (*pts)[i * 3 + k] = v * scale;
            }
        }
    }
    *width = static_cast<int>(h == 1 ? points : w);
    *height = static_cast<int>(h == 1 ? 1 : h);
    return true;
}

std::string encode_cloud(CloudFormat format, const CloudData& c, bool binary) {
    const std::size_t n = static_cast<std::size_t>(c.width) * c.height;
    const bool pcd = format == CloudFormat::Pcd;
    std::string out = pcd ? pcd_header(c, n, binary) : ply_header(c, n, binary);
    const double* p = c.points;
    if (binary) {
        // PLY: three doubles and three colour bytes; PCD: three floats and the colour as one word.
        const std::size_t coords = pcd ? 12 : 24, rec = coords + (c.image ? (pcd ? 4 : 3) : 0);
        const std::size_t base = out.size();
        out.resize(base + rec * n);
        char* dst = &out[base];
        for (std::size_t i = 0; i < n; ++i, dst += rec) {
            const double xyz[3] = {p[3 * i] * c.scale, p[3 * i + 1] * c.scale, p[3 * i + 2] * c.scale};
            if (pcd) {
                const float f[3] = {static_cast<float>(xyz[0]), static_cast<float>(xyz[1]), static_cast<float>(xyz[2])};
                std::memcpy(dst, f, 12);
            } else {
                std::memcpy(dst, xyz, 24);
            }
            if (!c.image) continue;
            std::uint8_t rgb[3];
            colour_of(*c.image, i, rgb);
            const std::uint8_t word[4] = {rgb[2], rgb[1], rgb[0], 0};
            std::memcpy(dst + coords, pcd ? word : rgb, pcd ? 4 : 3);
        }
        return out;
    }
    // Numbers are written the same in every locale: PLY's doubles to 9 digits, PCD's floats in the
    // fewest digits that read back to the same float.
    auto put = [&out](auto value, char before, auto... format) {
        char buf[40];
        const auto done = std::to_chars(buf, buf + sizeof buf, value, format...);
        if (before) out += before;
        out.append(buf, done.ptr);
    };
    for (std::size_t i = 0; i < n; ++i) {
        for (int k = 0; k < 3; ++k) {
            const double v = p[3 * i + k] * c.scale;
            const char before = k ? ' ' : '\0';
            if (pcd) put(static_cast<float>(v), before);
            else put(v, before, std::chars_format::general, 9);
        }
        if (c.image) {
            std::uint8_t rgb[3];
            colour_of(*c.image, i, rgb);
            if (pcd) put((std::uint32_t{rgb[0]} << 16) | (std::uint32_t{rgb[1]} << 8) | rgb[2], ' ');
            else for (std::uint8_t v : rgb) put(static_cast<unsigned>(v), ' ');
        }
        out += '\n';
    }
    return out;
}

}  // namespace sim
