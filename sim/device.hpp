#pragma once
// The virtual camera's GVCP device: register model, control privilege,
// description memory, behaviour registers and fault injection, with no socket
// and no clock of its own. It is driven by "this datagram arrived from this
// host at instant t" and "tick at instant t", and answers with the datagrams
// to send (each with a delay). Server (server.hpp) puts it on a UDP socket.
//
// Thread safety: every public member takes the device's own mutex, so the
// server thread and Python callers may use one Device concurrently. Nothing
// here blocks beyond that mutex, and nothing calls out while holding it.

#include <array>
#include <chrono>
#include <memory>
#include <cstdint>
#include <deque>
#include <expected>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "gige/proto/gvcp.hpp"
#include "sim/device_config.hpp"
#include "util/poller.hpp"
#include "sim/register_space.hpp"
#include "sim/stream_types.hpp"
#include "thread_util/mutex.hpp"

namespace oculane::sim {

struct Outgoing {
    Endpoint to;
    std::vector<std::uint8_t> bytes;
    std::chrono::milliseconds delay{0};  // send this long after now
};

// What the device received and how it answered, for tests.
struct CommandRecord {
    double time = 0;  // seconds since the device was made
    Endpoint from;
    std::uint8_t flags = 0;
    std::uint16_t command = 0;
    std::uint16_t request_id = 0;
    std::vector<std::uint32_t> addresses;  // READREG/WRITEREG addresses, READMEM/WRITEMEM start
    std::vector<std::uint32_t> values;     // WRITEREG values
    std::uint32_t length = 0;              // READMEM count, WRITEMEM data bytes, else payload bytes
    std::uint16_t status = 0;              // status answered (or that would have been)
    bool answered = false;                 // an acknowledge went out (possibly spoiled)
    // PACKETRESEND: the channel, block and packet range asked for.
    std::uint16_t channel = 0;
    std::uint64_t block_id = 0;
    std::uint32_t first_packet = 0;
    std::uint32_t last_packet = 0;
};

struct EventAckRecord {
    double time = 0;
    Endpoint from;
    std::uint16_t status = 0;
    std::uint16_t ack_code = 0;
    std::uint16_t ack_id = 0;
};

struct Counters {
    std::uint64_t commands = 0;       // well-formed commands received (discovery included)
    std::uint64_t discovery = 0;      // discovery commands answered
    std::uint64_t acks = 0;           // acknowledges sent (spoiled ones included)
    std::uint64_t dropped_acks = 0;   // acknowledges withheld by a fault
    std::uint64_t pending_acks = 0;   // pending acknowledges sent
    std::uint64_t naks = 0;           // acknowledges with an error status
    std::uint64_t access_denied = 0;  // commands refused for lack of privilege
    std::uint64_t malformed = 0;      // datagrams that were no well-formed command
    std::uint64_t events = 0;         // event commands sent
    std::uint64_t event_acks = 0;     // event acknowledges received
    std::uint64_t event_retries = 0;  // events sent again for want of an acknowledge
    std::uint64_t raw = 0;            // raw datagrams sent on request
    std::uint64_t control_granted = 0;
    std::uint64_t control_expired = 0;  // privileges ended by the heartbeat timeout
    // Triggers and action commands (device_trigger.cpp).
    std::uint64_t triggers = 0;         // trigger signals a selector took (each gives a frame or a start)
    std::uint64_t triggers_missed = 0;  // taken while the camera could not act on them, or queue full
    std::uint64_t actions = 0;          // ACTION_CMD datagrams received
    std::uint64_t actions_matched = 0;  // of those, ones that asserted an action signal
};

enum class AckFault : std::uint8_t {
    Drop,          // no acknowledge (the command is still carried out)
    WrongId,       // acknowledge id differs from the request id
    WrongCode,     // another command's acknowledge code
    ShortPayload,  // payload cut short, length field consistent
    Malformed,     // length field larger than the bytes sent
};

// The current holder of the control privilege as the device sees it.
struct Controller {
    Endpoint endpoint;
    std::uint32_t ccp = 0;  // bits as written: 0x1 exclusive, 0x2 control
    bool foreign = false;   // pretended by a fault, never expires
};

// Stream channel registers as last written. The stream sender (beside
// Server) takes its work from the device with take_stream_work().
struct StreamChannelState {
    std::uint32_t host_port = 0;
    std::uint32_t packet_size = 0;  // raw register, flag bits included
    std::uint32_t packet_delay = 0;
    std::uint32_t destination = 0;
};

class Device {
public:
    // Throws std::runtime_error when the configuration cannot be served (a
    // description too large for device memory).
    explicit Device(DeviceConfig config, Clock::time_point start = Clock::now());

    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;

    // ---- driven by the transport ----------------------------------------
    // `via_broadcast` marks datagrams from the discovery socket, which answers
    // discovery only.
    std::vector<Outgoing> on_datagram(std::span<const std::uint8_t> datagram, Endpoint from,
                                      Clock::time_point now, bool via_broadcast = false);
    // Ends a privilege whose heartbeat lapsed.
    void tick(Clock::time_point now);
    // The next instant tick() has work, if any.
    std::optional<Clock::time_point> next_deadline() const;

    // ---- requests from the owner (tests, command line) -------------------
    // An event (0x00C0) or event-with-data (0x00C2) command to the message
    // channel when one is configured, else to the controlling application.
    std::expected<Outgoing, std::string> make_event(std::uint16_t command, std::uint16_t event_id,
                                                    std::span<const std::uint8_t> data, bool ack_required,
                                                    std::uint16_t stream_channel, std::uint16_t block_id,
                                                    Clock::time_point now);
    // Where raw datagrams go by default: the controller, else the last sender.
    std::optional<Endpoint> default_peer() const;
    void count_raw_sent();

    // ---- fault injection (takes effect with the next datagram) -----------
    // `commands` empty means every command but discovery; count < 0 forever.
    void add_ack_fault(AckFault kind, std::int64_t count, std::vector<std::uint16_t> commands);
    void set_pending_ack(std::uint32_t pending_ms, std::uint32_t answer_after_ms, std::int64_t count,
                         std::vector<std::uint16_t> commands);
    void set_address_status(std::uint32_t address, std::uint16_t status);
    void clear_address_status();
    void set_ack_delay(std::chrono::milliseconds delay);
    void set_muted(bool muted);
    void clear_faults();
    void clear_control();  // the privilege ends now, as after a lapsed heartbeat
    void set_foreign_controller(std::optional<Endpoint> holder);

    // ---- events the device raises itself (device_events.cpp) ---------------
    // What the server is to transmit now: events raised on the stream side
    // (frame start, exposure end) and retries of events the host has not
    // acknowledged within the message channel's timeout.
    std::vector<Outgoing> take_events(Clock::time_point now);
    // Woken when an event is raised outside a datagram's handling.
    void attach_event_waker(std::shared_ptr<Waker> waker);

    // ---- observation -----------------------------------------------------
    std::vector<CommandRecord> command_log() const;
    void clear_command_log();
    std::vector<EventAckRecord> event_acks() const;
    Counters counters() const;
    std::optional<Controller> controller() const;
    // Word as the controller would read it (0x0A00 shows the stored CCP).
    std::uint32_t read_register(std::uint32_t address) const;
    std::vector<std::uint8_t> read_memory(std::uint32_t address, std::uint32_t size) const;
    // Stores a word directly, without privilege, access or validity checks,
    // and recomputes the derived registers: for setting up scenarios.
    void poke_register(std::uint32_t address, std::uint32_t value);
    bool acquiring() const;
    std::uint64_t payload_size() const;
    StreamChannelState stream_channel(std::uint32_t channel = 0) const;
    std::uint64_t timestamp(Clock::time_point now) const;

    // ---- stream side (device_stream.cpp) ---------------------------------
    // Called by the sender: the resends asked for since the last call, and the
    // frames due at `now` (one per open channel), with the faults that hit
    // them; `work.next_due` says when to ask again at the latest.
    void take_stream_work(Clock::time_point now, StreamWork& work);
    void add_stream_counts(const StreamCounters& delta);
    StreamCounters stream_counters() const;
    // The sender's waker, woken when there is new work (acquisition started,
    // a resend asked for), and the source port of its socket.
    void attach_stream_sender(std::shared_ptr<Waker> waker, std::uint16_t source_port);
    void detach_stream_sender();
    std::uint32_t stream_channel_count() const { return config_.stream_channels; }

    void add_stream_fault(StreamFault fault);
    void clear_stream_faults();
    void set_lose_resent(bool lose);
    void set_path_mtu(std::uint32_t mtu);
    void set_link_rate(std::uint64_t bits_per_second);
    void set_resend_memory(std::uint64_t bytes);

    // ---- behaviours of real cameras (switchable while running) ------------
    // Keeps streaming after the first frame of a SingleFrame acquisition, as
    // devices do that ignore the mode.
    void set_ignore_single_frame(bool on);
    // Starts acquiring as soon as a stream channel's port register is
    // written, before any AcquisitionStart.
    void set_stream_on_port_write(bool on);
    // Event acknowledges are lost on the way: every event the host is sent
    // comes again as the message channel's retry count says.
    void set_ignore_event_acks(bool on);
    // Power loss: nothing is answered or sent any more (no acknowledge, no
    // stream or resent packet, no heartbeat answer, no fire-test packet), at
    // once or once `after_frames` more frames have gone to the sender.
    void power_off(std::uint64_t after_frames = 0);
    // Power back: answers again as a camera that restarted (no controller,
    // not acquiring, stream channels closed).
    void power_on(Clock::time_point now = Clock::now());
    bool powered() const;

    // ---- triggers and action commands (device_trigger.cpp) ----------------
    // A pulse on input line 0..2: a rising edge, then a falling edge, both
    // at `now`. False for a line the camera does not have.
    bool pulse_line(std::uint32_t line, Clock::time_point now = Clock::now());

    // What is served: the description text, the bytes in device memory at the
    // good location (zip or text), and the two URL register texts.
    const std::string& description() const { return description_; }
    const std::vector<std::uint8_t>& served_file() const { return served_; }
    std::string first_url() const;
    std::string second_url() const;
    std::uint32_t description_address() const { return description_address_; }
    const DeviceConfig& config() const { return config_; }

    static constexpr std::size_t kLogLimit = 10000;  // oldest records are dropped beyond this
    static constexpr std::uint32_t kMaxDescriptionBytes = 64u << 20;

private:
    struct AckFaultRule {
        AckFault kind;
        std::int64_t remaining;
        std::vector<std::uint16_t> commands;
    };
    struct PendingRule {
        std::uint32_t pending_ms;
        std::uint32_t answer_after_ms;
        std::int64_t remaining;
        std::vector<std::uint16_t> commands;
    };
    struct Faults {
        std::vector<AckFaultRule> ack_rules;
        std::optional<PendingRule> pending;
        std::vector<std::pair<std::uint32_t, std::uint16_t>> address_status;
        std::chrono::milliseconds delay{0};
        bool muted = false;
    };
    // The outcome of a command before faults spoil it.
    struct Answer {
        std::uint16_t status = 0;
        std::uint16_t ack_code = 0;
        std::vector<std::uint8_t> payload;
    };

    void build_register_map() OCULANE_REQUIRES(mu_);
    void build_description() OCULANE_REQUIRES(mu_);
    void recompute_image_registers() OCULANE_REQUIRES(mu_);

    Answer handle_read_reg(std::span<const std::uint8_t> payload, Endpoint from, CommandRecord& rec) OCULANE_REQUIRES(mu_);
    Answer handle_write_reg(std::span<const std::uint8_t> payload, Endpoint from, Clock::time_point now,
                            CommandRecord& rec) OCULANE_REQUIRES(mu_);
    Answer handle_read_mem(std::span<const std::uint8_t> payload, Endpoint from, CommandRecord& rec) OCULANE_REQUIRES(mu_);
    Answer handle_write_mem(std::span<const std::uint8_t> payload, Endpoint from, Clock::time_point now,
                            CommandRecord& rec) OCULANE_REQUIRES(mu_);
    // FORCEIP: nothing when the MAC is another device's.
    std::optional<Answer> handle_force_ip(std::span<const std::uint8_t> payload, CommandRecord& rec) OCULANE_REQUIRES(mu_);

    std::uint16_t read_word(std::uint32_t address, Endpoint from, std::uint32_t& value) const OCULANE_REQUIRES(mu_);
    std::uint16_t write_word(std::uint32_t address, std::uint32_t value, Endpoint from, Clock::time_point now) OCULANE_REQUIRES(mu_);
    // Register behaviour after the checks: returns a status (a value may be refused).
    std::uint16_t apply_write(std::uint32_t address, std::uint32_t value, Endpoint from, Clock::time_point now) OCULANE_REQUIRES(mu_);
    std::optional<std::uint16_t> injected_status(std::uint32_t first, std::uint32_t size) const OCULANE_REQUIRES(mu_);

    // Stream side.
    struct ChannelRuntime {
        std::uint64_t next_block = 1;
        std::uint64_t sent = 0;  // blocks sent since the channel opened
        std::deque<FrameJob> held;  // most recent frames, oldest first
    };
    bool is_stream_register(std::uint32_t address) const OCULANE_REQUIRES(mu_);
    std::uint16_t write_stream_register(std::uint32_t address, std::uint32_t value, Clock::time_point now) OCULANE_REQUIRES(mu_);
    Answer handle_packet_resend(const gvcp::CommandHeader& h, std::span<const std::uint8_t> payload,
                                CommandRecord& rec) OCULANE_REQUIRES(mu_);
    bool channel_open(std::uint32_t ch) const OCULANE_REQUIRES(mu_);
    bool extended_ids() const OCULANE_REQUIRES(mu_);
    bool refused_destination(std::uint32_t ip) const OCULANE_REQUIRES(mu_);
    void start_acquisition(Clock::time_point now) OCULANE_REQUIRES(mu_);
    void set_acquiring(bool on) OCULANE_REQUIRES(mu_);
    void close_stream_channel(std::uint32_t ch) OCULANE_REQUIRES(mu_);
    FrameJob make_frame(std::uint32_t ch, Clock::time_point now, std::uint64_t timestamp) OCULANE_REQUIRES(mu_);
    std::size_t frames_held_limit() const OCULANE_REQUIRES(mu_);
    void wake_sender() const OCULANE_REQUIRES(mu_);

    void deliver(const Answer& answer, std::uint16_t command, std::uint16_t request_id, Endpoint to,
                 std::vector<Outgoing>& out, CommandRecord& rec) OCULANE_REQUIRES(mu_);
    void expire(Clock::time_point now) OCULANE_REQUIRES(mu_);
    // The privilege ends (released, lapsed, cleared or displaced): the stream
    // and message channels it opened close with it.
    void end_control() OCULANE_REQUIRES(mu_);
    bool is_controller(Endpoint e) const OCULANE_REQUIRES(mu_);
    // A real controller holds the privilege and its heartbeat is checked.
    bool heartbeat_enforced() const OCULANE_REQUIRES(mu_);
    bool exclusive_elsewhere(Endpoint e) const OCULANE_REQUIRES(mu_);
    std::optional<Endpoint> event_target() const OCULANE_REQUIRES(mu_);
    void record(CommandRecord rec) OCULANE_REQUIRES(mu_);
    double seconds(Clock::time_point t) const OCULANE_REQUIRES(mu_);
    std::uint64_t timestamp_ticks_unlocked(Clock::time_point now) const OCULANE_REQUIRES(mu_);
    std::uint16_t next_request_id() OCULANE_REQUIRES(mu_);

    // ---- chunk data and events (device_chunks.cpp, device_events.cpp) ----
    // Events by EventSelector value; the number is also the bit of the
    // notification registers and the offset of the event id.
    enum class EventKind : std::uint32_t { AcquisitionStart = 0, AcquisitionEnd, FrameStart, ExposureEnd, Test, kCount };
    struct PendingEvent {
        std::uint16_t request_id = 0;
        Outgoing out;
        std::uint32_t retries_left = 0;
        Clock::time_point due;
    };
    void build_chunk_event_registers() OCULANE_REQUIRES(mu_);
    // Writes to the chunk and event control registers; nothing for others.
    std::optional<std::uint16_t> write_chunk_event_register(std::uint32_t address, std::uint32_t value,
                                                            Clock::time_point now) OCULANE_REQUIRES(mu_);
    std::uint32_t chunk_mask() const OCULANE_REQUIRES(mu_);
    // Bytes chunk mode adds to the image now (0 with chunk mode off).
    std::uint64_t chunk_trailer_bytes() const OCULANE_REQUIRES(mu_);
    // The chunk values of a frame being made.
    void fill_chunks(FrameJob& f) const OCULANE_REQUIRES(mu_);
    // Sends the event when its notification is on (the test event always),
    // to the message channel or the controller: into side_effects_ while a
    // datagram is handled (in_datagram_), else into the outbox for the
    // server. One that
    // asks for an acknowledge is repeated as the message channel's timeout
    // and retry count say until it is acknowledged.
    void raise_event(EventKind kind, std::span<const std::uint8_t> data, std::uint16_t channel,
                     std::uint16_t block_id, Clock::time_point now) OCULANE_REQUIRES(mu_);
    void event_acknowledged(std::uint16_t ack_id) OCULANE_REQUIRES(mu_);
    std::optional<Clock::time_point> next_event_retry() const OCULANE_REQUIRES(mu_);
    // Triggers and actions (device_trigger.cpp).
    struct PendingTrigger {
        Clock::time_point due;
        std::uint32_t selector = 0;
    };
    bool is_trigger_register(std::uint32_t address) const OCULANE_REQUIRES(mu_);
    std::uint16_t write_trigger_register(std::uint32_t address, std::uint32_t value, Clock::time_point now) OCULANE_REQUIRES(mu_);
    std::uint32_t trigger_reg(std::uint32_t selector, std::uint32_t offset) const OCULANE_REQUIRES(mu_);
    bool trigger_on(std::uint32_t selector) const OCULANE_REQUIRES(mu_);
    // A signal from `source` at `at` (an edge of kind `edge` for lines).
    void signal_trigger(std::uint32_t source, std::optional<std::uint32_t> edge, Clock::time_point at) OCULANE_REQUIRES(mu_);
    void queue_trigger(std::uint32_t selector, Clock::time_point at) OCULANE_REQUIRES(mu_);
    // AcquisitionStart when its trigger is on: the camera waits for the trigger.
    void arm_or_start_acquisition(Clock::time_point now) OCULANE_REQUIRES(mu_);
    // Serves the triggers due at `now`; the instant of the frame trigger
    // taken, when one is, for the frame's timestamp.
    std::optional<Clock::time_point> serve_triggers(Clock::time_point now) OCULANE_REQUIRES(mu_);
    void clear_triggers() OCULANE_REQUIRES(mu_);
    std::optional<Answer> handle_action(const gvcp::CommandHeader& h, std::span<const std::uint8_t> payload,
                                        Clock::time_point now, CommandRecord& rec) OCULANE_REQUIRES(mu_);
    Clock::time_point time_of_ticks(std::uint64_t ticks) const OCULANE_REQUIRES(mu_);

    // Every call of the public interface takes mu_; the private helpers run
    // with it held. The configuration and the served description are made
    // by the constructor and never change, so they are read without it.
    mutable Mutex mu_;
    DeviceConfig config_;
    Clock::time_point start_;
    Clock::time_point timestamp_origin_;
    RegisterSpace space_ OCULANE_GUARDED_BY(mu_);
    bool own_description_ = true;
    std::string description_;
    std::vector<std::uint8_t> served_;
    std::string served_name_;
    std::uint32_t description_address_ = 0;
    std::uint32_t corrupt_address_ = 0;  // copy with broken deflate data, when asked for

    std::optional<Controller> controller_ OCULANE_GUARDED_BY(mu_);
    Clock::time_point last_heard_ OCULANE_GUARDED_BY(mu_){};
    std::optional<Endpoint> last_sender_ OCULANE_GUARDED_BY(mu_);
    bool acquiring_ OCULANE_GUARDED_BY(mu_) = false;
    std::uint16_t event_request_id_ OCULANE_GUARDED_BY(mu_) = 0;
    std::vector<Outgoing> side_effects_ OCULANE_GUARDED_BY(mu_);  // datagrams caused by register writes (test events)

    // Stream side, guarded by mu_ like the rest.
    std::array<ChannelRuntime, kMaxStreamChannels> channels_ OCULANE_GUARDED_BY(mu_){};
    std::deque<ResendJob> resend_queue_ OCULANE_GUARDED_BY(mu_);
    std::uint32_t frames_left_ OCULANE_GUARDED_BY(mu_) = 0;  // SingleFrame and MultiFrame: frames still to take; 0 without end
    Clock::time_point next_frame_due_ OCULANE_GUARDED_BY(mu_){};
    std::vector<StreamFault> stream_faults_ OCULANE_GUARDED_BY(mu_);
    bool lose_resent_ OCULANE_GUARDED_BY(mu_) = false;
    std::uint32_t path_mtu_ OCULANE_GUARDED_BY(mu_) = 0;
    std::uint64_t link_rate_ OCULANE_GUARDED_BY(mu_) = 0;
    std::uint64_t resend_memory_ OCULANE_GUARDED_BY(mu_) = 0;
    StreamCounters stream_counters_ OCULANE_GUARDED_BY(mu_);
    std::shared_ptr<Waker> stream_waker_ OCULANE_GUARDED_BY(mu_);
    bool ignore_single_frame_ OCULANE_GUARDED_BY(mu_) = false;
    bool stream_on_port_write_ OCULANE_GUARDED_BY(mu_) = false;
    bool ignore_event_acks_ OCULANE_GUARDED_BY(mu_) = false;
    bool powered_off_ OCULANE_GUARDED_BY(mu_) = false;
    std::uint64_t power_off_after_frames_ OCULANE_GUARDED_BY(mu_) = 0;  // 0: no power loss scheduled

    // Events raised outside datagram handling, and those awaiting an acknowledge.
    std::vector<Outgoing> event_outbox_ OCULANE_GUARDED_BY(mu_);
    std::deque<PendingEvent> pending_events_ OCULANE_GUARDED_BY(mu_);
    std::shared_ptr<Waker> event_waker_ OCULANE_GUARDED_BY(mu_);
    bool in_datagram_ OCULANE_GUARDED_BY(mu_) = false;  // on_datagram is running (its answers carry side_effects_)
    Clock::time_point last_now_ OCULANE_GUARDED_BY(mu_){};  // the latest instant the device was driven with
    // Triggers and actions, guarded by mu_.
    std::deque<PendingTrigger> triggers_ OCULANE_GUARDED_BY(mu_);  // in due order, bounded
    bool armed_ OCULANE_GUARDED_BY(mu_) = false;                   // AcquisitionStart given, waiting for its trigger
    std::uint32_t action_device_key_ OCULANE_GUARDED_BY(mu_) = 0;

    Faults faults_ OCULANE_GUARDED_BY(mu_);
    std::deque<CommandRecord> log_ OCULANE_GUARDED_BY(mu_);
    std::deque<EventAckRecord> event_acks_ OCULANE_GUARDED_BY(mu_);
    Counters counters_ OCULANE_GUARDED_BY(mu_);
};

}  // namespace oculane::sim
