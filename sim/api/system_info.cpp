// Stand-in SDK: the library's version and the last error as the SDK reports them.
#include <string>

#include "control/control.h"
#include "control/core.h"
#include "core/errors.h"

namespace sim {

namespace {

const char* kVersion = "TUVO virtual SDK 1.4.0";

}  // namespace

}  // namespace sim

using namespace sim;

namespace TUVO {

const char* GetVersion() try {
    Call call("GetVersion");
    if (auto o = override_text("GetVersion")) return *o;
    return kVersion;
} catch (...) { return escaped<const char*>(""); }

int GetLastError() try {
    Call call("GetLastError");
    if (auto o = override_int("GetLastError")) return static_cast<int>(*o);
    return last_error_code();
} catch (...) { return escaped_code(); }

const char* GetLastErrorMessage() try {
    Call call("GetLastErrorMessage");
    thread_local std::string text;
    if (auto o = override_bytes("GetLastErrorMessage"))
        text = o->is_null ? std::string() : o->bytes;
    else
        text = last_error_message();
    return text.c_str();
} catch (...) { return escaped<const char*>(""); }

}  // namespace TUVO
