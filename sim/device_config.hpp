#pragma once
// Everything a virtual camera is started with. Fixed for the device's life;
// behaviour that tests change while it runs lives in Faults (device.hpp).

#include <array>
#include <cstdint>
#include <optional>
#include <string>

namespace oculane::sim {

// Ways to spoil the first description-location register so that a client's
// fallback to the second register is exercised. The second register then
// holds the working location.
enum class UrlFault : std::uint8_t {
    None,
    BadText,       // a location text no client recognises
    Http,          // a web location, which clients refuse
    CorruptZip,    // a zip whose deflate data is broken
    TruncatedZip,  // the right address, but a size that cuts the archive short
};

struct DeviceConfig {
    // Identity (the 248-byte block at the start of bootstrap space).
    std::string manufacturer = "oculane";
    std::string model = "VirtualCamera";
    std::string device_version = "1.0.0";
    std::string manufacturer_info = "oculane virtual GigE Vision camera";
    std::string serial = "OCL00000001";
    std::string user_defined_name;
    std::array<std::uint8_t, 6> mac{0x02, 0x0c, 0x0a, 0x00, 0x00, 0x02};
    std::uint32_t ip = 0x7F000002;  // 127.0.0.2
    std::uint32_t subnet_mask = 0xFF000000;
    std::uint32_t gateway = 0;
    std::uint16_t spec_major = 2;
    std::uint16_t spec_minor = 0;

    // Description. Without `description` the device serves its own, and its
    // register space holds exactly the registers that description names.
    // With one, it serves that text instead under `description_name`, and the
    // register space becomes permissive (every address readable, writes
    // remembered) so that any maker's description finds its registers.
    std::optional<std::string> description;
    std::string description_name;  // empty: "oculane-virtual-camera"
    bool serve_zip = true;
    bool tl_params_locked = false;  // put a TLParamsLocked node in our description
    bool second_url = false;        // also put the location in the second URL register
    UrlFault first_url_fault = UrlFault::None;
    // Where the description lives in device memory; default 0x00100000 for our
    // own and 0xE0000000 for a foreign one (clear of the makers' registers).
    std::optional<std::uint32_t> description_address;

    // Behaviour.
    std::uint32_t heartbeat_timeout_ms = 3000;
    // Several register reads or writes in one command. Without it the
    // capability word's concatenation bit is clear and a READREG or WRITEREG
    // is served for its first address only, as by devices that lack it.
    bool concatenation = true;
    // The packet-resend bit of the capability word (resends are served
    // either way; a host that reads the bit clear should not ask).
    bool packet_resend = true;
    std::uint64_t tick_frequency = 1'000'000'000;
    // The timestamp counts from the Unix epoch of the host's real-time clock
    // instead of from power-up, so that cameras on one host share a time base
    // as PTP-synchronised cameras do (PtpEnable reads 1, PtpStatus Slave).
    bool host_clock = false;
    std::uint32_t sensor_width = 1280;
    std::uint32_t sensor_height = 960;
    std::uint32_t width = 640;
    std::uint32_t height = 480;

    // Stream side.
    std::uint32_t stream_channels = 2;  // 1 to kMaxStreamChannels
    bool extended_ids = false;          // initial state of the extended-id switch (0x0954 bit 0x8)
    std::uint32_t path_mtu = 0;         // largest IP datagram that arrives; 0 for no limit
    std::uint64_t link_rate = 0;        // bits per second on the wire; 0 for no limit
    // Frame memory kept for resends, in bytes: the most recent
    // max(1, resend_memory / PayloadSize) frames of each channel are held.
    std::uint64_t resend_memory = 64ull << 20;
    // Data bytes per payload packet rounded down to a multiple of this (1 to
    // 256), as cameras that align their packets do: at packet size 1498, 4
    // gives 1460 and 8 gives 1456 where a host would estimate 1462.
    std::uint32_t packet_data_align = 1;
};

}  // namespace oculane::sim
