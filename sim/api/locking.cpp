// Stand-in SDK: finding a camera behind its handle and locking it for one call.
#include "api/camera.h"

#include <cstdio>
#include <cstdlib>

#include "control/control.h"
#include "control/knobs.h"
#include "core/hooks.h"

namespace sim {

std::shared_ptr<CameraState> camera_of(std::uint32_t slot, std::uint32_t gen, Call& call, bool need_open) {
    auto c = cameras().get(slot, gen);
    if (!c || c->gone) {
        call.fail(TUVO::Error_InvalidHandle, "invalid or destroyed camera handle");
        return nullptr;
    }
    if (need_open && !c->open) {
        call.fail(TUVO::Error_NotOpen, "the camera is not open");
        return nullptr;
    }
    return c;
}

CameraState::~CameraState() {
    // Every holder lets go of the lock before its reference to the camera: a camera freed while
    // locked would be unlocked afterwards, writing into freed memory. Stop loudly rather than
    // break the heap in silence (a try-lock answers "busy" for the owner too).
    if (!m.try_lock()) {
        std::fputs("stand-in SDK: a camera was freed while its lock was held\n", stderr);
        std::abort();
    }
    m.unlock();
}

Locked lock_camera(std::uint32_t slot, std::uint32_t gen, Call& call, bool need_open) {
    if (call.failed()) return Locked();
    auto c = camera_of(slot, gen, call, false);
    if (!c) return Locked();
    hold_point("camera lock");  // tests hold a call here, between finding the camera and locking it
    // Declared after `c`, so released before it: the camera destroyed meanwhile may go with `c`.
    std::unique_lock<std::mutex> lock(c->m);
    if (c->gone) {
        call.fail(TUVO::Error_InvalidHandle, "invalid or destroyed camera handle");
        return Locked();
    }
    if (need_open && !c->open) {
        call.fail(TUVO::Error_NotOpen, "the camera is not open");
        return Locked();
    }
    Locked l;
    l.cam = std::move(c);
    l.lock = std::move(lock);
    return l;
}

bool connected(CameraState& c, Call& call) {
    if (!device_connected(c.dev->sn)) {
        call.fail(TUVO::Error_Failed, "the device is not connected");
        return false;
    }
    return true;
}

}  // namespace sim
