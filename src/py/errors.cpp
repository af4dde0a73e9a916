#include "py/errors.hpp"

namespace nb = nanobind;

namespace oculane::py {

namespace {
PyObject* make_type(const char* qualified, const char* doc) {
    PyObject* t = PyErr_NewExceptionWithDoc(qualified, doc, PyExc_RuntimeError, nullptr);
    if (!t) {
        PyErr_Clear();
        throw nb::import_error("Failed to initialize new exception type.");
    }
    return t;  // one reference kept for the life of the process
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

void raise(const CameraError& e) { throw PendingPyError(camera_exception_type(), e.to_string()); }

void raise(const GenicamError& e) {
    if (const CameraError* inner = e.transport_error()) raise(*inner);
    throw PendingPyError(genicam_exception_type(), e.to_string());
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
            PyErr_SetString(e.type(), e.what());
        }
    });
}

}  // namespace oculane::py
