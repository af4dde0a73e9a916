// The device's register map: the bootstrap and feature registers it holds,
// the values derived from them, and what writing each one does.

#include "sim/device.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <stdexcept>

#include <fmt/format.h>

#include "error/gvcp_status.hpp"
#include "gige/proto/bootstrap.hpp"
#include "gige/proto/bytes.hpp"
#include "gige/proto/device_info.hpp"
#include "gige/proto/gvcp.hpp"
#include "sim/device_internal.hpp"
#include "sim/feature_registers.hpp"
#include "sim/stream_types.hpp"

namespace oculane::sim {

using namespace detail;
using gvcp::Ack;
using gvcp::Command;

// ---- construction -----------------------------------------------------------

void Device::build_register_map() {
    auto& s = space_;
    // Identity block: read-only but for the user-defined name.
    s.map(0x0000, bs::kUserDefinedName.address, Access::ReadOnly, "identity");
    s.map(bs::kUserDefinedName.address, bs::kUserDefinedName.size, Access::ReadWrite, "user-defined name");
    s.map(bs::kFirstUrl.address, bs::kFirstUrl.size, Access::ReadOnly, "first URL");
    s.map(bs::kSecondUrl.address, bs::kSecondUrl.size, Access::ReadOnly, "second URL");
    s.map(reg::kNumberOfInterfaces, 4, Access::ReadOnly, "number of interfaces");
    s.map(reg::kPersistentIp, 4, Access::ReadWrite, "persistent IP");
    s.map(reg::kPersistentSubnetMask, 4, Access::ReadWrite, "persistent subnet mask");
    s.map(reg::kPersistentGateway, 4, Access::ReadWrite, "persistent gateway");
    s.map(reg::kNumberOfMessageChannels, 8, Access::ReadOnly, "channel counts");
    s.map(reg::kNumberOfActionSignals, 4, Access::ReadOnly, "number of action signals");
    s.map(reg::kActionDeviceKey, 4, Access::ReadWrite, "action device key");
    for (std::uint32_t i = 0; i < reg::kActionSignals; ++i)
        s.map(reg::kActionGroupKey + i * reg::kActionGroupStride, 8, Access::ReadWrite,
              fmt::format("action group key and mask {}", i));
    s.map(bs::kGvcpCapability, 4, Access::ReadOnly, "GVCP capability");
    s.map(bs::kHeartbeatTimeout, 4, Access::ReadWrite, "heartbeat timeout");
    s.map(bs::kTimestampTickFrequencyHigh, 8, Access::ReadOnly, "timestamp tick frequency");
    s.map(reg::kTimestampControl, 4, Access::ReadWrite, "timestamp control");
    s.map(reg::kTimestampValueHigh, 8, Access::ReadOnly, "timestamp value");
    s.map(reg::kGvcpConfiguration, 4, Access::ReadWrite, "GVCP configuration");
    s.map(bs::kCcp, 4, Access::ReadWrite, "CCP");
    s.map(reg::kMessageChannelPort, 4, Access::ReadWrite, "message channel port");
    s.map(reg::kMessageChannelDestination, 12, Access::ReadWrite, "message channel settings");
    for (std::uint32_t ch = 0; ch < config_.stream_channels; ++ch) {
        const std::uint32_t base = bs::stream_channel_port(ch);
        s.map(base, 12, Access::ReadWrite, fmt::format("stream channel {}", ch));
        s.map(bs::stream_channel_destination(ch), 4, Access::ReadWrite, fmt::format("stream channel {} destination", ch));
        s.map(base + reg::kStreamChannelSourcePort - 0x0D00, 8, Access::ReadOnly,
              fmt::format("stream channel {} source port, capability", ch));
        s.map(base + reg::kStreamChannelConfiguration - 0x0D00, 4, Access::ReadWrite,
              fmt::format("stream channel {} configuration", ch));
    }

    DeviceInfo info;
    info.spec_major = config_.spec_major;
    info.spec_minor = config_.spec_minor;
    info.device_mode = 0x80000001;  // big-endian registers, UTF-8 strings, transmitter
    info.mac = config_.mac;
    info.ip_config_options = 0x00000007;  // persistent IP, DHCP, link-local
    info.ip_config_current = 0x00000005;  // persistent IP, link-local always on
    info.ip = config_.ip;
    info.subnet_mask = config_.subnet_mask;
    info.gateway = config_.gateway;
    info.manufacturer = config_.manufacturer;
    info.model = config_.model;
    info.device_version = config_.device_version;
    info.manufacturer_info = config_.manufacturer_info;
    info.serial = config_.serial;
    info.user_defined_name = config_.user_defined_name;
    const auto block = info.encode();
    s.write_bytes(0, block);

    s.set(reg::kNumberOfInterfaces, 1);
    s.set(reg::kPersistentIp, config_.ip);
    s.set(reg::kPersistentSubnetMask, config_.subnet_mask);
    s.set(reg::kPersistentGateway, config_.gateway);
    s.set(reg::kNumberOfMessageChannels, 1);
    std::uint32_t capability = reg::kCapUserDefinedName | reg::kCapSerialNumber | reg::kCapHeartbeatDisable |
                               reg::kCapPendingAck | reg::kCapEventData | reg::kCapEvent | reg::kCapWriteMem |
                               reg::kCapAction | reg::kCapScheduledAction;
    if (config_.concatenation) capability |= reg::kCapConcatenation;
    if (config_.packet_resend) capability |= reg::kCapPacketResend;
    s.set(bs::kGvcpCapability, capability);
    s.set(bs::kHeartbeatTimeout, config_.heartbeat_timeout_ms);
    s.set(bs::kTimestampTickFrequencyHigh, static_cast<std::uint32_t>(config_.tick_frequency >> 32));
    s.set(bs::kTimestampTickFrequencyLow, static_cast<std::uint32_t>(config_.tick_frequency));
    s.set(reg::kMessageChannelTimeout, 300);
    s.set(reg::kMessageChannelRetries, 3);
    s.set(reg::kNumberOfStreamChannels, config_.stream_channels);
    s.set(reg::kNumberOfActionSignals, reg::kActionSignals);
    if (config_.extended_ids) s.set(reg::kGvcpConfiguration, reg::kGvcpConfigExtendedIds);
    for (std::uint32_t ch = 0; ch < config_.stream_channels; ++ch) {
        s.set(bs::stream_channel_packet_size(ch), 1500);
        // Big-endian pixel data supported (the top bit); no IP reassembly, no
        // extended chunk data, no multi-zone.
        s.set(bs::stream_channel_port(ch) + reg::kStreamChannelCapability - 0x0D00, 0x80000000);
    }

    if (!own_description_) return;

    s.map(reg::kSensorWidth, 0x5C, Access::ReadWrite, "image format");  // 0x10000..0x1005B
    s.map(reg::kDeviceTemperature, 8, Access::ReadWrite, "temperature, TLParamsLocked");
    s.map(reg::kGain, 0x18, Access::ReadWrite, "analog");  // gain .. frame rate
    s.map(reg::kLutIndex, 4, Access::ReadWrite, "LUT index");
    s.map(reg::kChunkModeActive, 8, Access::ReadWrite, "chunk mode, frame rate enable");
    s.map(reg::kTestEventGenerate, 4, Access::ReadWrite, "test event");
    s.map(reg::kLutTable, reg::kLutEntries * 4, Access::ReadWrite, "LUT");
    s.map(reg::kUserData, reg::kUserDataSize, Access::ReadWrite, "user data");
    build_chunk_event_registers();
    s.map(reg::kTriggerSelector, reg::kTriggerRegistersEnd - reg::kTriggerSelector, Access::ReadWrite,
          "triggers, action selector, PTP status");
    s.set(reg::kPtpEnable, config_.host_clock ? 1 : 0);
    s.set(reg::kPtpStatus, config_.host_clock ? reg::kPtpSlave : reg::kPtpDisabled);

    s.set(reg::kSensorWidth, config_.sensor_width);
    s.set(reg::kSensorHeight, config_.sensor_height);
    s.set(reg::kWidth, config_.width);
    s.set(reg::kHeight, config_.height);
    s.set(reg::kPixelFormat, reg::kMono8);
    s.set(reg::kWidthMin, kMinWidth);
    s.set(reg::kWidthInc, kWidthInc);
    s.set(reg::kHeightMin, kMinHeight);
    s.set(reg::kHeightInc, kHeightInc);
    s.set(reg::kAcquisitionFrameCount, 1);
    s.set(reg::kAcquisitionFrameRateEnable, 1);
    s.set(reg::kExposureClock, 10'000'000);  // 10 MHz exposure clock
    s.set(reg::kExposureTicks, 100'000);     // 10 ms
    // Bit numbers in the description count from the most significant bit:
    // ReverseX is bit 0 here, ReverseY bit 1, the binning field bits 8..11 and
    // the sensor revision the top byte.
    s.set(reg::kImageFormatFlags, 0x03000100);  // binning 1, sensor revision 3
    s.set(reg::kGain, std::bit_cast<std::uint32_t>(0.0f));
    // The little-endian registers hold their bytes in reverse order.
    s.set(reg::kBlackLevel, std::byteswap(std::bit_cast<std::uint32_t>(1.5f)));
    const auto gamma = std::byteswap(std::bit_cast<std::uint64_t>(1.0));
    s.set(reg::kGamma, static_cast<std::uint32_t>(gamma >> 32));
    s.set(reg::kGamma + 4, static_cast<std::uint32_t>(gamma));
    const auto rate = std::bit_cast<std::uint64_t>(30.0);
    s.set(reg::kAcquisitionFrameRate, static_cast<std::uint32_t>(rate >> 32));
    s.set(reg::kAcquisitionFrameRate + 4, static_cast<std::uint32_t>(rate));
    s.set(reg::kDeviceTemperature, 0x9F010000);  // 415 little-endian: 41.5 degrees
    for (std::uint32_t i = 0; i < reg::kLutEntries; ++i) s.set(reg::kLutTable + 4 * i, i * 16);
}

void Device::recompute_image_registers() {
    if (!own_description_) return;
    auto& s = space_;
    s.set(reg::kWidthMax, s.get(reg::kSensorWidth) - s.get(reg::kOffsetX));
    s.set(reg::kHeightMax, s.get(reg::kSensorHeight) - s.get(reg::kOffsetY));
    // Packed formats make a frame a whole number of bytes only as a whole.
    const std::uint64_t trailer = chunk_trailer_bytes();
    const std::uint64_t payload =
        (std::uint64_t{s.get(reg::kWidth)} * s.get(reg::kHeight) * bits_per_pixel(s.get(reg::kPixelFormat)) + 7) /
            8 +
        trailer;
    s.set(reg::kPayloadSize, static_cast<std::uint32_t>(payload));
    s.set(reg::kChunkTrailerBytes, static_cast<std::uint32_t>(trailer));
    s.set(reg::kAcquisitionStatus, acquiring_ ? 1 : 0);
}

// ---- word access ----------------------------------------------------------

std::uint16_t Device::read_word(std::uint32_t address, Endpoint from, std::uint32_t& value) const {
    if (address % 4 != 0) return GvcpStatus::kBadAlignment;
    if (exclusive_elsewhere(from)) return GvcpStatus::kAccessDenied;
    if (auto st = space_.check_read(address); st != kOk) return st;
    if (address == bs::kCcp) {
        // Each application sees its own privilege: the holder its bits, others 0.
        value = is_controller(from) ? controller_->ccp : 0;
        return kOk;
    }
    value = space_.get(address);
    return kOk;
}

std::uint16_t Device::write_word(std::uint32_t address, std::uint32_t value, Endpoint from,
                                 Clock::time_point now) {
    if (address % 4 != 0) return GvcpStatus::kBadAlignment;
    // Taking the privilege is the one write allowed without holding it.
    const bool ccp = address == bs::kCcp;
    if (controller_ ? !is_controller(from) : !ccp) return GvcpStatus::kAccessDenied;
    if (auto st = space_.check_write(address); st != kOk) return st;
    return apply_write(address, value, from, now);
}

std::uint16_t Device::apply_write(std::uint32_t address, std::uint32_t value, Endpoint from,
                                  Clock::time_point now) {
    auto& s = space_;
    switch (address) {
        case bs::kCcp: {
            const std::uint32_t bits = value & (bs::kCcpExclusive | bs::kCcpControl);
            if (bits == 0) {
                end_control();
            } else {
                // Exclusive access implies control access.
                const std::uint32_t ccp = bits | bs::kCcpControl;
                if (!controller_) ++counters_.control_granted;
                controller_ = Controller{from, ccp, false};
                last_heard_ = now;
            }
            return kOk;
        }
        case reg::kGvcpConfiguration:
            s.set(address, value & (reg::kGvcpConfigHeartbeatDisable | reg::kGvcpConfigExtendedIds));
            return kOk;
        case bs::kHeartbeatTimeout:
            if (value == 0) return GvcpStatus::kInvalidParameter;
            s.set(address, value);
            return kOk;
        case reg::kActionDeviceKey:
            // Write-only in effect: kept apart so that reads give 0.
            action_device_key_ = value;
            return kOk;
        case reg::kTimestampControl:
            if (value & 0x1) timestamp_origin_ = now;
            if (value & 0x2) {
                const std::uint64_t ts = timestamp_ticks_unlocked(now);
                s.set(reg::kTimestampValueHigh, static_cast<std::uint32_t>(ts >> 32));
                s.set(reg::kTimestampValueLow, static_cast<std::uint32_t>(ts));
            }
            return kOk;  // self-clearing
        default: break;
    }
    if (is_stream_register(address)) return write_stream_register(address, value, now);
    if (is_trigger_register(address)) return write_trigger_register(address, value, now);
    if (!own_description_) {
        s.set(address, value);
        return kOk;
    }
    // While the transport-layer parameters are locked, what shapes the
    // payload stays as it is (the host locks them before it starts).
    if (s.get(reg::kTLParamsLocked) & 1) {
        switch (address) {
            case reg::kWidth:
            case reg::kHeight:
            case reg::kOffsetX:
            case reg::kOffsetY:
            case reg::kPixelFormat:
            case reg::kImageFormatFlags:
            case reg::kChunkModeActive:
                return GvcpStatus::kWriteProtect;
            default: break;
        }
    }
    if (auto st = write_chunk_event_register(address, value, now)) return *st;
    switch (address) {
        case reg::kWidth:
            if (value < s.get(reg::kWidthMin) || value % s.get(reg::kWidthInc) != 0 ||
                value > s.get(reg::kSensorWidth) - s.get(reg::kOffsetX))
                return GvcpStatus::kInvalidParameter;
            break;
        case reg::kHeight:
            if (value < s.get(reg::kHeightMin) || value % s.get(reg::kHeightInc) != 0 ||
                value > s.get(reg::kSensorHeight) - s.get(reg::kOffsetY))
                return GvcpStatus::kInvalidParameter;
            break;
        case reg::kOffsetX:
            if (value % 4 != 0 || value > s.get(reg::kSensorWidth) - s.get(reg::kWidth))
                return GvcpStatus::kInvalidParameter;
            break;
        case reg::kOffsetY:
            if (value % 2 != 0 || value > s.get(reg::kSensorHeight) - s.get(reg::kHeight))
                return GvcpStatus::kInvalidParameter;
            break;
        case reg::kPixelFormat:
            if (!known_pixel_format(value)) return GvcpStatus::kInvalidParameter;
            break;
        case reg::kAcquisitionMode:
            if (value > 2) return GvcpStatus::kInvalidParameter;
            break;
        case reg::kAcquisitionStart:
            if (value != 0) arm_or_start_acquisition(now);
            return kOk;  // a command register reads back 0
        case reg::kAcquisitionStop:
            if (value != 0) {
                set_acquiring(false);
                clear_triggers();
            }
            return kOk;
        case reg::kAcquisitionFrameCount:
            if (value == 0 || value > 65535) return GvcpStatus::kInvalidParameter;
            break;
        case reg::kTLParamsLocked:
        case reg::kChunkModeActive:
        case reg::kAcquisitionFrameRateEnable:
            value &= 1;
            break;
        case reg::kTestEventGenerate:
            if (value != 0) raise_event(EventKind::Test, {}, 0xFFFF, 0, now);
            return kOk;
        case reg::kLutIndex:
            if (value >= reg::kLutEntries) return GvcpStatus::kInvalidParameter;
            break;
        case reg::kImageFormatFlags:
            // The sensor revision in the top byte is fixed.
            value = (value & 0x00FFFFFFu) | (s.get(address) & 0xFF000000u);
            break;
        case reg::kSensorWidth:
        case reg::kSensorHeight:
        case reg::kWidthMax:
        case reg::kHeightMax:
        case reg::kPayloadSize:
        case reg::kWidthMin:
        case reg::kWidthInc:
        case reg::kHeightMin:
        case reg::kHeightInc:
        case reg::kAcquisitionStatus:
        case reg::kExposureClock:
        case reg::kDeviceTemperature:
            return GvcpStatus::kWriteProtect;
        default: break;
    }
    s.set(address, value);
    recompute_image_registers();
    return kOk;
}

std::optional<std::uint16_t> Device::injected_status(std::uint32_t first, std::uint32_t size) const {
    for (const auto& [addr, status] : faults_.address_status)
        if (addr >= first && addr - first < std::max<std::uint32_t>(size, 1)) return status;
    return std::nullopt;
}

}  // namespace oculane::sim
