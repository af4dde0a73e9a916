#pragma once
// The caller side of the control worker. Each operation queues one request
// and returns its response handle at once; callers wait on the handle. Copies
// made with clone() reach the same worker; releasing a port never stops it.
//
// Thread safety: any thread may use a port or its clones concurrently; the
// worker serialises their requests in arrival order.

#include <cstdint>
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

class ControlPort {
public:
    ControlPort(Sender<ToWorker> requests, ThreadHandle worker, Duration wait);

    ResponseHandle<std::uint32_t> read_register(std::uint32_t address) const;
    ResponseHandle<std::vector<std::uint32_t>> read_registers(std::vector<std::uint32_t> addresses) const;
    ResponseHandle<void> write_register(std::uint32_t address, std::uint32_t value) const;
    // `address` must be a multiple of 4; `length` need not be.
    ResponseHandle<std::vector<std::uint8_t>> read_memory(std::uint32_t address, std::uint32_t length) const;
    // Address and data length must both be multiples of 4.
    ResponseHandle<void> write_memory(std::uint32_t address, std::vector<std::uint8_t> data) const;

    ControlPort clone() const;

    // Forwards every later device event to `events` without blocking: a full
    // channel loses the event, a closed one is dropped. False when no running
    // worker took the subscription.
    bool subscribe(Sender<GvcpEvent> events) const;

    // Asks the worker to finish in order (fail what is outstanding, give
    // control back, stop). False when no running worker took the message.
    bool shutdown() const;

    // The per-transaction wait fixed at connect.
    Duration wait() const { return wait_; }
    // The wait for a memory transfer of `length` bytes: one per possible chunk.
    Duration memory_wait(std::uint32_t length) const;
    bool worker_running() const { return worker_.worker_running(); }

    // Byte access for the feature model: 4 aligned bytes use the register
    // commands, everything else the memory commands. A read at an unaligned
    // address fetches the aligned span around it and copies out the bytes
    // asked for. Addresses above 32 bits and unaligned writes (a
    // read-modify-write could disturb neighbouring registers) fail without
    // traffic.
    CameraResult<void> read(std::uint64_t address, std::span<std::uint8_t> destination) const;
    CameraResult<void> write(std::uint64_t address, std::span<const std::uint8_t> source) const;

private:
    // Queues a message for a running worker and wakes it; false when no
    // running worker took it.
    bool post(ToWorker message) const;
    template <class T>
    ResponseHandle<T> deliver(ToWorker message, ResponseHandle<T> reply) const;

    mutable Sender<ToWorker> requests_;  // sending is thread-safe; the channel locks
    ThreadHandle worker_;  // non-owning
    Duration wait_;
};

}  // namespace oculane::gige
