#include "py/access_mode.hpp"

#include <array>

#include <nanobind/stl/string.h>

#include "py/bindings.hpp"

namespace nb = nanobind;

namespace oculane::py {

namespace {

struct PyAccessMode {
    int code = 0;
};

constexpr std::array<const char*, 3> kNames = {"RO", "WO", "RW"};

// The values live as attributes of the class, so they go away with it at
// interpreter shutdown; this borrowed pointer is valid while the module is.
PyObject* g_type = nullptr;

// The integer another operand stands for, or nothing when the comparison is
// not ours to decide (Python then falls back to identity or raises).
bool comparable_code(nb::handle other, long long& out) {
    if (nb::isinstance<PyAccessMode>(other)) {
        out = nb::cast<PyAccessMode&>(other).code;
        return true;
    }
    // bool is an int subclass in Python, and compares as one there too.
    if (PyLong_Check(other.ptr())) {
        int overflow = 0;
        out = PyLong_AsLongLongAndOverflow(other.ptr(), &overflow);
        if (overflow != 0) out = -1;  // no mode has such a value
        return true;
    }
    return false;
}

// The answer to == (equal) or != (not equal), or NotImplemented.
nb::object compare(const PyAccessMode& self, nb::handle other, bool equal) {
    long long code = 0;
    if (!comparable_code(other, code)) return nb::borrow(Py_NotImplemented);
    return nb::bool_((code == self.code) == equal);
}

}  // namespace

nb::object access_mode_object(int code) {
    if (code < 0 || code > 2) code = 2;
    // A thread still calling in after the exit handler below ran must get an
    // exception, not a null dereference.
    if (!g_type) {
        PyErr_SetString(PyExc_RuntimeError, "oculane.AccessMode is gone: the interpreter is shutting down");
        throw nb::python_error();
    }
    return nb::handle(g_type).attr(kNames[code]);
}

void bind_access_mode(nb::module_& m) {
    auto cls = nb::class_<PyAccessMode>(m, "AccessMode",
                                        "How a feature may be used now: `RO` (read only), `WO` (write only)\n"
                                        "or `RW`. Each value is one shared object that compares equal to its\n"
                                        "int (RO = 0, WO = 1, RW = 2).")
        .def("__int__", [](const PyAccessMode& self) { return self.code; })
        .def("__repr__", [](const PyAccessMode& self) {
            return std::string("AccessMode.") + kNames[self.code];
        })
        .def("__eq__", [](const PyAccessMode& self, nb::handle other) { return compare(self, other, true); },
             nb::arg("other").none())
        .def("__ne__", [](const PyAccessMode& self, nb::handle other) { return compare(self, other, false); },
             nb::arg("other").none());
    // Values compare equal to ints, so hashing them like ints would be the
    // only consistent choice; the values are deliberately unhashable instead.
    cls.attr("__hash__") = nb::none();
    for (int code = 0; code < 3; ++code) cls.attr(kNames[code]) = nb::cast(PyAccessMode{code});
    g_type = cls.ptr();
    // The values refer to their class and the class holds them: a cycle that
    // nothing collects before the extension is torn down. Break it at exit.
    nb::module_::import_("atexit").attr("register")(nb::cpp_function([]() {
        if (!g_type) return;
        for (const char* name : kNames)
            if (PyObject_HasAttrString(g_type, name)) PyObject_DelAttrString(g_type, name);
        g_type = nullptr;
    }));
}

}  // namespace oculane::py
