#include "error/camera_error.hpp"

#include <iterator>

#include "util/os_error.hpp"
#include "util/overload.hpp"

namespace oculane {

std::string CameraError::to_string() const {
    using namespace camera_error;
    return std::visit(
        Overload{
            [](const Io& e) {
                if (!e.message.empty()) return fmt::format("io error: {}", e.message);
                return fmt::format("io error: {}", os_error_text(e.os_error));
            },
            [](const ConnectTimeout&) { return std::string("connect timed out"); },
            [](const NotConnected&) { return std::string("driver is not connected"); },
            [](const AckTimeout&) { return std::string("timed out waiting for acknowledge"); },
            [](const AccessDenied&) {
                return std::string("device control is held by another application");
            },
            [](const ControlLost&) {
                return std::string("device control was lost (heartbeat failed)");
            },
            [](const DeviceStatus& e) {
                return fmt::format("device answered command 0x{:04x} with {}", e.command, e.status);
            },
            [](const Malformed& e) { return fmt::format("malformed packet: {}", e.text); },
            [](const Unsupported& e) { return fmt::format("device does not support {}", e.text); },
            [](const WorkerStart& e) {
                return fmt::format("worker thread failed to start: {}", e.text);
            },
        },
        v_);
}

const char* CameraError::kind_name() const {
    static constexpr const char* kNames[] = {"Io",           "ConnectTimeout", "NotConnected", "AckTimeout",
                                             "AccessDenied", "ControlLost",    "DeviceStatus", "Malformed",
                                             "Unsupported",  "WorkerStart"};
    static_assert(std::size(kNames) == std::variant_size_v<Variant>);
    return kNames[v_.index()];
}

CameraError unwrap_arc(SharedCameraError err) {
    // Copying serves both the sole-owner and the still-shared case: every field,
    // free texts included, comes out unchanged, and the shared value may have
    // been created const, so moving out of it is not allowed.
    return *err;
}

}  // namespace oculane
