// Stand-in SDK: the one reader of PLY headers. It finds the header and splits its lines into words;
// each kind of PLY file (point maps, recordings, meshes) then applies its own rules to the lines.
#pragma once
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

// One line of a PLY header.
struct PlyHeaderLine {
    std::string text;                // as written, without its '\n'
    std::vector<std::string> words;  // split at blanks; the first is the keyword (none: an empty line)
    // Word `i`, or "" past the last.
    const std::string& word(std::size_t i) const;
};

// Where a header may end and how strictly its first and last lines are written.
struct PlyHeaderShape {
    std::size_t max_end = 0;  // the greatest offset the end_header line may start at
    // Strict (files this library writes): the file starts with "ply\n" and the header ends at a line
    // "end_header\n" exactly. Loose (meshes other programs wrote): the file starts with "ply" (its
    // first line is left for the caller to judge), every line loses blanks and carriage returns at
    // its end, and the end_header line may be the file's last without a '\n'.
    bool loose = false;
};

enum class PlyHeaderFound { Yes, NotPly, Unclosed };

// Reads the header at the start of `bytes`: every line before end_header (the first, "ply", among
// them) into `lines`, and where the body starts into `body`. NotPly: the file does not start as a
// PLY file; Unclosed: no end_header line starts within shape.max_end.
PlyHeaderFound read_ply_header(std::string_view bytes, const PlyHeaderShape& shape, std::vector<PlyHeaderLine>* lines,
                               std::size_t* body);

}  // namespace sim
