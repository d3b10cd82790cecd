// System life cycle, version and last-error queries.
#include "module/bindings.h"

namespace pytuvo {

void bind_error_functions(py::module_& m) {
    m.def("GetVersion", &TUVO::GetVersion, release_gil());
    m.def("GetLastError", &TUVO::GetLastError, release_gil());
    // The message is copied while the lock is still released; a null text reads as empty.
    m.def("GetLastErrorMessage", []() {
        const char* text = TUVO::GetLastErrorMessage();
        return std::string(text ? text : "");
    }, release_gil());
}

void bind_system_functions(py::module_& m) {
    m.def("SystemInit", &TUVO::SystemInit, "Initialize system.", release_gil());
    m.def("SystemIsInited", &TUVO::SystemIsInited, "System Is Inited?", release_gil());
    m.def("SystemShutdown", &TUVO::SystemShutdown, "Shut down the system.", release_gil());
}

}  // namespace pytuvo
