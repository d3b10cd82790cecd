// Stand-in SDK, playback: devices that replay a recording instead of looking at the virtual scene.
#pragma once
#include <map>
#include <memory>
#include <mutex>
#include <set>

#include "core/report.h"
#include "replay/frame_data.h"
#include "replay/manifest.h"
#include "replay/plan.h"

namespace sim {
namespace replay {

// What the rig says about one device's playback.
struct RigEntry {
    std::string path;  // the recording's folder; empty: a virtual device
    bool loop = false;
    std::set<std::string> keys;  // every key the rig gave for the device
};

// A device's recording and how far each of its streams has been played.
struct Playback {
    Recording rec;
    bool loop = false;
    std::mutex m;
    std::map<std::string, std::size_t> next;  // per stream, the frame the next capture yields
};

// The rig keys `playback` (a folder, relative to `base` unless absolute) and `loop` (yes/no).
bool rig_key(RigEntry& e, const std::string& key, const std::string& value, const std::string& base, std::string* why);
// The recording a rig entry names, read and checked: null for a virtual device. False, with `why`
// set, for a rig entry a playback device cannot take or a recording that cannot be read.
bool open_recording(const RigEntry& e, const OptionReaders& options, const Knobs& knobs, std::shared_ptr<Playback>* out,
                    std::string* why);

// The calibration of camera `index` (0 left, 1 right, 2 extra) as recorded; null (reported) when
// the recording holds none.
const Calibration* recorded_calibration(const Recording& rec, int index, Report& report);

// The frame the next capture of stream `s` yields (at the end of the stream, the first again when
// the playback loops), opened and checked (FrameReader::open); `index` gets its number, for
// `played` once the frame is handed out. Reported when the stream has been played to its end
// (`what` names the device's camera), the memory does not allow it or its files are faulty.
bool open_next(Playback& pb, const Stream& s, const Plan& plan, const std::string& what, const Knobs& knobs,
               FrameReader* out, std::size_t* index, Report& report);
// The opened frame's numbers read into `out` and shaped by `plan` as a live capture would be.
// Reported when a file cannot be read to its end.
bool read_frame(FrameReader& frame, const Stream& s, const Plan& plan, const FrameOut& out, Report& report);
void played(Playback& pb, const Stream& s, std::size_t index);

// Refuses an operation a recording cannot serve (2-D captures, the fixed line scan).
bool not_recorded(Report& report, const std::string& what);

}  // namespace replay
}  // namespace sim
