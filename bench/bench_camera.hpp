#pragma once
// Starts the virtual camera a benchmark measures against, or says why not.

#include <algorithm>
#include <cstdio>
#include <memory>
#include <optional>

#include "gige/gige_camera.hpp"
#include "sim/device.hpp"
#include "sim/feature_registers.hpp"
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

// A virtual camera and a transport connected to it, for the stream benchmarks.
struct Sim {
    RunningCamera cam;
    std::unique_ptr<gige::GigECamera> transport;
    std::uint32_t ip = 0;

    const gige::ControlPort& port() const { return transport->connection()->port(); }
    void write(std::uint32_t address, std::uint32_t value) const {
        if (!port().write_register(address, value).wait_owned(port().wait()))
            std::fprintf(stderr, "register %#x not written\n", address);
    }
    void start() const { write(sim::reg::kAcquisitionStart, 1); }
    void stop() const { write(sim::reg::kAcquisitionStop, 1); }
    std::uint64_t payload() const { return cam.device->payload_size(); }
};

// Frames of width x height back to back (the link rate paces them).
inline std::optional<Sim> start_sim(std::uint32_t ip, std::uint32_t width, std::uint32_t height, bool gso = true) {
    sim::DeviceConfig cfg;
    cfg.ip = ip;
    cfg.sensor_width = std::max<std::uint32_t>(width, 1280);
    cfg.sensor_height = std::max<std::uint32_t>(height, 960);
    cfg.width = width;
    cfg.height = height;
    auto cam = start_camera(cfg, gso);
    if (!cam) return std::nullopt;
    gige::GigESettings s;
    s.device = gige::IpAddress::v4(ip);
    auto transport = std::make_unique<gige::GigECamera>(s);
    if (auto c = transport->connect(); !c) {
        std::fprintf(stderr, "connect: %s\n", c.error().to_string().c_str());
        return std::nullopt;
    }
    Sim out{std::move(*cam), std::move(transport), ip};
    out.write(sim::reg::kAcquisitionFrameRateEnable, 0);  // frames back to back; the link rate paces
    return out;
}

}  // namespace oculane::bench
