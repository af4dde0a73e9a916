// Python StreamStats: a copy of a stream's counters taken at one instant,
// with the attributes and repr in the order of the counter table.
#include <string>
#include <string_view>

#include <nanobind/stl/string.h>

#include "gige/stream/stream_stats.hpp"
#include "py/bindings.hpp"

namespace nb = nanobind;

namespace oculane::py {

namespace {

struct CounterDoc {
    std::string_view name;
    const char* doc;
};

constexpr CounterDoc kDocs[] = {
    {"packets", "Datagrams accepted from the camera's address."},
    {"bytes", "Their total length in bytes."},
    {"completed_frames", "Frames that ended Complete."},
    {"failed_frames", "Frames that ended MissingPackets, Timeout or WrongPacketId."},
    {"timed_out_frames", "Frames that ended Timeout (also counted in `failed_frames`)."},
    {"aborted_frames", "Frames that ended Aborted (the stream closed under them)."},
    {"missing_frames", "Block ids the camera skipped between frames."},
    {"underruns", "New frames dropped because every pool buffer was in use."},
    {"missing_packets", "Packets still missing in the frames that failed."},
    {"resend_requests", "Packets asked for again with resend requests."},
    {"resent_packets", "Packets that arrived after being asked for again."},
    {"resend_ratio_reached", "Frames whose resend budget ran out."},
    {"resend_disabled", "Packets the camera said it could not resend."},
    {"duplicated_packets", "Packets that arrived for a slot already filled."},
    {"error_packets", "Packets carrying an error status."},
    {"ignored_packets", "Packets set aside: short, late, oversized or of unsupported blocks."},
    {"unsupported_frames", "Blocks refused because their payload type is not supported."},
    {"size_mismatch_errors", "Payload packets that would have overrun the frame's buffer."},
    {"frames_dropped", "Completed frames a subscriber could not take (its channel was full)."},
    {"kernel_drops", "Datagrams the kernel dropped because the socket's receive buffer was full."},
};

const char* stats_doc(std::string_view name) {
    for (const auto& d : kDocs)
        if (d.name == name) return d.doc;
    return "A stream counter.";
}

}  // namespace

void bind_stream_stats(nb::module_& m) {
    nb::class_<StreamStats> cls(m, "StreamStats", "Stream receiver counters, all monotonic since stream open.");
    for (const auto& field : kStreamStatsFields) {
        // Attribute names must outlive the module: the table's views do.
        cls.def_ro(field.name.data(), field.member, stats_doc(field.name));
    }
    cls.def("__repr__", [](const StreamStats& s) { return repr(s); });
}

}  // namespace oculane::py
