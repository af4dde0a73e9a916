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

inline std::optional<RunningCamera> start_camera(const sim::DeviceConfig& cfg) {
    auto device = std::make_shared<sim::Device>(cfg);
    auto server = sim::Server::start(device, sim::ServerOptions{.ip = cfg.ip, .port = 3956, .gso = true});
    if (!server) {
        std::fprintf(stderr, "virtual camera: %s\n", server.error().c_str());
        return std::nullopt;
    }
    return RunningCamera{std::move(device), std::move(*server)};
}

}  // namespace oculane::bench
