// Python Frame and FrameStatus: frame metadata, the payload as a bytes copy,
// and the pixels as a read-only numpy array that views the pooled buffer.
#include <array>
#include <bit>
#include <cstdint>
#include <string>

#include <fmt/format.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/string.h>

#include "gige/proto/pixel_layout.hpp"
#include "py/bindings.hpp"
#include "py/errors.hpp"
#include "py/stream.hpp"
#include "py/value_enum.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace oculane::py {

namespace {

// ---- FrameStatus: shared value objects, like AccessMode ---------------------

using FrameStatusEnum = ValueEnum<struct FrameStatusTag>;
constexpr std::array<const char*, 6> kStatusNames = {"Complete",      "MissingPackets",    "Timeout", "Aborted",
                                                      "WrongPacketId", "PayloadUnsupported"};

nb::object status_object(FrameStatus status) { return FrameStatusEnum::value(static_cast<int>(status), 0); }

// ---- pixel arrays --------------------------------------------------------------

using ByteArray = nb::ndarray<nb::numpy, const std::uint8_t>;
using WordArray = nb::ndarray<nb::numpy, const std::uint16_t>;

// The pixels of `frame` as a read-only array whose owner is the Python Frame
// `owner`, so the pooled buffer stays out of the pool while the array lives.
nb::object pixel_array(const Frame& frame, nb::handle owner) {
    const auto data = frame.data();
    const auto geometry =
        gvsp::image_geometry(frame.pixel_format(), frame.width(), frame.height(), frame.x_padding(), data.size());
    if (!geometry) raise_value_error(geometry.error());
    const auto& g = *geometry;
    const auto stride = static_cast<std::int64_t>(g.row_stride);
    const std::size_t channels = g.layout.channels;

    if (g.layout.element_bytes == 1) {
        const std::size_t shape[3] = {g.height, g.width, channels};
        const std::int64_t strides[3] = {stride, static_cast<std::int64_t>(channels), 1};
        return ByteArray(data.data(), channels == 1 ? 2 : 3, shape, owner, strides).cast(nb::rv_policy::reference);
    }
    // 16-bit pixels arrive little-endian. On a little-endian host with whole
    // 16-bit rows the buffer is viewed as uint16 directly; otherwise (odd line
    // padding, or a big-endian host) as byte pairs reinterpreted by numpy.
    if (std::endian::native == std::endian::little && stride % 2 == 0) {
        const std::size_t shape[2] = {g.height, g.width};
        const std::int64_t strides[2] = {stride / 2, 1};
        return WordArray(data.data(), 2, shape, owner, strides).cast(nb::rv_policy::reference);
    }
    const std::size_t shape[3] = {g.height, g.width, 2};
    const std::int64_t strides[3] = {stride, 2, 1};
    nb::object pairs = ByteArray(data.data(), 3, shape, owner, strides).cast(nb::rv_policy::reference);
    return pairs.attr("view")("<u2")[nb::make_tuple(nb::ellipsis(), 0)];
}

// Nanoseconds since the Unix epoch as an aware UTC datetime. Added as a
// timedelta of whole microseconds to the epoch: a float of seconds would
// lose the last digits.
nb::object host_time(std::uint64_t ns) {
    nb::module_ dt = nb::module_::import_("datetime");
    nb::object utc = dt.attr("timezone").attr("utc");
    nb::object epoch = dt.attr("datetime")(1970, 1, 1, "tzinfo"_a = utc);
    return epoch + dt.attr("timedelta")("microseconds"_a = ns / 1000);
}

std::string frame_repr(const Frame& f) {
    return fmt::format("Frame(id={}, {}, {}x{} {}, {} bytes)", f.frame_id(), frame_status_name(f.status()), f.width(),
                       f.height(), f.pixel_format_text(), f.received_size());
}

const char* const kArrayDoc =
    "The pixels as a read-only numpy array viewing the frame's buffer, without\n"
    "a copy: (height, width) uint8 for Mono8 and the 8-bit Bayer formats,\n"
    "(height, width) uint16 for Mono10, Mono12 and Mono16 (little-endian, as\n"
    "GigE Vision sends them), (height, width, 3) uint8 for RGB8 and BGR8, and\n"
    "(height, width, 2) uint8 for YUV422_8; line padding is skipped through\n"
    "the strides. The array keeps the frame, and with it one buffer of the\n"
    "stream's pool, until it is released; it stays valid after the\n"
    "acquisition stopped. Raises ValueError when the format has no known\n"
    "layout or the data is too short for the image (`data()` still works).";

}  // namespace

void bind_frame(nb::module_& m) {
    nb::class_<PyFrame>(m, "Frame", "One captured frame. The pixel payload is copied out by `data()`.")
        .def_prop_ro("status", [](const PyFrame& f) { return status_object(f.frame->status()); },
                     nb::for_getter(nb::sig("def status(self, /) -> FrameStatus")),
                     nb::for_getter("How the frame ended (`FrameStatus`); only a `Complete` frame holds\n"
                                    "every byte of its image."))
        .def_prop_ro("is_complete", [](const PyFrame& f) { return f.frame->is_complete(); },
                     "`True` when every packet of the frame arrived.")
        .def_prop_ro("frame_id", [](const PyFrame& f) { return f.frame->frame_id(); },
                     "The block id the camera gave the frame (counts up, frame by frame).")
        .def_prop_ro("width", [](const PyFrame& f) { return f.frame->width(); },
                     "Image width in pixels, from the frame's leader (0 without one).")
        .def_prop_ro("height", [](const PyFrame& f) { return f.frame->height(); },
                     "Image height in pixels, from the frame's leader (0 without one).")
        .def_prop_ro("x_offset", [](const PyFrame& f) { return f.frame->x_offset(); },
                     "Horizontal offset of the image on the sensor, from the leader.")
        .def_prop_ro("y_offset", [](const PyFrame& f) { return f.frame->y_offset(); },
                     "Vertical offset of the image on the sensor, from the leader.")
        .def_prop_ro("pixel_format", [](const PyFrame& f) { return f.frame->pixel_format_text(); },
                     "Pixel format name (e.g. `\"Mono8\"`), or the raw GigE Vision code in\n"
                     "hex for formats without a known name.")
        .def_prop_ro("pixel_format_code", [](const PyFrame& f) { return f.frame->pixel_format(); },
                     "The raw 32-bit GigE Vision pixel format code.")
        .def_prop_ro("bits_per_pixel", [](const PyFrame& f) { return int{f.frame->bits_per_pixel()}; },
                     "Bits each pixel takes in the payload (bits 16 to 23 of the pixel\n"
                     "format code).")
        .def_prop_ro("timestamp_ns", [](const PyFrame& f) { return f.frame->timestamp_ns(); },
                     "Device time: the camera's timestamp of the frame in nanoseconds\n"
                     "(its ticks converted with its tick frequency). The camera's clock\n"
                     "has its own origin; the host's time of arrival is\n"
                     "`system_timestamp_ns` (or `timestamp`).")
        .def_prop_ro("timestamp_ticks", [](const PyFrame& f) { return f.frame->timestamp_ticks(); },
                     "Device time: the camera's timestamp of the frame in its own ticks,\n"
                     "as it sent it.")
        .def_prop_ro("system_timestamp_ns", [](const PyFrame& f) { return f.frame->system_timestamp_ns(); },
                     "Host time: the host's wall clock when the frame's leader arrived, in\n"
                     "nanoseconds since the Unix epoch (`timestamp` as a datetime).")
        .def_prop_ro("timestamp", [](const PyFrame& f) { return host_time(f.frame->system_timestamp_ns()); },
                     nb::for_getter(nb::sig("def timestamp(self, /) -> datetime.datetime")),
                     nb::for_getter("Host time: when the frame's leader arrived, as a timezone-aware UTC\n"
                                    "`datetime` (microsecond precision); `system_timestamp_ns` in\n"
                                    "nanoseconds. The camera's own clock is `timestamp_ns`."))
        .def_prop_ro("received_size", [](const PyFrame& f) { return f.frame->received_size(); },
                     "Payload bytes received from the camera.")
        .def(
            "data",
            [](const PyFrame& f) {
                const auto d = f.frame->data();
                return nb::bytes(reinterpret_cast<const char*>(d.data()), d.size());
            },
            "The payload bytes (e.g. for `numpy.frombuffer`). For an incomplete\n"
            "frame the holes read as stale buffer content — check `status` first.")
        .def(
            "array", [](nb::handle self) { return pixel_array(*nb::cast<PyFrame&>(self).frame, self); },
            nb::sig("def array(self) -> numpy.ndarray"), kArrayDoc)
        // numpy.asarray(frame) and numpy.array(frame) go through here. Without
        // copy=True the result is the same read-only view as array().
        .def(
            "__array__",
            [](nb::handle self, nb::handle dtype, nb::handle copy) {
                nb::object view = pixel_array(*nb::cast<PyFrame&>(self).frame, self);
                const bool must_copy = !copy.is_none() && PyObject_IsTrue(copy.ptr()) == 1;
                const bool may_copy = copy.is_none() || must_copy;
                if (!dtype.is_none() && !view.attr("dtype").equal(nb::module_::import_("numpy").attr("dtype")(dtype))) {
                    // Another element type is always a new array.
                    if (!may_copy) raise_value_error("Unable to avoid copy while creating an array as requested.");
                    return view.attr("astype")(dtype);
                }
                return must_copy ? view.attr("copy")() : view;
            },
            nb::arg("dtype").none() = nb::none(), nb::arg("copy").none() = nb::none(),
            nb::sig("def __array__(self, dtype: object | None = None, copy: bool | None = None) -> "
                    "numpy.ndarray"))
        .def("__repr__", [](const PyFrame& f) { return frame_repr(*f.frame); });
}

void bind_frame_status(nb::module_& m) {
    FrameStatusEnum::bind(m, "FrameStatus", "How a frame ended.", kStatusNames);
}

}  // namespace oculane::py
