// Python StreamStats: a copy of a stream's counters taken at one instant,
// with the attributes and repr in the order of the counter table.
#include <string>

#include <nanobind/stl/string.h>

#include "gige/stream/stream_stats.hpp"
#include "py/bindings.hpp"

namespace nb = nanobind;

namespace oculane::py {

void bind_stream_stats(nb::module_& m) {
    nb::class_<StreamStats> cls(m, "StreamStats", "Stream receiver counters, all monotonic since stream open.");
    for (const auto& field : kStreamStatsFields) {
        // Attribute names must outlive the module: the table's views do.
        const char* name = field.name.data();
        if (field.name == "frames_dropped")
            cls.def_ro(name, field.member, "Completed frames a subscriber could not take (its channel was full).");
        else if (field.name == "kernel_drops")
            cls.def_ro(name, field.member, "Datagrams the kernel dropped because the socket's receive buffer was full.");
        else
            cls.def_ro(name, field.member);
    }
    cls.def("__repr__", [](const StreamStats& s) { return repr(s); });
}

}  // namespace oculane::py
