#pragma once
// The one place where error values become Python exceptions.

#include <exception>
#include <string>
#include <variant>

#include <nanobind/nanobind.h>

#include "error/camera_error.hpp"
#include "error/genicam_error.hpp"
#include "util/duration.hpp"

namespace oculane::py {

// Creates (once per process) and returns the two exception classes.
PyObject* camera_exception_type();
PyObject* genicam_exception_type();

// Carries a rendered message to the registered translator, which sets the
// Python error only when control returns to the interpreter.
class PendingPyError : public std::exception {
public:
    PendingPyError(PyObject* type, std::string message) : type_(type), message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }
    PyObject* type() const { return type_; }

private:
    PyObject* type_;
    std::string message_;
};

[[noreturn]] void raise(const CameraError& e);
// Transport raises its wrapped error's class and text.
[[noreturn]] void raise(const GenicamError& e);
[[noreturn]] void raise_value_error(const std::string& message);

// Converts float seconds or raises ValueError with the duration texts.
Duration seconds_arg(double seconds);

// An error kept while the interpreter lock is released, raised once it is
// held again; monostate when there was none.
using Failure = std::variant<std::monostate, CameraError, GenicamError>;

// Raises the error `failure` holds; returns when it holds none.
void raise_if_failed(const Failure& failure);

// Unwraps an expected value or raises its error.
template <class T, class E>
T unwrap(std::expected<T, E>&& r) {
    if (!r) raise(r.error());
    if constexpr (!std::is_void_v<T>) return std::move(*r);
}

// Registers CameraError and GenicamError on the module and the translator.
void bind_errors(nanobind::module_& m);

}  // namespace oculane::py
