#include "gige/stream/frame_assembler.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include <fmt/format.h>

#include "gige/proto/pixel_layout.hpp"
#include "util/frame_copy.hpp"
#include "util/log.hpp"

namespace oculane {

namespace {

using log::Level;

// A frame's packet table is sized for its payload carried in packets of at
// least this many data bytes (or the negotiated size, if smaller), with a
// small floor. A device that claims more packets (a huge trailer id, or a
// tiny first data packet) gets a WrongPacketId frame, not a bigger table.
constexpr std::uint64_t kMinTableBytesPerPacket = 256;
constexpr std::uint64_t kMinTableSlots = 64;
// Beyond this the negotiated packet size is useless for the payload size.
constexpr std::uint64_t kMaxTableSlots = std::uint64_t{1} << 26;

// A jump of block ids counts as missing frames up to this many ids, and
// beyond only as far as a camera at one frame per this interval could have
// gone since the last new block (100,000 frames a second).
constexpr std::uint64_t kPlausibleGap = 1000;
constexpr auto kShortestFrameInterval = std::chrono::microseconds(10);

// The request ids cycle through 65300..65535.
constexpr std::uint16_t kFirstRequestId = 65300;

constexpr std::uint64_t ceil_div(std::uint64_t a, std::uint64_t b) { return a / b + (a % b != 0 ? 1 : 0); }

std::uint64_t resend_budget(std::uint32_t expected, double ratio) {
    const double b = std::floor(static_cast<double>(expected) * ratio);
    if (!(b > 0)) return 0;  // negative, zero or NaN
    if (b >= 18446744073709551615.0) return std::numeric_limits<std::uint64_t>::max();
    return static_cast<std::uint64_t>(b);
}

// Signed distance from the last block id to a new one. 16-bit ids read as
// signed 16-bit, extended ids as signed 64-bit (wrapping); block id 0 is
// skipped on wrap-around, so 65535 followed by 1 is a distance of 1.
std::int64_t block_distance(std::uint64_t id, std::uint64_t last, bool extended) {
    if (extended) {
        const bool wrap = static_cast<std::int64_t>(id) > 0 && static_cast<std::int64_t>(last) < 0;
        return static_cast<std::int64_t>(id - last - (wrap ? 1 : 0));
    }
    const std::int64_t n = static_cast<std::int16_t>(id & 0xFFFF);
    const std::int64_t l = static_cast<std::int16_t>(last & 0xFFFF);
    return n - l - (n > 0 && l < 0 ? 1 : 0);
}

}  // namespace

std::expected<FrameAssembler, CameraError> FrameAssembler::create(const AssemblerConfig& config) {
    std::uint64_t limit = 0;
    if (config.payload_size <= kMaxFrameBufferSize) {
        limit = std::max(ceil_div(config.payload_size, kMinTableBytesPerPacket) + 2, kMinTableSlots);
        for (bool extended : {false, true}) {
            const std::uint64_t bpp = gvsp::bytes_per_packet(config.packet_size, extended);
            if (bpp > 0) limit = std::max(limit, ceil_div(config.payload_size, bpp) + 2);
        }
        if (limit > kMaxTableSlots)
            return std::unexpected(CameraError::io(
                fmt::format("cannot allocate a frame pool of {} buffers of {} bytes: packets of {} bytes "
                            "would need more than {} per frame",
                            config.n_buffers, config.payload_size, config.packet_size, kMaxTableSlots)));
    }
    auto pool = FramePool::create(config.n_buffers, config.payload_size, static_cast<std::size_t>(limit));
    if (!pool) return std::unexpected(std::move(pool.error()));
    return FrameAssembler(config, std::move(*pool), static_cast<std::size_t>(limit));
}

FrameAssembler::FrameAssembler(const AssemblerConfig& config, std::shared_ptr<FramePool> pool,
                               std::size_t table_limit)
    : config_(config), pool_(std::move(pool)), table_limit_(table_limit) {
    // Negative waits would make a packet due the moment it is first missed;
    // nothing asks for that, and the scan bookkeeping relies on it.
    config_.resend_delay = std::max(config_.resend_delay, Duration::zero());
    config_.resend_interval = std::max(config_.resend_interval, Duration::zero());
    // Each frame in flight holds a buffer, so this is the most there can be.
    frames_.reserve(config_.n_buffers);
}

std::uint16_t FrameAssembler::next_request_id() {
    request_id_ = request_id_ == 0xFFFF ? kFirstRequestId : static_cast<std::uint16_t>(request_id_ + 1);
    return request_id_;
}

void FrameAssembler::on_datagram(std::span<const std::uint8_t> datagram, std::uint32_t source_ip,
                                 std::uint16_t source_port, Instant now, std::uint64_t wall_ns, AssemblerSink& sink) {
    if (source_ip != config_.camera_ip) return;
    ++stats_.packets;
    stats_.bytes += datagram.size();
    // Another socket of the device (or something posing as it): not ours.
    if (port_known_ && source_port != stream_port_) {
        ++stats_.ignored_packets;
        return;
    }
    const auto parsed = gvsp::parse_packet(datagram);
    if (!parsed) {
        ++stats_.ignored_packets;
        return;
    }
    const gvsp::Packet& p = *parsed;
    if (!port_known_) {
        // The stream is the first well-formed packet of a known kind; noise
        // before it neither names the port nor moves the block ids.
        if (p.kind == gvsp::PacketKind::Unsupported || gvsp::status::is_error(p.status)) {
            ++stats_.ignored_packets;
            return;
        }
        port_known_ = true;
        stream_port_ = source_port;
        last_block_id_ = p.block_id - 1;
        last_block_at_ = now;
    }

    InFlight* f = nullptr;
    for (InFlight& candidate : frames_) {
        if (candidate.block_id == p.block_id) {
            f = &candidate;
            break;
        }
    }
    if (f != nullptr) {
        f->last_packet = now;
    } else {
        f = find_or_create_frame(p, now);
        if (f == nullptr) return;
    }

    if (gvsp::status::is_error(p.status)) {
        ++stats_.error_packets;
        if (gvsp::status::means_gone(p.status)) {
            f->no_resend = true;
            ++stats_.resend_disabled;
            // A packet the frame still lacks will not come: the frame is lost.
            if (p.packet_id >= f->expected || !f->slots[p.packet_id].received) {
                f->gone = true;
                check_frame_completion(now, &p.block_id, sink);
            }
        }
        return;
    }

    if (p.packet_id < f->expected && f->slots[p.packet_id].received) {
        ++stats_.duplicated_packets;
        return;
    }
    bool placed = true;
    switch (p.kind) {
        case gvsp::PacketKind::Trailer: process_trailer(*f, p.packet_id); break;
        case gvsp::PacketKind::Payload:
            if (!f->decided) placed = process_payload(*f, p);
            break;
        case gvsp::PacketKind::Leader:
            if (f->decided) break;
            if (p.packet_id == 0) process_leader(*f, p.payload, wall_ns);
            else decide(*f, FrameStatus::WrongPacketId);
            break;
        case gvsp::PacketKind::AllIn:
            // Its contents are not parsed, so it has no image to offer.
            ++stats_.ignored_packets;
            if (!f->decided) decide(*f, FrameStatus::PayloadUnsupported);
            break;
        case gvsp::PacketKind::Unsupported: ++stats_.ignored_packets; break;
    }
    if (placed && p.packet_id < f->expected) {
        PacketSlot& slot = f->slots[p.packet_id];
        if (slot.resend_requested) ++stats_.resent_packets;
        slot.received = true;
    }
    advance_contiguous(*f);

    missing_packet_check(*f, p.packet_id, now, sink);
    check_frame_completion(now, &p.block_id, sink);
}

bool FrameAssembler::plausible_gap(std::uint64_t skipped, Instant now) const {
    // Block ids skipped count as missing frames only when a camera could
    // have sent that many since the last new block: a stray or corrupted id
    // must not add billions.
    if (skipped <= kPlausibleGap) return true;
    const auto elapsed = std::chrono::duration_cast<std::chrono::microseconds>(now - last_block_at_);
    return elapsed.count() > 0 && skipped <= static_cast<std::uint64_t>(elapsed / kShortestFrameInterval);
}

FrameAssembler::InFlight* FrameAssembler::find_or_create_frame(const gvsp::Packet& p, Instant now) {
    const std::int64_t d = block_distance(p.block_id, last_block_id_, p.extended);
    if (d >= -99 && d <= 0) {
        OCULANE_LOG_FIELDS(Level::Trace, log::kStreamRunner, "discarding late frame",
                           {{"frame_id", fmt::to_string(p.block_id)}, {"last", fmt::to_string(last_block_id_)}});
        ++stats_.ignored_packets;
        return nullptr;
    }

    const std::uint64_t bpp = gvsp::bytes_per_packet(config_.packet_size, p.extended);
    std::uint64_t expected = 0;
    std::uint64_t n_data = 0;
    if (bpp > 0) {
        n_data = ceil_div(config_.payload_size, bpp);
        switch (p.kind) {
            case gvsp::PacketKind::Leader: {
                const auto leader = gvsp::parse_leader(p.payload);
                if (leader && gvsp::payload_type::accepted(leader->payload_type)) expected = n_data + 2;
                break;
            }
            case gvsp::PacketKind::Trailer: expected = std::uint64_t{p.packet_id} + 1; break;
            case gvsp::PacketKind::Payload: expected = n_data + 2; break;
            case gvsp::PacketKind::AllIn: expected = 1; break;
            case gvsp::PacketKind::Unsupported: break;
        }
    }
    if (expected == 0) {
        ++stats_.ignored_packets;
        ++stats_.unsupported_frames;
        last_block_id_ = p.block_id;
        last_block_at_ = now;
        return nullptr;
    }

    auto buffer = pool_->try_take();
    if (!buffer) {
        ++stats_.underruns;
        last_block_id_ = p.block_id;
        last_block_at_ = now;
        return nullptr;
    }

    // Only a trailer can claim more packets than the table holds (the others
    // are bounded by the payload size when the table limit is chosen). Its
    // frame keeps a one-slot table and is wrong from the start.
    bool absurd = false;
    if (expected > table_limit_) {
        OCULANE_LOG(Level::Trace, log::kStreamRunner, "trailer packet id {} beyond the packet table (frame {})",
                    p.packet_id, p.block_id);
        expected = 1;
        absurd = true;
    }
    std::vector<PacketSlot>& slots = buffer->packets();
    slots.assign(static_cast<std::size_t>(expected), PacketSlot{});

    if (d > 1) {
        const auto skipped = static_cast<std::uint64_t>(d - 1);
        if (plausible_gap(skipped, now)) {
            OCULANE_LOG_FIELDS(Level::Trace, log::kStreamRunner, "frame ids skipped",
                               {{"skipped", fmt::to_string(skipped)}, {"after", fmt::to_string(last_block_id_)}});
            stats_.missing_frames += skipped;
        } else {
            OCULANE_LOG(Level::Trace, log::kStreamRunner,
                        "block id {} after {}: a jump no camera makes in the time, not counted as missing frames",
                        p.block_id, last_block_id_);
        }
    }
    last_block_id_ = p.block_id;
    last_block_at_ = now;

    // This block left a quarter of the buffers or fewer free. A frame in
    // flight that still lacks packets would, waiting longer, soon cost a
    // healthy block its buffer; it gives way instead (it closes once it is
    // the oldest), and the consumer has a few frame times to hand buffers
    // back before the pool is empty.
    if (!frames_.empty() && pool_->available() <= pool_->n_buffers() / 4) {
        InFlight& oldest = frames_.front();
        if (oldest.contiguous != std::int64_t{oldest.expected} - 1) oldest.gave_way = true;
    }

    InFlight& f = frames_.emplace_back();
    f.slots = slots.data();
    f.data = buffer->data().data();
    f.buffer = std::move(*buffer);
    f.last_packet = now;
    f.block_id = p.block_id;
    f.expected = static_cast<std::uint32_t>(expected);
    f.budget = resend_budget(f.expected, config_.resend_ratio);
    f.bytes_per_packet = static_cast<std::uint32_t>(bpp);
    f.estimated_data = static_cast<std::uint32_t>(n_data);
    f.extended = p.extended;
    if (absurd) decide(f, FrameStatus::WrongPacketId);
    return &f;
}

void FrameAssembler::advance_contiguous(InFlight& f) {
    const std::int64_t last = std::int64_t{f.expected} - 1;
    std::int64_t c = f.contiguous;
    while (c < last && f.slots[c + 1].received) ++c;
    f.contiguous = c;
}

void FrameAssembler::set_expected(InFlight& f, std::uint32_t expected) {
    f.expected = expected;
    f.budget = resend_budget(expected, config_.resend_ratio);
    // "Packets 0..c arrived" is capped at the last packet; a trailer that
    // shrinks the block must not leave it above, or the frame never completes.
    const std::int64_t last = std::int64_t{expected} - 1;
    f.contiguous = std::min(f.contiguous, last);
    f.scanned = std::min(f.scanned, last);
}

void FrameAssembler::unreceive(InFlight& f, std::uint32_t id, std::uint64_t placed) {
    // Asked for again by the next resend check, as if it had been lost.
    f.slots[id] = PacketSlot{};
    f.received_size -= std::min(f.received_size, placed);
    f.contiguous = std::min<std::int64_t>(f.contiguous, std::int64_t{id} - 1);
    f.scanned = std::min(f.scanned, f.contiguous);
}

void FrameAssembler::process_leader(InFlight& f, std::span<const std::uint8_t> payload, std::uint64_t wall_ns) {
    f.leader = gvsp::parse_leader(payload);
    f.system_timestamp_ns = wall_ns;
    // A leader without a usable image description ends the frame as
    // unsupported: Complete promises an image that array() can show.
    if (!f.leader || !gvsp::payload_type::accepted(f.leader->payload_type)) {
        decide(f, FrameStatus::PayloadUnsupported);
        return;
    }
    if (payload_class_of(f.leader->payload_type).kind != PayloadClass::Image) return;
    const std::uint64_t image = gvsp::image_data_size(f.leader->pixel_format, f.leader->width, f.leader->height,
                                                      f.leader->x_padding);
    if (image == 0 || image > config_.payload_size) {
        OCULANE_LOG(Level::Trace, log::kStreamRunner,
                    "leader of frame {} announces a {}x{} {} image ({} bytes) for a payload of {} bytes", f.block_id,
                    f.leader->width, f.leader->height, gvsp::pixel_format_text(f.leader->pixel_format), image,
                    config_.payload_size);
        decide(f, FrameStatus::PayloadUnsupported);
    }
}

void FrameAssembler::process_trailer(InFlight& f, std::uint32_t id) {
    f.trailer_seen = true;
    if (f.decided) return;
    // Before the data size is known the camera's packets may be smaller than
    // estimated, and the block longer.
    if (id > f.expected - 1 && !f.size_known && id < table_limit_) {
        f.buffer.packets().resize(std::size_t{id} + 1);  // within capacity
        f.expected = id + 1;
    }
    // A trailer before data packets already seen, or beyond the table.
    if (id > f.expected - 1 || (f.highest_data != 0 && id <= f.highest_data)) {
        decide(f, FrameStatus::WrongPacketId);
        return;
    }
    set_expected(f, id + 1);
    // A short packet taken as the possible last one was not the last.
    if (f.short_last != 0 && f.short_last + 2 < f.expected) {
        ++stats_.size_mismatch_errors;
        unreceive(f, f.short_last, f.short_len);
        f.short_last = 0;
    }
}

bool FrameAssembler::learn_packet_size(InFlight& f, std::uint32_t n) {
    f.size_known = true;
    if (n != f.bytes_per_packet) {
        if (!f.trailer_seen) {
            const std::uint64_t expected = ceil_div(config_.payload_size, n) + 2;
            if (expected > table_limit_) {
                OCULANE_LOG(Level::Trace, log::kStreamRunner,
                            "data packets of {} bytes would need {} packets (frame {})", n, expected, f.block_id);
                decide(f, FrameStatus::WrongPacketId);
                return false;
            }
            f.buffer.packets().resize(static_cast<std::size_t>(expected));  // within capacity
            set_expected(f, static_cast<std::uint32_t>(expected));
        }
        f.bytes_per_packet = n;
    }
    return true;
}

void FrameAssembler::unlearn_packet_size(InFlight& f) {
    // The size was learned from one packet that a longer one now shows was
    // cut short: every data packet placed with it goes, to be asked again.
    ++stats_.size_mismatch_errors;
    for (std::uint32_t id = 1; id + 1 < f.expected; ++id)
        if (f.slots[id].received) unreceive(f, id, 0);
    f.received_size = 0;
    f.data_end = 0;
    f.short_last = 0;
    f.size_known = false;
}

bool FrameAssembler::process_payload(InFlight& f, const gvsp::Packet& p) {
    const std::uint32_t id = p.packet_id;
    const auto n = static_cast<std::uint32_t>(p.payload.size());
    std::uint64_t last_data = f.expected >= 2 ? f.expected - 2 : 0;
    if (id == 0 || id > last_data) {
        // Before the size is known the block may have more packets than the
        // estimate, if they are smaller; such an id (a short one, maybe the
        // last) gets its slot, and is asked for, once the size is learned.
        if (id != 0 && !f.size_known && !f.trailer_seen && n < f.bytes_per_packet && id < table_limit_) return false;
        OCULANE_LOG(Level::Trace, log::kStreamRunner, "payload packet id {} outside 1..={} (frame {}, {} data bytes, ext={})",
                    id, last_data, f.block_id, n, f.extended);
        decide(f, FrameStatus::WrongPacketId);
        return true;
    }
    // Packets with a higher id, a trailer further on, or (before the size is
    // known) the estimate show that this one is not the block's last. Only
    // asked when the length is not the learned size.
    const std::uint32_t highest = f.highest_data;
    const auto not_last = [&] {
        return id < highest || (f.trailer_seen && id < last_data) ||
               (!f.size_known && !f.trailer_seen && id < f.estimated_data);
    };
    // This packet in turn shows a short one before it was not the last.
    if (f.short_last != 0 && id > f.short_last) [[unlikely]] {
        ++stats_.size_mismatch_errors;
        unreceive(f, f.short_last, f.short_len);
        f.short_last = 0;
    }
    f.highest_data = std::max(f.highest_data, id);
    if (n == 0) {
        ++stats_.size_mismatch_errors;
        return false;
    }

    bool taught = false;  // the size was learned from this packet: it is not the last
    if (!f.size_known) [[unlikely]] {
        if (!not_last()) {
            // Packet 1 lies at offset 0 whatever the size; any other packet
            // waits for a resend once the size is known.
            if (id != 1) return false;
            const std::uint64_t len = std::min<std::uint64_t>(n, config_.payload_size);
            if (len > 0) copy_into_frame(f.data, p.payload.data(), static_cast<std::size_t>(len), config_.payload_size);
            f.received_size += len;
            f.data_end = std::max(f.data_end, len);
            f.early_first = n;
            return true;
        }
        // Packet 1 placed before: of the two, the longer shows the size (a
        // packet can be cut short, not made longer).
        const std::uint32_t learned = std::max(n, f.early_first);
        if (!learn_packet_size(f, learned)) return false;
        taught = true;
        if (f.early_first != 0) {
            if (f.early_first < learned) {
                ++stats_.size_mismatch_errors;
                unreceive(f, 1, f.early_first);
            } else {
                ++f.confirmations;
            }
            f.early_first = 0;
        }
        last_data = f.expected >= 2 ? f.expected - 2 : 0;
        if (id > last_data) {
            decide(f, FrameStatus::WrongPacketId);
            return true;
        }
    } else if (n > f.bytes_per_packet) [[unlikely]] {
        // No packet can be longer than the size; so either the one packet
        // the size was learned from was cut short, or this one is wrong.
        if (f.confirmations > 1) {
            // Longer than the packets that agree with each other: not ours.
            ++stats_.size_mismatch_errors;
            return false;
        }
        unlearn_packet_size(f);
        if (!learn_packet_size(f, n)) return false;
        last_data = f.expected >= 2 ? f.expected - 2 : 0;
        if (id > last_data) {
            decide(f, FrameStatus::WrongPacketId);
            return true;
        }
    }

    const std::uint64_t bpp = f.bytes_per_packet;
    if (n < bpp && (taught || not_last())) {
        ++stats_.size_mismatch_errors;
        OCULANE_LOG(Level::Trace, log::kStreamRunner, "data packet {} of frame {} carries {} bytes, not {}", id,
                    f.block_id, n, bpp);
        return false;
    }
    if (n == bpp) ++f.confirmations;

    const std::uint64_t size = config_.payload_size;
    const std::uint64_t offset = std::uint64_t{id - 1} * bpp;
    std::uint64_t len = n;
    if (offset + n > size) {
        // Only the last data packet may reach past the payload (its padding);
        // any other means the block is larger than the payload.
        if (id != last_data) {
            ++stats_.size_mismatch_errors;
            f.overrun = true;
        }
        len = offset >= size ? 0 : size - offset;
    }
    if (len > 0) copy_into_frame(f.data + offset, p.payload.data(), static_cast<std::size_t>(len), size);
    f.received_size += len;
    f.data_end = std::max(f.data_end, offset + len);
    if (n < bpp) {
        // The last packet, or one cut short: the next packet will tell.
        f.short_last = id;
        f.short_len = static_cast<std::uint32_t>(len);
    }
    return true;
}

void FrameAssembler::on_tick(Instant now, AssemblerSink& sink) { check_frame_completion(now, nullptr, sink); }

void FrameAssembler::check_frame_completion(Instant now, const std::uint64_t* skip, AssemblerSink& sink) {
    for (;;) {
        // Only the oldest frame may close; after a close the next one is examined.
        while (!frames_.empty()) {
            InFlight& f = frames_.front();
            if (f.contiguous == std::int64_t{f.expected} - 1) {
                close_frame(0, verdict(f), sink);
                continue;
            }
            // Waiting would only hold the frames behind it.
            if (lost(f)) {
                close_frame(0, f.decided ? f.status : FrameStatus::MissingPackets, sink);
                continue;
            }
            if (frames_.size() > 1 && !config_.resend_enabled) {
                close_frame(0, FrameStatus::MissingPackets, sink);
                continue;
            }
            // The newest block with only its leader may be waiting for a long
            // exposure; it is not timed out while nothing newer has started.
            const bool after_leader = f.contiguous == 0 && f.block_id == last_block_id_;
            if (!after_leader && now - f.last_packet >= config_.frame_timeout) {
                close_frame(0, f.decided ? f.status : FrameStatus::Timeout, sink);
                continue;
            }
            break;
        }
        bool spent = false;
        for (InFlight& f : frames_) {
            if (skip != nullptr && f.block_id == *skip) continue;
            // Once a newer block has started, the camera is done with this one:
            // packets missing at its end (the trailer, the last data packets)
            // cannot be noticed by a later packet of the block, so they are
            // looked for now rather than after a resend interval of silence,
            // which at a high frame rate would hold the frame (and its buffer)
            // while the pool runs dry. Their due time still applies.
            // A trailer says the same of the block's own end.
            const bool superseded = &f != &frames_.back();
            if (superseded || f.trailer_seen || now - f.last_packet >= config_.resend_interval) {
                spent |= missing_packet_check(f, f.expected - 1, now, sink);
            } else if (f.next_due < now && f.scanned >= 0) {
                // Packets already known missing fall due while the block
                // pauses: ask now, not after a resend interval of silence.
                spent |= missing_packet_check(f, static_cast<std::uint32_t>(f.scanned), now, sink);
            }
        }
        // A budget spent just now may have made the oldest frame lost.
        if (!spent || frames_.empty() || !lost(frames_.front())) return;
    }
}

bool FrameAssembler::missing_packet_check(InFlight& f, std::uint32_t up_to, Instant now, AssemblerSink& sink) {
    if (!config_.resend_enabled || f.no_resend || f.ratio_reached || lost(f)) return false;
    const std::int64_t start = f.contiguous + 1;
    const std::int64_t end = up_to;
    // An empty walk does nothing, whatever the budget: the common case of a
    // packet arriving in order ends here. With every packet looked at so far
    // received, nothing is waiting to fall due.
    if (start > end) {
        if (f.contiguous >= f.scanned) f.next_due = Instant::max();
        return false;
    }
    const std::uint64_t budget = f.budget;
    // A budget of 0 is spent as soon as a packet is due (below).
    if (up_to >= f.expected) return false;
    PacketSlot* slots = f.slots;
    const Instant first_due = now + config_.resend_delay;

    if (now <= f.next_due) {
        // Nothing looked at before is due yet (a packet is due when its due
        // instant is strictly earlier than now), and a packet first seen
        // missing now is due at the earliest after resend_delay: only the
        // packets past the last scan need a look.
        for (std::int64_t i = std::max(start, f.scanned + 1); i <= end; ++i) {
            PacketSlot& s = slots[i];
            if (s.received || s.due) continue;
            s.due = first_due;
            f.next_due = std::min(f.next_due, first_due);
        }
        f.scanned = std::max(f.scanned, end);
        return false;
    }

    // First pass: note newly missing packets and count the due ones. The
    // budget is checked against the whole call's total first, so a call that
    // would pass it sends (and marks) nothing.
    std::uint64_t due_count = 0;
    Instant next_due = Instant::max();
    for (std::int64_t i = start; i <= end; ++i) {
        PacketSlot& s = slots[i];
        if (s.received) continue;
        if (!s.due) s.due = first_due;
        if (*s.due < now) ++due_count;
        else next_due = std::min(next_due, *s.due);
    }
    // Packets past `end` scanned earlier keep their (possibly past) due
    // instants; the old bound still covers them.
    if (f.scanned > end) next_due = std::min(next_due, f.next_due);
    f.scanned = std::max(f.scanned, end);
    f.next_due = next_due;
    if (due_count == 0) return false;

    f.resend_count += due_count;
    if (f.resend_count > budget) {
        f.ratio_reached = true;
        ++stats_.resend_ratio_reached;
        return true;
    }

    // Second pass: each run of consecutive due packets becomes one request.
    const Instant again = now + config_.resend_interval;
    std::int64_t run = -1;
    for (std::int64_t i = start; i <= end + 1; ++i) {
        const bool due = i <= end && !slots[i].received && slots[i].due && *slots[i].due < now;
        if (due) {
            if (run < 0) run = i;
            continue;
        }
        if (run < 0) continue;
        const auto first = static_cast<std::uint32_t>(run);
        const auto last = static_cast<std::uint32_t>(i - 1);
        for (std::int64_t k = run; k < i; ++k) {
            slots[k].resend_requested = true;
            slots[k].due = again;
        }
        run = -1;
        OCULANE_LOG_FIELDS(Level::Trace, log::kStreamRunner, "requesting packet resend",
                           {{"frame_id", fmt::to_string(f.block_id)},
                            {"first", fmt::to_string(first)},
                            {"last", fmt::to_string(last)}});
        const std::size_t n = gvcp::encode_packet_resend(resend_buf_, config_.channel, f.block_id, first, last,
                                                         f.extended, next_request_id());
        sink.send_resend(std::span<const std::uint8_t>(resend_buf_.data(), n));
        stats_.resend_requests += std::uint64_t{last} - first + 1;
    }
    f.next_due = std::min(f.next_due, again);
    return false;
}

std::optional<Instant> FrameAssembler::next_deadline() const {
    Instant earliest = Instant::max();
    if (config_.resend_enabled) {
        for (const InFlight& f : frames_) {
            if (f.no_resend || f.ratio_reached || lost(f) || f.contiguous >= f.scanned) continue;
            // Due means strictly earlier than now.
            if (f.next_due != Instant::max()) earliest = std::min(earliest, f.next_due + std::chrono::microseconds(1));
        }
    }
    if (!frames_.empty()) {
        const InFlight& f = frames_.front();
        const bool after_leader = f.contiguous == 0 && f.block_id == last_block_id_;
        if (!after_leader) earliest = std::min(earliest, f.last_packet + config_.frame_timeout);
    }
    if (earliest == Instant::max()) return std::nullopt;
    return earliest;
}

FrameStatus FrameAssembler::verdict(const InFlight& f) const {
    if (f.decided) return f.status;
    // Bytes past the payload size were the camera's too, but are not here.
    if (f.overrun) return FrameStatus::WrongPacketId;
    // Every packet arrived, yet fewer bytes than the leader's image needs:
    // the block's packets contradict its leader.
    if (f.leader && payload_class_of(f.leader->payload_type).kind == PayloadClass::Image &&
        f.data_end < gvsp::image_data_size(f.leader->pixel_format, f.leader->width, f.leader->height,
                                           f.leader->x_padding))
        return FrameStatus::WrongPacketId;
    return FrameStatus::Complete;
}

void FrameAssembler::close_frame(std::size_t index, FrameStatus status, AssemblerSink& sink) {
    InFlight f = std::move(frames_[index]);
    frames_.erase(frames_.begin() + static_cast<std::ptrdiff_t>(index));

    if (status == FrameStatus::Complete) {
        ++stats_.completed_frames;
    } else {
        OCULANE_LOG_FIELDS(Level::Trace, log::kStreamRunner, "frame closed incomplete",
                           {{"frame_id", fmt::to_string(f.block_id)},
                            {"status", std::string(frame_status_name(status))}});
        if (status == FrameStatus::Aborted) {
            ++stats_.aborted_frames;
        } else {
            if (status == FrameStatus::Timeout) ++stats_.timed_out_frames;
            ++stats_.failed_frames;
            const std::int64_t missing = std::int64_t{f.expected} - 1 - f.contiguous;
            if (missing > 0) stats_.missing_packets += static_cast<std::uint64_t>(missing);
        }
    }

    FrameInfo info;
    info.frame_id = f.block_id;
    info.leader = f.leader;
    info.system_timestamp_ns = f.system_timestamp_ns;
    info.timestamp_ns = ticks_to_ns(f.leader ? f.leader->timestamp : 0, config_.tick_frequency, f.system_timestamp_ns);
    info.received_size = f.received_size;
    info.data_end = f.data_end;
    info.status = status;
    publish_frame_bytes();
    sink.frame_closed(pool_->publish(std::move(f.buffer), info));
}

void FrameAssembler::abort_all(AssemblerSink& sink) {
    while (!frames_.empty()) close_frame(0, FrameStatus::Aborted, sink);
}

}  // namespace oculane
