#include "py/errors.hpp"

namespace nb = nanobind;

namespace oculane::py {

namespace {

// The read-only attributes of both exception classes: each reads a private
// instance attribute that the translator sets, so an exception made by hand
// (or by another library) answers None.
struct Attribute {
    const char* name;
    const char* slot;
    const char* doc;
};
constexpr Attribute kAttributes[] = {
    {"kind", "_kind",
     "The kind of failure, as a name to branch on: \"AckTimeout\", \"ControlLost\",\n"
     "\"DeviceStatus\", \"NotConnected\", \"FeatureNotFound\", \"OutOfRange\",\n"
     "\"SnapTimeout\" and so on. A transport failure inside a feature operation\n"
     "has the transport's kind. None when oculane did not raise it."},
    {"feature", "_feature",
     "The feature the failing call named, as it was given (or, for a call that\n"
     "named none, the feature the error is about); None when there is none."},
    {"status", "_status",
     "The GVCP status code the device answered with when it refused a command\n"
     "(kind \"DeviceStatus\"), for example 0x8006 for access denied; else None."},
};

PyObject* make_type(const char* qualified, const char* doc) {
    PyObject* t = nullptr;
    try {
        nb::dict attrs;
        nb::object property = nb::module_::import_("builtins").attr("property");
        for (const Attribute& a : kAttributes) {
            const char* slot = a.slot;
            nb::object getter = nb::cpp_function(
                [slot](nb::handle self) { return nb::getattr(self, slot, nb::none()); }, nb::name(a.name));
            attrs[a.name] = property(getter, nb::none(), nb::none(), a.doc);
        }
        t = PyErr_NewExceptionWithDoc(qualified, doc, PyExc_RuntimeError, attrs.ptr());
    } catch (const nb::python_error&) {
        t = nullptr;
    }
    if (!t) {
        PyErr_Clear();
        throw nb::import_error("Failed to initialize new exception type.");
    }
    return t;  // one reference kept for the life of the process
}

std::optional<std::uint16_t> nak_status(const CameraError& e) {
    if (const auto* s = e.get_if<camera_error::DeviceStatus>()) return s->status.code;
    return std::nullopt;
}

std::optional<std::string> feature_of(std::optional<std::string_view> given, const std::string* named) {
    if (given) return std::string(*given);
    if (named) return *named;
    return std::nullopt;
}

// Sets the Python error: an instance of `type` with the message as its only
// argument and the details as its attributes.
void set_python_error(const PendingPyError& e) {
    PyObject* type = e.type();
    const ErrorDetails& d = e.details();
    try {
        nb::object exc = nb::handle(type)(nb::str(e.what()));
        exc.attr("_kind") = d.kind ? nb::object(nb::str(d.kind)) : nb::none();
        exc.attr("_feature") = d.feature ? nb::object(nb::str(d.feature->data(), d.feature->size())) : nb::none();
        exc.attr("_status") = d.status ? nb::object(nb::int_(*d.status)) : nb::none();
        PyErr_SetObject(type, exc.ptr());
    } catch (const nb::python_error&) {
        // Not even the exception could be made (memory): the message alone.
        PyErr_SetString(type, e.what());
    }
}

}  // namespace

PyObject* camera_exception_type() {
    static PyObject* type = make_type(
        "oculane.CameraException",
        "Raised when the transport link fails: connect/acknowledge timeout, I/O error, "
        "device NAK, lost control, or a malformed packet.");
    return type;
}

PyObject* genicam_exception_type() {
    static PyObject* type = make_type(
        "oculane.GenicamException",
        "Raised by the GenICam feature layer: unknown feature, wrong type or access mode, "
        "value out of range, or a broken device description.");
    return type;
}

void raise(const CameraError& e, std::optional<std::string_view> feature) {
    throw PendingPyError(camera_exception_type(), e.to_string(),
                         ErrorDetails{e.kind_name(), feature_of(feature, nullptr), nak_status(e)});
}

void raise(const GenicamError& e, std::optional<std::string_view> feature) {
    if (const CameraError* inner = e.transport_error()) raise(*inner, feature);
    throw PendingPyError(genicam_exception_type(), e.to_string(),
                         ErrorDetails{e.kind_name(), feature_of(feature, e.feature_name()), std::nullopt});
}

void raise_value_error(const std::string& message) { throw nb::value_error(message.c_str()); }

void raise_if_failed(const Failure& failure) {
    if (auto* e = std::get_if<CameraError>(&failure)) raise(*e);
    if (auto* e = std::get_if<GenicamError>(&failure)) raise(*e);
}

Duration seconds_arg(double seconds) {
    auto d = duration_from_secs(seconds);
    if (!d) raise_value_error(d.error());
    return *d;
}

void bind_errors(nb::module_& m) {
    m.attr("CameraError") = nb::handle(camera_exception_type());
    m.attr("GenicamError") = nb::handle(genicam_exception_type());
    nb::register_exception_translator([](const std::exception_ptr& p, void*) {
        try {
            std::rethrow_exception(p);
        } catch (const PendingPyError& e) {
            set_python_error(e);
        }
    });
}

}  // namespace oculane::py
