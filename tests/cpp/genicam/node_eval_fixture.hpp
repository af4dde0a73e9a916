#pragma once
// A node map parsed from a description fragment, evaluated over a recording
// in-memory port.

#include <string>
#include <string_view>

#include <gtest/gtest.h>

#include "genicam/memory_port.hpp"
#include "genicam/node_eval.hpp"
#include "genicam/parser.hpp"

namespace oculane::testing {

class NodeEvalTest : public ::testing::Test {
protected:
    // Registers made by reg() are read through the port "Device", which a
    // fragment gets when it does not bring its own.
    void load(std::string_view body) {
        std::string text(body);
        if (text.find("<Port Name=\"Device\"") == std::string::npos) text += "<Port Name=\"Device\"/>";
        auto parsed = parse_description("<RegisterDescription>" + text + "</RegisterDescription>");
        ASSERT_TRUE(parsed.has_value()) << parsed.error().to_string();
        map_ = std::move(*parsed);
    }
    NodeId id(std::string_view name) {
        auto r = map_.lookup(name);
        EXPECT_TRUE(r.has_value()) << name;
        return r.value_or(0);
    }
    NodeEval eval() { return NodeEval(map_, port_); }

    GenicamResult<std::int64_t> get_int(std::string_view n) { return eval().int_value(id(n)); }
    GenicamResult<void> set_int(std::string_view n, std::int64_t v) { return eval().set_int_value(id(n), v); }
    GenicamResult<double> get_float(std::string_view n) { return eval().float_value(id(n)); }
    GenicamResult<void> set_float(std::string_view n, double v) { return eval().set_float_value(id(n), v); }

    template <class T>
    static std::string error_text(const GenicamResult<T>& r) {
        return r.has_value() ? std::string("<no error>") : r.error().to_string();
    }

    Genicam map_;
    MemoryPort port_;
};

// An IntReg-like register element with the given extra children.
inline std::string reg(std::string_view element, std::string_view name, std::string_view address,
                       std::string_view length, std::string_view extra = "") {
    // Appended piece by piece: GCC 12 takes `"literal" + std::string&&` for
    // an overlapping copy and warns (-Wrestrict).
    std::string xml = "<";
    xml.append(element).append(" Name=\"").append(name).append("\"><Address>").append(address);
    xml.append("</Address><Length>").append(length).append("</Length><pPort>Device</pPort>").append(extra);
    xml.append("</").append(element).append(">");
    return xml;
}

}  // namespace oculane::testing
