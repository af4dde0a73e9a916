#pragma once
// The named feature operations of the camera facade, over what the camera
// state offers at the moment of the call: whether a connection exists, whether
// its control worker runs, the node map and the control port.
//
// GenICamera builds a FeatureAccess under the camera-state lock and forwards
// each of its feature operations here, so the whole rule set (precondition
// order, lookup, node operation, write tracing) is testable without a
// transport. A FeatureAccess must not outlive the lock hold it was made in.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "error/genicam_error.hpp"
#include "genicam/feature_info.hpp"
#include "genicam/node.hpp"
#include "genicam/node_eval.hpp"
#include "genicam/port.hpp"

namespace oculane {

struct FeatureState {
    bool connected = false;       // a connection record exists
    bool worker_running = false;  // its control worker is alive
    bool control_lost = false;    // control was lost (heartbeat failed, privilege cleared)
    Genicam* map = nullptr;       // absent until the description is loaded
    PortIo* port = nullptr;       // the connection's control port
};

class FeatureAccess {
public:
    explicit FeatureAccess(FeatureState state) : s_(state) {}

    GenicamResult<std::int64_t> get_integer(std::string_view name);
    GenicamResult<void> set_integer(std::string_view name, std::int64_t value);
    GenicamResult<double> get_float(std::string_view name);
    GenicamResult<void> set_float(std::string_view name, double value);
    GenicamResult<bool> get_boolean(std::string_view name);
    GenicamResult<void> set_boolean(std::string_view name, bool value);
    // The entry name of an enumeration, the text of a string node or string
    // register: get_enum and get_string are one operation.
    GenicamResult<std::string> get_string(std::string_view name);
    GenicamResult<std::string> get_enum(std::string_view name) { return get_string(name); }
    GenicamResult<void> set_string(std::string_view name, std::string_view value);
    GenicamResult<void> set_enum(std::string_view name, std::string_view entry);
    GenicamResult<void> execute(std::string_view name);
    GenicamResult<std::vector<EnumEntryValue>> enum_entries(std::string_view name);
    GenicamResult<std::pair<std::int64_t, std::int64_t>> integer_bounds(std::string_view name);
    GenicamResult<std::int64_t> integer_increment(std::string_view name);
    GenicamResult<std::pair<double, double>> float_bounds(std::string_view name);
    GenicamResult<AccessMode> access_mode(std::string_view name);
    // The checks the setters make before they write (bounds and increment,
    // enumeration entry, string register length), without writing: a tool
    // that sets several features checks them all before it writes any.
    GenicamResult<void> check_integer(std::string_view name, std::int64_t value);
    GenicamResult<void> check_float(std::string_view name, double value);
    GenicamResult<void> check_string(std::string_view name, std::string_view value);
    // Drops every register's cached bytes; no device access.
    GenicamResult<void> invalidate_caches();
    // Fills an absent payload size from "PayloadSize"; a size already given is
    // kept without any check.
    GenicamResult<void> fill_payload_size(std::optional<std::uint64_t>& payload_size);

    // True when the feature model is loaded and has a node of this name; no
    // error and no device access.
    bool has_feature(std::string_view name) const;
    // Every node name in node-table order; DescriptionError when no model.
    GenicamResult<std::vector<std::string>> feature_names() const;

    // Presentation and state of one feature (feature_info.hpp); the state
    // flags are read from the device.
    GenicamResult<FeatureInfo> feature_info(std::string_view name);
    // The feature's kind and unit; no device access.
    GenicamResult<FeatureKind> feature_kind(std::string_view name) const;
    // The category tree, parents first; no device access.
    GenicamResult<std::vector<CategoryInfo>> categories() const;

    // The three state checks, in order: connection, running worker, model.
    GenicamResult<void> check_ready() const;

private:
    // check_ready, then lookup of the name.
    GenicamResult<NodeId> find(std::string_view name) const;
    NodeEval eval() { return NodeEval(*s_.map, *s_.port); }
    // find, then `op(eval, id)` on the node found.
    template <class Op>
    auto on_node(std::string_view name, Op&& op) -> std::invoke_result_t<Op, NodeEval&, NodeId>;

    FeatureState s_;
};

}  // namespace oculane
