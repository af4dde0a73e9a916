#pragma once
// Enum-like Python classes (AccessMode, FrameStatus) whose values are shared
// objects: one per code, held as class attributes, so `is` and `==` agree. A
// value compares equal to its int and is deliberately unhashable (equal to
// ints but not hashed like them would break dicts).
//
// Thread safety: interpreter lock held for every member.

#include <span>
#include <string>

#include <fmt/format.h>
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

namespace oculane::py {

template <class Tag>
class ValueEnum {
public:
    struct Value {
        int code = 0;
    };

    // Binds the class `name` with one value per entry of `names` (code =
    // index), which must outlive the module.
    static void bind(nanobind::module_& m, const char* name, const char* doc, std::span<const char* const> names) {
        namespace nb = nanobind;
        name_ = name;
        names_ = names;
        auto cls = nb::class_<Value>(m, name, doc)
                       .def("__int__", [](const Value& self) { return self.code; })
                       .def("__repr__",
                            [](const Value& self) { return fmt::format("{}.{}", name_, names_[self.code]); })
                       .def("__eq__", [](const Value& self, nb::handle other) { return compare(self, other, true); },
                            nb::arg("other").none())
                       .def("__ne__", [](const Value& self, nb::handle other) { return compare(self, other, false); },
                            nb::arg("other").none());
        cls.attr("__hash__") = nb::none();
        for (int code = 0; code < static_cast<int>(names.size()); ++code) cls.attr(names[code]) = nb::cast(Value{code});
        type_ = cls.ptr();
        // The values refer to their class and the class holds them: a cycle
        // that nothing collects before the extension is torn down. Broken at
        // exit.
        nb::module_::import_("atexit").attr("register")(nb::cpp_function([]() {
            if (!type_) return;
            for (const char* value : names_)
                if (PyObject_HasAttrString(type_, value)) PyObject_DelAttrString(type_, value);
            type_ = nullptr;
        }));
    }

    // The shared object for `code`; `fallback` for a code out of range.
    static nanobind::object value(int code, int fallback) {
        // A thread still calling in after the exit handler ran must get an
        // exception, not a null dereference.
        if (!type_) {
            PyErr_SetString(PyExc_RuntimeError,
                            fmt::format("oculane.{} is gone: the interpreter is shutting down", name_).c_str());
            throw nanobind::python_error();
        }
        if (code < 0 || code >= static_cast<int>(names_.size())) code = fallback;
        return nanobind::handle(type_).attr(names_[code]);
    }

private:
    // == and != with a value or an int (bool included, an int subclass in
    // Python); anything else is not ours to decide (NotImplemented).
    static nanobind::object compare(const Value& self, nanobind::handle other, bool equal) {
        namespace nb = nanobind;
        long long code = 0;
        if (nb::isinstance<Value>(other)) {
            code = nb::cast<const Value&>(other).code;
        } else if (PyLong_Check(other.ptr())) {
            int overflow = 0;
            code = PyLong_AsLongLongAndOverflow(other.ptr(), &overflow);
            if (overflow != 0) code = -1;  // no value has such a code
        } else {
            return nb::borrow(Py_NotImplemented);
        }
        return nb::bool_((code == self.code) == equal);
    }

    // Borrowed: the class lives as long as the module, until the exit handler.
    static inline PyObject* type_ = nullptr;
    static inline const char* name_ = "";
    static inline std::span<const char* const> names_;
};

}  // namespace oculane::py
