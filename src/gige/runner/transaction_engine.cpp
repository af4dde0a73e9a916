#include "gige/runner/transaction_engine.hpp"

#include <algorithm>

#include <fmt/format.h>

#include "gige/proto/bytes.hpp"
#include "gige/proto/gvcp.hpp"
#include "util/log.hpp"

namespace oculane::gige {

namespace {

using bootstrap::kCcp;
using bootstrap::kCcpControl;
// Reserve at most this much up front for a memory read; a larger transfer
// grows its buffer as chunks arrive, so a huge request does not allocate its
// whole size before the device has sent a byte.
constexpr std::uint32_t kMaxReserve = 1u << 20;

}  // namespace

std::chrono::milliseconds heartbeat_period(std::uint32_t heartbeat_timeout_ms) {
    const std::uint32_t third = heartbeat_timeout_ms / 3;
    return std::chrono::milliseconds(std::clamp<std::uint32_t>(third, 10, 1000));
}

TransactionEngine::TransactionEngine(EngineConfig config, LinkStatsRecord& stats, EngineIo& io,
                                     Instant now)
    : config_(config),
      stats_(stats),
      io_(io),
      heartbeat_period_(heartbeat_period(config.heartbeat_timeout_ms)),
      next_heartbeat_(now + heartbeat_period_) {}

std::uint16_t TransactionEngine::next_id() {
    // 0 and 0xFFFF are reserved (0xFFFF is what discovery uses).
    last_id_ = last_id_ >= 0xFFFE ? 1 : static_cast<std::uint16_t>(last_id_ + 1);
    return last_id_;
}

void TransactionEngine::submit(RequestToken token, Request request) {
    Op op;
    op.token = token;
    std::visit(
        [&](auto&& r) {
            using R = std::decay_t<decltype(r)>;
            if constexpr (std::is_same_v<R, request::ReadRegister>) {
                op.kind = Kind::ReadRegister;
                op.address = r.address;
            } else if constexpr (std::is_same_v<R, request::ReadRegisters>) {
                op.kind = Kind::ReadRegisters;
                op.addresses = std::move(r.addresses);
            } else if constexpr (std::is_same_v<R, request::WriteRegisters>) {
                op.kind = Kind::WriteRegisters;
                op.pairs = std::move(r.pairs);
            } else if constexpr (std::is_same_v<R, request::ReadMemory>) {
                op.kind = Kind::ReadMemory;
                op.address = r.address;
                op.total = r.length;
                op.bytes.reserve(std::min(r.length, kMaxReserve));
            } else {
                op.kind = Kind::WriteMemory;
                op.address = r.address;
                op.bytes = std::move(r.data);
                op.total = static_cast<std::uint32_t>(op.bytes.size());
            }
        },
        std::move(request));
    if (shut_down_) {
        fail(op, end_error());
        return;
    }
    // A transfer of nothing needs no device round trip.
    if (op.kind == Kind::ReadMemory && op.total == 0) {
        finish(op, std::vector<std::uint8_t>{});
        return;
    }
    if (op.kind == Kind::WriteMemory && op.bytes.empty()) {
        finish(op, std::monostate{});
        return;
    }
    if ((op.kind == Kind::ReadRegisters && op.addresses.empty()) ||
        (op.kind == Kind::WriteRegisters && op.pairs.empty())) {
        if (op.kind == Kind::ReadRegisters) finish(op, std::vector<std::uint32_t>{});
        else finish(op, std::monostate{});
        return;
    }
    queue_.push_back(std::move(op));
}

Instant TransactionEngine::next_deadline() const {
    Instant next = next_heartbeat_;
    if (in_flight_) next = std::min(next, in_flight_->deadline);
    return next;
}

void TransactionEngine::tick(Instant now) {
    if (shut_down_) return;
    // A device that announced a long delay is not waited for once the
    // caller stopped waiting: the queue behind it would stall for nothing.
    if (in_flight_ && in_flight_->extended && in_flight_->op.kind != Kind::Heartbeat &&
        io_.abandoned(in_flight_->op.token))
        give_up_in_flight();
    if (in_flight_ && now >= in_flight_->deadline) {
        if (in_flight_->tries_left > 0) {
            --in_flight_->tries_left;
            in_flight_->deadline = now + config_.ack_timeout;
            stats_.bump(LinkCounter::Retries);
            OCULANE_LOG_FIELDS(log::Level::Debug, log::kRunner, "ack overdue, retrying transaction",
                               {{"id", std::to_string(in_flight_->id)},
                                {"command", kind_name(in_flight_->op.kind)},
                                {"tries_left", std::to_string(in_flight_->tries_left)}});
            if (auto sent = io_.send_to_device(in_flight_->bytes); !sent)
                OCULANE_LOG(log::Level::Warn, log::kRunner, "retry send failed: {}", sent.error());
        } else {
            give_up_in_flight();
            if (control_lost_) return;
        }
    }
    if (now >= next_heartbeat_) {
        next_heartbeat_ = now + heartbeat_period_;
        if (!heartbeat_outstanding()) {
            Op hb;
            hb.kind = Kind::Heartbeat;
            hb.address = kCcp;
            queue_.push_front(std::move(hb));
        }
    }
    if (!in_flight_ && !queue_.empty()) {
        Op op = std::move(queue_.front());
        queue_.pop_front();
        send_op(std::move(op), now);
    }
}

const char* TransactionEngine::kind_name(Kind kind) {
    switch (kind) {
        case Kind::ReadRegister:
        case Kind::ReadRegisters: return "READREG";
        case Kind::WriteRegisters: return "WRITEREG";
        case Kind::ReadMemory: return "READMEM";
        case Kind::WriteMemory: return "WRITEMEM";
        case Kind::Heartbeat: return "heartbeat";
    }
    return "command";
}

void TransactionEngine::give_up_in_flight() {
    stats_.bump(LinkCounter::Timeouts);
    OCULANE_LOG_FIELDS(log::Level::Debug, log::kRunner, "no acknowledge, transaction given up",
                       {{"id", std::to_string(in_flight_->id)}, {"command", kind_name(in_flight_->op.kind)}});
    Op op = std::move(in_flight_->op);
    const std::size_t batch = in_flight_->batch;
    in_flight_.reset();
    note_unanswered(op, batch);
    if (op.kind == Kind::Heartbeat) {
        OCULANE_LOG(log::Level::Warn, log::kRunner, "heartbeat timed out, considering control lost");
        lose_control();
        return;
    }
    fail(op, CameraError::ack_timeout());
}

bool TransactionEngine::abandon(RequestToken token, CameraError error) {
    if (token == 0) return false;
    if (in_flight_ && in_flight_->op.kind != Kind::Heartbeat && in_flight_->op.token == token) {
        Op op = std::move(in_flight_->op);
        const std::size_t batch = in_flight_->batch;
        in_flight_.reset();
        note_unanswered(op, batch);
        fail(op, std::move(error));
        return true;
    }
    for (auto it = queue_.begin(); it != queue_.end(); ++it) {
        if (it->kind == Kind::Heartbeat || it->token != token) continue;
        Op op = std::move(*it);
        queue_.erase(it);
        fail(op, std::move(error));
        return true;
    }
    return false;
}

CameraError TransactionEngine::end_error() const {
    return control_lost_ ? CameraError::control_lost() : CameraError::not_connected();
}

std::size_t TransactionEngine::batch_for(const Op& op) const {
    const std::size_t total = op.kind == Kind::WriteRegisters ? op.pairs.size() : op.addresses.size();
    const std::size_t left = total - op.next;
    if (!concatenation_) return std::min<std::size_t>(left, 1);
    return std::min(left, op.kind == Kind::WriteRegisters ? gvcp::kMaxWriteRegisters : gvcp::kMaxReadRegisters);
}

void TransactionEngine::note_unanswered(const Op& op, std::size_t batch) {
    // A take left unanswered may have been granted with only its
    // acknowledges lost; giving it back then frees the device at once. One
    // the device refused is never undone.
    if (op.kind != Kind::WriteRegisters) return;
    for (const auto& w : std::span(op.pairs).subspan(op.next, batch))
        if (w.address == kCcp && w.value != 0) control_taken_ = true;
}

void TransactionEngine::note_writes(std::span<const gvcp::RegisterWrite> done) {
    for (const auto& w : done)
        if (w.address == kCcp) control_taken_ = (w.value & (kCcpControl | bootstrap::kCcpExclusive)) != 0;
}

bool TransactionEngine::heartbeat_outstanding() const {
    if (in_flight_ && in_flight_->op.kind == Kind::Heartbeat) return true;
    return std::any_of(queue_.begin(), queue_.end(),
                       [](const Op& op) { return op.kind == Kind::Heartbeat; });
}

void TransactionEngine::send_op(Op op, Instant now) {
    const std::uint16_t id = next_id();
    std::vector<std::uint8_t> bytes;
    std::size_t batch = 0;
    std::uint32_t asked_count = 0;
    switch (op.kind) {
        case Kind::ReadRegister:
        case Kind::Heartbeat: bytes = gvcp::encode_read_reg(std::span(&op.address, 1), id); break;
        case Kind::ReadRegisters:
            batch = batch_for(op);
            bytes = gvcp::encode_read_reg(std::span(op.addresses).subspan(op.next, batch), id);
            break;
        case Kind::WriteRegisters:
            batch = batch_for(op);
            bytes = gvcp::encode_write_reg(std::span(op.pairs).subspan(op.next, batch), id);
            break;
        case Kind::ReadMemory: {
            const std::uint32_t remaining = op.total - static_cast<std::uint32_t>(op.bytes.size());
            const std::uint64_t rounded = (std::uint64_t{remaining} + 3) & ~std::uint64_t{3};
            asked_count = static_cast<std::uint32_t>(std::min<std::uint64_t>(rounded, kMaxChunk));
            bytes = gvcp::encode_read_mem(op.address, asked_count, id);
            break;
        }
        case Kind::WriteMemory: {
            const std::uint32_t chunk = std::min(op.total - op.offset, kMaxChunk);
            bytes = gvcp::encode_write_mem(
                op.address + op.offset,
                std::span<const std::uint8_t>(op.bytes).subspan(op.offset, chunk), id);
            break;
        }
    }
    if (bytes.empty()) {
        // Register lists and transfers are cut to what one command carries
        // before they get here; what still does not encode (memory data in
        // part of a word) fails without traffic.
        fail(op, CameraError::malformed("command beyond what one GVCP command carries"));
        return;
    }
    if (auto sent = io_.send_to_device(bytes); !sent) {
        fail(op, std::move(sent.error()));
        return;
    }
    stats_.bump(LinkCounter::Commands);
    const std::uint32_t asked_address = op.address;
    in_flight_.emplace(InFlight{std::move(bytes), std::move(op), now + config_.ack_timeout, now, id,
                                config_.retries, false, batch, asked_address, asked_count});
}

void TransactionEngine::continue_op(Op op, Instant now) {
    // A transfer's next chunk goes before anything else that waits, except a
    // heartbeat that is already due: keeping control matters more.
    // Nobody reads the rest of a transfer whose caller stopped waiting.
    if (op.kind == Kind::ReadMemory && io_.abandoned(op.token)) {
        fail(op, CameraError::ack_timeout());
        return;
    }
    if (!queue_.empty() && queue_.front().kind == Kind::Heartbeat) {
        queue_.insert(queue_.begin() + 1, std::move(op));
        return;
    }
    send_op(std::move(op), now);
}

void TransactionEngine::fail(Op& op, CameraError error) {
    if (op.kind == Kind::Heartbeat) return;
    io_.complete(op.token, std::unexpected(std::move(error)));
}

void TransactionEngine::finish(Op& op, Reply reply) {
    if (op.kind == Kind::Heartbeat) return;
    io_.complete(op.token, std::move(reply));
}

void TransactionEngine::lose_control() {
    control_lost_ = true;
    // Published at once, before anyone can see the worker stop: a caller that
    // finds the worker gone then reads the reason, never a bare "not
    // connected".
    stats_.set_control_lost();
}

void TransactionEngine::on_datagram(std::span<const std::uint8_t> datagram, Endpoint source,
                                    Instant now) {
    if (shut_down_) return;
    // Devices may answer from another port than 3956, but never from another host.
    if (source.ip != config_.device_ip) return;
    if (gvcp::looks_like_command(datagram)) {
        handle_command(datagram, source);
        return;
    }
    handle_ack(datagram, now);
}

void TransactionEngine::handle_command(std::span<const std::uint8_t> datagram, Endpoint source) {
    const auto parsed = gvcp::parse_command(datagram);
    if (!parsed) {
        OCULANE_LOG(log::Level::Trace, log::kRunner, "malformed inbound command");
        return;
    }
    const auto& header = parsed->header;
    if (header.command != gvcp::code(gvcp::Command::Event) &&
        header.command != gvcp::code(gvcp::Command::EventData)) {
        OCULANE_LOG(log::Level::Trace, log::kRunner, "unexpected inbound command {:#06x}",
                    header.command);
        return;
    }
    if (header.flags & gvcp::flag::kAckRequired) {
        const auto ack = gvcp::encode_event_ack(header.command, header.request_id);
        if (auto sent = io_.send_to(ack, source); !sent)
            OCULANE_LOG(log::Level::Warn, log::kRunner, "event ack send failed: {}", sent.error());
    }
    stats_.bump(LinkCounter::Events);
    if (recent_events_.repeat(header.command, header.request_id, parsed->payload)) {
        OCULANE_LOG(log::Level::Trace, log::kRunner, "repeated event {:#06x} not forwarded again", header.request_id);
        return;
    }
    io_.event(header.command, parsed->payload);
}

bool TransactionEngine::RecentEvents::repeat(std::uint16_t command, std::uint16_t request_id,
                                             std::span<const std::uint8_t> payload) {
    // FNV-1a: events are a few dozen bytes, and a match also needs the ids.
    std::uint64_t digest = 0xCBF29CE484222325ull;
    for (std::uint8_t b : payload) digest = (digest ^ b) * 0x100000001B3ull;
    for (std::size_t i = 0; i < size_; ++i) {
        const Seen& s = seen_[i];
        if (s.request_id == request_id && s.command == command && s.digest == digest) return true;
    }
    seen_[next_] = Seen{digest, command, request_id};
    next_ = (next_ + 1) % kWindow;
    size_ = std::min(size_ + 1, kWindow);
    return false;
}

void TransactionEngine::handle_ack(std::span<const std::uint8_t> datagram, Instant now) {
    const auto parsed = gvcp::parse_ack(datagram);
    if (!parsed) {
        OCULANE_LOG(log::Level::Trace, log::kRunner, "malformed ack ({} bytes)", datagram.size());
        return;
    }
    const auto& header = parsed->header;
    const auto payload = parsed->payload;
    if (!in_flight_ || header.ack_id != in_flight_->id) {
        stats_.bump(LinkCounter::Unsolicited);
        return;
    }
    if (header.ack == gvcp::code(gvcp::Ack::Pending)) {
        if (const auto millis = gvcp::pending_ack_millis(payload)) {
            // Waiting on is only worth it while someone wants the answer and
            // the device has not been stalling for too long already.
            const Instant limit = in_flight_->first_sent + config_.max_pending;
            if (now >= limit ||
                (in_flight_->op.kind != Kind::Heartbeat && io_.abandoned(in_flight_->op.token))) {
                give_up_in_flight();
                return;
            }
            // A device announcing next to no delay still gets the ordinary
            // acknowledge timeout: retrying at once would only burn the tries.
            const Duration wait = std::max<Duration>(std::chrono::milliseconds(*millis), config_.ack_timeout);
            in_flight_->deadline = std::min(now + wait, limit);
            in_flight_->extended = true;
            stats_.bump(LinkCounter::PendingAcks);
            OCULANE_LOG_FIELDS(log::Level::Debug, log::kRunner, "pending acknowledge: the device needs more time",
                               {{"id", std::to_string(in_flight_->id)},
                                {"command", kind_name(in_flight_->op.kind)},
                                {"ms", std::to_string(*millis)}});
            return;
        }
    }
    Op op = std::move(in_flight_->op);
    const std::size_t batch = in_flight_->batch;
    const std::uint32_t asked_address = in_flight_->asked_address;
    const std::uint32_t asked_count = in_flight_->asked_count;
    in_flight_.reset();
    stats_.bump(LinkCounter::Acks);

    const gvcp::Command command = [&] {
        switch (op.kind) {
            case Kind::WriteRegisters: return gvcp::Command::WriteReg;
            case Kind::ReadMemory: return gvcp::Command::ReadMem;
            case Kind::WriteMemory: return gvcp::Command::WriteMem;
            default: return gvcp::Command::ReadReg;  // heartbeats read the CCP register
        }
    }();
    const std::uint16_t expected_ack = gvcp::ack_code_for(gvcp::code(command));

    if (GvcpStatus{header.status}.is_error()) {
        stats_.bump(LinkCounter::Naks);
        if (op.kind == Kind::Heartbeat) {
            OCULANE_LOG(log::Level::Warn, log::kRunner, "heartbeat rejected with {}, control lost",
                        GvcpStatus{header.status});
            lose_control();
            return;
        }
        fail(op, CameraError::device_status(gvcp::code(command), header.status));
        return;
    }
    if (header.ack != expected_ack) {
        fail(op, CameraError::malformed(fmt::format("expected ack {:#06x}, got {:#06x}",
                                                    expected_ack, header.ack)));
        return;
    }
    complete_op(std::move(op), payload, Asked{batch, asked_address, asked_count}, now);
}

void TransactionEngine::complete_op(Op op, std::span<const std::uint8_t> payload, Asked asked, Instant now) {
    switch (op.kind) {
        case Kind::ReadRegister:
            if (payload.size() < 4) return fail(op, CameraError::malformed("empty read register ack"));
            return finish(op, be32_at(payload, 0));
        case Kind::ReadRegisters: {
            // Exactly one value per address asked: a device that does not
            // really take lists answers with fewer, which must not pass.
            const std::size_t count = payload.size() / 4;
            if (count != asked.batch)
                return fail(op, CameraError::malformed(
                                    fmt::format("read register ack carried {} values, expected {}",
                                                count, asked.batch)));
            for (std::size_t i = 0; i < count; ++i) op.values.push_back(be32_at(payload, i * 4));
            op.next += asked.batch;
            if (op.next == op.addresses.size()) return finish(op, std::move(op.values));
            return continue_op(std::move(op), now);
        }
        case Kind::WriteRegisters: {
            // The acknowledge names how many writes were carried out (after
            // a reserved half-word); fewer than asked is no success.
            if (payload.size() >= 4) {
                const std::uint16_t done = static_cast<std::uint16_t>(be32_at(payload, 0) & 0xFFFF);
                if (done < asked.batch)
                    return fail(op, CameraError::malformed(fmt::format(
                                        "write register ack reports {} of {} writes done", done, asked.batch)));
            }
            note_writes(std::span(op.pairs).subspan(op.next, asked.batch));
            op.next += asked.batch;
            if (op.next == op.pairs.size()) return finish(op, std::monostate{});
            return continue_op(std::move(op), now);
        }
        case Kind::ReadMemory: {
            if (payload.size() < 4) return fail(op, CameraError::malformed("short read memory ack"));
            // Exactly the bytes asked for, from the address asked for: data
            // from elsewhere, or more or less of it, would corrupt the result.
            const std::uint32_t echoed = be32_at(payload, 0);
            const auto data = payload.subspan(4);
            if (echoed != asked.address || data.size() != asked.count)
                return fail(op, CameraError::malformed(
                                    fmt::format("read memory ack carried {} bytes at {:#x}, asked {} at {:#x}",
                                                data.size(), echoed, asked.count, asked.address)));
            const std::uint32_t missing = op.total - static_cast<std::uint32_t>(op.bytes.size());
            const std::uint32_t take = std::min(asked.count, missing);
            op.bytes.insert(op.bytes.end(), data.begin(), data.begin() + take);
            if (op.bytes.size() == op.total) return finish(op, std::move(op.bytes));
            op.address += take;
            return continue_op(std::move(op), now);
        }
        case Kind::WriteMemory: {
            const std::uint32_t chunk = std::min(op.total - op.offset, kMaxChunk);
            op.offset += chunk;
            if (op.offset >= op.total) return finish(op, std::monostate{});
            return continue_op(std::move(op), now);
        }
        case Kind::Heartbeat:
            stats_.bump(LinkCounter::Heartbeats);
            if (payload.size() < 4 || (payload[3] & kCcpControl) == 0) {
                OCULANE_LOG(log::Level::Warn, log::kRunner, "device control was lost (CCP cleared)");
                lose_control();
            }
            return;
    }
}

void TransactionEngine::shutdown() {
    if (shut_down_) return;
    shut_down_ = true;
    OCULANE_LOG_FIELDS(log::Level::Debug, log::kRunner, "gvcp worker shutting down",
                       {{"control_lost", control_lost_ ? "true" : "false"}});
    if (control_lost_) stats_.set_control_lost();
    const auto error = [&] { return end_error(); };
    if (in_flight_) {
        Op op = std::move(in_flight_->op);
        in_flight_.reset();
        fail(op, error());
    }
    while (!queue_.empty()) {
        Op op = std::move(queue_.front());
        queue_.pop_front();
        fail(op, error());
    }
    // After a loss the device has already dropped us; writing the CCP could
    // only disturb whoever holds control now.
    if (!control_lost_ && control_taken_) {
        control_taken_ = false;
        const gvcp::RegisterWrite release[] = {{kCcp, 0}};
        (void)io_.send_to_device(gvcp::encode_write_reg(release, next_id()));
    }
}

}  // namespace oculane::gige
