// Stand-in SDK: the fixed line scan's producer thread, and stopping it.
//
// A laser line sweeps the scene once per line_scanner_scan_time_ms; the producer publishes a
// complete point map at the end of every sweep, refining it line by line in between.
#include "api/line_scan.h"

#include <cmath>
#include <cstdlib>
#include <mutex>

#include "api/capture.h"
#include "control/control.h"
#include "control/knobs.h"
#include "core/hooks.h"

namespace sim {

namespace {

void sweep_loop(const std::shared_ptr<CameraState>& c, const CaptureParams& p, const CustomTransform& t, int period_ms,
                double zmin, double zmax) {
    std::uint64_t frame = 0;
    for (;;) {
        const auto start = std::chrono::steady_clock::now();
        TUVO::PointMap pm = render_line_scan(*c, p, t, 0x51ull + frame, read_knobs());
        if (zmin > 0 || zmax > 0) {
            auto obj = lookup(pointmaps(), pm);
            double* q = obj->pts();
            for (std::size_t i = 0; i < obj->count(); ++i) {
                const double z = q[3 * i + 2];
                if ((zmin > 0 && z < zmin) || (zmax > 0 && z > zmax)) q[3 * i] = q[3 * i + 1] = q[3 * i + 2] = NAN;
            }
        }
        hold_point("scan publish");  // tests hold a sweep here, before it is published
        std::unique_lock<std::mutex> lock(c->scan_m);
        if (c->scan_stop) {
            TUVO::PointMap::Destroy(pm, true);
            return;
        }
        TUVO::PointMap::Destroy(c->scan_latest, true);
        c->scan_latest = pm;
        ++c->scan_frames;
        ++frame;
        c->scan_cv.notify_all();
        c->scan_cv.wait_until(lock, start + std::chrono::milliseconds(period_ms), [&] { return c->scan_stop; });
        if (c->scan_stop) return;
    }
}

}  // namespace

// The producer: sweeps until stopped. A failure ends the scan; the next call on it reports why.
void scan_loop(std::shared_ptr<CameraState> c, CaptureParams p, CustomTransform t, int period_ms, double zmin,
               double zmax) {
    int code = TUVO::Error_Failed;
    std::string why;
    try {
        sweep_loop(c, p, t, period_ms, zmin, zmax);
        return;
    } catch (const std::bad_alloc&) {
        code = TUVO::Error_OutOfMemory;
        why = "out of memory";
    } catch (const std::exception& e) {
        why = e.what();
    }
    std::lock_guard<std::mutex> lock(c->scan_m);
    c->scanning = false;
    c->scan_error_code = code;
    c->scan_error = why;
    TUVO::PointMap::Destroy(c->scan_latest, true);
    c->scan_latest = TUVO::PointMap();
    c->scan_cv.notify_all();
}

ScanStop stop_scanner(CameraState& c, int* code, std::string* why) {
    std::unique_lock<std::mutex> lock(c.scan_m);
    if (c.scan_stopping) {
        c.scan_cv.wait(lock, [&] { return !c.scan_stopping; });
        return ScanStop::Stopped;
    }
    if (!c.scanner.joinable()) return ScanStop::Idle;
    const bool running = c.scanning;
    c.scan_stopping = true;
    c.scan_stop = true;
    c.scan_cancel = true;  // the sweep under way ends at its next row
    std::thread producer = std::move(c.scanner);
    lock.unlock();
    c.scan_cv.notify_all();
    producer.join();
    lock.lock();
    const TUVO::PointMap last = c.scan_latest;
    c.scan_latest = TUVO::PointMap();
    lock.unlock();
    TUVO::PointMap::Destroy(last, true);
    lock.lock();
    if (code) *code = c.scan_error_code;
    if (why) *why = c.scan_error;
    c.scan_error.clear();
    c.scan_error_code = 0;
    c.scanning = false;
    c.scan_stopping = false;
    c.scan_cv.notify_all();
    return running ? ScanStop::Stopped : ScanStop::Ended;
}

void stop_scanners_at_exit() {
    static std::once_flag once;
    std::call_once(once, [] {
        // A scanner's thread must not be left running while the process exits (the state it
        // works on is never destroyed, so the order of exit's work does not matter).
        std::atexit([] {
            for (auto& c : cameras().all()) stop_scanner(*c);
        });
    });
}

}  // namespace sim
