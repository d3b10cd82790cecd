// TUVO SDK: images, point maps and per-pixel maps held in SDK memory.
#pragma once
#include "TUVOTypes.h"

namespace TUVO {

// Handles are two 32-bit words (slot, generation); a destroyed or stale handle is invalid.
// Images and maps hold at most 16,777,216 pixels.
class TUVO_API Image {
public:
    Image();
    // With data == nullptr the SDK allocates zeroed pixels. With data and own_data == false the
    // image looks at the caller's memory, which must outlive it.
    static Image Create(ImageType::Enum type, Size size, unsigned char* data = nullptr,
                        bool own_data = true);
    // PNG (8-bit grey or colour) or binary PGM/PPM.
    static Image CreateFromFile(const char* filename);
    // no_reuse == false lets the SDK keep the pixel memory for a later image of the same size.
    static void Destroy(Image image, bool no_reuse = true);
    Image Clone() const;
    bool IsValid() const;
    Size GetSize() const;
    ImageType::Enum GetType() const;
    unsigned char* GetDataPtr() const;
    // Writes PNG; the file is replaced atomically.
    bool SaveImage(const char* filename) const;

    std::uint32_t slot;
    std::uint32_t generation;
};

class TUVO_API PointMap {
public:
    PointMap();
    static PointMap Create(PointMapType::Enum type, Size size, double* data = nullptr,
                           bool own_data = true);
    // Reads a PLY file written by Save (binary or ASCII, either unit). When `size` is not 0x0 the
    // number of vertices must equal width * height; a 0x0 size takes the grid from the file.
    static PointMap CreateFromFile(const char* filename, Size size, PointMapUnit::Enum unit);
    static void Destroy(PointMap pointmap, bool no_reuse = true);
    PointMap Clone() const;
    bool IsValid() const;
    Size GetSize() const;
    double* GetPointDataPtr();
    // Null when the map carries no normals.
    double* GetNormalDataPtr();
    // Writes PLY (binary little-endian or ASCII) with one vertex per pixel, NaN for invalid points,
    // in metres or millimetres; with a valid image of the same size each vertex carries its colour.
    bool Save(const char* filename, PointMapUnit::Enum unit, bool isBinary, const Image& image);

    std::uint32_t slot;
    std::uint32_t generation;
};

// Depth (z in millimetres, NaN where invalid).
class TUVO_API DepthMap {
public:
    DepthMap();
    bool IsValid() const;
    Size GetSize() const;
    double* GetDataPtr();
    // flag == false: 16-bit grey PNG in millimetres (0 where invalid), readable by image tools.
    // flag == true: 8-bit colour PNG with a colour scale from near (red) to far (blue), for people.
    bool SaveDepthMap(const char* filename, bool flag);

    std::uint32_t slot;
    std::uint32_t generation;
};

// Confidence in [0, 1] per pixel.
class TUVO_API ConfidenceMap {
public:
    ConfidenceMap();
    bool IsValid() const;
    Size GetSize() const;
    double* GetDataPtr();

    std::uint32_t slot;
    std::uint32_t generation;
};

// Per left-camera pixel, the (x, y) coordinates of the matching right-camera pixel (NaN if none).
class TUVO_API CorrespondMap {
public:
    CorrespondMap();
    bool IsValid() const;
    Size GetSize() const;
    double* GetDataPtr();

    std::uint32_t slot;
    std::uint32_t generation;
};

static_assert(sizeof(Image) == 8 && sizeof(PointMap) == 8 && sizeof(DepthMap) == 8 &&
                  sizeof(ConfidenceMap) == 8 && sizeof(CorrespondMap) == 8,
              "container handles are two 32-bit words");

}  // namespace TUVO
