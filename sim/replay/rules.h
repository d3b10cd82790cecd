// Stand-in SDK, playback: the rules of a recording's manifest, compiled in from the table the
// Python reader (tuvo_tools) reads, and the checks they drive.
#pragma once
#include <cstddef>
#include <string>

#include <nlohmann/json.hpp>

namespace sim {
namespace replay {

using json = nlohmann::json;

// The table (python/tuvo_tools/recording_rules.json), parsed once.
const json& rules();
// A number of its "limits" (manifest_bytes, manifest_values, manifest_depth, frames, pixels, header_bytes).
long long limit(const char* name);
// The most bytes zlib can make of `size` bytes (zlib's compressBound, written out as the Python reader has it).
std::size_t compress_bound(std::size_t size);

// Checks by the table; the first fault is kept as "path: what", as the Python reader words it.
class RuleChecker {
public:
    std::string fault;

    bool fail(const std::string& path, const std::string& what) {
        if (fault.empty()) fault = path + ": " + what;
        return false;
    }
    // The fields of `obj` by the table's record `record`, in the table's order.
    bool record(const json& obj, const std::string& path, const std::string& record);
    // Every key a field of the option record of `kind` ("x1", "x2"), every value of its type and range.
    bool options(const json& obj, const std::string& path, const std::string& kind);
};

// "a, b or c"
std::string choices(const json& list);
// 1000000 as "1,000,000".
std::string grouped(long long n);

}  // namespace replay
}  // namespace sim
