// The device: construction, the datagram entry point, events and observation.

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

namespace oculane::sim {

using namespace detail;
using gvcp::Ack;
using gvcp::Command;

namespace {

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
    if (c.stream_channels < 1 || c.stream_channels > kMaxStreamChannels)
        fail(fmt::format("stream_channels must be from 1 to {}", kMaxStreamChannels));
    if (c.path_mtu != 0 && (c.path_mtu < kMinPacketSize || c.path_mtu > 65535))
        fail(fmt::format("path_mtu must be 0 (no limit) or from {} to 65535", kMinPacketSize));
    if (c.packet_data_align < 1 || c.packet_data_align > 256) fail("packet_data_align must be from 1 to 256");
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
    if (config_.host_clock) {
        // Ticks since the Unix epoch: the steady instant at which the host's
        // real-time clock read 0.
        timestamp_origin_ = start - std::chrono::duration_cast<Clock::duration>(
                                        std::chrono::system_clock::now().time_since_epoch());
    }
    space_.set_permissive(!own_description_);
    path_mtu_ = config_.path_mtu;
    link_rate_ = config_.link_rate;
    resend_memory_ = config_.resend_memory;
    build_register_map();
    build_description();
    recompute_image_registers();
}

std::vector<Outgoing> Device::on_datagram(std::span<const std::uint8_t> datagram, Endpoint from,
                                          Clock::time_point now, bool via_broadcast) {
    MutexLock lock(mu_);
    std::vector<Outgoing> out;
    // Without power nothing is heard, so nothing is answered or carried out.
    if (powered_off_) return out;
    in_datagram_ = true;
    last_now_ = now;
    struct Leave {
        bool& flag;
        ~Leave() { flag = false; }
    } leave{in_datagram_};
    expire(now);

    if (!gvcp::looks_like_command(datagram)) {
        // Hosts send us acknowledges only in answer to our events.
        if (auto ack = gvcp::parse_ack(datagram);
            ack && !via_broadcast &&
            (ack->header.ack == gvcp::code(Ack::Event) || ack->header.ack == gvcp::code(Ack::EventData))) {
            if (ignore_event_acks_) return out;  // never arrived
            ++counters_.event_acks;
            event_acknowledged(ack->header.ack_id);
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
    // Action commands are broadcast to fire several cameras at once.
    if (via_broadcast && h.command != gvcp::code(Command::Discovery) && h.command != gvcp::code(Command::ForceIp) &&
        h.command != gvcp::code(Command::Action))
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
        case Command::Action: {
            auto a = handle_action(h, parsed->payload, now, rec);
            if (!a) {
                record(std::move(rec));
                return out;
            }
            answer = std::move(*a);
            break;
        }
        case Command::PacketResend:
            // Never acknowledged: the answer is the packets themselves.
            rec.status = handle_packet_resend(h, parsed->payload, rec).status;
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
    MutexLock lock(mu_);
    if (powered_off_) return std::unexpected("the camera is powered off");
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
    MutexLock lock(mu_);
    if (controller_ && !controller_->foreign) return controller_->endpoint;
    return last_sender_;
}

void Device::count_raw_sent() {
    MutexLock lock(mu_);
    ++counters_.raw;
}

// ---- observation --------------------------------------------------------------

std::vector<CommandRecord> Device::command_log() const {
    MutexLock lock(mu_);
    return {log_.begin(), log_.end()};
}

void Device::clear_command_log() {
    MutexLock lock(mu_);
    log_.clear();
    event_acks_.clear();
}

std::vector<EventAckRecord> Device::event_acks() const {
    MutexLock lock(mu_);
    return {event_acks_.begin(), event_acks_.end()};
}

Counters Device::counters() const {
    MutexLock lock(mu_);
    return counters_;
}

std::optional<Controller> Device::controller() const {
    MutexLock lock(mu_);
    return controller_;
}

std::uint32_t Device::read_register(std::uint32_t address) const {
    MutexLock lock(mu_);
    if (address == bs::kCcp) return controller_ ? controller_->ccp : 0;
    return space_.get(address);
}

std::vector<std::uint8_t> Device::read_memory(std::uint32_t address, std::uint32_t size) const {
    MutexLock lock(mu_);
    return space_.read_bytes(address, size);
}

void Device::poke_register(std::uint32_t address, std::uint32_t value) {
    MutexLock lock(mu_);
    if (address == bs::kCcp) return;  // privilege has its own controls
    space_.set(address, value);
    recompute_image_registers();
}

bool Device::acquiring() const {
    MutexLock lock(mu_);
    return acquiring_;
}

std::uint64_t Device::payload_size() const {
    MutexLock lock(mu_);
    return space_.get(reg::kPayloadSize);
}

StreamChannelState Device::stream_channel(std::uint32_t channel) const {
    MutexLock lock(mu_);
    if (channel >= config_.stream_channels) return {};
    return StreamChannelState{space_.get(bs::stream_channel_port(channel)),
                              space_.get(bs::stream_channel_packet_size(channel)),
                              space_.get(bs::stream_channel_packet_delay(channel)),
                              space_.get(bs::stream_channel_destination(channel))};
}

std::uint64_t Device::timestamp(Clock::time_point now) const {
    MutexLock lock(mu_);
    return timestamp_ticks_unlocked(now);
}

std::uint64_t Device::timestamp_ticks_unlocked(Clock::time_point now) const {
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(now - timestamp_origin_).count();
    if (ns <= 0) return 0;
    return static_cast<std::uint64_t>(static_cast<long double>(ns) * config_.tick_frequency / 1e9L);
}

std::string Device::first_url() const {
    MutexLock lock(mu_);
    return string_reg(space_.read_bytes(bs::kFirstUrl.address, bs::kFirstUrl.size), 0, bs::kFirstUrl.size);
}

std::string Device::second_url() const {
    MutexLock lock(mu_);
    return string_reg(space_.read_bytes(bs::kSecondUrl.address, bs::kSecondUrl.size), 0, bs::kSecondUrl.size);
}

void Device::record(CommandRecord rec) {
    log_.push_back(std::move(rec));
    if (log_.size() > kLogLimit) log_.pop_front();
}

double Device::seconds(Clock::time_point t) const { return std::chrono::duration<double>(t - start_).count(); }

}  // namespace oculane::sim
