// Shared binding helpers: lock release, text and byte conversions, buffer descriptions, out-tuples.
#pragma once
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "module/constructed.h"
#include "sdk/TUVO.h"

namespace py = pybind11;

namespace pytuvo {

// PyThread_get_thread_ident() of the thread that shuts the interpreter down: the main thread, and
// at exit (an atexit callback runs before the shutdown is marked) the thread that runs it.
inline std::atomic<unsigned long> g_exiting_thread{0};

// The interpreter lock released for an SDK call. A thread coming back from the SDK while the
// interpreter shuts down (a daemon thread at exit) cannot have the lock again: Python ends such a
// thread by unwinding it, which would end the process in std::terminate had the guard's destructor
// no leave to throw. One that finds the shutdown under way waits for the process to end instead;
// the thread doing the shutdown goes on as usual.
class ReleasedLock {
public:
    ReleasedLock() : state_((py::detail::get_internals(), PyEval_SaveThread())) {}
    ~ReleasedLock() noexcept(false) {
        if (shutting_down() && PyThread_get_thread_ident() != g_exiting_thread.load())
            for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
        PyEval_RestoreThread(state_);
    }
    ReleasedLock(const ReleasedLock&) = delete;
    ReleasedLock& operator=(const ReleasedLock&) = delete;

private:
    static bool shutting_down() {
#if PY_VERSION_HEX >= 0x030D0000
        return Py_IsFinalizing();
#else
        return _Py_IsFinalizing();
#endif
    }
    PyThreadState* state_;
};

// Every SDK call runs with the interpreter lock released.
using release_gil = py::call_guard<ReleasedLock>;

// A fixed-size SDK text: the bytes up to the first NUL, at most N; decoded as strict UTF-8 when
// converted to Python.
template <std::size_t N>
std::string bounded_text(const char (&buf)[N]) {
    return std::string(buf, strnlen(buf, N));
}

// A text handed to the SDK as a C string (shown as "str" in signatures, like const char*): None is
// the null pointer, and a text holding a NUL character is refused with ValueError, as Python's
// open() does, instead of being cut short at the NUL.
struct CText {
    std::string text;
    bool null = true;
    operator const char*() const { return null ? nullptr : text.c_str(); }
};

// A member's parameters as bound: C strings arrive as CText, the rest as they are.
template <class A>
struct bound_arg {
    using type = A;
};
template <>
struct bound_arg<const char*> {
    using type = const CText&;
};
template <class A>
using bound_arg_t = typename bound_arg<A>::type;

// Bytes handed to Python undecoded (shown as "bytes" in signatures).
struct Bytes {
    std::string data;
};

// A dense, row-major buffer description over SDK memory; the empty description when the SDK
// reports no memory for a non-empty shape (so no view ever spans a null pointer) or a negative
// dimension.
template <class T>
py::buffer_info dense_view(T* ptr, std::vector<py::ssize_t> shape) {
    py::ssize_t count = 1;
    for (py::ssize_t d : shape) {
        if (d < 0) return py::buffer_info();
        count *= d;
    }
    if (ptr == nullptr && count != 0) return py::buffer_info();
    std::vector<py::ssize_t> strides(shape.size());
    py::ssize_t stride = static_cast<py::ssize_t>(sizeof(T));
    for (std::size_t i = shape.size(); i-- > 0;) {
        strides[i] = stride;
        stride *= shape[i];
    }
    const auto ndim = static_cast<py::ssize_t>(shape.size());
    return py::buffer_info(ptr, static_cast<py::ssize_t>(sizeof(T)), py::format_descriptor<T>::format(), ndim,
                           std::move(shape), std::move(strides), /*readonly=*/false);
}

// Binds a member function with `self` taken by reference: a pointer would let None through as
// a null object into the SDK; a reference refuses it with the standard TypeError.
template <class R, class C, class... A>
auto self_ref(R (C::*f)(A...)) {
    return [f](C& self, bound_arg_t<A>... args) -> R { return (self.*f)(std::forward<bound_arg_t<A>>(args)...); };
}
template <class R, class C, class... A>
auto self_ref(R (C::*f)(A...) const) {
    return [f](const C& self, bound_arg_t<A>... args) -> R {
        return (self.*f)(std::forward<bound_arg_t<A>>(args)...);
    };
}

// Float arrays filled by the SDK come back as Python lists of a fixed length.
template <std::size_t N>
std::vector<float> float_list(const float (&values)[N]) {
    return std::vector<float>(values, values + N);
}

// A 4x4 transform from any array-like: refused unless it holds at least 16 values; read in
// logical row-major order whatever its strides.
using TransformArray = py::array_t<double, py::array::forcecast>;
void copy_transform(const TransformArray& array, double (&out)[16]);

}  // namespace pytuvo

namespace pybind11 {
namespace detail {
template <>
struct type_caster<pytuvo::CText> {
    PYBIND11_TYPE_CASTER(pytuvo::CText, const_name(PYBIND11_STRING_NAME));
    bool load(handle src, bool convert) {
        if (src.is_none()) {
            // As for const char*: None only where conversions are allowed.
            if (!convert) return false;
            value.null = true;
            return true;
        }
        if (PyUnicode_Check(src.ptr())) {
            // UTF-8, and text Python decoded from bytes that are not (os.listdir gives file names
            // with escapes) back to those bytes.
            const auto bytes = reinterpret_steal<object>(PyUnicode_AsEncodedString(src.ptr(), "utf-8", "surrogateescape"));
            if (!bytes) {
                PyErr_Clear();
                return false;
            }
            value.text.assign(PyBytes_AS_STRING(bytes.ptr()), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.ptr())));
        } else {
            make_caster<std::string> text;
            if (!text.load(src, convert)) return false;
            value.text = cast_op<std::string&&>(std::move(text));
        }
        if (value.text.find('\0') != std::string::npos) throw value_error("embedded null character");
        value.null = false;
        return true;
    }
};

template <>
struct type_caster<pytuvo::Bytes> {
    PYBIND11_TYPE_CASTER(pytuvo::Bytes, const_name("bytes"));
    bool load(handle, bool) { return false; }
    static handle cast(const pytuvo::Bytes& b, return_value_policy, handle) {
        return py::bytes(b.data).release();
    }
};

#if PYBIND11_VERSION_HEX >= 0x020C0000
// pybind11 2.12 and later name tuples and lists "tuple[...]" and "list[...]" in signatures; the
// API keeps the "Tuple[...]" and "List[...]" of pybind11 2.11 (CPython 3.9 to 3.12 build with it).
// These are more specialised than pybind11's own casters and differ from them only in the name.
template <typename T0, typename... Ts>
class type_caster<std::tuple<T0, Ts...>> : public tuple_caster<std::tuple, T0, Ts...> {
public:
    static constexpr auto name =
        const_name("Tuple[") + concat(make_caster<T0>::name, make_caster<Ts>::name...) + const_name("]");
};
template <typename T>
struct type_caster<std::vector<T, std::allocator<T>>> : list_caster<std::vector<T, std::allocator<T>>, T> {
    static constexpr auto name = const_name("List[") + make_caster<T>::name + const_name("]");
};
#endif
}  // namespace detail
}  // namespace pybind11
