#pragma once
// PortIo over a connected camera's control port, so the feature model reaches
// device registers through the control worker.

#include "genicam/port.hpp"
#include "gige/control_port.hpp"

namespace oculane {

class ControlPortIo final : public PortIo {
public:
    explicit ControlPortIo(gige::ControlPort port) : port_(std::move(port)) {}

    CameraResult<void> read(std::uint64_t address, std::span<std::uint8_t> destination) override {
        return port_.read(address, destination);
    }
    CameraResult<void> write(std::uint64_t address, std::span<const std::uint8_t> source) override {
        return port_.write(address, source);
    }

    const gige::ControlPort& port() const { return port_; }

private:
    gige::ControlPort port_;
};

}  // namespace oculane
