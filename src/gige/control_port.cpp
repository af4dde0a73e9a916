#include "gige/control_port.hpp"

#include <limits>

#include <fmt/format.h>

#include "gige/proto/bootstrap.hpp"
#include "gige/proto/bytes.hpp"
#include "util/log.hpp"

namespace oculane::gige {

Duration saturating_add(Duration a, Duration b) {
    constexpr auto kMax = Duration::max().count();
    if (b.count() > 0 && a.count() > kMax - b.count()) return Duration::max();
    return a + b;
}

Duration saturating_mul(Duration d, std::uint64_t factor) {
    constexpr auto kMax = static_cast<std::uint64_t>(Duration::max().count());
    if (d.count() <= 0 || factor == 0) return Duration::zero();
    const auto base = static_cast<std::uint64_t>(d.count());
    if (base > kMax / factor) return Duration::max();
    return Duration(static_cast<Duration::rep>(base * factor));
}

Duration transaction_wait(Duration ack_timeout, std::uint8_t retries) {
    return saturating_add(saturating_mul(ack_timeout, std::uint64_t{retries} + 1),
                          std::chrono::milliseconds(500));
}

Duration operation_budget(Duration wait, std::uint64_t commands) {
    if (commands <= 1) return wait;
    return saturating_add(saturating_mul(wait, 2), saturating_mul(kCommandAllowance, commands));
}

std::uint64_t memory_commands(std::uint64_t length) {
    return length == 0 ? 0 : (length + gvcp::kMaxMemoryChunk - 1) / gvcp::kMaxMemoryChunk;
}

namespace {

// The device reads memory only from aligned addresses and writes whole,
// aligned words; both forms of each operation check the same way.
CameraResult<void> check_read_address(std::uint32_t address) {
    if (address % 4 != 0) return std::unexpected(CameraError::malformed("read address must be 4-byte aligned"));
    return {};
}

CameraResult<void> check_write_span(std::uint64_t address, std::size_t length) {
    if (address % 4 != 0 || length % 4 != 0)
        return std::unexpected(CameraError::malformed("write address and length must be 4-byte aligned"));
    return {};
}

}  // namespace

ControlPort::ControlPort(std::shared_ptr<ControlLink> link, ThreadHandle worker, Duration wait)
    : link_(std::move(link)), worker_(std::move(worker)), wait_(wait) {}

ControlPort ControlPort::clone() const { return ControlPort(link_, worker_.share(), wait_); }

Duration ControlPort::memory_wait(std::uint32_t length) const {
    return operation_budget(wait_, memory_commands(length));
}

bool ControlPort::subscribe(Sender<GvcpEvent> events, std::shared_ptr<std::atomic<std::uint64_t>> lost) const {
    return link_->subscribe(std::move(events), std::move(lost));
}

bool ControlPort::shutdown() const { return link_->request_shutdown(); }

void ControlPort::set_capability(std::uint32_t capability) const {
    link_->set_concatenation((capability & bootstrap::kCapConcatenation) != 0);
}

ResponseHandle<std::uint32_t> ControlPort::read_register(std::uint32_t address) const {
    ResponseHandle<std::uint32_t> reply;
    link_->submit(request::ReadRegister{address}, reply);
    return reply;
}

ResponseHandle<std::vector<std::uint32_t>> ControlPort::read_registers(
    std::vector<std::uint32_t> addresses) const {
    ResponseHandle<std::vector<std::uint32_t>> reply;
    link_->submit(request::ReadRegisters{std::move(addresses)}, reply);
    return reply;
}

ResponseHandle<void> ControlPort::write_register(std::uint32_t address, std::uint32_t value) const {
    OCULANE_LOG(log::Level::Trace, log::kGige, "write register {:#06x} := {:#010x}", address, value);
    ResponseHandle<void> reply;
    link_->submit(request::WriteRegisters{{{address, value}}}, reply);
    return reply;
}

ResponseHandle<std::vector<std::uint8_t>> ControlPort::read_memory(std::uint32_t address,
                                                                   std::uint32_t length) const {
    ResponseHandle<std::vector<std::uint8_t>> reply;
    if (auto ok = check_read_address(address); !ok) {
        reply.fail(std::move(ok.error()));
        return reply;
    }
    link_->submit(request::ReadMemory{address, length}, reply);
    return reply;
}

ResponseHandle<void> ControlPort::write_memory(std::uint32_t address, std::vector<std::uint8_t> data) const {
    ResponseHandle<void> reply;
    if (auto ok = check_write_span(address, data.size()); !ok) {
        reply.fail(std::move(ok.error()));
        return reply;
    }
    OCULANE_LOG(log::Level::Trace, log::kGige, "write memory {:#06x} ({} bytes)", address, data.size());
    link_->submit(request::WriteMemory{address, std::move(data)}, reply);
    return reply;
}

CameraResult<std::uint32_t> ControlPort::read_register(std::uint32_t address, const WaitLimit& limit) const {
    auto r = link_->transact(request::ReadRegister{address}, limit);
    if (!r) return std::unexpected(std::move(r.error()));
    return std::get<std::uint32_t>(*r);
}

CameraResult<std::vector<std::uint32_t>> ControlPort::read_registers(std::vector<std::uint32_t> addresses,
                                                                     const WaitLimit& limit) const {
    auto r = link_->transact(request::ReadRegisters{std::move(addresses)}, limit);
    if (!r) return std::unexpected(std::move(r.error()));
    return std::get<std::vector<std::uint32_t>>(std::move(*r));
}

CameraResult<void> ControlPort::write_register(std::uint32_t address, std::uint32_t value,
                                               const WaitLimit& limit) const {
    OCULANE_LOG(log::Level::Trace, log::kGige, "write register {:#06x} := {:#010x}", address, value);
    auto r = link_->transact(request::WriteRegisters{{{address, value}}}, limit);
    if (!r) return std::unexpected(std::move(r.error()));
    return {};
}

CameraResult<std::vector<std::uint8_t>> ControlPort::read_memory(std::uint32_t address, std::uint32_t length,
                                                                 const WaitLimit& limit) const {
    if (auto ok = check_read_address(address); !ok) return std::unexpected(std::move(ok.error()));
    auto r = link_->transact(request::ReadMemory{address, length}, limit);
    if (!r) return std::unexpected(std::move(r.error()));
    return std::get<std::vector<std::uint8_t>>(std::move(*r));
}

namespace {

CameraResult<std::uint32_t> address32(std::uint64_t address) {
    if (address > std::numeric_limits<std::uint32_t>::max())
        return std::unexpected(CameraError::malformed(fmt::format("address {:#x} beyond 32 bit", address)));
    return static_cast<std::uint32_t>(address);
}

}  // namespace

CameraResult<void> ControlPort::read(std::uint64_t address, std::span<std::uint8_t> destination,
                                     const WaitLimit& outer) const {
    const auto addr = address32(address);
    if (!addr) return std::unexpected(addr.error());
    if (destination.empty()) return {};
    // Descriptions pack 1- and 2-byte registers into words and put strings at
    // odd offsets, but the device only reads whole words from aligned
    // addresses: fetch the aligned span that covers the request and copy out
    // the part asked for.
    const std::uint64_t first = *addr & ~std::uint64_t{3};
    const std::uint64_t end = (std::uint64_t{*addr} + destination.size() + 3) & ~std::uint64_t{3};
    if (end > std::uint64_t{1} << 32)
        return std::unexpected(CameraError::malformed(
            fmt::format("read of {} bytes at {:#x} goes beyond 32 bit", destination.size(), *addr)));
    const auto start = static_cast<std::uint32_t>(first);
    const auto skip = static_cast<std::size_t>(*addr - first);
    // A whole word, or part of one at an unaligned address, is a register
    // read: packed 1- and 2-byte registers live in register space, which
    // devices do not always serve to memory reads.
    if (end - first == 4 && (skip != 0 || destination.size() == 4)) {
        auto value = read_register(start, outer.narrowed(wait_));
        if (!value) return std::unexpected(std::move(value.error()));
        std::uint8_t word[4];
        ByteWriter(word).u32(*value);
        std::copy_n(word + skip, destination.size(), destination.begin());
        return {};
    }
    // Aligned requests keep their own length (the worker rounds the command
    // up itself); unaligned ones ask for the covering span.
    const auto length = static_cast<std::uint32_t>(skip == 0 ? destination.size() : end - first);
    auto bytes = read_memory(start, length, outer.narrowed(memory_wait(length)));
    if (!bytes) return std::unexpected(std::move(bytes.error()));
    if (bytes->size() != length) return std::unexpected(CameraError::malformed("short memory read"));
    std::copy_n(bytes->begin() + static_cast<std::ptrdiff_t>(skip), destination.size(), destination.begin());
    return {};
}

CameraResult<void> ControlPort::write(std::uint64_t address, std::span<const std::uint8_t> source,
                                      const WaitLimit& outer) const {
    const auto addr = address32(address);
    if (!addr) return std::unexpected(addr.error());
    if (source.size() == 4 && *addr % 4 == 0)
        return write_register(*addr, be32_at(source, 0), outer.narrowed(wait_));
    if (source.size() > std::numeric_limits<std::uint32_t>::max())
        return std::unexpected(CameraError::malformed("memory write longer than 4 GiB"));
    if (auto ok = check_write_span(*addr, source.size()); !ok) return std::unexpected(std::move(ok.error()));
    const auto length = static_cast<std::uint32_t>(source.size());
    auto r = link_->transact(request::WriteMemory{*addr, std::vector<std::uint8_t>(source.begin(), source.end())},
                             outer.narrowed(memory_wait(length)));
    if (!r) return std::unexpected(std::move(r.error()));
    return {};
}

}  // namespace oculane::gige
