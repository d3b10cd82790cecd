// Stand-in SDK: a PLY mesh checked whole, header and body, before Assimp reads it.
#include "world/ply_check.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "core/numbers.h"
#include "core/ply_header.h"

namespace sim {

namespace {

struct Type {
    int size = 0;  // bytes; 0: not a PLY type
    bool integer = false, is_signed = false;
};

Type type_of(const std::string& t) {
    if (t == "char" || t == "int8") return {1, true, true};
    if (t == "uchar" || t == "uint8") return {1, true, false};
    if (t == "short" || t == "int16") return {2, true, true};
    if (t == "ushort" || t == "uint16") return {2, true, false};
    if (t == "int" || t == "int32") return {4, true, true};
    if (t == "uint" || t == "uint32") return {4, true, false};
    if (t == "float" || t == "float32") return {4, false, true};
    if (t == "double" || t == "float64") return {8, false, true};
    return {};
}

struct Property {
    std::string name;
    Type type;            // a list's items
    bool list = false;
    Type count;           // a list's length
    bool indices = false;  // the face's vertex indices
};

struct Element {
    std::string name;
    std::uint64_t count = 0;
    std::vector<Property> props;
};

struct Header {
    bool ascii = false, big_endian = false;
    std::vector<Element> elements;
    std::size_t body = 0;  // where the body starts
    std::uint64_t vertices = 0;
};

bool fail(std::string* why, const std::string& what) {
    *why = what;
    return false;
}

bool read_header(const std::string& b, const MeshLimits& lim, Header* h, std::string* why) {
    std::vector<PlyHeaderLine> lines;
    // The header's lines, up to the line that is end_header itself (text such as a comment that
    // merely holds the word ends nothing), within the first 64 KiB.
    if (read_ply_header(b, {64 * 1024 - 1, true}, &lines, &h->body) != PlyHeaderFound::Yes)
        return fail(why, "not a PLY file (no ply ... end_header within its first 64 KiB)");
    bool format = false, first = true;
    for (const PlyHeaderLine& l : lines) {
        const std::string& line = l.text;
        const std::string& word = l.word(0);
        if (first) {
            if (word != "ply") return fail(why, "not a PLY file (its first line is not ply)");
            first = false;
            continue;
        }
        if (word.empty() || word == "comment" || word == "obj_info") continue;
        // Readers differ on lines that say more than they should: none are taken.
        auto done = [&](std::size_t words) { return l.words.size() <= words; };
        if (word == "format") {
            if (format) return fail(why, "the PLY header gives its format twice");
            const std::string& f = l.word(1);
            if (!done(3)) return fail(why, "the PLY header has a malformed line: " + line.substr(0, 40));
            if (f != "ascii" && f != "binary_little_endian" && f != "binary_big_endian")
                return fail(why, "PLY format " + f + " is none of ascii, binary_little_endian, binary_big_endian");
            h->ascii = f == "ascii";
            h->big_endian = f == "binary_big_endian";
            format = true;
        } else if (word == "element") {
            const std::string& name = l.word(1);
            const std::string& count = l.word(2);
            if (count.empty() || count.find_first_not_of("0123456789") != std::string::npos || count.size() > 18)
                return fail(why, "PLY element " + name + " has a count that is not a number below 10^18: " + count);
            if (!done(3)) return fail(why, "the PLY header has a malformed line: " + line.substr(0, 40));
            for (const Element& e : h->elements)
                if (e.name == name) return fail(why, "the PLY header declares the element " + name + " twice");
            h->elements.push_back({name, std::stoull(count), {}});
        } else if (word == "property") {
            if (h->elements.empty()) return fail(why, "the PLY header gives a property before any element");
            Property p;
            std::size_t at = 1;  // the next word
            std::string type = l.word(at++);
            if (type == "list") {
                const std::string& count_type = l.word(at++);
                type = l.word(at++);
                p.list = true;
                p.count = type_of(count_type);
                if (!p.count.size) return fail(why, "PLY property of unknown type " + count_type);
                if (!p.count.integer) return fail(why, "a PLY list's length has the type " + count_type);
            }
            p.type = type_of(type);
            if (!p.type.size) return fail(why, "PLY property of unknown type " + type);
            p.name = l.word(at++);
            if (p.name.empty() || !done(at)) return fail(why, "the PLY header has a malformed line: " + line.substr(0, 40));
            h->elements.back().props.push_back(p);
        } else {
            return fail(why, "the PLY header has an unknown line: " + line.substr(0, 40));
        }
    }
    if (!format) return fail(why, "the PLY header has no format line");
    bool faces = false;
    for (const Element& e : h->elements) faces = faces || (e.name == "face" && e.count > 0);
    if (!faces) return fail(why, "the PLY file has no faces (points alone make no surface)");
    for (Element& e : h->elements) {
        if (e.name == "face" && e.count > lim.max_triangles)
            return fail(why, "the PLY header declares " + std::to_string(e.count) + " triangles, more than the limit of " +
                                 std::to_string(lim.max_triangles));
        if (e.count > 3 * lim.max_triangles)
            return fail(why, "the PLY header declares " + std::to_string(e.count) + " " + e.name +
                                 " elements, more than the " + std::to_string(3 * lim.max_triangles) +
                                 " a mesh within the limit of " + std::to_string(lim.max_triangles) +
                                 " triangles can use");
        if (e.name == "vertex") {
            h->vertices = e.count;
            for (const char* axis : {"x", "y", "z"})
                if (std::none_of(e.props.begin(), e.props.end(),
                                 [&](const Property& p) { return p.name == axis && !p.list; }))
                    return fail(why, std::string("the PLY file's vertices have no ") + axis);
        }
        if (e.name == "face") {
            int lists = 0;
            for (Property& p : e.props)
                if (p.list && (p.name == "vertex_indices" || p.name == "vertex_index")) {
                    p.indices = true;
                    ++lists;
                    if (!p.type.integer) return fail(why, "the PLY file's vertex indices are not integers");
                }
            if (lists != 1) return fail(why, "the PLY file's faces need one list of vertex indices");
        }
    }
    return true;
}

// The body, element by element, as the header describes it.
class Body {
public:
    Body(const std::string& b, const Header& h) : b_(b), h_(h), at_(h.body) {}

    bool walk(const MeshLimits& lim, std::string* why) {
        std::uint64_t triangles = 0;
        for (const Element& e : h_.elements) {
            for (std::uint64_t r = 0; r < e.count; ++r) {
                if (h_.ascii && !next_line()) return fail(why, "the PLY file ends inside its " + e.name + " elements");
                for (const Property& p : e.props) {
                    std::uint64_t n = 1;
                    if (p.list) {
                        double length;
                        if (!value(p.count, &length, why, e, r)) return false;
                        if (length < 0 || length != std::floor(length) || length > 1e9)
                            return fail(why, "PLY " + e.name + " " + std::to_string(r) + " has a list of length " +
                                                 format_double(length));
                        n = static_cast<std::uint64_t>(length);
                        if (p.indices) {
                            if (n < 3)
                                return fail(why, "face " + std::to_string(r) + " has " + std::to_string(n) +
                                                     " corners; a face needs at least 3");
                            if (n > lim.max_corners)
                                return fail(why, "face " + std::to_string(r) + " has " + std::to_string(n) +
                                                     " corners, more than the limit of " +
                                                     std::to_string(lim.max_corners));
                            triangles += n - 2;
                            if (triangles > lim.max_triangles)
                                return fail(why, "the PLY file's faces make more than the limit of " +
                                                     std::to_string(lim.max_triangles) + " triangles");
                        }
                    }
                    for (std::uint64_t k = 0; k < n; ++k) {
                        double v;
                        if (!value(p.type, &v, why, e, r)) return false;
                        if (p.indices && !(v >= 0 && v < static_cast<double>(h_.vertices) && v == std::floor(v)))
                            return fail(why, "face " + std::to_string(r) + " refers to vertex " + format_double(v) + " of " +
                                                 std::to_string(h_.vertices));
                    }
                }
                if (h_.ascii && !line_.empty())
                    return fail(why, "PLY " + e.name + " " + std::to_string(r) + " has more values than its properties");
            }
        }
        if (h_.ascii) {
            while (next_line())
                if (!line_.empty()) return fail(why, "the PLY file goes on after its last element");
        }
        return true;
    }

private:
    // ASCII: the next line that holds anything, blanks trimmed (false at the end).
    bool next_line() {
        while (at_ < b_.size()) {
            auto end = b_.find('\n', at_);
            if (end == std::string::npos) end = b_.size();
            line_ = std::string_view(b_).substr(at_, end - at_);
            at_ = end + 1;
            trim();
            if (!line_.empty()) return true;
        }
        line_ = {};
        return false;
    }

    void trim() {
        while (!line_.empty() && std::strchr(" \t\r", line_.front())) line_.remove_prefix(1);
        while (!line_.empty() && std::strchr(" \t\r", line_.back())) line_.remove_suffix(1);
    }

    bool value(const Type& t, double* v, std::string* why, const Element& e, std::uint64_t r) {
        if (h_.ascii) {
            if (line_.empty()) return fail(why, "PLY " + e.name + " " + std::to_string(r) + " has too few values");
            auto end = line_.find_first_of(" \t");
            if (end == std::string_view::npos) end = line_.size();
            std::string_view word = line_.substr(0, end);
            line_.remove_prefix(end);
            trim();
            if (!parse_double(word, v))
                return fail(why, "PLY " + e.name + " " + std::to_string(r) + " has a malformed number");
            return true;
        }
        if (at_ > b_.size() || b_.size() - at_ < static_cast<std::size_t>(t.size))
            return fail(why, "the PLY file ends inside its " + e.name + " elements");
        // The value's bits, whichever order the file keeps its bytes in.
        const auto* raw = reinterpret_cast<const unsigned char*>(b_.data() + at_);
        at_ += t.size;
        std::uint64_t u = 0;
        for (int k = 0; k < t.size; ++k) u |= std::uint64_t{raw[h_.big_endian ? k : t.size - 1 - k]} << (8 * (t.size - 1 - k));
        if (!t.integer) {
            if (t.size == 4) {
                const std::uint32_t bits = static_cast<std::uint32_t>(u);
                float f;
                std::memcpy(&f, &bits, 4);
                *v = f;
            } else {
                std::memcpy(v, &u, 8);
            }
            return true;
        }
        const bool negative = t.is_signed && (u >> (8 * t.size - 1)) != 0;
        *v = negative ? static_cast<double>(u) - std::ldexp(1.0, 8 * t.size) : static_cast<double>(u);  // two's complement
        return true;
    }

    const std::string& b_;
    const Header& h_;
    std::size_t at_;
    std::string_view line_;
};

}  // namespace

bool check_ply_mesh(const std::string& bytes, const MeshLimits& lim, std::string* why) {
    Header h;
    if (!read_header(bytes, lim, &h, why)) return false;
    return Body(bytes, h).walk(lim, why);
}

}  // namespace sim
