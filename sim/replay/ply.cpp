// Stand-in SDK, playback: the PLY files that hold a recording's point maps (double vertices, lossless).
#include "replay/ply.h"

#include <cstring>
#include <sstream>

#include "replay/compressed.h"

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "recordings store little-endian numbers");

namespace sim {
namespace replay {

namespace {
constexpr std::size_t kMaxHeader = 4096;
}

bool parse_ply_points(const std::string& bytes, long long count, std::vector<double>* points,
                      std::vector<double>* normals, std::string* why, bool compressed) {
    if (bytes.compare(0, 4, "ply\n") != 0) return *why = "not a PLY file", false;
    std::size_t end = bytes.find("\nend_header\n");
    if (end != std::string::npos) ++end;  // the header's last line starts here
    if (end == std::string::npos || end > kMaxHeader) return *why = "the PLY header is not closed within 4096 bytes", false;
    const std::string header = bytes.substr(0, end);
    if (header.find('\0') != std::string::npos) return *why = "the PLY header holds a NUL character", false;
    std::istringstream in(header);
    std::string line;
    std::getline(in, line);  // "ply"
    bool format_ok = false;
    int elements = 0;
    long long vertices = -1;
    std::vector<std::string> props;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') return *why = "the PLY header has DOS line ends", false;
        std::istringstream ls(line);
        std::string word;
        ls >> word;
        if (word == "comment" || word == "obj_info" || word.empty()) continue;
        if (word == "format") {
            std::string kind, version, rest;
            ls >> kind >> version >> rest;
            if (kind != "binary_little_endian" || version != "1.0" || !rest.empty())
                return *why = "the PLY format must be binary_little_endian 1.0, not " + line.substr(7), false;
            format_ok = true;
        } else if (word == "element") {
            std::string name, n, rest;
            ls >> name >> n >> rest;
            if (++elements > 1 || name != "vertex") return *why = "the PLY file must hold vertices only", false;
            if (n.empty() || n.size() > 12 || n.find_first_not_of("0123456789") != std::string::npos || !rest.empty())
                return *why = "the PLY vertex count is malformed", false;
            vertices = std::stoll(n);
        } else if (word == "property") {
            std::string type, name, rest;
            ls >> type >> name >> rest;
            if (elements != 1 || !rest.empty()) return *why = "the PLY header is malformed", false;
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
    const std::size_t body = bytes.size() - end - 11;
    const std::size_t n = static_cast<std::size_t>(count);
    std::vector<double> values;  // a compressed file's vertices, inflated and unshuffled
    if (compressed) {
        std::vector<unsigned char> planes;
        if (!inflate_exactly(bytes.data() + end + 11, body, n * stride, &planes, "the compressed vertices", why))
            return false;
        if (props.size() == 3) {
            points->resize(n * 3);
            normals->clear();
            unshuffle(planes.data(), n * 3, points->data());
            return true;
        }
        values.resize(n * 6);
        unshuffle(planes.data(), n * 6, values.data());
    } else if (body != n * stride) {
        return *why = "the PLY file holds " + std::to_string(body) + " bytes of vertices, not " +
                      std::to_string(n * stride), false;
    }
    const char* p = compressed ? reinterpret_cast<const char*>(values.data()) : bytes.data() + end + 11;
    points->resize(n * 3);
    normals->clear();
    if (props.size() == 3) {
        if (n) std::memcpy(points->data(), p, n * 24);
        return true;
    }
    normals->resize(n * 3);
    for (std::size_t i = 0; i < n; ++i, p += 48) {
        std::memcpy(points->data() + 3 * i, p, 24);
        std::memcpy(normals->data() + 3 * i, p + 24, 24);
    }
    return true;
}

}  // namespace replay
}  // namespace sim
