#pragma once
// The GigE Vision bootstrap registers and memory areas this library touches.
// Addresses are device byte addresses; registers are 32 bits wide.

#include <cstdint>

namespace oculane::bootstrap {

// Identity block: the first kDiscoveryDataSize bytes of bootstrap space, which
// a device also sends as its discovery acknowledge payload.
inline constexpr std::uint32_t kVersion = 0x0000;            // major << 16 | minor
inline constexpr std::uint32_t kDeviceMode = 0x0004;
inline constexpr std::uint32_t kMacHigh = 0x0008;            // upper 2 MAC bytes in the low 16 bits
inline constexpr std::uint32_t kMacLow = 0x000C;             // lower 4 MAC bytes
inline constexpr std::uint32_t kIpConfigOptions = 0x0010;
inline constexpr std::uint32_t kIpConfigCurrent = 0x0014;
inline constexpr std::uint32_t kCurrentIp = 0x0024;
inline constexpr std::uint32_t kCurrentSubnetMask = 0x0034;
inline constexpr std::uint32_t kCurrentGateway = 0x0044;

// Zero-padded text fields of the identity block, read with READMEM.
struct StringArea {
    std::uint32_t address;
    std::uint32_t size;
};
inline constexpr StringArea kManufacturerName{0x0048, 32};
inline constexpr StringArea kModelName{0x0068, 32};
inline constexpr StringArea kDeviceVersion{0x0088, 32};
inline constexpr StringArea kManufacturerInfo{0x00A8, 48};
inline constexpr StringArea kSerialNumber{0x00D8, 16};
inline constexpr StringArea kUserDefinedName{0x00E8, 16};

inline constexpr std::uint32_t kDiscoveryDataSize = 248;

// Description-file locations, tried in this order.
inline constexpr StringArea kFirstUrl{0x0200, 512};
inline constexpr StringArea kSecondUrl{0x0400, 512};

inline constexpr std::uint32_t kGvcpCapability = 0x0934;
// Capability bit: the device answers PACKETRESEND.
inline constexpr std::uint32_t kCapabilityPacketResend = 0x00000004;
// Its least significant bit: several register reads or writes may share one
// command. A device without it answers a list with one value or refuses it.
inline constexpr std::uint32_t kCapConcatenation = 0x00000001;
inline constexpr std::uint32_t kHeartbeatTimeout = 0x0938;  // milliseconds
// Read together in one command: upper then lower 32 bits.
inline constexpr std::uint32_t kTimestampTickFrequencyHigh = 0x093C;
inline constexpr std::uint32_t kTimestampTickFrequencyLow = 0x0940;

// Control channel privilege.
// Message channel: where the device sends its events, how long it waits for
// each acknowledge (milliseconds) and how often it sends an event again.
inline constexpr std::uint32_t kMessageChannelPort = 0x0B00;
inline constexpr std::uint32_t kMessageChannelDestination = 0x0B10;
inline constexpr std::uint32_t kMessageChannelTimeout = 0x0B14;
inline constexpr std::uint32_t kMessageChannelRetries = 0x0B18;

inline constexpr std::uint32_t kCcp = 0x0A00;
inline constexpr std::uint32_t kCcpExclusive = 0x1;
inline constexpr std::uint32_t kCcpControl = 0x2;

// Stream channel registers, one 0x40-byte block per channel.
inline constexpr std::uint32_t kStreamChannelStride = 0x40;
constexpr std::uint32_t stream_channel_port(std::uint32_t ch) { return 0x0D00 + kStreamChannelStride * ch; }
constexpr std::uint32_t stream_channel_packet_size(std::uint32_t ch) {
    return 0x0D04 + kStreamChannelStride * ch;
}
constexpr std::uint32_t stream_channel_packet_delay(std::uint32_t ch) {
    return 0x0D08 + kStreamChannelStride * ch;
}
constexpr std::uint32_t stream_channel_destination(std::uint32_t ch) {
    return 0x0D18 + kStreamChannelStride * ch;
}

}  // namespace oculane::bootstrap
