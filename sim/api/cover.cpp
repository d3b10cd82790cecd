// Stand-in SDK: the protective cover: where it is heading, moving it and waiting for it.
#include "api/camera.h"

#include <thread>

#include "control/knobs.h"

namespace sim {

namespace {

double now_s() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

const char* cover_word(TUVO::ProtectiveCoverStatus s) {
    switch (s) {
        case TUVO::ProtectiveCoverStatus_Open: return "open";
        case TUVO::ProtectiveCoverStatus_Closed: return "closed";
        case TUVO::ProtectiveCoverStatus_Opening: return "opening";
        case TUVO::ProtectiveCoverStatus_Closing: return "closing";
        default: return "in an unknown state";
    }
}

}  // namespace

bool cover_ready(CameraState& c, const Knobs& k, Call& call) {
    if (!c.dev->cover) return true;
    std::lock_guard<std::mutex> lock(c.dev->m);
    auto st = cover_status(*c.dev, k);
    if (st != TUVO::ProtectiveCoverStatus_Open) {
        call.fail(TUVO::Error_Busy, "the protective cover is not open");
        return false;
    }
    return true;
}

TUVO::ProtectiveCoverStatus cover_status(DeviceState& d, const Knobs& k) {
    if (d.cover_from == d.cover_to) return d.cover_to;
    const double travel = k.cover_travel_ms / 1000.0;
    if (now_s() - d.cover_since >= travel) {
        d.cover_from = d.cover_to;
        return d.cover_to;
    }
    return d.cover_to == TUVO::ProtectiveCoverStatus_Open ? TUVO::ProtectiveCoverStatus_Opening
                                                          : TUVO::ProtectiveCoverStatus_Closing;
}

bool move_cover(CameraState& c, bool open, const Knobs& k, Call& call) {
    if (!c.dev->cover) {
        call.fail(TUVO::Error_NotSupported, "the device has no protective cover");
        return false;
    }
    const auto target = open ? TUVO::ProtectiveCoverStatus_Open : TUVO::ProtectiveCoverStatus_Closed;
    std::lock_guard<std::mutex> lock(c.dev->m);
    auto now = cover_status(*c.dev, k);
    if (now == target) return true;
    if (c.dev->cover_to != target) {
        c.dev->cover_from = c.dev->cover_to == TUVO::ProtectiveCoverStatus_Open ? TUVO::ProtectiveCoverStatus_Open
                                                                                  : TUVO::ProtectiveCoverStatus_Closed;
        c.dev->cover_to = target;
        c.dev->cover_since = now_s();
    }
    return true;
}

bool wait_cover(CameraState& c, bool open, const Knobs& k, Call& call) {
    const auto target = open ? TUVO::ProtectiveCoverStatus_Open : TUVO::ProtectiveCoverStatus_Closed;
    const long long limit_ms = static_cast<long long>(k.cover_timeout_ms);
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(limit_ms);
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(c.dev->m);
            // The knobs again at each look: a test may change the cover's travel while it moves.
            const auto now = cover_status(*c.dev, read_knobs());
            if (now == target) return true;
            if (c.dev->cover_to != target) {
                call.fail(TUVO::Error_Failed, std::string("another handle reversed the protective cover: it is ") +
                                                  cover_word(now));
                return false;
            }
        }
        if (!c.open) {
            call.fail(TUVO::Error_NotOpen, "the camera was closed while the protective cover moved");
            return false;
        }
        if (std::chrono::steady_clock::now() >= until) {
            call.fail(TUVO::Error_Timeout,
                      "the protective cover did not arrive within " + std::to_string(limit_ms) + " ms");
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

bool reset_cover(CameraState& c, Call& call) {
    if (!c.dev->cover) {
        call.fail(TUVO::Error_NotSupported, "the device has no protective cover");
        return false;
    }
    std::lock_guard<std::mutex> lock(c.dev->m);
    c.dev->cover_from = c.dev->cover_to = TUVO::ProtectiveCoverStatus_Closed;
    return true;
}

}  // namespace sim
