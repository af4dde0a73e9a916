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
#include "sim/description_xml.hpp"
#include "sim/feature_registers.hpp"
#include "sim/zip_archive.hpp"

namespace oculane::sim {
namespace {

namespace bs = oculane::bootstrap;
using gvcp::Ack;
using gvcp::Command;

constexpr std::uint16_t kOk = GvcpStatus::kSuccess;
// The largest command payload: a 576-byte datagram less the IP, UDP and GVCP
// headers (20 + 8 + 8 bytes). WRITEREG uses whole address-value pairs of it,
// an event command keeps 16 bytes of it for its own fields.
constexpr std::size_t kMaxPayload = 540;
constexpr std::size_t kMaxWriteRegPayload = kMaxPayload - kMaxPayload % 8;
constexpr std::size_t kEventFieldsSize = 16;
constexpr std::uint32_t kOwnDescriptionAddress = 0x00100000;
constexpr std::uint32_t kForeignDescriptionAddress = 0xE0000000;
constexpr std::string_view kDefaultName = "oculane-virtual-camera";
// Image size limits the description advertises through WidthMin/WidthInc and
// HeightMin/HeightInc. The sensor side cap keeps PayloadSize (RGB8, three
// bytes a pixel) inside its 32-bit register.
constexpr std::uint32_t kMinWidth = 16, kWidthInc = 4, kMinHeight = 16, kHeightInc = 2;
constexpr std::uint32_t kMaxSensorSide = 16384;
constexpr std::string_view kTLParamsLockedMarker = "<!--@TLPARAMSLOCKED@-->";
constexpr std::string_view kTLParamsLockedNodes = R"(<Integer Name="TLParamsLocked" NameSpace="Standard">
      <ToolTip>Locks the transport-layer parameters while an acquisition runs.</ToolTip>
      <Visibility>Invisible</Visibility>
      <pValue>TLParamsLockedReg</pValue>
      <Min>0</Min>
      <Max>1</Max>
    </Integer>
    <IntReg Name="TLParamsLockedReg">
      <Address>0x1007C</Address>
      <Length>4</Length>
      <AccessMode>RW</AccessMode>
      <pPort>Device</pPort>
      <Endianess>BigEndian</Endianess>
    </IntReg>)";

std::uint32_t bits_per_pixel(std::uint32_t pixel_format) { return (pixel_format >> 16) & 0xFF; }

bool known_pixel_format(std::uint32_t v) {
    for (auto f : {reg::kMono8, reg::kMono10, reg::kMono12, reg::kMono16, reg::kBayerRG8, reg::kRGB8})
        if (v == f) return true;
    return false;
}

// Appends a big-endian word, as every register value travels.
void append_be32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(v >> shift));
}

std::uint32_t round_up4(std::size_t n) { return static_cast<std::uint32_t>((n + 3) & ~std::size_t{3}); }

bool applies(const std::vector<std::uint16_t>& commands, std::uint16_t command) {
    if (commands.empty()) return command != gvcp::code(Command::Discovery);
    return std::find(commands.begin(), commands.end(), command) != commands.end();
}

// A configuration the device could not honour is refused whole, naming the
// option, rather than served in a state no real camera would be in (a width
// beyond the sensor, a serial cut short in the identity block).
void validate(const DeviceConfig& c) {
    auto fail = [](std::string text) { throw std::invalid_argument(std::move(text)); };
    const struct {
        const char* name;
        const std::string& text;
        bs::StringArea area;
    } texts[] = {
        {"manufacturer", c.manufacturer, bs::kManufacturerName},
        {"model", c.model, bs::kModelName},
        {"device_version", c.device_version, bs::kDeviceVersion},
        {"manufacturer_info", c.manufacturer_info, bs::kManufacturerInfo},
        {"serial", c.serial, bs::kSerialNumber},
        {"user_defined_name", c.user_defined_name, bs::kUserDefinedName},
    };
    for (const auto& t : texts)
        if (t.text.size() > t.area.size)
            fail(fmt::format("{} '{}' is longer than the {} bytes its field holds", t.name, t.text, t.area.size));
    if (c.heartbeat_timeout_ms == 0) fail("heartbeat_timeout_ms must be at least 1");
    if (c.tick_frequency == 0) fail("tick_frequency must be at least 1");
    if (c.sensor_width < kMinWidth || c.sensor_width > kMaxSensorSide || c.sensor_width % kWidthInc != 0)
        fail(fmt::format("sensor_width must be a multiple of {} from {} to {}", kWidthInc, kMinWidth,
                         kMaxSensorSide));
    if (c.sensor_height < kMinHeight || c.sensor_height > kMaxSensorSide || c.sensor_height % kHeightInc != 0)
        fail(fmt::format("sensor_height must be a multiple of {} from {} to {}", kHeightInc, kMinHeight,
                         kMaxSensorSide));
    if (c.width < kMinWidth || c.width > c.sensor_width || c.width % kWidthInc != 0)
        fail(fmt::format("width must be a multiple of {} from {} to sensor_width ({})", kWidthInc, kMinWidth,
                         c.sensor_width));
    if (c.height < kMinHeight || c.height > c.sensor_height || c.height % kHeightInc != 0)
        fail(fmt::format("height must be a multiple of {} from {} to sensor_height ({})", kHeightInc, kMinHeight,
                         c.sensor_height));
}

}  // namespace

Device::Device(DeviceConfig config, Clock::time_point start)
    : config_((validate(config), std::move(config))), start_(start), timestamp_origin_(start) {
    own_description_ = !config_.description.has_value();
    space_.set_permissive(!own_description_);
    build_register_map();
    build_description();
    recompute_image_registers();
}

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
    s.map(bs::kGvcpCapability, 4, Access::ReadOnly, "GVCP capability");
    s.map(bs::kHeartbeatTimeout, 4, Access::ReadWrite, "heartbeat timeout");
    s.map(bs::kTimestampTickFrequencyHigh, 8, Access::ReadOnly, "timestamp tick frequency");
    s.map(reg::kTimestampControl, 4, Access::ReadWrite, "timestamp control");
    s.map(reg::kTimestampValueHigh, 8, Access::ReadOnly, "timestamp value");
    s.map(reg::kGvcpConfiguration, 4, Access::ReadWrite, "GVCP configuration");
    s.map(bs::kCcp, 4, Access::ReadWrite, "CCP");
    s.map(reg::kMessageChannelPort, 4, Access::ReadWrite, "message channel port");
    s.map(reg::kMessageChannelDestination, 12, Access::ReadWrite, "message channel settings");
    s.map(bs::stream_channel_port(0), 12, Access::ReadWrite, "stream channel 0");
    s.map(bs::stream_channel_destination(0), 4, Access::ReadWrite, "stream channel 0 destination");
    s.map(reg::kStreamChannelSourcePort, 8, Access::ReadOnly, "stream channel 0 source port, capability");
    s.map(reg::kStreamChannelConfiguration, 4, Access::ReadWrite, "stream channel 0 configuration");

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
    s.set(reg::kNumberOfStreamChannels, 1);
    s.set(bs::kGvcpCapability, reg::kCapUserDefinedName | reg::kCapSerialNumber | reg::kCapHeartbeatDisable |
                                   reg::kCapPendingAck | reg::kCapEventData | reg::kCapEvent |
                                   reg::kCapPacketResend |
                                   reg::kCapWriteMem | reg::kCapConcatenation);
    s.set(bs::kHeartbeatTimeout, config_.heartbeat_timeout_ms);
    s.set(bs::kTimestampTickFrequencyHigh, static_cast<std::uint32_t>(config_.tick_frequency >> 32));
    s.set(bs::kTimestampTickFrequencyLow, static_cast<std::uint32_t>(config_.tick_frequency));
    s.set(reg::kMessageChannelTimeout, 300);
    s.set(reg::kMessageChannelRetries, 3);
    s.set(bs::stream_channel_packet_size(0), 1500);
    // Big-endian pixel data supported (the top bit); no IP reassembly, no
    // extended chunk data, no multi-zone.
    s.set(reg::kStreamChannelCapability, 0x80000000);

    if (!own_description_) return;

    s.map(reg::kSensorWidth, 0x5C, Access::ReadWrite, "image format");  // 0x10000..0x1005B
    s.map(reg::kDeviceTemperature, 8, Access::ReadWrite, "temperature, TLParamsLocked");
    s.map(reg::kGain, 0x18, Access::ReadWrite, "analog");  // gain .. frame rate
    s.map(reg::kLutIndex, 4, Access::ReadWrite, "LUT index");
    s.map(reg::kTestEventGenerate, 4, Access::ReadWrite, "test event");
    s.map(reg::kLutTable, reg::kLutEntries * 4, Access::ReadWrite, "LUT");
    s.map(reg::kUserData, reg::kUserDataSize, Access::ReadWrite, "user data");

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

void Device::build_description() {
    if (own_description_) {
        description_ = std::string(kBuiltinDescription);
        if (auto pos = description_.find(kTLParamsLockedMarker); pos != std::string::npos)
            description_.replace(pos, kTLParamsLockedMarker.size(),
                                 config_.tl_params_locked ? kTLParamsLockedNodes : std::string_view{});
    } else {
        description_ = *config_.description;
    }
    std::string base = config_.description_name.empty() ? std::string(kDefaultName) : config_.description_name;
    const auto text = std::span(reinterpret_cast<const std::uint8_t*>(description_.data()), description_.size());
    const bool zip = config_.serve_zip;
    served_name_ = base + (zip ? ".zip" : ".xml");
    served_ = zip ? make_zip(base + ".xml", text) : std::vector<std::uint8_t>(text.begin(), text.end());

    std::vector<std::uint8_t> corrupt;
    if (config_.first_url_fault == UrlFault::CorruptZip) {
        corrupt = zip ? served_ : make_zip(base + ".xml", text);
        // Data starts after the 30-byte local header and the name. Setting both
        // block-type bits of the first deflate block makes it the reserved type,
        // which every inflater refuses.
        const std::size_t data = 30 + base.size() + 4;
        corrupt.at(data) |= 0x06;
    }

    description_address_ = config_.description_address.value_or(
        own_description_ ? kOwnDescriptionAddress : kForeignDescriptionAddress);
    const std::uint64_t total = round_up4(served_.size()) + round_up4(corrupt.size());
    if (total > kMaxDescriptionBytes || description_address_ % 4 != 0 ||
        description_address_ + total > 0x1'0000'0000ull)
        throw std::runtime_error("description does not fit the device memory at the chosen address");
    space_.map(description_address_, static_cast<std::uint32_t>(total), Access::ReadOnly, "description");
    space_.write_bytes(description_address_, served_);
    if (!corrupt.empty()) {
        corrupt_address_ = description_address_ + round_up4(served_.size());
        space_.write_bytes(corrupt_address_, corrupt);
    }

    const std::string good = fmt::format("Local:{};{:x};{:x}", served_name_, description_address_, served_.size());
    std::string first = good;
    switch (config_.first_url_fault) {
        case UrlFault::None: break;
        case UrlFault::BadText: first = fmt::format("Locl:{};{:x}", served_name_, description_address_); break;
        case UrlFault::Http: first = fmt::format("http://oculane.invalid/{}", served_name_); break;
        case UrlFault::CorruptZip:
            first = fmt::format("Local:{}.zip;{:x};{:x}", base, corrupt_address_, corrupt.size());
            break;
        case UrlFault::TruncatedZip:
            first = fmt::format("Local:{}.zip;{:x};{:x}", base, description_address_, served_.size() / 2);
            break;
    }
    const bool second = config_.second_url || config_.first_url_fault != UrlFault::None;
    auto put = [&](bs::StringArea area, const std::string& text_) {
        std::vector<std::uint8_t> bytes(area.size, 0);
        std::memcpy(bytes.data(), text_.data(), std::min<std::size_t>(text_.size(), area.size - 1));
        space_.write_bytes(area.address, bytes);
    };
    put(bs::kFirstUrl, first);
    put(bs::kSecondUrl, second ? good : std::string{});
}

void Device::recompute_image_registers() {
    if (!own_description_) return;
    auto& s = space_;
    s.set(reg::kWidthMax, s.get(reg::kSensorWidth) - s.get(reg::kOffsetX));
    s.set(reg::kHeightMax, s.get(reg::kSensorHeight) - s.get(reg::kOffsetY));
    const std::uint64_t payload = std::uint64_t{s.get(reg::kWidth)} * s.get(reg::kHeight) *
                                  (bits_per_pixel(s.get(reg::kPixelFormat)) / 8);
    s.set(reg::kPayloadSize, static_cast<std::uint32_t>(payload));
    s.set(reg::kAcquisitionStatus, acquiring_ ? 1 : 0);
}

// ---- privilege ----------------------------------------------------------------

bool Device::is_controller(Endpoint e) const { return controller_ && controller_->endpoint == e; }

bool Device::heartbeat_enforced() const {
    // A pretended foreign holder never lapses, and the host may switch the
    // heartbeat off (bit 0 of the GVCP configuration).
    return controller_ && !controller_->foreign && !(space_.get(reg::kGvcpConfiguration) & 0x1);
}

bool Device::exclusive_elsewhere(Endpoint e) const {
    return controller_ && !(controller_->endpoint == e) && (controller_->ccp & bs::kCcpExclusive);
}

void Device::expire(Clock::time_point now) {
    if (!heartbeat_enforced()) return;
    const auto timeout = std::chrono::milliseconds(space_.get(bs::kHeartbeatTimeout));
    if (now - last_heard_ > timeout) {
        end_control();
        ++counters_.control_expired;
    }
}

void Device::tick(Clock::time_point now) {
    std::lock_guard lock(mu_);
    expire(now);
}

std::optional<Clock::time_point> Device::next_deadline() const {
    std::lock_guard lock(mu_);
    if (!heartbeat_enforced()) return std::nullopt;
    return last_heard_ + std::chrono::milliseconds(space_.get(bs::kHeartbeatTimeout)) +
           std::chrono::milliseconds(1);
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
        case bs::kHeartbeatTimeout:
            if (value == 0) return GvcpStatus::kInvalidParameter;
            s.set(address, value);
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
    if (!own_description_) {
        s.set(address, value);
        return kOk;
    }
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
            if (value != 0) acquiring_ = true;
            recompute_image_registers();
            return kOk;  // a command register reads back 0
        case reg::kAcquisitionStop:
            if (value != 0) acquiring_ = false;
            recompute_image_registers();
            return kOk;
        case reg::kTestEventGenerate:
            if (value != 0) {
                const auto target = event_target();
                if (target) {
                    const std::uint64_t ts = timestamp_ticks_unlocked(now);
                    side_effects_.push_back(Outgoing{
                        *target, gvcp::encode_event(gvcp::code(Command::Event), next_request_id(), true,
                                                    reg::kTestEventId, 0xFFFF, 0, ts)});
                    ++counters_.events;
                }
            }
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

// ---- commands -------------------------------------------------------------

Device::Answer Device::handle_read_reg(std::span<const std::uint8_t> payload, Endpoint from,
                                       CommandRecord& rec) {
    Answer a{kOk, gvcp::code(Ack::ReadReg), {}};
    if (payload.empty() || payload.size() % 4 != 0 || payload.size() > kMaxPayload) {
        a.status = GvcpStatus::kInvalidHeader;
        return a;
    }
    ByteReader r(payload);
    while (r.remaining() >= 4) rec.addresses.push_back(r.u32());
    a.payload.reserve(payload.size());
    for (std::uint32_t addr : rec.addresses) {
        std::uint32_t v = 0;
        std::uint16_t st = injected_status(addr, 4).value_or(kOk);
        if (st == kOk) st = read_word(addr, from, v);
        if (st != kOk) {
            // The values read before the failing address still go back.
            a.status = st;
            break;
        }
        append_be32(a.payload, v);
    }
    return a;
}

Device::Answer Device::handle_write_reg(std::span<const std::uint8_t> payload, Endpoint from,
                                        Clock::time_point now, CommandRecord& rec) {
    Answer a{kOk, gvcp::code(Ack::WriteReg), {}};
    if (payload.empty() || payload.size() % 8 != 0 || payload.size() > kMaxWriteRegPayload) {
        a.status = GvcpStatus::kInvalidHeader;
        return a;
    }
    ByteReader r(payload);
    while (r.remaining() >= 8) {
        rec.addresses.push_back(r.u32());
        rec.values.push_back(r.u32());
    }
    std::uint16_t done = 0;
    for (std::size_t i = 0; i < rec.addresses.size(); ++i) {
        std::uint16_t st = injected_status(rec.addresses[i], 4).value_or(kOk);
        if (st == kOk) st = write_word(rec.addresses[i], rec.values[i], from, now);
        if (st != kOk) {
            a.status = st;
            break;
        }
        ++done;
    }
    // Reserved half-word, then the index of the first write not carried out.
    append_be32(a.payload, done);
    return a;
}

Device::Answer Device::handle_read_mem(std::span<const std::uint8_t> payload, Endpoint from,
                                       CommandRecord& rec) {
    Answer a{kOk, gvcp::code(Ack::ReadMem), {}};
    if (payload.size() != 8) {
        a.status = GvcpStatus::kInvalidHeader;
        return a;
    }
    ByteReader r(payload);
    const std::uint32_t addr = r.u32();
    const std::uint32_t count = r.u32();
    rec.addresses.push_back(addr);
    rec.length = count;
    append_be32(a.payload, addr);
    if (addr % 4 != 0 || count % 4 != 0) {
        a.status = GvcpStatus::kBadAlignment;
    } else if (count == 0 || count > gvcp::kMaxMemoryChunk || std::uint64_t{addr} + count > 0x1'0000'0000ull) {
        a.status = GvcpStatus::kInvalidParameter;
    } else if (auto st = injected_status(addr, count)) {
        a.status = *st;
    }
    if (a.status != kOk) return a;
    a.payload.reserve(4 + count);
    // Description memory and string fields lie in one region each and hold no
    // register with a per-reader view, so they are copied in one go.
    const bool covers_ccp = addr <= bs::kCcp && bs::kCcp - addr < count;
    if (!covers_ccp && !exclusive_elsewhere(from) && space_.append_region_bytes(addr, count, a.payload)) return a;
    for (std::uint32_t off = 0; off < count; off += 4) {
        std::uint32_t v = 0;
        if (auto st = read_word(addr + off, from, v); st != kOk) {
            a.status = st;
            a.payload.resize(4);  // a refused read returns no data
            return a;
        }
        append_be32(a.payload, v);
    }
    return a;
}

Device::Answer Device::handle_write_mem(std::span<const std::uint8_t> payload, Endpoint from,
                                        Clock::time_point now, CommandRecord& rec) {
    Answer a{kOk, gvcp::code(Ack::WriteMem), {}};
    if (payload.size() < 4) {
        a.status = GvcpStatus::kInvalidHeader;
        return a;
    }
    ByteReader r(payload);
    const std::uint32_t addr = r.u32();
    const auto data = r.rest();
    rec.addresses.push_back(addr);
    rec.length = static_cast<std::uint32_t>(data.size());
    std::uint16_t done = 0;
    if (addr % 4 != 0 || data.size() % 4 != 0) {
        a.status = GvcpStatus::kBadAlignment;
    } else if (data.empty() || data.size() > gvcp::kMaxMemoryChunk ||
               std::uint64_t{addr} + data.size() > 0x1'0000'0000ull) {
        a.status = GvcpStatus::kInvalidParameter;
    } else if (auto st = injected_status(addr, static_cast<std::uint32_t>(data.size()))) {
        a.status = *st;
    } else {
        // Check the whole range first so that a refused write changes nothing.
        for (std::size_t off = 0; off < data.size() && a.status == kOk; off += 4) {
            const auto w = static_cast<std::uint32_t>(addr + off);
            if (w == bs::kCcp) continue;  // its own rules, applied below
            if (!is_controller(from)) a.status = GvcpStatus::kAccessDenied;
            else a.status = space_.check_write(w);
        }
        for (std::size_t off = 0; off < data.size() && a.status == kOk; off += 4) {
            ByteReader wr(data.subspan(off, 4));
            a.status = write_word(static_cast<std::uint32_t>(addr + off), wr.u32(), from, now);
            if (a.status == kOk) done = static_cast<std::uint16_t>(off + 4);
        }
    }
    append_be32(a.payload, done);
    return a;
}

void Device::deliver(const Answer& answer, std::uint16_t command, std::uint16_t request_id, Endpoint to,
                     std::vector<Outgoing>& out, CommandRecord& rec) {
    rec.status = answer.status;
    if (faults_.muted) return;
    std::chrono::milliseconds delay = faults_.delay;

    if (faults_.pending && applies(faults_.pending->commands, command) && faults_.pending->remaining != 0) {
        auto& p = *faults_.pending;
        out.push_back(Outgoing{to, gvcp::encode_pending_ack(request_id, p.pending_ms), delay});
        ++counters_.pending_acks;
        delay += std::chrono::milliseconds(p.answer_after_ms);
        if (p.remaining > 0 && --p.remaining == 0) faults_.pending.reset();
    }

    std::uint16_t ack_code = answer.ack_code;
    std::uint16_t ack_id = request_id;
    std::span<const std::uint8_t> payload = answer.payload;
    bool malformed = false;
    for (auto it = faults_.ack_rules.begin(); it != faults_.ack_rules.end(); ++it) {
        if (!applies(it->commands, command)) continue;
        const AckFault kind = it->kind;
        if (it->remaining > 0 && --it->remaining == 0) faults_.ack_rules.erase(it);
        switch (kind) {
            case AckFault::Drop: ++counters_.dropped_acks; return;
            case AckFault::WrongId: ack_id = static_cast<std::uint16_t>(request_id ^ 0x8000); break;
            case AckFault::WrongCode:
                ack_code = ack_code == gvcp::code(Ack::ReadReg) ? gvcp::code(Ack::WriteReg) : gvcp::code(Ack::ReadReg);
                break;
            case AckFault::ShortPayload:
                // One register value or the memory data is missing.
                payload = payload.first(payload.size() >= 4 ? (command == gvcp::code(Command::ReadMem) ? 4 : payload.size() - 4) : 0);
                break;
            case AckFault::Malformed: malformed = true; break;
        }
        break;  // one rule per acknowledge
    }
    auto bytes = gvcp::encode_ack(answer.status, ack_code, ack_id, payload);
    if (malformed) {
        // The length field promises 16 bytes more than the datagram carries.
        const auto len = static_cast<std::uint16_t>(payload.size() + 16);
        bytes[4] = static_cast<std::uint8_t>(len >> 8);
        bytes[5] = static_cast<std::uint8_t>(len);
    }
    out.push_back(Outgoing{to, std::move(bytes), delay});
    rec.answered = true;
    ++counters_.acks;
    if (gvcp::is_error_status(answer.status)) ++counters_.naks;
}

std::vector<Outgoing> Device::on_datagram(std::span<const std::uint8_t> datagram, Endpoint from,
                                          Clock::time_point now, bool via_broadcast) {
    std::lock_guard lock(mu_);
    expire(now);
    std::vector<Outgoing> out;

    if (!gvcp::looks_like_command(datagram)) {
        // Hosts send us acknowledges only in answer to our events.
        if (auto ack = gvcp::parse_ack(datagram);
            ack && !via_broadcast &&
            (ack->header.ack == gvcp::code(Ack::Event) || ack->header.ack == gvcp::code(Ack::EventData))) {
            ++counters_.event_acks;
            event_acks_.push_back(EventAckRecord{seconds(now), from, ack->header.status, ack->header.ack,
                                                 ack->header.ack_id});
            if (event_acks_.size() > kLogLimit) event_acks_.pop_front();
        } else {
            ++counters_.malformed;
        }
        return out;
    }

    CommandRecord rec;
    rec.time = seconds(now);
    rec.from = from;
    const auto parsed = gvcp::parse_command(datagram);
    if (!parsed) {
        ++counters_.malformed;
        if (datagram.size() < gvcp::kHeaderSize || via_broadcast) return out;
        // The header is readable, so the host can be told what was wrong.
        ByteReader r(datagram);
        r.skip(1);
        rec.flags = r.u8();
        rec.command = r.u16();
        rec.length = r.u16();
        rec.request_id = r.u16();
        if (rec.flags & gvcp::flag::kAckRequired)
            deliver(Answer{GvcpStatus::kInvalidHeader, gvcp::ack_code_for(rec.command), {}}, rec.command,
                    rec.request_id, from, out, rec);
        record(std::move(rec));
        return out;
    }

    const auto& h = parsed->header;
    rec.flags = h.flags;
    rec.command = h.command;
    rec.request_id = h.request_id;
    rec.length = h.length;

    // FORCEIP is broadcast too: a device on the wrong subnet is reachable no other way.
    if (via_broadcast && h.command != gvcp::code(Command::Discovery) && h.command != gvcp::code(Command::ForceIp))
        return out;
    ++counters_.commands;
    if (!via_broadcast) last_sender_ = from;
    // Any command from the controlling application counts as a heartbeat.
    if (is_controller(from)) last_heard_ = now;

    Answer answer;
    switch (static_cast<Command>(h.command)) {
        case Command::Discovery: {
            answer = Answer{kOk, gvcp::code(Ack::Discovery), space_.read_bytes(0, bs::kDiscoveryDataSize)};
            if (!faults_.muted) ++counters_.discovery;
            break;
        }
        case Command::ForceIp: {
            auto a = handle_force_ip(parsed->payload, rec);
            if (!a) {
                record(std::move(rec));
                return out;
            }
            answer = std::move(*a);
            break;
        }
        case Command::ReadReg: answer = handle_read_reg(parsed->payload, from, rec); break;
        case Command::WriteReg: answer = handle_write_reg(parsed->payload, from, now, rec); break;
        case Command::ReadMem: answer = handle_read_mem(parsed->payload, from, rec); break;
        case Command::WriteMem: answer = handle_write_mem(parsed->payload, from, now, rec); break;
        case Command::PacketResend:
            // Nothing is streamed yet, so there is nothing to resend; the
            // command never takes an acknowledge.
            record(std::move(rec));
            return out;
        default: answer = Answer{GvcpStatus::kNotImplemented, gvcp::ack_code_for(h.command), {}}; break;
    }
    if (answer.status == GvcpStatus::kAccessDenied) ++counters_.access_denied;
    if (h.flags & gvcp::flag::kAckRequired) deliver(answer, h.command, h.request_id, from, out, rec);
    else rec.status = answer.status;
    record(std::move(rec));
    for (auto& o : side_effects_) out.push_back(std::move(o));
    side_effects_.clear();
    return out;
}

// ---- events and raw datagrams -------------------------------------------------

std::optional<Endpoint> Device::event_target() const {
    const std::uint32_t port = space_.get(reg::kMessageChannelPort) & 0xFFFF;
    if (port != 0) return Endpoint{space_.get(reg::kMessageChannelDestination), static_cast<std::uint16_t>(port)};
    if (controller_ && !controller_->foreign) return controller_->endpoint;
    return std::nullopt;
}

std::uint16_t Device::next_request_id() {
    if (++event_request_id_ == 0) event_request_id_ = 1;
    return event_request_id_;
}

std::expected<Outgoing, std::string> Device::make_event(std::uint16_t command, std::uint16_t event_id,
                                                        std::span<const std::uint8_t> data, bool ack_required,
                                                        std::uint16_t stream_channel, std::uint16_t block_id,
                                                        Clock::time_point now) {
    std::lock_guard lock(mu_);
    if (command != gvcp::code(Command::Event) && command != gvcp::code(Command::EventData))
        return std::unexpected(fmt::format("0x{:04x} is not an event command", command));
    if (command == gvcp::code(Command::Event) && !data.empty())
        return std::unexpected("an EVENT command carries no data; send EVENTDATA for that");
    if (data.size() > kMaxPayload - kEventFieldsSize) return std::unexpected("event data longer than 524 bytes");
    const auto target = event_target();
    if (!target) return std::unexpected("no controlling application to send the event to");
    const std::uint64_t ts = timestamp_ticks_unlocked(now);
    ++counters_.events;
    return Outgoing{*target,
                    gvcp::encode_event(command, next_request_id(), ack_required, event_id, stream_channel,
                                       block_id, ts, data)};
}

std::optional<Endpoint> Device::default_peer() const {
    std::lock_guard lock(mu_);
    if (controller_ && !controller_->foreign) return controller_->endpoint;
    return last_sender_;
}

void Device::count_raw_sent() {
    std::lock_guard lock(mu_);
    ++counters_.raw;
}

// ---- faults -------------------------------------------------------------------

void Device::add_ack_fault(AckFault kind, std::int64_t count, std::vector<std::uint16_t> commands) {
    std::lock_guard lock(mu_);
    if (count == 0) return;
    faults_.ack_rules.push_back(AckFaultRule{kind, count, std::move(commands)});
}

void Device::set_pending_ack(std::uint32_t pending_ms, std::uint32_t answer_after_ms, std::int64_t count,
                             std::vector<std::uint16_t> commands) {
    std::lock_guard lock(mu_);
    if (count == 0) {
        faults_.pending.reset();
        return;
    }
    faults_.pending = PendingRule{pending_ms, answer_after_ms, count, std::move(commands)};
}

void Device::set_address_status(std::uint32_t address, std::uint16_t status) {
    std::lock_guard lock(mu_);
    std::erase_if(faults_.address_status, [&](const auto& e) { return e.first == address; });
    faults_.address_status.emplace_back(address, status);
}

void Device::clear_address_status() {
    std::lock_guard lock(mu_);
    faults_.address_status.clear();
}

void Device::set_ack_delay(std::chrono::milliseconds delay) {
    std::lock_guard lock(mu_);
    faults_.delay = delay;
}

void Device::set_muted(bool muted) {
    std::lock_guard lock(mu_);
    faults_.muted = muted;
}

void Device::clear_faults() {
    std::lock_guard lock(mu_);
    faults_ = Faults{};
}

void Device::clear_control() {
    std::lock_guard lock(mu_);
    end_control();
}

void Device::set_foreign_controller(std::optional<Endpoint> holder) {
    std::lock_guard lock(mu_);
    if (holder) {
        if (controller_ && !controller_->foreign) end_control();  // the real holder is displaced
        controller_ = Controller{*holder, bs::kCcpControl, true};
    } else if (controller_ && controller_->foreign) {
        controller_.reset();
    }
}

void Device::end_control() {
    const bool real = controller_ && !controller_->foreign;
    controller_.reset();
    if (!real) return;
    // The channels the departed application opened point at it; a device
    // closes them with the privilege so that nothing keeps streaming or
    // sending events to a host that is gone, and the next controller starts clean.
    space_.set(bs::stream_channel_port(0), 0);
    space_.set(reg::kMessageChannelPort, 0);
}

// ---- observation --------------------------------------------------------------

std::vector<CommandRecord> Device::command_log() const {
    std::lock_guard lock(mu_);
    return {log_.begin(), log_.end()};
}

void Device::clear_command_log() {
    std::lock_guard lock(mu_);
    log_.clear();
    event_acks_.clear();
}

std::vector<EventAckRecord> Device::event_acks() const {
    std::lock_guard lock(mu_);
    return {event_acks_.begin(), event_acks_.end()};
}

Counters Device::counters() const {
    std::lock_guard lock(mu_);
    return counters_;
}

std::optional<Controller> Device::controller() const {
    std::lock_guard lock(mu_);
    return controller_;
}

std::uint32_t Device::read_register(std::uint32_t address) const {
    std::lock_guard lock(mu_);
    if (address == bs::kCcp) return controller_ ? controller_->ccp : 0;
    return space_.get(address);
}

std::vector<std::uint8_t> Device::read_memory(std::uint32_t address, std::uint32_t size) const {
    std::lock_guard lock(mu_);
    return space_.read_bytes(address, size);
}

void Device::poke_register(std::uint32_t address, std::uint32_t value) {
    std::lock_guard lock(mu_);
    if (address == bs::kCcp) return;  // privilege has its own controls
    space_.set(address, value);
    recompute_image_registers();
}

bool Device::acquiring() const {
    std::lock_guard lock(mu_);
    return acquiring_;
}

std::uint64_t Device::payload_size() const {
    std::lock_guard lock(mu_);
    return space_.get(reg::kPayloadSize);
}

StreamChannelState Device::stream_channel(std::uint32_t channel) const {
    std::lock_guard lock(mu_);
    return StreamChannelState{space_.get(bs::stream_channel_port(channel)),
                              space_.get(bs::stream_channel_packet_size(channel)),
                              space_.get(bs::stream_channel_packet_delay(channel)),
                              space_.get(bs::stream_channel_destination(channel))};
}

std::uint64_t Device::timestamp(Clock::time_point now) const {
    std::lock_guard lock(mu_);
    return timestamp_ticks_unlocked(now);
}

std::uint64_t Device::timestamp_ticks_unlocked(Clock::time_point now) const {
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(now - timestamp_origin_).count();
    if (ns <= 0) return 0;
    return static_cast<std::uint64_t>(static_cast<long double>(ns) * config_.tick_frequency / 1e9L);
}

std::string Device::first_url() const {
    std::lock_guard lock(mu_);
    return string_reg(space_.read_bytes(bs::kFirstUrl.address, bs::kFirstUrl.size), 0, bs::kFirstUrl.size);
}

std::string Device::second_url() const {
    std::lock_guard lock(mu_);
    return string_reg(space_.read_bytes(bs::kSecondUrl.address, bs::kSecondUrl.size), 0, bs::kSecondUrl.size);
}

void Device::record(CommandRecord rec) {
    log_.push_back(std::move(rec));
    if (log_.size() > kLogLimit) log_.pop_front();
}

double Device::seconds(Clock::time_point t) const { return std::chrono::duration<double>(t - start_).count(); }

}  // namespace oculane::sim
