// Stand-in SDK: the memory a capture needs against the memory there is, checked before allocating.
#include "render/budget.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <limits>
#include <string>
#include <sys/resource.h>
#include <unistd.h>

#include "render/view.h"

namespace sim {


std::uint64_t result_bytes(const DeviceOptics& o, unsigned cameras, bool x2, const CaptureParams& p, CaptureKind kind) {
    const std::uint64_t pixels = static_cast<std::uint64_t>(o.device.width) * o.device.height;
    // Bytes per pixel of the images: the camera's own (X1), the left and right cameras' (X2).
    std::uint64_t images = 0, largest = 0;
    for (int i = 0; i < 3; ++i) {
        if (!(cameras & (1u << i))) continue;
        const std::uint64_t b = o.models[i].colour ? 3 : 1;
        largest = std::max(largest, b);
        if (!x2 || i < 2) images += b;
    }
    switch (kind) {
        case CaptureKind::Image: return pixels * largest;
        case CaptureKind::LineScan: return pixels * 24;
        case CaptureKind::Points: break;
    }
    std::uint64_t per_pixel = 24 + 8 + 8;
    if (p.calc_normal) per_pixel += 24;
    if (p.enable_2d) per_pixel += images;
    if (x2) per_pixel += 16;
    return pixels * per_pixel;
}

std::uint64_t available_memory(const Knobs& k) {
    const double forced = k.memory_available_mb;
    if (forced >= 0)  // a test's figure; beyond what 64 bits count (infinity too), no limit
        return forced < 1.7e13 ? static_cast<std::uint64_t>(forced * 1048576.0) : std::numeric_limits<std::uint64_t>::max();
    std::uint64_t avail = std::numeric_limits<std::uint64_t>::max();
    std::ifstream info("/proc/meminfo");
    std::string key;
    std::uint64_t kb;
    while (info >> key >> kb) {
        if (key == "MemAvailable:") {
            avail = kb * 1024;
            break;
        }
        info.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
    }
    // The process's own limits: RLIMIT_AS on all it maps (statm's first figure), RLIMIT_DATA on its
    // data and stack (the sixth).
    std::uint64_t pages[6] = {};
    std::ifstream statm("/proc/self/statm");
    for (auto& p : pages) statm >> p;
    const std::uint64_t page = static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE));
    for (const auto& [resource, used] : {std::pair<int, std::uint64_t>{RLIMIT_AS, pages[0] * page},
                                         std::pair<int, std::uint64_t>{RLIMIT_DATA, pages[5] * page}}) {
        struct rlimit lim;
        if (getrlimit(resource, &lim) == 0 && lim.rlim_cur != RLIM_INFINITY)
            avail = std::min<std::uint64_t>(avail, lim.rlim_cur > used ? lim.rlim_cur - used : 0);
    }
    return avail;
}

namespace {

std::string gigabytes(std::uint64_t bytes) {
    char buf[32];
    if (bytes < 1000000000ull) std::snprintf(buf, sizeof buf, "%.0f MB", bytes / 1e6);
    else std::snprintf(buf, sizeof buf, "%.2f GB", bytes / 1e9);
    return buf;
}

}  // namespace

bool fits_memory(const DeviceOptics& o, unsigned cameras, bool x2, const CaptureParams& p, CaptureKind kind,
                 const Knobs& k, Report& report) {
    const DeviceSpec& d = o.device;
    const std::uint64_t results = result_bytes(o, cameras, x2, p, kind);
    const std::uint64_t views = kind == CaptureKind::Image || !x2 ? 1 : 2;
    const std::uint64_t need = 3 * results + views * HitBuffer::kBytesPerHit * d.width * d.height;
    const std::uint64_t avail = available_memory(k);
    if (need <= avail) return true;
    report.fail(TUVO::Error_OutOfMemory, "a " + std::to_string(d.width) + " x " + std::to_string(d.height) +
                                           " capture returns " + gigabytes(results) + " and needs up to " +
                                           gigabytes(need) + " while it runs; " + gigabytes(avail) +
                                           " of memory is available");
    return false;
}

}  // namespace sim
