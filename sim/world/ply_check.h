// Stand-in SDK: a PLY mesh checked whole, header and body, before Assimp reads it.
#pragma once
#include <string>

#include "world/mesh.h"

namespace sim {

// Whether `bytes` is a whole PLY mesh within `lim`: a header this reader knows, vertices with x, y
// and z, faces with one list of at least 3 vertex indices below the vertex count, and a body that
// holds every element the header declares (ASCII: one element a line, numbers only). Assimp's PLY
// reader trusts its input, so nothing else reaches it. *why says what is wrong.
bool check_ply_mesh(const std::string& bytes, const MeshLimits& lim, std::string* why);

}  // namespace sim
