#pragma once
// A virtual camera served on loopback for one test. A server that cannot
// start is recorded as a test failure and leaves `server` empty, so a fixture
// built on this checks `server` before connecting.

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "gige/proto/gvcp.hpp"
#include "sim/device.hpp"
#include "sim/server.hpp"

namespace oculane::test {

struct ServedDevice {
    explicit ServedDevice(const sim::DeviceConfig& cfg) : device(std::make_shared<sim::Device>(cfg)) {
        auto started = sim::Server::start(device, sim::ServerOptions{.ip = cfg.ip, .port = 3956});
        if (!started) ADD_FAILURE() << started.error();
        else server = std::move(*started);
    }

    std::uint32_t ip() const { return device->config().ip; }

    // Register writes the camera received, in order, as (address, value).
    std::vector<std::pair<std::uint32_t, std::uint32_t>> register_writes() const {
        std::vector<std::pair<std::uint32_t, std::uint32_t>> out;
        for (const auto& c : device->command_log())
            if (c.command == static_cast<std::uint16_t>(gvcp::Command::WriteReg))
                for (std::size_t i = 0; i < c.addresses.size() && i < c.values.size(); ++i)
                    out.emplace_back(c.addresses[i], c.values[i]);
        return out;
    }

    std::shared_ptr<sim::Device> device;
    std::unique_ptr<sim::Server> server;
};

// The configuration with the camera's address set.
inline sim::DeviceConfig at_address(sim::DeviceConfig cfg, std::uint32_t ip) {
    cfg.ip = ip;
    return cfg;
}

}  // namespace oculane::test
