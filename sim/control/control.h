// Stand-in SDK: the C control interface for tests (the tuvo_sim_ prefix) and its internal hooks.
#pragma once
#include <string>

#define TUVO_SIM_API extern "C" __attribute__((visibility("default")))

namespace sim {
int last_error_code();
std::string last_error_message();
void reset_control();
}  // namespace sim

// Make `op` fail with `code` and `message` (`times` calls, or every call when times <= 0).
TUVO_SIM_API void tuvo_sim_fail(const char* op, int code, const char* message, int times);
// Undo fail, delay and block for `op`.
TUVO_SIM_API void tuvo_sim_clear(const char* op);
// Put `len` bytes (null for len < 0) under `key`: an operation's answer or a scene parameter.
TUVO_SIM_API void tuvo_sim_set_bytes(const char* key, const char* data, long long len);
TUVO_SIM_API void tuvo_sim_unset(const char* key);
// The arguments of the last finished call of `op` as a JSON object ("" if none).
TUVO_SIM_API const char* tuvo_sim_last_args(const char* op);
TUVO_SIM_API long long tuvo_sim_call_count(const char* op);
TUVO_SIM_API void tuvo_sim_delay(const char* op, int ms);
TUVO_SIM_API void tuvo_sim_block(const char* op);
TUVO_SIM_API void tuvo_sim_unblock(const char* op);
TUVO_SIM_API int tuvo_sim_inside(const char* op);
TUVO_SIM_API int tuvo_sim_wait_entered(const char* op, int timeout_ms);
// Back to defaults: no overrides, no objects, SDK shut down, the rig re-read.
TUVO_SIM_API void tuvo_sim_reset(void);
// Replace the rig description (same text format as the file named by TUVO_SIM_RIG); null
// restores the default rig.
TUVO_SIM_API int tuvo_sim_set_rig(const char* text);
// Number of live SDK objects of a kind: "image", "pointmap", "x1", "x2", "map".
TUVO_SIM_API long long tuvo_sim_live(const char* kind);
