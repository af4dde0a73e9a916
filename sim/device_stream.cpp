// The device's stream side: the stream channel registers, the acquisition
// state machine and frame pacing, the ring of recent frames that packet
// resends are served from, the fire test, and the stream fault switches.
// Sans-IO like the rest of Device: the sender thread asks for its work with
// take_stream_work() and reports what it sent with add_stream_counts().

#include "sim/device.hpp"

#include <algorithm>
#include <bit>
#include <cmath>

#include "error/gvcp_status.hpp"
#include "gige/proto/bootstrap.hpp"
#include "gige/proto/gvcp.hpp"
#include "gige/proto/gvsp.hpp"
#include "sim/device_internal.hpp"
#include "sim/feature_registers.hpp"

namespace oculane::sim {

using namespace detail;

namespace {

// Resend jobs waiting for the sender; beyond this a request is refused.
constexpr std::size_t kResendQueueLimit = 256;
// Frames held per channel whatever the memory setting.
constexpr std::size_t kMaxFramesHeld = 4096;
// With no channel to send to, a due frame is counted as refused and the next
// one comes at the frame rate, but never more often than this.
constexpr auto kRefusedFramePeriod = std::chrono::milliseconds(10);
constexpr std::uint32_t kFireTestBit = 0x80000000;

std::uint32_t channel_of(std::uint32_t address) { return (address - 0x0D00) / bs::kStreamChannelStride; }
std::uint32_t offset_of(std::uint32_t address) { return (address - 0x0D00) % bs::kStreamChannelStride; }

double read_be_double(const RegisterSpace& s, std::uint32_t address) {
    const std::uint64_t bits = (std::uint64_t{s.get(address)} << 32) | s.get(address + 4);
    return std::bit_cast<double>(bits);
}

}  // namespace

StreamCounters& StreamCounters::operator+=(const StreamCounters& o) {
    frames += o.frames;
    packets += o.packets;
    bytes += o.bytes;
    lost += o.lost;
    mtu_lost += o.mtu_lost;
    resent += o.resent;
    unavailable += o.unavailable;
    resend_requests += o.resend_requests;
    resend_refused += o.resend_refused;
    frames_refused += o.frames_refused;
    test_packets += o.test_packets;
    duplicated += o.duplicated;
    send_errors += o.send_errors;
    return *this;
}

// ---- registers ------------------------------------------------------------------

bool Device::is_stream_register(std::uint32_t address) const {
    return address >= 0x0D00 && address < 0x0D00 + bs::kStreamChannelStride * config_.stream_channels;
}

bool Device::extended_ids() const { return (space_.get(reg::kGvcpConfiguration) & reg::kGvcpConfigExtendedIds) != 0; }

bool Device::refused_destination(std::uint32_t ip) const {
    // Never a broadcast (limited or of the device's subnet) nor a multicast
    // group: a virtual camera must not put traffic on a network it does not
    // own, and one host programmed the channel.
    if (ip == 0xFFFFFFFF || (ip >> 28) == 0xE) return true;
    const std::uint32_t mask = config_.subnet_mask;
    return mask != 0 && mask != 0xFFFFFFFF && (ip & mask) == (config_.ip & mask) && (ip | mask) == 0xFFFFFFFF;
}

bool Device::channel_open(std::uint32_t ch) const {
    if (ch >= config_.stream_channels) return false;
    const std::uint32_t port = space_.get(bs::stream_channel_port(ch)) & 0xFFFF;
    const std::uint32_t dest = space_.get(bs::stream_channel_destination(ch));
    return port != 0 && dest != 0 && !refused_destination(dest);
}

void Device::close_stream_channel(std::uint32_t ch) {
    space_.set(bs::stream_channel_port(ch), 0);
    channels_[ch].held.clear();
    std::erase_if(resend_queue_, [ch](const ResendJob& j) { return j.frame.channel == ch; });
}

std::uint16_t Device::write_stream_register(std::uint32_t address, std::uint32_t value, Clock::time_point now) {
    const std::uint32_t ch = channel_of(address);
    switch (offset_of(address)) {
        case 0x00: {  // host port: 0 closes the channel, another port (re)opens it
            const std::uint32_t port = value & 0xFFFF;
            if (port == 0) {
                close_stream_channel(ch);
                return kOk;
            }
            if ((space_.get(address) & 0xFFFF) == 0) channels_[ch] = ChannelRuntime{};
            space_.set(address, port);
            if (stream_on_port_write_ && !acquiring_ && own_description_) start_acquisition(now);
            wake_sender();
            return kOk;
        }
        case 0x04: {  // packet size, or a fire test
            const std::uint32_t size = value & 0xFFFF;
            if (size < kMinPacketSize || size > kMaxPacketSize) return GvcpStatus::kInvalidParameter;
            if (!(value & kFireTestBit)) {
                space_.set(address, value);
                return kOk;
            }
            // One test packet whose IP datagram is exactly `size` bytes; the
            // register keeps the size in force.
            if (!channel_open(ch)) return kOk;
            if (path_mtu_ != 0 && size > path_mtu_) {
                ++stream_counters_.mtu_lost;
                return kOk;
            }
            const Endpoint to{space_.get(bs::stream_channel_destination(ch)),
                              static_cast<std::uint16_t>(space_.get(bs::stream_channel_port(ch)))};
            side_effects_.push_back(Outgoing{to, std::vector<std::uint8_t>(size - gvsp::kIpUdpOverhead, 0)});
            ++stream_counters_.test_packets;
            return kOk;
        }
        case 0x18:  // destination
            if (refused_destination(value)) return GvcpStatus::kInvalidParameter;
            space_.set(address, value);
            wake_sender();
            return kOk;
        default:  // packet delay, configuration
            space_.set(address, value);
            return kOk;
    }
}

// ---- acquisition ------------------------------------------------------------------

void Device::set_acquiring(bool on) {
    if (on != acquiring_ && own_description_)
        raise_event(on ? EventKind::AcquisitionStart : EventKind::AcquisitionEnd, {}, 0xFFFF, 0, last_now_);
    acquiring_ = on;
    if (own_description_) space_.set(reg::kAcquisitionStatus, on ? 1 : 0);
}

void Device::start_acquisition(Clock::time_point now) {
    switch (space_.get(reg::kAcquisitionMode)) {
        case 1: frames_left_ = ignore_single_frame_ ? 0 : 1; break;          // SingleFrame
        case 2: frames_left_ = space_.get(reg::kAcquisitionFrameCount); break;  // MultiFrame
        default: frames_left_ = 0; break;                                    // Continuous
    }
    set_acquiring(true);
    next_frame_due_ = now;
    wake_sender();
}

std::size_t Device::frames_held_limit() const {
    const std::uint64_t payload = std::max<std::uint64_t>(space_.get(reg::kPayloadSize), 1);
    return static_cast<std::size_t>(std::clamp<std::uint64_t>(resend_memory_ / payload, 1, kMaxFramesHeld));
}

FrameJob Device::make_frame(std::uint32_t ch, Clock::time_point now, std::uint64_t timestamp) {
    auto& s = space_;
    auto& rt = channels_[ch];
    FrameJob f;
    f.channel = ch;
    f.to = Endpoint{s.get(bs::stream_channel_destination(ch)), static_cast<std::uint16_t>(s.get(bs::stream_channel_port(ch)))};
    f.extended = extended_ids();
    f.block_id = rt.next_block;
    // Standard ids run 1..65535 and skip 0 when they wrap; extended ones too.
    rt.next_block = f.extended ? rt.next_block + 1 : (rt.next_block % 0xFFFF) + 1;
    if (rt.next_block == 0) rt.next_block = 1;
    f.chunks = s.get(reg::kChunkModeActive) & 1;
    f.timestamp = timestamp;
    f.pixel_format = s.get(reg::kPixelFormat);
    f.width = s.get(reg::kWidth);
    f.height = s.get(reg::kHeight);
    f.offset_x = s.get(reg::kOffsetX);
    f.offset_y = s.get(reg::kOffsetY);
    f.packet_size = s.get(bs::stream_channel_packet_size(ch)) & 0xFFFF;
    f.packet_delay = s.get(bs::stream_channel_packet_delay(ch));
    f.tick_frequency = config_.tick_frequency;
    f.payload_size = s.get(reg::kPayloadSize);
    f.data_align = config_.packet_data_align;
    fill_chunks(f);
    {
        // Both carry the block id as their data, after the standard fields.
        std::uint8_t id[8];
        for (int i = 0; i < 8; ++i) id[i] = static_cast<std::uint8_t>(f.block_id >> (56 - 8 * i));
        const auto block16 = static_cast<std::uint16_t>(f.block_id);
        raise_event(EventKind::FrameStart, id, static_cast<std::uint16_t>(ch), block16, now);
        raise_event(EventKind::ExposureEnd, id, static_cast<std::uint16_t>(ch), block16, now);
    }

    ++rt.sent;
    rt.held.push_back(f);
    const std::size_t limit = frames_held_limit();
    while (rt.held.size() > limit) rt.held.pop_front();
    return f;
}

void Device::take_stream_work(Clock::time_point now, StreamWork& work) {
    MutexLock lock(mu_);
    last_now_ = now;
    expire(now);
    work.clear();
    if (powered_off_) {
        resend_queue_.clear();
        return;
    }
    work.path_mtu = path_mtu_;
    work.link_rate = link_rate_;
    work.resends.assign(resend_queue_.begin(), resend_queue_.end());
    resend_queue_.clear();
    if (lose_resent_)
        for (const auto& f : stream_faults_)
            if (f.kind == StreamFaultKind::Loss || f.kind == StreamFaultKind::Burst ||
                f.kind == StreamFaultKind::DropPackets)
                work.resend_faults.push_back(f);

    if (!own_description_) return;
    // In trigger mode a frame is due only when a trigger is; its timestamp
    // is the trigger's instant.
    const auto triggered = serve_triggers(now);
    const bool frame_trigger = trigger_on(reg::kFrameStart);
    const auto next_trigger = [&]() OCULANE_REQUIRES(mu_) -> std::optional<Clock::time_point> {
        if (triggers_.empty()) return std::nullopt;
        return std::max(triggers_.front().due, now);
    };
    if (!acquiring_ || (frame_trigger && !triggered)) {
        work.next_due = next_trigger();
        return;
    }
    if (!frame_trigger && now < next_frame_due_) {
        work.next_due = next_frame_due_;
        return;
    }
    const std::uint64_t stamp = timestamp_ticks_unlocked(triggered.value_or(now));
    const bool paced = space_.get(reg::kAcquisitionFrameRateEnable) & 1;
    const double rate = read_be_double(space_, reg::kAcquisitionFrameRate);
    const auto period = paced && rate > 0 && std::isfinite(rate)
                            ? std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / rate))
                            : Clock::duration::zero();

    bool any = false;
    for (std::uint32_t ch = 0; ch < config_.stream_channels; ++ch) {
        if (!channel_open(ch)) continue;
        any = true;
        FrameJob f = make_frame(ch, now, stamp);
        if (!f.extended && f.packet_count() > 0xFFFFFF) {
            // More packets than 24-bit standard ids can number: a real
            // camera refuses such a packet size; this one sends nothing.
            channels_[ch].held.pop_back();
            ++stream_counters_.frames_refused;
            continue;
        }
        work.frames.push_back(f);
        const std::size_t begin = work.faults.size();
        const std::uint64_t block = work.frames.back().block_id;
        for (auto it = stream_faults_.begin(); it != stream_faults_.end();) {
            if (!it->frames.empty() && std::find(it->frames.begin(), it->frames.end(), block) == it->frames.end()) {
                ++it;
                continue;
            }
            work.faults.push_back(*it);
            if (it->remaining > 0 && --it->remaining == 0) it = stream_faults_.erase(it);
            else ++it;
        }
        work.fault_ranges.emplace_back(begin, work.faults.size());
    }
    if (!any) ++stream_counters_.frames_refused;

    if (frames_left_ > 0 && --frames_left_ == 0) set_acquiring(false);
    // A scheduled power loss strikes after the frames just handed out.
    if (power_off_after_frames_ > 0 && !work.frames.empty()) {
        power_off_after_frames_ -= std::min<std::uint64_t>(power_off_after_frames_, work.frames.size());
        if (power_off_after_frames_ == 0) powered_off_ = true;
    }
    // No catching up after a stall: when the next slot has passed already,
    // the next frame goes now and the rhythm restarts from it.
    if (frame_trigger) {
        work.next_due = next_trigger();
        return;
    }
    next_frame_due_ += !work.frames.empty() ? period : std::max<Clock::duration>(period, kRefusedFramePeriod);
    if (next_frame_due_ < now) next_frame_due_ = now;
    if (acquiring_) work.next_due = next_frame_due_;
    else if (auto t = next_trigger()) work.next_due = t;
}

// ---- packet resend -------------------------------------------------------------------

Device::Answer Device::handle_packet_resend(const gvcp::CommandHeader& h, std::span<const std::uint8_t> payload,
                                            CommandRecord& rec) {
    ++stream_counters_.resend_requests;
    const auto q = gvcp::parse_packet_resend(h.flags, payload);
    auto refuse = [&]() OCULANE_REQUIRES(mu_) {
        ++stream_counters_.resend_refused;
        return Answer{GvcpStatus::kInvalidParameter, 0, {}};
    };
    if (!q) return refuse();
    rec.channel = q->channel;
    rec.block_id = q->block_id;
    rec.first_packet = q->first_packet_id;
    rec.last_packet = q->last_packet_id;
    if (!channel_open(q->channel) || q->first_packet_id > q->last_packet_id) return refuse();
    if (resend_queue_.size() >= kResendQueueLimit) return refuse();
    const auto& rt = channels_[q->channel];
    if (rt.held.empty()) return refuse();

    // Standard requests name the low 16 bits of the block id.
    const auto same = [&](const FrameJob& f) {
        return q->extended ? f.block_id == q->block_id : (f.block_id & 0xFFFF) == (q->block_id & 0xFFFF);
    };
    const auto it = std::find_if(rt.held.rbegin(), rt.held.rend(), same);
    if (it != rt.held.rend()) {
        if (q->last_packet_id >= it->packet_count()) return refuse();
        resend_queue_.push_back(ResendJob{*it, q->first_packet_id, q->last_packet_id, true});
        wake_sender();
        return Answer{kOk, 0, {}};
    }
    // Not held: a block sent before and since dropped gets "packet
    // unavailable" for each packet asked for; a block never sent is refused.
    const FrameJob& newest = rt.held.back();
    std::uint64_t behind = 0;
    if (q->extended) behind = q->block_id < newest.block_id ? newest.block_id - q->block_id : 0;
    else behind = static_cast<std::uint16_t>(newest.block_id - q->block_id);
    // Standard ids skip 0, so a distance across the wrap is one less.
    if (!q->extended && q->block_id > newest.block_id && behind > 0) --behind;
    const bool sent_before = q->block_id != 0 && behind > 0 && behind < rt.sent;
    if (!sent_before || q->last_packet_id >= newest.packet_count()) return refuse();
    FrameJob gone = newest;
    gone.block_id = q->block_id;
    resend_queue_.push_back(ResendJob{gone, q->first_packet_id, q->last_packet_id, false});
    wake_sender();
    return Answer{kOk, 0, {}};
}

// ---- sender hookup, faults, counters ------------------------------------------------

void Device::wake_sender() const {
    if (stream_waker_) (void)stream_waker_->wake();
}

void Device::attach_stream_sender(std::shared_ptr<Waker> waker, std::uint16_t source_port) {
    MutexLock lock(mu_);
    stream_waker_ = std::move(waker);
    for (std::uint32_t ch = 0; ch < config_.stream_channels; ++ch)
        space_.set(bs::stream_channel_port(ch) + reg::kStreamChannelSourcePort - 0x0D00, source_port);
}

void Device::detach_stream_sender() {
    MutexLock lock(mu_);
    stream_waker_.reset();
}

void Device::add_stream_counts(const StreamCounters& delta) {
    MutexLock lock(mu_);
    stream_counters_ += delta;
}

StreamCounters Device::stream_counters() const {
    MutexLock lock(mu_);
    return stream_counters_;
}

void Device::add_stream_fault(StreamFault fault) {
    MutexLock lock(mu_);
    if (fault.remaining == 0) return;
    stream_faults_.push_back(std::move(fault));
}

void Device::clear_stream_faults() {
    MutexLock lock(mu_);
    stream_faults_.clear();
    lose_resent_ = false;
}

void Device::set_lose_resent(bool lose) {
    MutexLock lock(mu_);
    lose_resent_ = lose;
}

void Device::set_path_mtu(std::uint32_t mtu) {
    MutexLock lock(mu_);
    path_mtu_ = mtu;
}

void Device::set_link_rate(std::uint64_t bits_per_second) {
    MutexLock lock(mu_);
    link_rate_ = bits_per_second;
}

void Device::set_ignore_single_frame(bool on) {
    MutexLock lock(mu_);
    ignore_single_frame_ = on;
}

void Device::set_stream_on_port_write(bool on) {
    MutexLock lock(mu_);
    stream_on_port_write_ = on;
}

void Device::set_ignore_event_acks(bool on) {
    MutexLock lock(mu_);
    ignore_event_acks_ = on;
}

void Device::power_off(std::uint64_t after_frames) {
    MutexLock lock(mu_);
    if (after_frames == 0) powered_off_ = true;
    else power_off_after_frames_ = after_frames;
}

void Device::power_on(Clock::time_point now) {
    MutexLock lock(mu_);
    if (!powered_off_) {
        power_off_after_frames_ = 0;
        return;
    }
    powered_off_ = false;
    power_off_after_frames_ = 0;
    // A restarted camera remembers no controller and no open channel.
    end_control();
    for (std::uint32_t ch = 0; ch < config_.stream_channels; ++ch) close_stream_channel(ch);
    set_acquiring(false);
    clear_triggers();
    last_heard_ = now;
}

bool Device::powered() const {
    MutexLock lock(mu_);
    return !powered_off_;
}

void Device::set_resend_memory(std::uint64_t bytes) {
    MutexLock lock(mu_);
    resend_memory_ = bytes;
    const std::size_t limit = frames_held_limit();
    for (auto& rt : channels_)
        while (rt.held.size() > limit) rt.held.pop_front();
}

}  // namespace oculane::sim
