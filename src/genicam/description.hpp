#pragma once
// Fetching a camera's GenICam description: the two bootstrap URL registers,
// the location they name (device memory or a local file; web locations are
// refused), unzipping, and the text decoding the parser takes.
//
// How GenICamera::ensure_model uses these (the camera keeps two fields for
// the current connection, both empty when a connection is made and dropped at
// disconnect: the shared description bytes and the optional node map):
//
//   ensure_feature_model(node_map, connection_error, genicam_xml, parse)
//   genicam_xml():  cached_description(description, [&] {
//                       return fetch_description(connection.port(), limit, &location); })
//
// with the caller holding the camera-state lock and the interpreter lock
// released. The description bytes are cached even when they fail to parse, so
// a retry parses them again without touching the device.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "error/camera_error.hpp"
#include "error/genicam_error.hpp"
#include "genicam/port.hpp"
#include "genicam/url.hpp"
#include "genicam/zip.hpp"
#include "gige/proto/bootstrap.hpp"
#include "util/log.hpp"
#include "util/utf8.hpp"

namespace oculane {

namespace gige {
class ControlPort;
struct WaitLimit;
}

using DescriptionBytes = std::shared_ptr<const std::vector<std::uint8_t>>;

// The bootstrap registers holding the description's location, tried in this
// order, each read as one 512-byte block.
inline constexpr std::uint32_t kFirstUrlRegister = bootstrap::kFirstUrl.address;
inline constexpr std::uint32_t kSecondUrlRegister = bootstrap::kSecondUrl.address;
inline constexpr std::uint32_t kUrlRegisterLength = bootstrap::kFirstUrl.size;
static_assert(bootstrap::kSecondUrl.size == kUrlRegisterLength);

// Reads `length` bytes of device memory at `address`, waiting at most
// `timeout` for the whole transfer.
using TimedMemoryRead = std::function<CameraResult<std::vector<std::uint8_t>>(
    std::uint32_t address, std::uint32_t length, std::chrono::nanoseconds timeout)>;

// Fetches the description through both URL registers in order: the first
// that yields a description wins; each failure is logged at debug level
// ("GenICam URL at 0x200 failed: ..."). When both fail the result is the
// first register's failure, unless that register was blank and the second
// was not. Register reads wait twice `ack_wait`; a local description of n
// bytes waits gige::operation_budget(ack_wait, its 512-byte commands).
// `location`, when given, receives the location text that served it.
CameraResult<std::vector<std::uint8_t>> fetch_description(const TimedMemoryRead& read,
                                                          std::chrono::nanoseconds ack_wait,
                                                          std::string* location = nullptr);
// The same over a PortIo, whose reads keep their own timeouts.
CameraResult<std::vector<std::uint8_t>> fetch_description(PortIo& port);
// The same over a connection's control port, with the waits above measured in
// the port's per-transaction wait, each also ending by `limit` (connect's
// deadline and interrupt).
CameraResult<std::vector<std::uint8_t>> fetch_description(const gige::ControlPort& port,
                                                          const gige::WaitLimit& limit,
                                                          std::string* location = nullptr);
CameraResult<std::vector<std::uint8_t>> fetch_description(const gige::ControlPort& port);

// Produces the description bytes a location names (after the register text
// has been parsed): device memory for `local:` (refused before any read above
// 64 MiB or beyond 32-bit addresses), a regular local file for `file:`
// (capped at 64 MiB), never http. Zip archives are unpacked.
CameraResult<std::vector<std::uint8_t>> load_description(const XmlUrl& url, const TimedMemoryRead& read,
                                                         std::chrono::nanoseconds ack_wait);

// Reads a whole regular file of at most `max_size` bytes. Devices, FIFOs and
// directories are refused without reading (a FIFO would block, /dev/zero
// never ends); an OS failure becomes CameraError::Io.
CameraResult<std::vector<std::uint8_t>> read_description_file(const std::string& path,
                                                              std::size_t max_size = kMaxDescriptionSize);

// genicam_xml: the cached bytes, or `fetch()` once and cache its success.
template <class Fetch>
CameraResult<DescriptionBytes> cached_description(DescriptionBytes& cache, Fetch&& fetch) {
    if (cache) return cache;
    CameraResult<std::vector<std::uint8_t>> fetched = fetch();
    if (!fetched) return std::unexpected(std::move(fetched.error()));
    cache = std::make_shared<const std::vector<std::uint8_t>>(std::move(*fetched));
    return cache;
}

// The text the parser gets from description bytes. UTF-16 with a byte-order
// mark goes as it is: the XML parser decodes it itself (and its declaration,
// which says UTF-16, would contradict a UTF-8 copy). Anything else is taken
// as UTF-8, invalid sequences replaced.
inline std::string description_text(std::span<const std::uint8_t> bytes) {
    const bool utf16 = bytes.size() >= 2 && ((bytes[0] == 0xFF && bytes[1] == 0xFE) ||
                                             (bytes[0] == 0xFE && bytes[1] == 0xFF));
    if (utf16) return std::string(bytes.begin(), bytes.end());
    return utf8_lossy(bytes);
}

// ensure_genicam over an abstract connection:
//   connection_error(): std::optional<CameraError>, set when there is no live
//       connection (ControlLost when control was lost, else NotConnected);
//   genicam_xml(): CameraResult<DescriptionBytes>;
//   parse(std::string_view): GenicamResult<Model>.
// A loaded model makes this succeed at once; the connection is checked again
// after parsing, since control may have been lost meanwhile.
template <class Model, class Check, class Xml, class Parse>
GenicamResult<void> ensure_feature_model(std::optional<Model>& model, Check&& connection_error, Xml&& genicam_xml,
                                         Parse&& parse) {
    if (std::optional<CameraError> e = connection_error()) return std::unexpected(GenicamError::transport(*e));
    if (model) return {};
    CameraResult<DescriptionBytes> bytes = genicam_xml();
    if (!bytes) return std::unexpected(GenicamError::transport(std::move(bytes.error())));
    const std::string text = description_text(**bytes);
    GenicamResult<Model> parsed = parse(std::string_view(text));
    if (!parsed) return std::unexpected(std::move(parsed.error()));
    OCULANE_LOG(log::Level::Debug, log::kGige, "GenICam feature model loaded");
    if (std::optional<CameraError> e = connection_error()) return std::unexpected(GenicamError::transport(*e));
    model.reset();
    model.emplace(std::move(*parsed));
    return {};
}

}  // namespace oculane
