// GVCP command handlers and the delivery of their acknowledges (faults applied).

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
    // A device without concatenation reads one register per command: it
    // answers the first address and ignores the rest.
    const std::size_t n = config_.concatenation ? rec.addresses.size() : 1;
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint32_t addr = rec.addresses[i];
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
    // Without concatenation only the first pair is carried out; the index in
    // the acknowledge (1) tells the host so.
    const std::size_t n = config_.concatenation ? rec.addresses.size() : 1;
    for (std::size_t i = 0; i < n; ++i) {
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

}  // namespace oculane::sim
