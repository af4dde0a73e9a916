#pragma once
// The caller side of the control link. The asynchronous operations queue one
// request and return its response handle at once; the synchronous ones (and
// the byte access the feature model uses) wait for the result, carrying the
// exchange out on the calling thread when nothing else is in flight. Copies
// made with clone() reach the same link; releasing a port never stops it.
//
// Thread safety: any thread may use a port or its clones concurrently; the
// link serialises their requests in arrival order.

#include <atomic>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "error/camera_error.hpp"
#include "gige/runner/control_worker.hpp"
#include "handle/response_handle.hpp"
#include "thread_util/thread_handle.hpp"
#include "util/channel.hpp"
#include "util/duration.hpp"

namespace oculane::gige {

// Arithmetic on waits that clamps at the largest duration instead of
// overflowing; an absurd timeout then simply means "wait without limit".
Duration saturating_add(Duration a, Duration b);
Duration saturating_mul(Duration d, std::uint64_t factor);

// acknowledge timeout × (retries + 1) + 500 ms.
Duration transaction_wait(Duration ack_timeout, std::uint8_t retries);

// What one command of a long operation may take on average. A transfer of n
// commands gets two whole transaction waits (for retries anywhere in it) plus
// n of these, so it must keep up about 50 KB/s: a device that answers each
// chunk just inside its acknowledge timeout cannot keep a 64 MiB download
// going for hours (it ends within 22 minutes with default settings, and
// an interrupt ends it at once).
inline constexpr Duration kCommandAllowance = std::chrono::milliseconds(10);
// The overall wait for an operation of `commands` commands: `wait` for one,
// 2 × wait + commands × kCommandAllowance for more.
Duration operation_budget(Duration wait, std::uint64_t commands);
// Commands needed to move `length` bytes of memory.
std::uint64_t memory_commands(std::uint64_t length);

class ControlPort {
public:
    ControlPort(std::shared_ptr<ControlLink> link, ThreadHandle worker, Duration wait);

    // Asynchronous forms: queued at once, answered through the handle.
    ResponseHandle<std::uint32_t> read_register(std::uint32_t address) const;
    ResponseHandle<std::vector<std::uint32_t>> read_registers(std::vector<std::uint32_t> addresses) const;
    ResponseHandle<void> write_register(std::uint32_t address, std::uint32_t value) const;
    // `address` must be a multiple of 4; `length` need not be.
    ResponseHandle<std::vector<std::uint8_t>> read_memory(std::uint32_t address, std::uint32_t length) const;
    // Address and data length must both be multiples of 4.
    ResponseHandle<void> write_memory(std::uint32_t address, std::vector<std::uint8_t> data) const;

    // Synchronous forms: carried out on the calling thread when nothing else
    // is in flight (see ControlLink), waiting at most until `limit`.
    CameraResult<std::uint32_t> read_register(std::uint32_t address, const WaitLimit& limit) const;
    CameraResult<std::vector<std::uint32_t>> read_registers(std::vector<std::uint32_t> addresses,
                                                            const WaitLimit& limit) const;
    CameraResult<void> write_register(std::uint32_t address, std::uint32_t value, const WaitLimit& limit) const;
    CameraResult<std::vector<std::uint8_t>> read_memory(std::uint32_t address, std::uint32_t length,
                                                        const WaitLimit& limit) const;

    ControlPort clone() const;

    // Forwards every later device event to `events` without blocking: a full
    // channel loses the event, a closed one is dropped. False when no running
    // worker took the subscription.
    // `lost`, when given, counts the events this subscriber lost.
    bool subscribe(Sender<GvcpEvent> events, std::shared_ptr<std::atomic<std::uint64_t>> lost = nullptr) const;

    // Asks the worker to finish in order (fail what is outstanding, give
    // control back, stop). False when no running worker took the message.
    bool shutdown() const;

    // From the device's GVCP capability word: whether register lists may go
    // in one command. Until told, every register goes alone.
    void set_capability(std::uint32_t capability) const;

    // The per-transaction wait fixed at connect.
    Duration wait() const { return wait_; }
    // The overall wait for a memory transfer of `length` bytes.
    Duration memory_wait(std::uint32_t length) const;
    bool worker_running() const { return worker_.worker_running(); }

    // Byte access for the feature model: 4 aligned bytes use the register
    // commands, everything else the memory commands. A read at an unaligned
    // address fetches the aligned span around it and copies out the bytes
    // asked for. Addresses above 32 bits and unaligned writes (a
    // read-modify-write could disturb neighbouring registers) fail without
    // traffic. Each access waits its own transaction wait, and never past
    // `outer` (a cleanup path bounds a whole sequence of accesses with it).
    CameraResult<void> read(std::uint64_t address, std::span<std::uint8_t> destination,
                            const WaitLimit& outer = {}) const;
    CameraResult<void> write(std::uint64_t address, std::span<const std::uint8_t> source,
                             const WaitLimit& outer = {}) const;

private:
    std::shared_ptr<ControlLink> link_;
    ThreadHandle worker_;  // non-owning
    Duration wait_;
};

}  // namespace oculane::gige
