#pragma once
// Chunk data of frames and data of events, evaluated against a camera's
// description without the device.
//
// A DataModel is a copy of the camera's node map, taken under the
// camera-state lock when a stream opens or events are subscribed, so that
// frames and events can be evaluated from any thread, long after, without
// that lock and without device traffic: registers on chunk and event ports
// read the frame's chunks or the event's data, and a device register is
// known only from the bytes the live model had cached. Its own mutex guards
// the copy (evaluation updates its evaluation stack and formula caches); it
// is never held while calling out.

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "error/genicam_error.hpp"
#include "genicam/chunk_layout.hpp"
#include "genicam/node.hpp"
#include "genicam/node_eval.hpp"
#include "thread_util/mutex.hpp"

namespace oculane {

// A feature's value by its kind: Integer, Float, Boolean, or the text of a
// String or Enumeration.
using DataValue = std::variant<std::int64_t, double, bool, std::string>;

// The chunks of one payload as PortData: the data of each chunk by id.
class ChunkPortData final : public PortData {
public:
    ChunkPortData(std::span<const std::uint8_t> payload, std::span<const ChunkEntry> chunks)
        : payload_(payload), chunks_(chunks) {}
    std::optional<std::span<const std::uint8_t>> bytes(node_data::PortKind kind, std::uint64_t id) override;

private:
    std::span<const std::uint8_t> payload_;
    std::span<const ChunkEntry> chunks_;
};

// One event's bytes as PortData: the port of the event's own id reads the
// whole event (its 16-byte header, then the data), as descriptions address it.
class EventPortData final : public PortData {
public:
    EventPortData(std::uint16_t event_id, std::span<const std::uint8_t> raw) : id_(event_id), raw_(raw) {}
    std::optional<std::span<const std::uint8_t>> bytes(node_data::PortKind kind, std::uint64_t id) override;

private:
    std::uint16_t id_;
    std::span<const std::uint8_t> raw_;
};

class DataModel {
public:
    // A copy of `live` (call with the camera-state lock held); null when the
    // description has no chunk or event port, so nothing would ever evaluate.
    static std::shared_ptr<DataModel> of(const Genicam& live);
    explicit DataModel(Genicam map);

    // The named feature's value against `data`. FeatureNotFound for an
    // unknown name; a feature that reads data `data` lacks is Unavailable.
    GenicamResult<DataValue> value(std::string_view name, PortData& data);

    // Every chunk feature whose chunks are all in `chunk_ids`, with its value
    // against `data`; features whose evaluation fails are left out.
    std::vector<std::pair<std::string, DataValue>> chunk_values(PortData& data,
                                                                std::span<const ChunkEntry> chunks);
    // Every feature that reads the data of events of this id, with its value.
    std::vector<std::pair<std::string, DataValue>> event_values(PortData& data, std::uint64_t event_id);

    // The event's name from the description's event nodes ("ExposureEnd" for
    // the port EventExposureEndPort or the feature EventExposureEnd); empty
    // when no event port has this id.
    std::string event_name(std::uint64_t event_id);
    // The id of the event of that name; nothing when unknown.
    std::optional<std::uint64_t> event_id(std::string_view name);

    // Names of the features that read chunk data (category members only).
    std::vector<std::string> chunk_feature_names();

private:
    // A category-listed value feature and the ids of the chunk or event
    // ports its value reads.
    struct DataFeature {
        NodeId id = 0;
        node_data::PortKind kind = node_data::PortKind::Chunk;
        std::vector<std::uint64_t> ports;
    };
    struct EventKind {
        std::uint64_t id = 0;
        std::string name;
    };
    // Settles the data features and event names on first use.
    void index() OCULANE_REQUIRES(m_);
    GenicamResult<DataValue> evaluate(NodeId id, PortData& data) OCULANE_REQUIRES(m_);

    Mutex m_;
    Genicam map_ OCULANE_GUARDED_BY(m_);
    bool indexed_ OCULANE_GUARDED_BY(m_) = false;
    std::vector<DataFeature> features_ OCULANE_GUARDED_BY(m_);
    std::vector<EventKind> events_ OCULANE_GUARDED_BY(m_);
};

}  // namespace oculane
