// oculane._sim: the virtual camera's device and server, for oculane.sim.
// Thin: argument conversion only. The device's mutex is held only for short
// bookkeeping, and the server thread never touches Python, so calls below run
// with the interpreter lock held except for start and stop, which may wait on
// the worker thread.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include <nanobind/nanobind.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/tuple.h>
#include <nanobind/stl/vector.h>

#include <fmt/format.h>

#include <chrono>
#include <memory>
#include <mutex>

#include "sim/device.hpp"
#include "sim/server.hpp"
#include "sim/test_pattern.hpp"
#include "gige/proto/gvsp.hpp"
#include "thread_util/mutex.hpp"
#include "util/inet.hpp"
#include "py/interpreter_lock.hpp"
#include "util/unique_fd.hpp"

namespace nb = nanobind;
using namespace nb::literals;
using namespace oculane::sim;
namespace inet = oculane::inet;

namespace {

std::uint32_t parse_ip(const std::string& text) {
    in_addr a{};
    if (::inet_pton(AF_INET, text.c_str(), &a) != 1)
        throw nb::value_error(fmt::format("invalid IPv4 address: '{}'", text).c_str());
    return ntohl(a.s_addr);
}

nb::tuple endpoint(Endpoint e) { return nb::make_tuple(inet::format_ipv4(e.ip), e.port); }

nb::bytes to_bytes(const std::vector<std::uint8_t>& v) {
    return nb::bytes(reinterpret_cast<const char*>(v.data()), v.size());
}

std::vector<std::uint8_t> from_bytes(const nb::bytes& b) {
    const auto* p = static_cast<const std::uint8_t*>(b.data());
    return {p, p + b.size()};
}

AckFault fault_kind(const std::string& name) {
    if (name == "drop") return AckFault::Drop;
    if (name == "wrong_id") return AckFault::WrongId;
    if (name == "wrong_code") return AckFault::WrongCode;
    if (name == "short_payload") return AckFault::ShortPayload;
    if (name == "malformed") return AckFault::Malformed;
    throw nb::value_error(
        fmt::format("unknown acknowledge fault '{}' (drop, wrong_id, wrong_code, short_payload, malformed)", name)
            .c_str());
}

struct StreamFaultName {
    const char* name;
    StreamFaultKind kind;
};
constexpr StreamFaultName kStreamFaults[] = {
    {"loss", StreamFaultKind::Loss},
    {"burst", StreamFaultKind::Burst},
    {"drop_packets", StreamFaultKind::DropPackets},
    {"drop_leader", StreamFaultKind::DropLeader},
    {"drop_trailer", StreamFaultKind::DropTrailer},
    {"drop_frame", StreamFaultKind::DropFrame},
    {"reorder", StreamFaultKind::Reorder},
    {"duplicate", StreamFaultKind::Duplicate},
    {"error_status", StreamFaultKind::ErrorStatus},
    {"wrong_packet_id", StreamFaultKind::WrongPacketId},
    {"absurd_trailer", StreamFaultKind::AbsurdTrailer},
    {"bad_payload_type", StreamFaultKind::BadPayloadType},
    {"truncate", StreamFaultKind::Truncate},
    {"oversized_leader", StreamFaultKind::OversizedLeader},
    {"all_in", StreamFaultKind::AllIn},
};

StreamFaultKind stream_fault_kind(const std::string& name) {
    for (const auto& f : kStreamFaults)
        if (name == f.name) return f.kind;
    std::string names;
    for (const auto& f : kStreamFaults) names += (names.empty() ? "" : ", ") + std::string(f.name);
    throw nb::value_error(fmt::format("unknown stream fault '{}' ({})", name, names).c_str());
}

std::uint32_t pixel_format_arg(nb::handle v) {
    if (nb::isinstance<nb::str>(v)) {
        const auto name = nb::cast<std::string>(v);
        if (auto code = oculane::gvsp::pixel_format_code(name)) return *code;
        throw nb::value_error(fmt::format("unknown pixel format '{}'", name).c_str());
    }
    const auto code = nb::cast<std::uint32_t>(v);
    if (!oculane::gvsp::pixel_format_name(code))
        throw nb::value_error(fmt::format("pixel format 0x{:08x} has no test pattern", code).c_str());
    return code;
}

UrlFault url_fault(const std::string& name) {
    if (name.empty() || name == "none") return UrlFault::None;
    if (name == "bad_text") return UrlFault::BadText;
    if (name == "http") return UrlFault::Http;
    if (name == "corrupt_zip") return UrlFault::CorruptZip;
    if (name == "truncated_zip") return UrlFault::TruncatedZip;
    throw nb::value_error(
        fmt::format("unknown URL fault '{}' (bad_text, http, corrupt_zip, truncated_zip)", name).c_str());
}

// A device and, while started, its server.
class SimDevice {
public:
    explicit SimDevice(nb::dict cfg) : device_(std::make_shared<Device>(make_config(cfg))) {}

    void start(const std::string& ip, std::uint16_t port, bool discovery, bool gso, std::uint16_t stream_port) {
        oculane::MutexLock lock(mu_);
        if (server_) throw nb::value_error("the virtual camera is already running");
        auto s = Server::start(device_, ServerOptions{parse_ip(ip), port, discovery, gso, stream_port});
        if (!s) throw std::runtime_error(s.error());
        server_ = std::move(*s);
    }
    void stop() {
        std::shared_ptr<Server> s;
        {
            oculane::MutexLock lock(mu_);
            s = std::move(server_);
        }
        if (s) s->stop();  // joins the worker; the sockets close with the last reference
    }
    bool running() const {
        oculane::MutexLock lock(mu_);
        return server_ != nullptr;
    }
    nb::object address() const {
        oculane::MutexLock lock(mu_);
        if (!server_) return nb::none();
        return endpoint(server_->local());
    }

    void send_raw(nb::bytes data, std::optional<std::string> ip, std::optional<std::uint16_t> port,
                  std::optional<std::uint16_t> source_port) {
        Endpoint to;
        if (ip) {
            if (!port) throw nb::value_error("send_raw needs a port with an address");
            to = Endpoint{parse_ip(*ip), *port};
        } else {
            auto peer = device_->default_peer();
            if (!peer) throw nb::value_error("no host has talked to the camera yet; give ip and port");
            to = *peer;
            if (port) to.port = *port;
        }
        if (!source_port) {
            server()->send(Outgoing{to, from_bytes(data)});
        } else {
            // From the camera's address but a port of the caller's choosing
            // (0: one the kernel picks), as a device's other sockets would.
            const std::uint32_t from_ip = server()->local().ip;
            oculane::UniqueFd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
            const auto from = inet::to_sockaddr(from_ip, *source_port);
            const auto dest = inet::to_sockaddr(to);
            if (!fd || ::bind(fd.get(), reinterpret_cast<const sockaddr*>(&from), sizeof from) != 0 ||
                ::sendto(fd.get(), data.c_str(), data.size(), 0, reinterpret_cast<const sockaddr*>(&dest),
                         sizeof dest) < 0)
                throw std::runtime_error(fmt::format("send_raw from {}: {}",
                                                     inet::format_endpoint(from_ip, *source_port),
                                                     std::strerror(errno)));
        }
        device_->count_raw_sent();
    }

    nb::tuple send_event(std::uint16_t event_id, nb::bytes data, bool with_data, bool ack_required,
                         std::uint16_t stream_channel, std::uint16_t block_id) {
        auto ev = device_->make_event(with_data ? 0x00C2 : 0x00C0, event_id, from_bytes(data), ack_required,
                                      stream_channel, block_id, Clock::now());
        if (!ev) throw nb::value_error(ev.error().c_str());
        const std::uint16_t id = static_cast<std::uint16_t>(ev->bytes[6] << 8 | ev->bytes[7]);
        const Endpoint to = ev->to;
        server()->send(std::move(*ev));
        return nb::make_tuple(id, endpoint(to));
    }

    Device& device() { return *device_; }

private:
    static DeviceConfig make_config(nb::dict d) {
        DeviceConfig c;
        for (auto [k, v] : d) {
            const std::string key = nb::cast<std::string>(k);
            if (v.is_none()) continue;
            try {
                set_option(c, key, v);
            } catch (const nb::cast_error&) {
                // A negative or oversized number, or the wrong type: name the option.
                throw nb::value_error(fmt::format("virtual camera option '{}' has a value of the wrong type or "
                                                  "range: {}",
                                                  key, nb::cast<std::string>(nb::repr(v)))
                                          .c_str());
            }
        }
        return c;
    }
    static void set_option(DeviceConfig& c, const std::string& key, nb::handle v) {
        {
            if (key == "manufacturer") c.manufacturer = nb::cast<std::string>(v);
            else if (key == "model") c.model = nb::cast<std::string>(v);
            else if (key == "device_version") c.device_version = nb::cast<std::string>(v);
            else if (key == "manufacturer_info") c.manufacturer_info = nb::cast<std::string>(v);
            else if (key == "serial") c.serial = nb::cast<std::string>(v);
            else if (key == "user_defined_name") c.user_defined_name = nb::cast<std::string>(v);
            else if (key == "mac") {
                auto m = nb::cast<std::vector<std::uint8_t>>(v);
                if (m.size() != 6) throw nb::value_error("mac must have six bytes");
                std::copy(m.begin(), m.end(), c.mac.begin());
            } else if (key == "ip") c.ip = parse_ip(nb::cast<std::string>(v));
            else if (key == "subnet_mask") c.subnet_mask = parse_ip(nb::cast<std::string>(v));
            else if (key == "gateway") c.gateway = parse_ip(nb::cast<std::string>(v));
            else if (key == "spec_version") {
                auto t = nb::cast<std::tuple<std::uint16_t, std::uint16_t>>(v);
                c.spec_major = std::get<0>(t);
                c.spec_minor = std::get<1>(t);
            } else if (key == "description") {
                // Bytes as read from the file: a maker's description may be in
                // any encoding its XML declaration names, and is served unchanged.
                if (nb::isinstance<nb::bytes>(v)) {
                    const auto b = nb::borrow<nb::bytes>(v);
                    c.description = std::string(b.c_str(), b.size());
                } else {
                    c.description = nb::cast<std::string>(v);
                }
            }
            else if (key == "description_name") c.description_name = nb::cast<std::string>(v);
            else if (key == "serve_zip") c.serve_zip = nb::cast<bool>(v);
            else if (key == "tl_params_locked") c.tl_params_locked = nb::cast<bool>(v);
            else if (key == "second_url") c.second_url = nb::cast<bool>(v);
            else if (key == "first_url_fault") c.first_url_fault = url_fault(nb::cast<std::string>(v));
            else if (key == "description_address") c.description_address = nb::cast<std::uint32_t>(v);
            else if (key == "stream_channels") c.stream_channels = nb::cast<std::uint32_t>(v);
            else if (key == "extended_ids") c.extended_ids = nb::cast<bool>(v);
            else if (key == "path_mtu") c.path_mtu = nb::cast<std::uint32_t>(v);
            else if (key == "link_rate") c.link_rate = nb::cast<std::uint64_t>(v);
            else if (key == "resend_memory") c.resend_memory = nb::cast<std::uint64_t>(v);
            else if (key == "packet_data_align") c.packet_data_align = nb::cast<std::uint32_t>(v);
            else if (key == "concatenation") c.concatenation = nb::cast<bool>(v);
            else if (key == "packet_resend") c.packet_resend = nb::cast<bool>(v);
            else if (key == "heartbeat_timeout_ms") c.heartbeat_timeout_ms = nb::cast<std::uint32_t>(v);
            else if (key == "tick_frequency") c.tick_frequency = nb::cast<std::uint64_t>(v);
            else if (key == "host_clock") c.host_clock = nb::cast<bool>(v);
            else if (key == "sensor_width") c.sensor_width = nb::cast<std::uint32_t>(v);
            else if (key == "sensor_height") c.sensor_height = nb::cast<std::uint32_t>(v);
            else if (key == "width") c.width = nb::cast<std::uint32_t>(v);
            else if (key == "height") c.height = nb::cast<std::uint32_t>(v);
            else throw nb::value_error(fmt::format("unknown virtual camera option '{}'", key).c_str());
        }
    }
    // A reference of its own, so a concurrent stop() cannot pull the server
    // out from under a send.
    std::shared_ptr<Server> server() {
        oculane::MutexLock lock(mu_);
        if (!server_) throw nb::value_error("the virtual camera is not running");
        return server_;
    }

    std::shared_ptr<Device> device_;
    mutable oculane::Mutex mu_;
    std::shared_ptr<Server> server_ OCULANE_GUARDED_BY(mu_);
};

nb::dict record_dict(const CommandRecord& r) {
    nb::dict d;
    d["time"] = r.time;
    d["source"] = endpoint(r.from);
    d["flags"] = r.flags;
    d["command"] = r.command;
    d["request_id"] = r.request_id;
    d["addresses"] = r.addresses;
    d["values"] = r.values;
    d["length"] = r.length;
    d["status"] = r.status;
    d["answered"] = r.answered;
    d["channel"] = r.channel;
    d["block_id"] = r.block_id;
    d["first_packet"] = r.first_packet;
    d["last_packet"] = r.last_packet;
    return d;
}

std::vector<std::uint16_t> commands_arg(const std::optional<std::vector<std::uint16_t>>& c) {
    return c.value_or(std::vector<std::uint16_t>{});
}

}  // namespace

NB_MODULE(_sim, m) {
    m.doc() = "Device side of the oculane virtual GigE Vision camera (used by oculane.sim).";

    m.def(
        "expected_frame",
        [](std::uint64_t frame_id, std::uint32_t width, std::uint32_t height, nb::handle pixel_format) {
            const std::uint32_t code = pixel_format_arg(pixel_format);
            if (std::uint64_t{width} * height * (code >> 16 & 0xFF) / 8 > (std::uint64_t{1} << 31))
                throw nb::value_error("frame larger than 2 GiB");
            std::vector<std::uint8_t> bytes;
            {
                oculane::py::ReleasedInterpreter unlocked;
                bytes = expected_frame(frame_id, width, height, code);
            }
            return to_bytes(bytes);
        },
        "frame_id"_a, "width"_a, "height"_a, "pixel_format"_a,
        "The image bytes of block `frame_id` as the camera sends them (row-major, no padding).");

    nb::class_<SimDevice>(m, "Device", "A virtual camera's device model and, once started, its UDP server.")
        .def(nb::init<nb::dict>(), "config"_a, "Build the device from a dict of options (see oculane.sim).")
        .def("start", &SimDevice::start, "ip"_a, "port"_a = 3956, "discovery"_a = false, "gso"_a = false,
             "stream_port"_a = 0,
             nb::call_guard<oculane::py::ReleasedInterpreter>(), "Bind (ip, port) and start answering.")
        .def("stop", &SimDevice::stop, nb::call_guard<oculane::py::ReleasedInterpreter>(),
             "Stop answering; the worker thread is joined and the sockets closed.")
        .def_prop_ro("running", &SimDevice::running)
        .def_prop_ro("address", &SimDevice::address, "(ip, port) bound while running, else None.")
        .def("send_raw", &SimDevice::send_raw, "data"_a, "ip"_a = nb::none(), "port"_a = nb::none(),
             "source_port"_a = nb::none())
        .def("send_event", &SimDevice::send_event, "event_id"_a, "data"_a = nb::bytes("", 0), "with_data"_a = false,
             "ack_required"_a = true, "stream_channel"_a = 0xFFFF, "block_id"_a = 0,
             "Send an event command; returns (request id, (ip, port) it went to).")
        .def("add_ack_fault",
             [](SimDevice& s, const std::string& kind, std::int64_t count,
                std::optional<std::vector<std::uint16_t>> commands) {
                 s.device().add_ack_fault(fault_kind(kind), count, commands_arg(commands));
             },
             "kind"_a, "count"_a = -1, "commands"_a = nb::none())
        .def("set_pending_ack",
             [](SimDevice& s, std::uint32_t pending_ms, std::uint32_t answer_after_ms, std::int64_t count,
                std::optional<std::vector<std::uint16_t>> commands) {
                 s.device().set_pending_ack(pending_ms, answer_after_ms, count, commands_arg(commands));
             },
             "pending_ms"_a, "answer_after_ms"_a, "count"_a = -1, "commands"_a = nb::none())
        .def("set_address_status",
             [](SimDevice& s, std::uint32_t address, std::uint16_t status) {
                 s.device().set_address_status(address, status);
             },
             "address"_a, "status"_a)
        .def("clear_address_status", [](SimDevice& s) { s.device().clear_address_status(); })
        .def("set_ack_delay",
             [](SimDevice& s, std::uint32_t ms) { s.device().set_ack_delay(std::chrono::milliseconds(ms)); }, "ms"_a)
        .def("set_muted", [](SimDevice& s, bool muted) { s.device().set_muted(muted); }, "muted"_a)
        .def("clear_faults", [](SimDevice& s) { s.device().clear_faults(); })
        .def("clear_control", [](SimDevice& s) { s.device().clear_control(); })
        .def("set_foreign_controller",
             [](SimDevice& s, std::optional<std::string> ip, std::uint16_t port) {
                 if (ip) s.device().set_foreign_controller(Endpoint{parse_ip(*ip), port});
                 else s.device().set_foreign_controller(std::nullopt);
             },
             "ip"_a.none(), "port"_a = 3956)
        .def("command_log",
             [](SimDevice& s) {
                 nb::list out;
                 for (const auto& r : s.device().command_log()) out.append(record_dict(r));
                 return out;
             })
        .def("clear_command_log", [](SimDevice& s) { s.device().clear_command_log(); })
        .def("event_acks",
             [](SimDevice& s) {
                 nb::list out;
                 for (const auto& a : s.device().event_acks()) {
                     nb::dict d;
                     d["time"] = a.time;
                     d["source"] = endpoint(a.from);
                     d["status"] = a.status;
                     d["ack_code"] = a.ack_code;
                     d["ack_id"] = a.ack_id;
                     out.append(d);
                 }
                 return out;
             })
        .def("counters",
             [](SimDevice& s) {
                 const auto c = s.device().counters();
                 nb::dict d;
                 d["commands"] = c.commands;
                 d["discovery"] = c.discovery;
                 d["acks"] = c.acks;
                 d["dropped_acks"] = c.dropped_acks;
                 d["pending_acks"] = c.pending_acks;
                 d["naks"] = c.naks;
                 d["access_denied"] = c.access_denied;
                 d["malformed"] = c.malformed;
                 d["events"] = c.events;
                 d["event_acks"] = c.event_acks;
                 d["event_retries"] = c.event_retries;
                 d["raw"] = c.raw;
                 d["control_granted"] = c.control_granted;
                 d["control_expired"] = c.control_expired;
                 d["triggers"] = c.triggers;
                 d["triggers_missed"] = c.triggers_missed;
                 d["actions"] = c.actions;
                 d["actions_matched"] = c.actions_matched;
                 return d;
             })
        .def("controller",
             [](SimDevice& s) -> nb::object {
                 auto c = s.device().controller();
                 if (!c) return nb::none();
                 return nb::make_tuple(inet::format_ipv4(c->endpoint.ip), c->endpoint.port, c->ccp, c->foreign);
             })
        .def("read_register", [](SimDevice& s, std::uint32_t a) { return s.device().read_register(a); }, "address"_a)
        .def("read_memory",
             [](SimDevice& s, std::uint32_t a, std::uint32_t n) {
                 if (n > Device::kMaxDescriptionBytes) throw nb::value_error("size too large");
                 return to_bytes(s.device().read_memory(a, n));
             },
             "address"_a, "size"_a)
        .def("poke_register",
             [](SimDevice& s, std::uint32_t a, std::uint32_t v) { s.device().poke_register(a, v); }, "address"_a,
             "value"_a)
        .def_prop_ro("acquiring", [](SimDevice& s) { return s.device().acquiring(); })
        .def_prop_ro("payload_size", [](SimDevice& s) { return s.device().payload_size(); })
        .def("stream_channel",
             [](SimDevice& s, std::uint32_t ch) {
                 if (ch >= s.device().stream_channel_count())
                     throw nb::value_error(
                         fmt::format("the camera has {} stream channels", s.device().stream_channel_count()).c_str());
                 const auto sc = s.device().stream_channel(ch);
                 nb::dict d;
                 d["host_port"] = sc.host_port;
                 d["packet_size"] = sc.packet_size;
                 d["packet_delay"] = sc.packet_delay;
                 d["destination"] = inet::format_ipv4(sc.destination);
                 return d;
             },
             "channel"_a = 0)
        .def("stream_counters",
             [](SimDevice& s) {
                 const auto c = s.device().stream_counters();
                 nb::dict d;
                 d["frames"] = c.frames;
                 d["packets"] = c.packets;
                 d["bytes"] = c.bytes;
                 d["lost"] = c.lost;
                 d["mtu_lost"] = c.mtu_lost;
                 d["resent"] = c.resent;
                 d["unavailable"] = c.unavailable;
                 d["resend_requests"] = c.resend_requests;
                 d["resend_refused"] = c.resend_refused;
                 d["frames_refused"] = c.frames_refused;
                 d["test_packets"] = c.test_packets;
                 d["duplicated"] = c.duplicated;
                 d["send_errors"] = c.send_errors;
                 return d;
             })
        .def("add_stream_fault",
             [](SimDevice& s, const std::string& kind, double ratio, std::uint32_t length, std::uint16_t status,
                std::vector<std::uint32_t> packets, std::vector<std::uint64_t> frames, std::int64_t count) {
                 StreamFault f;
                 f.kind = stream_fault_kind(kind);
                 f.ratio = ratio;
                 f.length = length;
                 f.status = status;
                 f.packets = std::move(packets);
                 f.frames = std::move(frames);
                 f.remaining = count;
                 s.device().add_stream_fault(std::move(f));
             },
             "kind"_a, "ratio"_a = 0.0, "length"_a = 0, "status"_a = 0x800C, "packets"_a = std::vector<std::uint32_t>{},
             "frames"_a = std::vector<std::uint64_t>{}, "count"_a = -1)
        .def("clear_stream_faults", [](SimDevice& s) { s.device().clear_stream_faults(); })
        .def("set_lose_resent", [](SimDevice& s, bool on) { s.device().set_lose_resent(on); }, "on"_a)
        .def("set_path_mtu", [](SimDevice& s, std::uint32_t mtu) { s.device().set_path_mtu(mtu); }, "mtu"_a)
        .def("set_link_rate", [](SimDevice& s, std::uint64_t bps) { s.device().set_link_rate(bps); }, "bits_per_second"_a)
        .def("set_resend_memory", [](SimDevice& s, std::uint64_t bytes) { s.device().set_resend_memory(bytes); },
             "bytes"_a)
        .def("set_ignore_single_frame", [](SimDevice& s, bool on) { s.device().set_ignore_single_frame(on); },
             "on"_a)
        .def("set_stream_on_port_write", [](SimDevice& s, bool on) { s.device().set_stream_on_port_write(on); },
             "on"_a)
        .def("set_ignore_event_acks", [](SimDevice& s, bool on) { s.device().set_ignore_event_acks(on); }, "on"_a)
        .def("power_off", [](SimDevice& s, std::uint64_t after_frames) { s.device().power_off(after_frames); },
             "after_frames"_a = 0)
        .def("power_on", [](SimDevice& s) { s.device().power_on(); })
        .def("pulse_line",
             [](SimDevice& s, std::uint32_t line) {
                 if (!s.device().pulse_line(line)) throw nb::value_error("line must be 0, 1 or 2");
             },
             "line"_a)
        .def("timestamp", [](SimDevice& s) { return s.device().timestamp(Clock::now()); })
        .def_prop_ro("powered", [](SimDevice& s) { return s.device().powered(); })
        .def_prop_ro("description",
                     [](SimDevice& s) {
                         // A maker's file in another encoding still shows as text.
                         const auto& d = s.device().description();
                         PyObject* text = PyUnicode_DecodeUTF8(d.data(), static_cast<Py_ssize_t>(d.size()), "replace");
                         if (!text) throw nb::python_error();
                         return nb::steal<nb::str>(text);
                     })
        .def_prop_ro("served_file", [](SimDevice& s) { return to_bytes(s.device().served_file()); })
        .def_prop_ro("first_url", [](SimDevice& s) { return s.device().first_url(); })
        .def_prop_ro("second_url", [](SimDevice& s) { return s.device().second_url(); })
        .def_prop_ro("description_address", [](SimDevice& s) { return s.device().description_address(); });
}
