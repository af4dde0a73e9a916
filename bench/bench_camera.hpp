#pragma once
// Starts the virtual camera a benchmark measures against, or says why not.

#include <cstdio>
#include <memory>
#include <optional>

#include "sim/device.hpp"
#include "sim/server.hpp"

namespace oculane::bench {

struct RunningCamera {
    std::shared_ptr<sim::Device> device;
    std::unique_ptr<sim::Server> server;
};

// `gso` hands the kernel runs of equal datagrams to segment (cheaper for the
// sender; loopback then delivers them as coalesced runs); without it the
// camera sends one datagram per packet, as real cameras do.
inline std::optional<RunningCamera> start_camera(const sim::DeviceConfig& cfg, bool gso = true) {
    auto device = std::make_shared<sim::Device>(cfg);
    auto server = sim::Server::start(device, sim::ServerOptions{.ip = cfg.ip, .port = 3956, .gso = gso});
    if (!server) {
        std::fprintf(stderr, "virtual camera: %s\n", server.error().c_str());
        return std::nullopt;
    }
    return RunningCamera{std::move(device), std::move(*server)};
}

}  // namespace oculane::bench
