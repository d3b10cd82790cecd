// Stand-in SDK, playback: the PLY files that hold a recording's point maps (double vertices, lossless).
#include "replay/ply.h"

#include <algorithm>
#include <cstring>
#include "core/ply_header.h"

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "recordings store little-endian numbers");

namespace sim {
namespace replay {

namespace {
constexpr std::size_t kMaxHeader = 4096;
}

bool read_ply_points_header(NumbersFile* f, long long count, bool compressed, std::string* why) {
    // The header ends within its bound: only that much of the file is read to find it.
    std::string bytes(std::min(f->file.size(), kMaxHeader + 64), '\0');
    if (!bytes.empty() && !f->take(&bytes[0], bytes.size(), why)) return false;
    std::vector<PlyHeaderLine> lines;
    std::size_t body_at = 0;
    switch (read_ply_header(bytes, {kMaxHeader}, &lines, &body_at)) {
        case PlyHeaderFound::NotPly: return *why = "not a PLY file", false;
        case PlyHeaderFound::Unclosed: return *why = "the PLY header is not closed within 4096 bytes", false;
        case PlyHeaderFound::Yes: break;
    }
    for (const PlyHeaderLine& l : lines)
        if (l.text.find('\0') != std::string::npos) return *why = "the PLY header holds a NUL character", false;
    bool format_ok = false;
    int elements = 0;
    long long vertices = -1;
    std::vector<std::string> props;
    for (std::size_t i = 1; i < lines.size(); ++i) {  // after "ply"
        const PlyHeaderLine& l = lines[i];
        const std::string& line = l.text;
        if (!line.empty() && line.back() == '\r') return *why = "the PLY header has DOS line ends", false;
        const std::string& word = l.word(0);
        if (word == "comment" || word == "obj_info" || word.empty()) continue;
        if (word == "format") {
            if (l.word(1) != "binary_little_endian" || l.word(2) != "1.0" || l.words.size() > 3)
                return *why = "the PLY format must be binary_little_endian 1.0, not " + line.substr(7), false;
            format_ok = true;
        } else if (word == "element") {
            const std::string& name = l.word(1);
            const std::string& n = l.word(2);
            if (++elements > 1 || name != "vertex") return *why = "the PLY file must hold vertices only", false;
            if (n.empty() || n.size() > 12 || n.find_first_not_of("0123456789") != std::string::npos || l.words.size() > 3)
                return *why = "the PLY vertex count is malformed", false;
            vertices = std::stoll(n);
        } else if (word == "property") {
            const std::string& type = l.word(1);
            const std::string& name = l.word(2);
            if (elements != 1 || l.words.size() > 3) return *why = "the PLY header is malformed", false;
            if (type != "double" && type != "float64") return *why = "PLY property " + name + " is " + type + ", not double", false;
            props.push_back(name);
        } else {
            return *why = "unknown PLY header line: " + line.substr(0, 60), false;
        }
    }
    if (!format_ok) return *why = "the PLY header names no format", false;
    const std::vector<std::string> xyz = {"x", "y", "z"};
    const std::vector<std::string> with_normals = {"x", "y", "z", "nx", "ny", "nz"};
    if (props != xyz && props != with_normals)
        return *why = "the PLY vertices must be double x, y, z, optionally followed by nx, ny, nz", false;
    if (vertices != count)
        return *why = "the PLY file holds " + std::to_string(vertices) + " vertices, not " + std::to_string(count), false;
    const std::size_t stride = props.size() * 8;
    const std::size_t body = f->file.size() - body_at;
    const std::size_t n = static_cast<std::size_t>(count);
    if (!compressed && body != n * stride)
        return *why = "the PLY file holds " + std::to_string(body) + " bytes of vertices, not " +
                      std::to_string(n * stride), false;
    if (!f->file.seek(body_at, why)) return false;
    f->values = n * props.size();
    f->fields = static_cast<int>(props.size());
    f->compressed = compressed;
    f->what = "the compressed vertices";
    return true;
}

}  // namespace replay
}  // namespace sim
