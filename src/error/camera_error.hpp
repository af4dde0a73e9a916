#pragma once
// Transport errors: sockets, the GVCP control channel, the control privilege,
// packet validation and worker start-up. Errors are values: every transport
// operation returns CameraResult<T>.

#include <cstdint>
#include <expected>
#include <memory>
#include <string>
#include <type_traits>
#include <variant>

#include <fmt/format.h>

#include "error/gvcp_status.hpp"

namespace oculane {

namespace camera_error {
// An operating-system I/O failure: an errno value, a message made at the
// failure site, or both (the message wins in the display text).
struct Io {
    int os_error = 0;
    std::string message;
};
struct ConnectTimeout {};
struct NotConnected {};
struct AckTimeout {};
struct AccessDenied {};
struct ControlLost {};
struct DeviceStatus {
    std::uint16_t command = 0;
    GvcpStatus status;
};
struct Malformed {
    std::string text;
};
// Always a string literal; never owned.
struct Unsupported {
    const char* text = "";
};
struct WorkerStart {
    std::string text;
};
}  // namespace camera_error

class CameraError {
public:
    // The variant index is the error's tag (0 to 9).
    using Variant = std::variant<camera_error::Io, camera_error::ConnectTimeout,
                                 camera_error::NotConnected, camera_error::AckTimeout,
                                 camera_error::AccessDenied, camera_error::ControlLost,
                                 camera_error::DeviceStatus, camera_error::Malformed,
                                 camera_error::Unsupported, camera_error::WorkerStart>;

    enum class Kind : std::uint8_t {
        Io,
        ConnectTimeout,
        NotConnected,
        AckTimeout,
        AccessDenied,
        ControlLost,
        DeviceStatus,
        Malformed,
        Unsupported,
        WorkerStart,
    };

    // Any alternative converts implicitly, so `return camera_error::AckTimeout{};` works.
    template <class T>
        requires std::is_constructible_v<Variant, T&&> && (!std::is_same_v<std::decay_t<T>, CameraError>)
    CameraError(T&& alternative) : v_(std::forward<T>(alternative)) {}  // NOLINT: implicit by design

    static CameraError io_errno(int os_error) { return camera_error::Io{os_error, {}}; }
    static CameraError io(std::string message, int os_error = 0) {
        return camera_error::Io{os_error, std::move(message)};
    }
    static CameraError connect_timeout() { return camera_error::ConnectTimeout{}; }
    static CameraError not_connected() { return camera_error::NotConnected{}; }
    static CameraError ack_timeout() { return camera_error::AckTimeout{}; }
    static CameraError access_denied() { return camera_error::AccessDenied{}; }
    static CameraError control_lost() { return camera_error::ControlLost{}; }
    static CameraError device_status(std::uint16_t command, std::uint16_t status) {
        return camera_error::DeviceStatus{command, GvcpStatus{status}};
    }
    static CameraError malformed(std::string text) { return camera_error::Malformed{std::move(text)}; }
    static CameraError unsupported(const char* literal) { return camera_error::Unsupported{literal}; }
    static CameraError worker_start(std::string text) { return camera_error::WorkerStart{std::move(text)}; }

    Kind kind() const { return static_cast<Kind>(v_.index()); }
    template <class T>
    bool is() const { return std::holds_alternative<T>(v_); }
    template <class T>
    const T* get_if() const { return std::get_if<T>(&v_); }
    const Variant& variant() const { return v_; }

    // The display text, e.g. "device answered command 0x0082 with write protect (0x8004)".
    std::string to_string() const;
    // The variant's name, e.g. "AckTimeout": what programs branch on.
    const char* kind_name() const;

private:
    Variant v_;
};

template <class T>
using CameraResult = std::expected<T, CameraError>;

// Errors a worker delivers through a response handle travel shared: the handle
// keeps its result while the waiting caller receives its own reference.
using SharedCameraError = std::shared_ptr<const CameraError>;

// Shared to owned: a copy of every field, the texts included, so the variant
// and its display text survive whether or not others still share the error.
CameraError unwrap_arc(SharedCameraError err);

}  // namespace oculane

template <>
struct fmt::formatter<oculane::CameraError> : fmt::formatter<std::string> {
    auto format(const oculane::CameraError& e, format_context& ctx) const {
        return fmt::formatter<std::string>::format(e.to_string(), ctx);
    }
};
