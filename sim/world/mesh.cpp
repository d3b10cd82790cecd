// Stand-in SDK: meshes read with Assimp, after checks that keep a hostile file within the limits.
#include "world/mesh.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <map>

#include <assimp/IOSystem.hpp>
#include <assimp/Importer.hpp>
#include <assimp/MemoryIOWrapper.h>
#include <assimp/postprocess.h>
#include <assimp/scene.h>
#include <nlohmann/json.hpp>

#include "core/files.h"
#include "core/hooks.h"
#include "core/json_bounds.h"
#include "core/numbers.h"
#include "world/embree_scene.h"
#include "world/ply_check.h"

namespace sim {

Mesh::~Mesh() {
    if (prototype) rtcReleaseScene(prototype);
}

namespace {

std::string count_text(std::uint64_t n) { return std::to_string(n); }

bool too_many(std::uint64_t n, const MeshLimits& lim, const std::string& what, std::string* why) {
    if (n <= lim.max_triangles) return false;
    *why = what + " " + count_text(n) + " triangles, more than the limit of " + count_text(lim.max_triangles);
    return true;
}

// ---- checks of what a file says about its size, before Assimp allocates for it ----

bool check_stl(const std::string& b, const MeshLimits& lim, std::string* why) {
    if (b.size() >= 84) {
        std::uint32_t n;
        std::memcpy(&n, b.data() + 80, 4);
        if (84 + 50ull * n == b.size()) return !too_many(n, lim, "the binary STL header declares", why);
    }
    const auto first = b.find_first_not_of(" \t\r\n");
    if (first == std::string::npos || b.compare(first, 5, "solid") != 0) {
        if (b.size() < 84) {
            *why = "not an STL file (too short for a binary STL and not ASCII STL)";
        } else {
            std::uint32_t n;
            std::memcpy(&n, b.data() + 80, 4);
            *why = "binary STL: the header declares " + count_text(n) + " triangles (" + count_text(84 + 50ull * n) +
                   " bytes) but the file has " + count_text(b.size()) + " bytes";
        }
        return false;
    }
    // Assimp's reader keeps every "vertex" it meets (three to a facet, with or without "endfacet"):
    // each one a word followed by a blank.
    std::uint64_t vertices = 0;
    for (std::size_t at = b.find("vertex", first); at != std::string::npos; at = b.find("vertex", at + 6)) {
        const char next = at + 6 < b.size() ? b[at + 6] : '\0';
        vertices += next == ' ' || next == '\t' || next == '\r' || next == '\n' || next == '\f' || next == '\0';
    }
    return !too_many((vertices + 2) / 3, lim, "the ASCII STL holds", why);
}

// OBJ, line by line as Assimp's reader takes it. A line ends at CR, LF, FF or NUL; a backslash
// right before a line end joins the text after the next LF to the line, its first character taken
// as it stands (even a line end or another backslash). A line whose first character is 'f', 'l' or
// 'p' is a face, a polyline or points: the words after the first (up to a line end or '#') are its
// corners, one vertex index each before any '/'. The reader steps through an index by the digits of
// the value it makes of it, so an index written any other way than as a plain integer (leading
// zeros, a '+', beyond an int) is read as several corners, or slowly: such a line is refused. Every
// face, line segment and point is built before lines and points are dropped: each counts as at least
// one triangle.
bool check_obj(const std::string& b, const MeshLimits& lim, std::string* why) {
    auto line_end = [](char c) { return c == '\n' || c == '\r' || c == '\f' || c == '\0'; };
    auto blank = [](char c) { return c == ' ' || c == '\t'; };
    const std::size_t n = b.size();
    std::uint64_t triangles = 0, counts[3] = {0, 0, 0};  // faces, polylines, point lists
    std::string line;  // the line as the reader holds it, when it is a face, a polyline or points
    std::size_t at = b.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    while (at < n) {
        line.clear();
        char first = 0;
        for (bool any = false; at < n;) {
            char c = b[at];
            if (c == '\\' && at + 1 < n && line_end(b[at + 1])) {
                at = b.find('\n', at + 1);
                if (at == std::string::npos || at + 1 >= n) {
                    at = n;
                    break;
                }
                c = b[++at];
            } else if (line_end(c)) {
                ++at;
                break;
            }
            ++at;
            if (!any) first = c, any = true;
            if (first == 'f' || first == 'l' || first == 'p') line += c;
        }
        if (line.empty()) continue;
        const int kind = first == 'f' ? 0 : first == 'l' ? 1 : 2;
        const std::string what = std::string(kind == 0 ? "face " : kind == 1 ? "polyline " : "point list ") +
                                 count_text(++counts[kind]) + " of the OBJ file";
        std::size_t q = 0;
        while (q < line.size() && !blank(line[q]) && !line_end(line[q])) ++q;  // the keyword
        std::uint64_t corners = 0;
        int slot = 0;  // '/' since the last blank: 0 while reading a vertex index
        while (q < line.size() && !line_end(line[q]) && line[q] != '#') {
            const char c = line[q];
            if (c == '/' || blank(c)) {
                slot = c == '/' ? slot + 1 : 0;
                ++q;
                continue;
            }
            std::size_t e = q;
            while (e < line.size() && line[e] != '/' && !blank(line[e]) && !line_end(line[e]) && line[e] != '#') ++e;
            const std::string word = line.substr(q, e - q);
            const std::size_t digits = word.size() - (word[0] == '-');
            const bool plain = digits >= 1 && digits <= 10 && word[word.size() - digits] != '0' &&
                               word.find_first_not_of("0123456789", word.size() - digits) == std::string::npos &&
                               std::stoull(word.substr(word.size() - digits)) <= 2147483647ull;
            if (!plain) {
                *why = what + " has the index '" + word.substr(0, 24) + (word.size() > 24 ? "...'" : "'") +
                       ": indices are read only as plain integers (no leading zeros or '+', at most 2147483647)";
                return false;
            }
            corners += slot == 0;
            q = e;
        }
        if (kind == 0 && corners > lim.max_corners) {
            *why = what + " has " + count_text(corners) + " corners, more than the limit of " + count_text(lim.max_corners);
            return false;
        }
        triangles += kind == 0 ? (corners > 3 ? corners - 2 : std::min<std::uint64_t>(corners, 1)) : corners;
        const char* made = counts[1] + counts[2] ? "the OBJ file's faces, polylines and points make at least"
                                                 : "the OBJ file's faces make at least";
        if (too_many(triangles, lim, made, why)) return false;
    }
    return true;
}

std::uint64_t json_count(const nlohmann::json& j, const char* key) {
    if (!j.is_object() || !j.contains(key) || !j[key].is_number_unsigned()) return 0;
    return j[key].get<std::uint64_t>();
}

// glTF: the buffers' declared bytes, the accessors' counts and the triangles the scene's nodes
// place (a mesh counts once for every node that shows it) stay within the limits, and the nodes
// form a forest.
bool check_gltf_json(const std::string& text, const MeshLimits& lim, std::string* why) {
    // Measured before it is parsed: the parsed value's destructor recurses on nesting.
    JsonBounds bounds;
    bounds.depth = 64;
    JsonExtent extent;
    std::string error;
    const JsonFit fit = measure_json(text, bounds, &extent, &error);
    if (fit != JsonFit::fits) {
        *why = fit == JsonFit::too_deep ? "glTF: the JSON nests deeper than 64 levels" : "glTF: the JSON text is malformed";
        return false;
    }
    const nlohmann::json j = nlohmann::json::parse(text, nullptr, false);
    if (j.is_discarded() || !j.is_object()) {
        *why = "glTF: the JSON text is malformed";
        return false;
    }
    // Version 1 keeps its parts in objects, not lists: none of the checks below would see them.
    const auto asset = j.find("asset");
    if (asset == j.end() || !asset->is_object() || !asset->contains("version") || !(*asset)["version"].is_string() ||
        (*asset)["version"].get<std::string>().rfind("2.", 0) != 0) {
        *why = "glTF: only version 2 files are read (asset.version \"2.0\")";
        return false;
    }
    std::uint64_t bytes = 0;
    if (j.contains("buffers") && j["buffers"].is_array())
        for (const auto& buf : j["buffers"]) bytes += json_count(buf, "byteLength");
    if (bytes > lim.max_bytes) {
        *why = "glTF: the buffers declare " + count_text(bytes) + " bytes, more than the limit of " +
               count_text(lim.max_bytes);
        return false;
    }
    const nlohmann::json empty = nlohmann::json::array();
    const auto& accessors = j.contains("accessors") && j["accessors"].is_array() ? j["accessors"] : empty;
    for (const auto& a : accessors) {
        if (json_count(a, "count") > 3 * lim.max_triangles) {
            *why = "glTF: an accessor declares " + count_text(json_count(a, "count")) + " elements, more than a mesh "
                   "within the limit of " + count_text(lim.max_triangles) + " triangles can use";
            return false;
        }
    }
    // What Assimp allocates for the accessors' elements, sparse ones included (they need no bytes
    // in the file).
    std::uint64_t element_bytes = 0;
    for (const auto& a : accessors) {
        static const std::pair<const char*, std::uint64_t> kinds[] = {
            {"SCALAR", 1}, {"VEC2", 2}, {"VEC3", 3}, {"VEC4", 4}, {"MAT2", 4}, {"MAT3", 9}, {"MAT4", 16}};
        std::uint64_t components = 16;  // the largest, for a type this check does not know
        if (a.is_object() && a.contains("type") && a["type"].is_string())
            for (const auto& [name, n] : kinds)
                if (a["type"].get<std::string>() == name) components = n;
        const std::uint64_t type = json_count(a, "componentType");
        const std::uint64_t size = type == 5120 || type == 5121 ? 1 : type == 5122 || type == 5123 ? 2 : 4;
        element_bytes += json_count(a, "count") * components * size;
    }
    if (element_bytes > lim.max_bytes) {
        *why = "glTF: the accessors declare " + count_text(element_bytes) + " bytes of elements, more than the limit of " +
               count_text(lim.max_bytes);
        return false;
    }
    // The element count of the accessor `owner` names under `key` (0 without a valid one).
    auto count_at = [&](const nlohmann::json& owner, const char* key) -> std::uint64_t {
        if (!owner.is_object() || !owner.contains(key) || !owner[key].is_number_unsigned()) return 0;
        const std::uint64_t idx = owner[key].get<std::uint64_t>();
        return idx < accessors.size() ? json_count(accessors[idx], "count") : 0;
    };
    // A skin without inverse bind matrices for its joints is legal, but Assimp's reader falls over it.
    if (j.contains("skins")) {
        if (!j["skins"].is_array()) {
            *why = "glTF: skins must be a list";
            return false;
        }
        for (const auto& skin : j["skins"]) {
            const bool ok = skin.is_object() && skin.contains("joints") && skin["joints"].is_array() &&
                            !skin["joints"].empty() && count_at(skin, "inverseBindMatrices") >= skin["joints"].size();
            if (!ok) {
                *why = "glTF: a skin needs joints and inverse bind matrices for each of them";
                return false;
            }
        }
    }
    // A primitive's vertices, and the elements its triangles are made of (its indices, or else
    // its vertices).
    auto vertex_count = [&](const nlohmann::json& prim) -> std::uint64_t {
        return prim.contains("attributes") ? count_at(prim["attributes"], "POSITION") : 0;
    };
    auto accessor_count = [&](const nlohmann::json& prim) -> std::uint64_t {
        return prim.contains("indices") && prim["indices"].is_number_unsigned() ? count_at(prim, "indices")
                                                                               : vertex_count(prim);
    };
    std::vector<std::uint64_t> mesh_triangles, mesh_vertices;
    if (j.contains("meshes") && j["meshes"].is_array()) {
        for (const auto& m : j["meshes"]) {
            std::uint64_t n = 0, v = 0;
            if (m.is_object() && m.contains("primitives") && m["primitives"].is_array())
                for (const auto& prim : m["primitives"]) {
                    if (prim.is_object()) v += vertex_count(prim);
                    const std::uint64_t mode = prim.is_object() && prim.contains("mode") ? json_count(prim, "mode") : 4;
                    const std::uint64_t c = prim.is_object() ? accessor_count(prim) : 0;
                    if (mode == 4) {
                        n += c / 3;
                    } else if (mode == 5 || mode == 6) {
                        if (c < 3) {  // (Assimp would count its triangles as c - 2 without a sign)
                            *why = "glTF: a triangle strip or fan has fewer than 3 vertices";
                            return false;
                        }
                        n += c - 2;
                    }
                }
            mesh_triangles.push_back(n);
            mesh_vertices.push_back(v);
        }
    }
    // Every node that shows a mesh gets its own copy of the mesh's vertices.
    std::uint64_t total = 0, vertices = 0;
    auto too_many_vertices = [&] {
        if (vertices <= 3 * lim.max_triangles) return false;
        *why = "glTF: the scene's nodes place " + count_text(vertices) + " vertices, more than the " +
               count_text(3 * lim.max_triangles) + " a mesh within the limit of " + count_text(lim.max_triangles) +
               " triangles can use";
        return true;
    };
    const auto& nodes = j.contains("nodes") && j["nodes"].is_array() ? j["nodes"] : empty;
    std::vector<int> parents(nodes.size(), 0);
    for (const auto& node : nodes) {
        if (!node.is_object()) continue;
        if (node.contains("mesh") && node["mesh"].is_number_unsigned()) {
            const std::uint64_t m = node["mesh"].get<std::uint64_t>();
            if (m < mesh_triangles.size()) {
                total += mesh_triangles[m];
                vertices += mesh_vertices[m];
            }
        }
        if (node.contains("children") && node["children"].is_array())
            for (const auto& c : node["children"]) {
                if (!c.is_number_unsigned() || c.get<std::uint64_t>() >= nodes.size() ||
                    ++parents[c.get<std::uint64_t>()] > 1) {
                    *why = "glTF: the node hierarchy is not a tree (a child is missing or has two parents)";
                    return false;
                }
            }
        if (too_many(total, lim, "glTF: the scene's nodes place", why) || too_many_vertices()) return false;
    }
    // Each node has at most one parent; it is a forest when every node is reachable from a root.
    std::vector<std::size_t> todo;
    std::vector<char> seen(nodes.size(), 0);
    for (std::size_t i = 0; i < nodes.size(); ++i)
        if (!parents[i]) todo.push_back(i);
    std::size_t reached = 0;
    while (!todo.empty()) {
        const std::size_t i = todo.back();
        todo.pop_back();
        if (seen[i]) continue;
        seen[i] = 1;
        ++reached;
        if (nodes[i].is_object() && nodes[i].contains("children") && nodes[i]["children"].is_array())
            for (const auto& c : nodes[i]["children"])  // each checked above: a node's index
                if (c.is_number_unsigned() && c.get<std::uint64_t>() < nodes.size()) todo.push_back(c.get<std::size_t>());
    }
    if (reached != nodes.size()) {
        *why = "glTF: the node hierarchy has a cycle";
        return false;
    }
    if (nodes.empty()) {
        for (std::uint64_t n : mesh_triangles) total += n;
        for (std::uint64_t n : mesh_vertices) vertices += n;
    }
    return !too_many(total, lim, "glTF: the scene's nodes place", why) && !too_many_vertices();
}

bool check_glb(const std::string& b, const MeshLimits& lim, std::string* why) {
    std::uint32_t head[5];
    if (b.size() < 20) {
        *why = "not a GLB file (shorter than its header)";
        return false;
    }
    std::memcpy(head, b.data(), 20);
    if (head[0] != 0x46546C67u || head[1] != 2 || head[4] != 0x4E4F534Au || head[3] > b.size() - 20) {
        *why = "not a GLB 2.0 file with its JSON chunk first";
        return false;
    }
    return check_gltf_json(b.substr(20, head[3]), lim, why);
}

// Every file Assimp opens goes through here: regular files only, read whole into memory, each
// counted once against the mesh's budget however often the importers open it (some open a file
// twice: once to tell its format, once to read it). The mesh file itself is served from the bytes
// already read and checked, so what is imported is what was checked.
class BoundedIO : public Assimp::IOSystem {
public:
    // `bytes`: those of the mesh file at `path`, read and checked, which is `identity`.
    BoundedIO(std::uint64_t limit, const std::string& path, const std::string& identity,
              std::shared_ptr<const std::string> bytes)
        : limit_(limit), left_(limit - std::min<std::uint64_t>(limit, bytes->size())), path_(path), main_(bytes) {
        files_[identity] = std::move(bytes);
    }
    bool Exists(const char* file) const override {
        std::uint64_t size;
        std::string why;
        return file && regular_file_size(file, &size, &why);
    }
    char getOsSeparator() const override { return '/'; }
    Assimp::IOStream* Open(const char* file, const char* mode) override {
        if (!file || (mode && (std::strchr(mode, 'w') || std::strchr(mode, 'a') || std::strchr(mode, '+')))) return nullptr;
        // The mesh file by its name is what was checked, whatever has taken that name since.
        if (path_ == file) return stream(*main_);
        InFile in;
        std::string why;
        if (!in.open(file, SIZE_MAX, &why)) return refuse(why);
        auto& bytes = files_[in.identity()];
        if (!bytes) {
            if (in.size() > left_)
                return refuse(in.name() + ": is larger than the " + count_text(left_) + " bytes the mesh's other files " +
                              "leave of its limit of " + count_text(limit_) + " bytes");
            auto read = std::make_shared<std::string>();
            if (!in.append(in.size(), read.get(), &why)) return refuse(why);
            left_ -= read->size();
            bytes = std::move(read);
        }
        return stream(*bytes);
    }
    void Close(Assimp::IOStream* s) override { delete s; }
    std::string error;  // the first refusal

private:
    // The stream reads the bytes in place; they live as long as this object, which outlives every
    // stream the importer opens.
    static Assimp::IOStream* stream(const std::string& bytes) {
        return new Assimp::MemoryIOStream(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(), false);
    }
    Assimp::IOStream* refuse(const std::string& why) {
        if (error.empty()) error = why;
        return nullptr;
    }
    std::uint64_t limit_, left_;
    std::string path_;
    std::shared_ptr<const std::string> main_;
    std::map<std::string, std::shared_ptr<const std::string>> files_;  // by identity
};

}  // namespace

bool build_prototype(Mesh& m, std::string* why) {
    RTCDevice dev = embree_device();
    take_embree_error();
    RTCScene scene = rtcNewScene(dev);
    rtcSetSceneFlags(scene, RTC_SCENE_FLAG_ROBUST);  // no cracks between neighbouring triangles
    RTCGeometry g = rtcNewGeometry(dev, RTC_GEOMETRY_TYPE_TRIANGLE);
    rtcSetSharedGeometryBuffer(g, RTC_BUFFER_TYPE_VERTEX, 0, RTC_FORMAT_FLOAT3, m.vertices.data(), 0,
                               3 * sizeof(float), m.vertex_count());
    rtcSetSharedGeometryBuffer(g, RTC_BUFFER_TYPE_INDEX, 0, RTC_FORMAT_UINT3, m.indices.data(), 0,
                               3 * sizeof(std::uint32_t), m.triangles());
    rtcCommitGeometry(g);
    rtcAttachGeometryByID(scene, g, 0);
    rtcReleaseGeometry(g);
    rtcCommitScene(scene);
    const std::string err = take_embree_error();
    if (!err.empty()) {
        rtcReleaseScene(scene);
        *why = "Embree cannot build the mesh's structure: " + err;
        return false;
    }
    m.prototype = scene;
    return true;
}

MeshLimits mesh_limits(const Knobs& k) {
    const auto held = [](double v) {
        return static_cast<std::uint64_t>(std::isfinite(v) ? std::clamp(v, 1.0, 1e15) : 1.0);
    };
    MeshLimits lim;
    lim.max_bytes = held(k.max_mesh_bytes);
    lim.max_triangles = held(k.max_mesh_triangles);
    return lim;
}

std::shared_ptr<const Mesh> load_mesh(const std::string& path, const MeshLimits& lim, std::string* why) {
    const std::string ext = file_extension(path);
    if (ext != "ply" && ext != "stl" && ext != "obj" && ext != "gltf" && ext != "glb") {
        *why = "unsupported mesh format '" + ext + "' (ply, stl, obj, gltf or glb)";
        return nullptr;
    }
    hold_point("scene.load_mesh");  // counted: tests see how often a file is read
    auto mesh = std::make_shared<Mesh>();
    try {
        auto held = std::make_shared<std::string>();
        std::string& bytes = *held;
        InFile file;
        if (!file.open(path, lim.max_bytes, why) || !file.append(file.size(), held.get(), why)) return nullptr;
        bool ok = true;
        if (ext == "stl") ok = check_stl(bytes, lim, why);
        else if (ext == "ply") ok = check_ply_mesh(bytes, lim, why);
        else if (ext == "obj") ok = check_obj(bytes, lim, why);
        else if (ext == "gltf") ok = check_gltf_json(bytes, lim, why);
        else ok = check_glb(bytes, lim, why);
        if (!ok) return nullptr;
        hold_point("scene.import_mesh");  // tests change the file here

        Assimp::Importer importer;
        auto* io = new BoundedIO(lim.max_bytes, path, file.identity(), std::move(held));
        importer.SetIOHandler(io);  // the importer owns it from here
        importer.SetPropertyInteger(AI_CONFIG_PP_SBP_REMOVE, aiPrimitiveType_POINT | aiPrimitiveType_LINE);
        // The importers' own output is validated before anything works on it.
        const aiScene* sc = importer.ReadFile(path, aiProcess_ValidateDataStructure | aiProcess_Triangulate | aiProcess_SortByPType |
                                                        aiProcess_PreTransformVertices);
        if (!sc) {
            *why = io->error.empty() ? std::string("cannot read the mesh: ") + importer.GetErrorString() : io->error;
            return nullptr;
        }
        std::uint64_t triangles = 0, vertices = 0;
        bool normals = sc->mNumMeshes > 0;
        for (unsigned i = 0; i < sc->mNumMeshes; ++i) {
            const aiMesh* am = sc->mMeshes[i];
            for (unsigned f = 0; f < am->mNumFaces; ++f) triangles += am->mFaces[f].mNumIndices == 3;
            vertices += am->mNumVertices;
            normals = normals && am->mNormals;
        }
        if (too_many(triangles, lim, "the mesh holds", why)) return nullptr;
        if (triangles == 0) {
            *why = "the mesh holds no triangles";
            return nullptr;
        }
        if (vertices >= std::numeric_limits<std::uint32_t>::max()) {
            *why = "the mesh has too many vertices";
            return nullptr;
        }
        mesh->vertices.reserve(3 * vertices + 1);
        mesh->indices.reserve(3 * triangles);
        if (normals) mesh->normals.reserve(3 * vertices);
        std::uint32_t base = 0;
        for (unsigned i = 0; i < sc->mNumMeshes; ++i) {
            const aiMesh* am = sc->mMeshes[i];
            for (unsigned v = 0; v < am->mNumVertices; ++v) {
                const aiVector3D& p = am->mVertices[v];
                if (!std::isfinite(p.x) || !std::isfinite(p.y) || !std::isfinite(p.z)) {
                    *why = "vertex " + std::to_string(base + v) + " is not a finite number";
                    return nullptr;
                }
                const float c[3] = {p.x, p.y, p.z};
                for (int k = 0; k < 3; ++k) {
                    if (std::abs(c[k]) > kMaxMeshCoordinate) {
                        *why = "vertex " + std::to_string(base + v) + " has a coordinate of " + format_double(c[k], 6) +
                               ", beyond the " + format_double(kMaxMeshCoordinate, 6) + " a mesh may hold";
                        return nullptr;
                    }
                    if (base + v == 0 || c[k] < mesh->lo[k]) mesh->lo[k] = c[k];
                    if (base + v == 0 || c[k] > mesh->hi[k]) mesh->hi[k] = c[k];
                }
                mesh->vertices.insert(mesh->vertices.end(), {p.x, p.y, p.z});
                if (normals) {
                    const aiVector3D& n = am->mNormals[v];
                    const bool usable = std::isfinite(n.x) && std::isfinite(n.y) && std::isfinite(n.z) &&
                                        n.x * n.x + n.y * n.y + n.z * n.z > 1e-12f;
                    normals = usable;
                    if (usable) mesh->normals.insert(mesh->normals.end(), {n.x, n.y, n.z});
                }
            }
            for (unsigned f = 0; f < am->mNumFaces; ++f) {
                const aiFace& face = am->mFaces[f];
                if (face.mNumIndices != 3) continue;
                for (int k = 0; k < 3; ++k) {
                    if (face.mIndices[k] >= am->mNumVertices) {
                        *why = "face " + std::to_string(f) + " refers to vertex " + std::to_string(face.mIndices[k]) +
                               " of " + std::to_string(am->mNumVertices);
                        return nullptr;
                    }
                    mesh->indices.push_back(base + face.mIndices[k]);
                }
            }
            base += am->mNumVertices;
        }
        if (!normals) {
            mesh->normals.clear();
            mesh->normals.shrink_to_fit();
        }
        mesh->vertices.push_back(0.0f);  // Embree may read one float past the last vertex
    } catch (const std::bad_alloc&) {
        *why = "out of memory while reading the mesh";
        return nullptr;
    } catch (const std::exception& e) {
        *why = std::string("cannot read the mesh: ") + e.what();
        return nullptr;
    }
    if (!build_prototype(*mesh, why)) return nullptr;
    return mesh;
}

}  // namespace sim
