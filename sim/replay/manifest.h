// Stand-in SDK, playback: a recording's manifest (manifest.json), read and checked.
#pragma once
#include <array>
#include <string>
#include <vector>

#include "TUVO.h"
#include "core/knobs.h"

namespace sim {
namespace replay {


// The device as GetDeviceInfo described it when it was recorded.
struct Description {
    std::string name, sn, factory_date, port;
    TUVO::PortType port_type = TUVO::PortType_USB;
    unsigned cameras = TUVO::CameraID_Left;
    int boardmodel = 0;
    bool x1 = false, x2 = false, cover = false, extra = false;
    unsigned colors = 0, capture_modes = 0;
    int near_mm = 0, far_mm = 0;
};

// One camera's calibration as the SDK reported it (float values, row-major).
struct Calibration {
    bool known = false;
    int width = 0, height = 0;
    float intrinsics[9] = {}, distortion[5] = {}, extrinsic[16] = {};
    bool colour = false;
};

struct ImageFile {
    std::string file;  // empty: the frame has no image of this camera
    TUVO::ImageType::Enum type = TUVO::ImageType::None;
};

// The files of one frame, relative to the frame's folder.
struct Frame {
    std::string dir;                // relative to the recording
    std::array<ImageFile, 3> images;  // by camera index: left, right, extra
    std::string points;             // PLY
    bool normals = false;
    std::string depth, confidence, correspond;  // .npy; empty when not recorded
    bool compressed = false;  // the numbers of the PLY and .npy files shuffled and deflated
};

// The custom transformation in force while recording.
struct Transform {
    unsigned select = 0;
    bool matrix_known = false;
    double matrix[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
};

// The captures of one camera handle: the X1 on one camera, or the X2.
struct Stream {
    std::string name;      // "x1-left", "x1-right", "x1-extra" or "x2"
    bool x2 = false;
    unsigned camera = 0;   // X1: its CameraID
    int width = 0, height = 0;  // of the point map and the per-pixel maps
    TUVO::X1::CaptureOptions x1_options;
    TUVO::X2::CaptureOptions x2_options;
    Transform transform;
    bool balance_known = false;
    float balance[3] = {1, 1, 1};
    std::vector<Frame> frames;
};

struct Recording {
    std::string root;  // the recording's folder
    Description device;
    std::array<Calibration, 3> cameras;  // left, right, extra
    std::vector<Stream> streams;

    const Stream* stream(const std::string& name) const {
        for (const Stream& s : streams)
            if (s.name == name) return &s;
        return nullptr;
    }
};

// The SDK's readers of capture options in their text form ("key = value" lines): a manifest's
// options are checked as the SDK reads options it stored.
struct OptionReaders {
    bool (*x1)(const std::string& text, TUVO::X1::CaptureOptions* out, std::string* why);
    bool (*x2)(const std::string& text, TUVO::X2::CaptureOptions* out, std::string* why);
};

// Reads `root`/manifest.json and checks everything it says (its size against the memory `knobs`
// allow); `why` names the file and the fault.
bool load_manifest(const std::string& root, const OptionReaders& options, const Knobs& knobs, Recording* out,
                   std::string* why);

}  // namespace replay
}  // namespace sim
