// The chunk data of Python Frames: the chunk layout read from the end of the
// payload, and the description's chunk features evaluated against it through
// the stream's DataModel, with no device traffic.
#include <string>
#include <vector>

#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/tuple.h>
#include <nanobind/stl/vector.h>

#include "genicam/chunk_layout.hpp"
#include "genicam/data_model.hpp"
#include "py/bindings.hpp"
#include "py/errors.hpp"
#include "py/interpreter_lock.hpp"
#include "py/stream.hpp"

namespace nb = nanobind;

namespace oculane::py {

std::shared_ptr<DataModel> data_model_of(GenICamera& camera) {
    const Genicam* map = camera.node_map();
    return map ? DataModel::of(*map) : nullptr;
}

nb::object data_value_to_python(const DataValue& v) {
    return std::visit(
        [](const auto& x) -> nb::object {
            using T = std::decay_t<decltype(x)>;
            if constexpr (std::is_same_v<T, bool>) return nb::bool_(x);
            else if constexpr (std::is_same_v<T, std::int64_t>) return nb::int_(x);
            else if constexpr (std::is_same_v<T, double>) return nb::float_(x);
            else return nb::str(x.c_str(), x.size());
        },
        v);
}

nb::dict data_values_to_python(const std::vector<std::pair<std::string, DataValue>>& values) {
    nb::dict out;
    for (const auto& [name, value] : values) out[nb::str(name.c_str(), name.size())] = data_value_to_python(value);
    return out;
}

namespace {

bool carries_chunks(const Frame& frame) { return frame.has_chunks().value_or(false); }

// The layout of a chunk frame; ValueError when it cannot be read. A frame
// that did not arrive whole has stale bytes where packets are missing, so
// its trailing ids and lengths prove nothing.
std::vector<ChunkEntry> layout_of(const Frame& frame) {
    if (!carries_chunks(frame)) return {};
    if (!frame.is_complete())
        raise_value_error("the chunk data of a frame that did not arrive complete is not read");
    auto chunks = walk_chunks(frame.data());
    if (!chunks)
        raise_value_error("the frame's chunk data is unreadable: its chunk ids and lengths do not account "
                          "for its bytes");
    return std::move(*chunks);
}

nb::dict chunks(const PyFrame& self) {
    nb::dict out;
    const auto layout = layout_of(*self.frame);
    if (layout.empty() || !self.model) return out;
    std::vector<std::pair<std::string, DataValue>> values;
    {
        ReleasedInterpreter released;
        ChunkPortData data(self.frame->data(), layout);
        values = self.model->chunk_values(data, layout);
    }
    return data_values_to_python(values);
}

nb::object chunk(const PyFrame& self, const std::string& name) {
    const auto layout = layout_of(*self.frame);
    if (!self.model)
        raise(GenicamError::unavailable(name, "the camera's description defines no chunk data"), name);
    GenicamResult<DataValue> value = std::unexpected(GenicamError::feature_not_found(name));
    {
        ReleasedInterpreter released;
        ChunkPortData data(self.frame->data(), layout);
        value = self.model->value(name, data);
    }
    if (!value) raise(value.error(), name);
    return data_value_to_python(*value);
}

std::vector<std::tuple<std::uint32_t, std::uint64_t, std::uint64_t>> chunk_layout(const PyFrame& self) {
    std::vector<std::tuple<std::uint32_t, std::uint64_t, std::uint64_t>> out;
    for (const auto& c : layout_of(*self.frame)) out.emplace_back(c.id, c.offset, c.length);
    return out;
}

}  // namespace

std::span<const std::uint8_t> image_data(const Frame& frame) {
    const auto data = frame.data();
    if (!carries_chunks(frame) || !frame.is_complete()) return data;
    // The image is the first chunk; a layout that does not read leaves the
    // array to the leader's geometry over all the data.
    auto chunks = walk_chunks(data);
    if (!chunks || chunks->empty()) return data;
    return data.first(static_cast<std::size_t>(chunks->front().length));
}

void bind_frame_chunks(nb::module_& m) {
    nb::handle cls = nb::type<PyFrame>();
    auto method = [&](const char* name, auto&& f, auto&&... extra) {
        cls.attr(name) = nb::cpp_function(std::forward<decltype(f)>(f), nb::is_method(), nb::scope(cls),
                                          nb::name(name), extra...);
    };
    (void)m;
    method("chunks", &chunks, nb::sig("def chunks(self) -> dict[str, int | float | bool | str]"),
           "The frame's chunk data as the camera's description reads it: every\n"
           "chunk feature whose chunk the frame carries, by name (e.g.\n"
           "`{\"ChunkFrameID\": 17, \"ChunkExposureTime\": 10000.0}`). Evaluated from\n"
           "the frame's own bytes, without device traffic. Empty for a frame without\n"
           "chunks. Raises ValueError when the frame did not arrive complete or its\n"
           "chunk layout is unreadable.");
    method("chunk", &chunk, nb::arg("name"), nb::sig("def chunk(self, name: str) -> int | float | bool | str"),
           "The value of one chunk feature of this frame (int, float, bool or str\n"
           "by the feature's kind), without device traffic. Raises\n"
           "GenicamException when the name is unknown or the frame does not carry\n"
           "that chunk, ValueError when its chunk data cannot be read.");
    method("chunk_layout", &chunk_layout,
           "The chunks of the payload as (chunk id, offset, length) tuples in\n"
           "payload order, read from the end of the data; the first is the image.\n"
           "Empty for a frame without chunks; ValueError as for `chunks()`.");
    cls.attr("has_chunks") = nb::module_::import_("builtins").attr("property")(
        nb::cpp_function([](const PyFrame& f) { return carries_chunks(*f.frame); }, nb::is_method(),
                         nb::sig("def has_chunks(self) -> bool")),
        nb::none(), nb::none(), "`True` when the frame's leader says chunk data follows the image.");
}

}  // namespace oculane::py
