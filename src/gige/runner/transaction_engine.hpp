#pragma once
// The GVCP transaction engine: the control worker's protocol logic without any
// socket or clock. The worker feeds it requests, received datagrams and the
// current instant; the engine answers through EngineIo (bytes to send,
// finished requests, device events). Everything here runs on the worker
// thread only, so nothing in it is locked except the shared counters.

#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <utility>
#include <variant>
#include <vector>

#include "error/camera_error.hpp"
#include "gige/proto/gvcp.hpp"
#include "gige/runner/link_stats.hpp"
#include "util/inet.hpp"
#include "util/duration.hpp"

namespace oculane::gige {

using Clock = std::chrono::steady_clock;
using Instant = Clock::time_point;

// Identifies a caller's request towards EngineIo::complete; 0 is never used
// for a caller (the heartbeat has nobody waiting).
using RequestToken = std::uint64_t;

// What a finished request carries: nothing (writes), one register value, a
// list of register values, or memory bytes.
using Reply = std::variant<std::monostate, std::uint32_t, std::vector<std::uint32_t>,
                           std::vector<std::uint8_t>>;

namespace request {
struct ReadRegister {
    std::uint32_t address = 0;
};
struct ReadRegisters {
    std::vector<std::uint32_t> addresses;
};
struct WriteRegisters {
    std::vector<gvcp::RegisterWrite> pairs;
};
struct ReadMemory {
    std::uint32_t address = 0;
    std::uint32_t length = 0;
};
struct WriteMemory {
    std::uint32_t address = 0;
    std::vector<std::uint8_t> data;
};
}  // namespace request

using Request = std::variant<request::ReadRegister, request::ReadRegisters, request::WriteRegisters,
                             request::ReadMemory, request::WriteMemory>;

using Endpoint = inet::Endpoint;

// The engine's only way out. Implemented by the worker over its socket and by
// recorders in tests.
class EngineIo {
public:
    virtual ~EngineIo() = default;
    virtual CameraResult<void> send_to_device(std::span<const std::uint8_t> bytes) = 0;
    virtual CameraResult<void> send_to(std::span<const std::uint8_t> bytes, Endpoint to) = 0;
    // Called exactly once per submitted request.
    virtual void complete(RequestToken token, CameraResult<Reply> result) = 0;
    // An event or event-with-data command; `payload` is cut to its length field.
    virtual void event(std::uint16_t command, std::span<const std::uint8_t> payload) = 0;
    // True when nobody waits for the request's answer any more (its caller
    // gave up). A device that keeps answering "pending" is then not waited
    // for on the caller's behalf.
    virtual bool abandoned(RequestToken) const { return false; }
};

struct EngineConfig {
    std::uint32_t device_ip = 0;  // host order; acknowledges from elsewhere are ignored
    Duration ack_timeout = std::chrono::milliseconds(500);
    std::uint8_t retries = 4;
    std::uint32_t heartbeat_timeout_ms = 3000;
    // How long pending acknowledges may keep one command in flight, counted
    // from its first send. Past it the command ends as if unanswered, so a
    // device that only ever answers "pending" cannot hold the queue.
    Duration max_pending = std::chrono::seconds(30);
};

// Heartbeat timeout / 3, kept between 10 ms and 1000 ms.
std::chrono::milliseconds heartbeat_period(std::uint32_t heartbeat_timeout_ms);

// Largest data chunk of one memory command.
inline constexpr std::uint32_t kMaxChunk = gvcp::kMaxMemoryChunk;

class TransactionEngine {
public:
    TransactionEngine(EngineConfig config, LinkStatsRecord& stats, EngineIo& io, Instant now);

    // Appends a request to the waiting queue; it goes out on a later tick.
    void submit(RequestToken token, Request request);
    // Every datagram received on the control socket.
    void on_datagram(std::span<const std::uint8_t> datagram, Endpoint source, Instant now);
    // Deadlines, the heartbeat and starting the next transaction.
    void tick(Instant now);
    // Fails everything outstanding (ControlLost after loss of control, else
    // NotConnected) and gives control back when a take of ours succeeded and
    // was not lost since. Requests submitted later fail at once.
    void shutdown();
    // Ends one request early with `error`, whether it waits or is in flight
    // (a late acknowledge then counts as unsolicited). For a caller whose
    // overall deadline passed or who was interrupted. False when the token is
    // unknown (already finished).
    bool abandon(RequestToken token, CameraError error);

    // Whether the device takes several register reads or writes in one
    // command (the concatenation bit of its GVCP capability word). Until it
    // is known, every register goes in a command of its own.
    void set_concatenation(bool supported) { concatenation_ = supported; }

    bool control_lost() const { return control_lost_; }
    bool shut_down() const { return shut_down_; }
    bool idle() const { return !in_flight_ && queue_.empty(); }
    // The error for requests that come after the end.
    CameraError end_error() const;
    // The earliest instant at which tick() has work to do.
    Instant next_deadline() const;
    Instant next_heartbeat() const { return next_heartbeat_; }

    // For tests: the id used last (the next command uses the one after it).
    void set_last_request_id(std::uint16_t id) { last_id_ = id; }

private:
    enum class Kind : std::uint8_t {
        ReadRegister,
        ReadRegisters,
        WriteRegisters,
        ReadMemory,
        WriteMemory,
        Heartbeat,
    };

    struct Op {
        Kind kind = Kind::Heartbeat;
        RequestToken token = 0;
        // ReadRegisters (ReadRegister and Heartbeat use `address`)
        std::vector<std::uint32_t> addresses;
        // WriteRegisters
        std::vector<gvcp::RegisterWrite> pairs;
        // Register lists: index of the first register of the command in
        // flight, and the values read so far.
        std::size_t next = 0;
        std::vector<std::uint32_t> values;
        // ReadRegister, Heartbeat: the register.
        // ReadMemory: address of the next chunk, total length, bytes so far.
        // WriteMemory: start address, offset of the next chunk, the data.
        std::uint32_t address = 0;
        std::uint32_t total = 0;
        std::uint32_t offset = 0;
        std::vector<std::uint8_t> bytes;
    };

    struct InFlight {
        std::vector<std::uint8_t> bytes;
        Op op;
        Instant deadline;
        Instant first_sent;
        std::uint16_t id = 0;
        std::uint8_t tries_left = 0;
        bool extended = false;  // a pending acknowledge moved the deadline
        // What the command asked for: registers in a list command, memory
        // address and byte count of a memory read.
        std::size_t batch = 0;
        std::uint32_t asked_address = 0;
        std::uint32_t asked_count = 0;
    };

    // "READREG", "WRITEMEM", ...: the command an operation sends, for logs.
    static const char* kind_name(Kind kind);
    std::uint16_t next_id();
    void send_op(Op op, Instant now);
    void continue_op(Op op, Instant now);
    void fail(Op& op, CameraError error);
    void finish(Op& op, Reply reply);
    void handle_command(std::span<const std::uint8_t> datagram, Endpoint source);
    void handle_ack(std::span<const std::uint8_t> datagram, Instant now);
    struct Asked {
        std::size_t batch = 0;
        std::uint32_t address = 0;
        std::uint32_t count = 0;
    };
    void complete_op(Op op, std::span<const std::uint8_t> payload, Asked asked, Instant now);
    bool heartbeat_outstanding() const;
    void lose_control();
    void give_up_in_flight();
    std::size_t batch_for(const Op& op) const;
    void note_writes(std::span<const gvcp::RegisterWrite> done);
    void note_unanswered(const Op& op, std::size_t batch);

    // Events forwarded lately. A device repeats an event whose acknowledge it
    // missed with the same request id and the same bytes: each copy is
    // acknowledged, only the first forwarded. The payload digest keeps a
    // device that restarted its request ids from losing new events; the
    // window is bounded, a repeat behind more newer events than it holds is
    // forwarded again.
    class RecentEvents {
    public:
        // True when (command, request id, payload) is among the recent ones;
        // otherwise it is remembered, replacing the oldest.
        bool repeat(std::uint16_t command, std::uint16_t request_id, std::span<const std::uint8_t> payload);

    private:
        struct Seen {
            std::uint64_t digest = 0;
            std::uint16_t command = 0;
            std::uint16_t request_id = 0;
        };
        static constexpr std::size_t kWindow = 64;
        std::array<Seen, kWindow> seen_{};
        std::size_t size_ = 0;
        std::size_t next_ = 0;
    };

    EngineConfig config_;
    LinkStatsRecord& stats_;
    EngineIo& io_;
    std::deque<Op> queue_;
    std::optional<InFlight> in_flight_;
    std::chrono::milliseconds heartbeat_period_;
    Instant next_heartbeat_;
    std::uint16_t last_id_ = 0;
    bool control_lost_ = false;
    bool shut_down_ = false;
    bool concatenation_ = false;
    // Set once a write of ours to the CCP register was acknowledged (or went
    // unanswered: the grant may have happened with its acknowledges lost),
    // cleared when we write 0 there. A take the device refused never sets
    // it, so a refused connect cannot evict the application that holds
    // control.
    bool control_taken_ = false;
    RecentEvents recent_events_;
};

}  // namespace oculane::gige
