#pragma once
// The byte-level device access through which the feature model reaches
// registers. Implemented over the control port for a connected camera, and by
// in-memory doubles in tests.

#include <cstdint>
#include <span>

#include "error/camera_error.hpp"

namespace oculane {

class PortIo {
public:
    virtual ~PortIo() = default;

    // Fills `destination` completely with the bytes at `address` (device order:
    // big-endian for register values).
    virtual CameraResult<void> read(std::uint64_t address, std::span<std::uint8_t> destination) = 0;
    // Writes `source` at `address`.
    virtual CameraResult<void> write(std::uint64_t address, std::span<const std::uint8_t> source) = 0;
};

}  // namespace oculane
