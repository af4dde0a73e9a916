#pragma once
// The one place where error values become Python exceptions.

#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include <nanobind/nanobind.h>

#include "error/camera_error.hpp"
#include "error/genicam_error.hpp"
#include "util/duration.hpp"

namespace oculane::py {

// Creates (once per process) and returns the two exception classes.
PyObject* camera_exception_type();
PyObject* genicam_exception_type();

// What a program branches on besides the message: the exception's read-only
// attributes kind, feature and status.
struct ErrorDetails {
    const char* kind = nullptr;           // the variant's name, e.g. "AckTimeout"
    std::optional<std::string> feature;   // the feature the failing call named
    std::optional<std::uint16_t> status;  // the GVCP status of a NAK
};

// Carries a rendered message and its details to the registered translator,
// which makes the Python exception only when control returns to the
// interpreter.
class PendingPyError : public std::exception {
public:
    PendingPyError(PyObject* type, std::string message, ErrorDetails details)
        : type_(type), message_(std::move(message)), details_(std::move(details)) {}
    const char* what() const noexcept override { return message_.c_str(); }
    PyObject* type() const { return type_; }
    const ErrorDetails& details() const { return details_; }

private:
    PyObject* type_;
    std::string message_;
    ErrorDetails details_;
};

// `feature` is the name the failing call was given, if it named one; it
// becomes the exception's `feature` (else the feature the error itself names,
// if any).
[[noreturn]] void raise(const CameraError& e, std::optional<std::string_view> feature = std::nullopt);
// Transport raises its wrapped error's class and text.
[[noreturn]] void raise(const GenicamError& e, std::optional<std::string_view> feature = std::nullopt);
[[noreturn]] void raise_value_error(const std::string& message);

// Converts float seconds or raises ValueError with the duration texts.
Duration seconds_arg(double seconds);

// An error kept while the interpreter lock is released, raised once it is
// held again; monostate when there was none.
using Failure = std::variant<std::monostate, CameraError, GenicamError>;

// Raises the error `failure` holds; returns when it holds none.
void raise_if_failed(const Failure& failure);

// Unwraps an expected value or raises its error (naming `feature`, when the
// call was given one).
template <class T, class E>
T unwrap(std::expected<T, E>&& r, std::optional<std::string_view> feature = std::nullopt) {
    if (!r) raise(r.error(), feature);
    if constexpr (!std::is_void_v<T>) return std::move(*r);
}

// Registers CameraError and GenicamError on the module and the translator.
void bind_errors(nanobind::module_& m);

}  // namespace oculane::py
