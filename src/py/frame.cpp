// Python Frame and FrameStatus: frame metadata, the payload as a bytes copy,
// and the pixels as a read-only numpy array that views the pooled buffer.
#include <array>
#include <bit>
#include <cstdint>
#include <memory>
#include <string>

#include <fmt/format.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/string.h>

#include "gige/proto/pixel_layout.hpp"
#include "py/bindings.hpp"
#include "py/errors.hpp"
#include "py/interpreter_lock.hpp"
#include "py/stream.hpp"
#include "py/value_enum.hpp"
#include "util/pixel_convert.hpp"

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

// The geometry of the image part (in a chunk frame, the image chunk).
gvsp::ImageGeometry frame_geometry(const Frame& frame) {
    auto geometry = gvsp::image_geometry(frame.pixel_format(), frame.width(), frame.height(), frame.x_padding(),
                                         image_data(frame).size());
    if (!geometry) raise_value_error(geometry.error());
    return *geometry;
}

// A new, writable C-contiguous array that owns its memory; `data` points at
// it. Not zero-filled: the caller writes every element.
template <class T, std::size_t N>
nb::ndarray<nb::numpy, T> new_array(const std::size_t (&shape)[N], T*& data) {
    std::size_t n = 1;
    for (std::size_t d : shape) n *= d;
    auto memory = std::make_unique_for_overwrite<T[]>(n);
    data = memory.get();
    nb::capsule owner(memory.get(), [](void* p) noexcept { std::unique_ptr<T[]>(static_cast<T*>(p)).reset(); });
    memory.release();
    return nb::ndarray<nb::numpy, T>(data, N, shape, owner);
}

// The pixels of `frame` as a read-only array whose owner is the Python Frame
// `owner`, so the pooled buffer stays out of the pool while the array lives;
// for a packed format, a new array of the unpacked samples.
nb::object pixel_array(const Frame& frame, nb::handle owner) {
    const auto data = image_data(frame);  // a chunk frame's chunks are no pixels
    const auto g = frame_geometry(frame);
    if (g.packed) {
        std::uint16_t* out = nullptr;
        const std::size_t shape[2] = {g.height, g.width};
        auto array = new_array(shape, out);
        {
            ReleasedInterpreter unlocked;
            imaging::unpack_u16(g.image(data.data()), out);
        }
        return array.cast();
    }
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

bool is_packed(const Frame& frame) {
    const auto* info = gvsp::pixel_format_info(frame.pixel_format());
    return info && info->format.packing != imaging::Packing::None;
}

using OutArray = nb::ndarray<std::uint8_t, nb::c_contig, nb::device::cpu>;

std::string shape_text(const OutArray& a) {
    std::string s = "(";
    for (std::size_t i = 0; i < a.ndim(); ++i) s += fmt::format("{}{}", i ? ", " : "", a.shape(i));
    return s + (a.ndim() == 1 ? ",)" : ")");
}

// Runs `convert(image, destination)` into `out` (a writable C-contiguous
// uint8 array of exactly the result's shape) or into a new array.
template <class Convert>
nb::object converted(const Frame& frame, nb::handle out, std::size_t channels, Convert convert) {
    const auto data = image_data(frame);
    const auto g = frame_geometry(frame);
    const std::size_t shape[3] = {g.height, g.width, channels};
    const std::size_t ndim = channels == 1 ? 2 : 3;
    nb::object result;
    std::uint8_t* dst = nullptr;
    if (out.is_none()) {
        if (channels == 1) {
            const std::size_t s2[2] = {g.height, g.width};
            result = new_array(s2, dst).cast();
        } else {
            const std::size_t s3[3] = {g.height, g.width, channels};
            result = new_array(s3, dst).cast();
        }
    } else {
        OutArray a;
        if (!nb::try_cast(out, a, false))
            raise_value_error("out must be a writable C-contiguous numpy array of uint8");
        bool fits = a.ndim() == ndim;
        for (std::size_t i = 0; fits && i < ndim; ++i) fits = a.shape(i) == shape[i];
        if (!fits)
            raise_value_error(fmt::format("out has shape {}, the image needs ({}, {}{})", shape_text(a), g.height,
                                          g.width, channels == 1 ? std::string() : fmt::format(", {}", channels)));
        dst = a.data();
        result = nb::borrow(out);
    }
    {
        ReleasedInterpreter unlocked;
        convert(g.image(data.data()), dst);
    }
    return result;
}

imaging::YuvRange yuv_range_arg(const std::string& range) {
    if (range == "full") return imaging::YuvRange::Full;
    if (range == "video") return imaging::YuvRange::Video;
    raise_value_error(fmt::format("yuv_range must be 'full' or 'video', not '{}'", range));
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
    "The pixels as a numpy array. For unpacked formats a read-only view of\n"
    "the frame's buffer, without a copy: (height, width) uint8 for Mono8 and\n"
    "the 8-bit Bayer formats, (height, width) uint16 for Mono10 to Mono16 and\n"
    "the 10- to 16-bit Bayer formats (little-endian, as GigE Vision sends\n"
    "them), (height, width, 3) uint8 for RGB8 and BGR8, (height, width, 4)\n"
    "for RGBa8 and BGRa8, and (height, width, 2) uint8 for YUV422_8 and\n"
    "YUV422_8_UYVY; line padding is skipped through the strides. The view\n"
    "keeps the frame, and with it one buffer of the stream's pool, until it\n"
    "is released; it stays valid after the acquisition stopped.\n"
    "\n"
    "For the packed formats (Mono10p, Mono12p, Mono10Packed, Mono12Packed and\n"
    "the Bayer ...10p, ...12p, ...10Packed and ...12Packed formats) a new,\n"
    "writable (height, width) uint16 array: a copy of the samples, unpacked,\n"
    "with their values as measured (0 to 1023 or 4095), which does not hold\n"
    "the frame's buffer.\n"
    "\n"
    "Raises ValueError when the format is unknown or the data is too short\n"
    "for the image (`data()` still works).";

const char* const kToRgbDoc =
    "The image as a new (height, width, 3) uint8 RGB array, converted in C++\n"
    "without holding the interpreter lock.\n"
    "\n"
    "- Mono: the grey value in all three channels.\n"
    "- Bayer (RG, GR, GB, BG orders; 8 bits, 10 to 16 bits, packed or not):\n"
    "  bilinear demosaicing. A pixel keeps its own colour; a missing colour is\n"
    "  the mean of the nearest pixels of that colour (the two beside, the two\n"
    "  above and below, or the four direct or four diagonal neighbours). The\n"
    "  image is mirrored at its edges for the border pixels.\n"
    "- RGB8, BGR8, RGBa8, BGRa8: reordered; alpha is dropped.\n"
    "- YUV422_8 (YUYV) and YUV422_8_UYVY: BT.601; the two pixels of a pair\n"
    "  share U and V. `yuv_range` \"full\" (the default) reads Y, U and V over\n"
    "  0 to 255, \"video\" reads Y over 16 to 235 and U, V over 16 to 240.\n"
    "\n"
    "Samples of more than 8 bits keep their top 8 bits (value >> (depth - 8),\n"
    "e.g. >> 4 for 12-bit formats), after demosaicing. With `out`, a\n"
    "writable C-contiguous uint8 array of that shape, the result is written\n"
    "there and `out` is returned (no allocation). Raises ValueError for an\n"
    "unknown format or data too short for the image.";

const char* const kToMono8Doc =
    "The image as a new (height, width) uint8 grey array, converted in C++\n"
    "without holding the interpreter lock.\n"
    "\n"
    "- Mono: samples of more than 8 bits keep their top 8 bits\n"
    "  (value >> (depth - 8): Mono12 4095 becomes 255, Mono10 512 becomes 128).\n"
    "- YUV formats: the Y (luma) bytes.\n"
    "- RGB formats, and Bayer after demosaicing as in `to_rgb()`: BT.601 luma,\n"
    "  (4899 R + 9617 G + 1868 B + 8192) >> 14.\n"
    "\n"
    "With `out`, a writable C-contiguous (height, width) uint8 array, the\n"
    "result is written there and `out` is returned. Raises ValueError for an\n"
    "unknown format or data too short for the image.";

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
                const Frame& frame = *nb::cast<PyFrame&>(self).frame;
                const bool must_copy = !copy.is_none() && PyObject_IsTrue(copy.ptr()) == 1;
                const bool may_copy = copy.is_none() || must_copy;
                // Packed samples exist as an array only once unpacked.
                if (!may_copy && is_packed(frame))
                    raise_value_error("Unable to avoid copy while creating an array as requested.");
                nb::object view = pixel_array(frame, self);
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
        .def(
            "to_rgb",
            [](const PyFrame& f, nb::handle out, const std::string& yuv_range) {
                const auto range = yuv_range_arg(yuv_range);
                return converted(*f.frame, out, 3, [range](const imaging::Image& img, std::uint8_t* dst) {
                    imaging::to_rgb8(img, dst, range);
                });
            },
            nb::arg("out").none() = nb::none(), nb::kw_only(), nb::arg("yuv_range") = "full",
            nb::sig("def to_rgb(self, out: numpy.ndarray | None = None, *, yuv_range: str = 'full') -> "
                    "numpy.ndarray"),
            kToRgbDoc)
        .def(
            "to_mono8",
            [](const PyFrame& f, nb::handle out) {
                return converted(*f.frame, out, 1,
                                 [](const imaging::Image& img, std::uint8_t* dst) { imaging::to_mono8(img, dst); });
            },
            nb::arg("out").none() = nb::none(),
            nb::sig("def to_mono8(self, out: numpy.ndarray | None = None) -> numpy.ndarray"), kToMono8Doc)
        .def("__repr__", [](const PyFrame& f) { return frame_repr(*f.frame); });
}

void bind_frame_status(nb::module_& m) {
    FrameStatusEnum::bind(m, "FrameStatus", "How a frame ended.", kStatusNames);
}

}  // namespace oculane::py
