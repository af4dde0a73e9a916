#pragma once
// Integer arguments whose range the function checks itself. The binding
// library refuses an int outside a C++ integer type's range the way it
// refuses a wrong type: with a TypeError listing the signatures, which tells
// a user nothing about which argument was wrong or what it may be. IntArg<T>
// accepts any int (and anything with __index__, numpy integers included) and
// `get(name)` gives the value or raises ValueError naming the argument and
// its range; OverflowError for a value that does not even fit 64 bits.
// Wrong types (a float, a str) are still refused by conversion.

#include <cstdint>
#include <limits>
#include <string>

#include <fmt/format.h>
#include <nanobind/nanobind.h>

#include "util/int128.hpp"

namespace oculane::py {

template <class T>
struct IntArg {
    static_assert(std::is_integral_v<T> && sizeof(T) <= 8);

    nanobind::object given;  // a Python int

    // The value, or the range error naming `name`. Call with the interpreter
    // lock held.
    T get(const char* name) const {
        namespace nb = nanobind;
        constexpr auto lo = std::numeric_limits<T>::min();
        constexpr auto hi = std::numeric_limits<T>::max();
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(given.ptr(), &overflow);
        if (overflow == 0 && v == -1 && PyErr_Occurred()) throw nb::python_error();
        if (overflow == 0) {
            if (static_cast<int128>(v) >= static_cast<int128>(lo) &&
                static_cast<int128>(v) <= static_cast<int128>(hi))
                return static_cast<T>(v);
            raise(PyExc_ValueError, fmt::format("{} must be {}, not {}", name, range_text(), v));
        }
        if (overflow > 0) {
            // Beyond signed 64 bits, maybe within unsigned 64 bits.
            const unsigned long long u = PyLong_AsUnsignedLongLong(given.ptr());
            if (!PyErr_Occurred()) {
                if (static_cast<uint128>(u) <= static_cast<uint128>(hi)) return static_cast<T>(u);
                raise(PyExc_ValueError, fmt::format("{} must be {}, not {}", name, range_text(), u));
            }
            PyErr_Clear();
        }
        // A huge int may have thousands of digits (and Python refuses to
        // print the longest): those are described by their length.
        const auto bits = nb::cast<std::size_t>(given.attr("bit_length")());
        const std::string value = bits <= 128 ? nb::cast<std::string>(nb::str(given))
                                              : fmt::format("an integer of {} bits", bits);
        raise(PyExc_OverflowError, fmt::format("{} must be {}, not {}", name, range_text(), value));
    }

    // "from 0 to 255"; a size has no upper bound worth printing.
    static std::string range_text() {
        constexpr auto lo = std::numeric_limits<T>::min();
        constexpr auto hi = std::numeric_limits<T>::max();
        if constexpr (std::is_unsigned_v<T> && sizeof(T) == 8) return "0 or more";
        else return fmt::format("from {} to {}", lo, hi);
    }

private:
    [[noreturn]] static void raise(PyObject* type, const std::string& message) {
        PyErr_SetString(type, message.c_str());
        throw nanobind::python_error();
    }
};

}  // namespace oculane::py

namespace nanobind::detail {

template <class T>
struct type_caster<oculane::py::IntArg<T>> {
    NB_TYPE_CASTER(oculane::py::IntArg<T>, const_name("int"))

    bool from_python(handle src, uint8_t flags, cleanup_list*) noexcept {
        if (PyLong_Check(src.ptr())) {
            value.given = borrow(src);
            return true;
        }
        // Like the library's own integer conversion: no floats, but objects
        // that stand for an integer (numpy's) when conversion is allowed.
        if (!(flags & static_cast<uint8_t>(cast_flags::convert)) || PyFloat_Check(src.ptr())) return false;
        PyObject* index = PyNumber_Index(src.ptr());
        if (!index) {
            PyErr_Clear();
            return false;
        }
        value.given = steal(index);
        return true;
    }

    static handle from_cpp(const oculane::py::IntArg<T>& v, rv_policy, cleanup_list*) noexcept {
        return v.given.inc_ref();
    }
};

}  // namespace nanobind::detail
