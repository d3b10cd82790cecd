// Stand-in SDK: triangle meshes read from files (PLY, STL, OBJ, glTF), within documented limits.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <embree3/rtcore.h>

#include "core/knobs.h"

namespace sim {

// The most a mesh may hold. Files are checked against these before anything is allocated for
// them: the bytes on disk (with every file a format refers to) and, where a format's header
// says it, the triangle count.
struct MeshLimits {
    std::uint64_t max_bytes = 256ull << 20;    // 256 MiB of files per mesh
    std::uint64_t max_triangles = 4000000;    // per mesh (a scene holds at most 8 million)
    // Corners of one face (OBJ, PLY): a polygon is cut into triangles in time that grows with the
    // square of its corners.
    std::uint64_t max_corners = 256;
};
// The limits a test set through the knobs (each within 1 and 1e15; anything else counts as 1).
MeshLimits mesh_limits(const Knobs& k);

// Triangles in the mesh's own frame (file units), ready for Embree: it reads them in place.
struct Mesh {
    std::vector<float> vertices;         // x, y, z per vertex, then one float Embree may read past the end
    std::vector<std::uint32_t> indices;  // three per triangle
    std::vector<float> normals;          // x, y, z per vertex, or empty (faces are flat)
    RTCScene prototype = nullptr;        // an Embree scene of these triangles, instanced by placements
    float lo[3] = {0, 0, 0}, hi[3] = {0, 0, 0};  // the box its vertices span (file units)

    std::size_t triangles() const { return indices.size() / 3; }
    std::size_t vertex_count() const { return vertices.size() / 3; }
    Mesh() = default;
    Mesh(const Mesh&) = delete;
    Mesh& operator=(const Mesh&) = delete;
    ~Mesh();
};

// The largest coordinate a mesh may hold (file units): Embree intersects its triangles in single
// precision, with products of three coordinates.
constexpr double kMaxMeshCoordinate = 1e12;

// Reads the mesh file at `path` (its format from its extension: .ply, .stl, .obj, .gltf, .glb).
// Null with `why` set when the file cannot be read, breaks the limits, holds no triangles or
// holds a coordinate that is not a finite number.
std::shared_ptr<const Mesh> load_mesh(const std::string& path, const MeshLimits& limits, std::string* why);

// Builds the Embree scene of a mesh's triangles (once, when it is loaded).
bool build_prototype(Mesh& m, std::string* why);

}  // namespace sim
