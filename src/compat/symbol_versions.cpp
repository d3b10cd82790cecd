// Older symbol versions for the stand-in SDK, so that the wheels run on systems older than the one
// they were built on (their manylinux tag is the newest version of glibc and libstdc++ any of their
// libraries asks for). Linked with -Wl,--wrap for the names below (CMakeLists.txt): the library's
// calls of hypot and std::condition_variable::wait reach these, which call the versions every
// glibc and libstdc++ of the last fifteen years have, in place of glibc 2.35's hypot and GCC 12's
// wait. They give the same results: both versions of hypot compute with the same code, and the wait
// of GCC 12 differs from the old one only in letting a thread's cancellation through.
// Compiled without link-time optimisation, which would drop the version bindings.
#include <mutex>

extern "C" {

double tuvo_hypot_glibc_2_2_5(double, double);
__asm__(".symver tuvo_hypot_glibc_2_2_5, hypot@GLIBC_2.2.5");

__attribute__((visibility("hidden"))) double __wrap_hypot(double x, double y) {
    return tuvo_hypot_glibc_2_2_5(x, y);
}

// std::condition_variable::wait(std::unique_lock<std::mutex>&), called with the condition variable
// as its first argument.
void tuvo_condition_variable_wait_3_4_11(void* condition, std::unique_lock<std::mutex>& lock);
__asm__(".symver tuvo_condition_variable_wait_3_4_11, "
        "_ZNSt18condition_variable4waitERSt11unique_lockISt5mutexE@GLIBCXX_3.4.11");

__attribute__((visibility("hidden"))) void __wrap__ZNSt18condition_variable4waitERSt11unique_lockISt5mutexE(
    void* condition, std::unique_lock<std::mutex>& lock) {
    tuvo_condition_variable_wait_3_4_11(condition, lock);
}

}  // extern "C"
