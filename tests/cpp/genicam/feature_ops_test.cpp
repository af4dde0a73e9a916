#include "genicam/feature_ops.hpp"

#include <cmath>
#include <functional>
#include <mutex>

#include <gtest/gtest.h>

#include "genicam/node_eval_fixture.hpp"
#include "util/log.hpp"

namespace oculane::testing {
namespace {

class FeatureAccessTest : public NodeEvalTest {
protected:
    void SetUp() override {
        load("<Integer Name=\"Width\"><pValue>WidthReg</pValue></Integer>" + reg("IntReg", "WidthReg", "0", "4") +
             "<IntSwissKnife Name=\"PayloadSize\"><pVariable Name=\"W\">Width</pVariable>"
             "<Formula>W*2</Formula></IntSwissKnife>"
             "<Enumeration Name=\"Mode\"><EnumEntry Name=\"A\"><Value>0</Value></EnumEntry><Value>0</Value></Enumeration>"
             "<String Name=\"Text\"><Value>hi</Value></String>"
             "<Command Name=\"Go\"><pValue>WidthReg</pValue></Command>");
    }
    FeatureAccess ready() { return FeatureAccess({true, true, false, &map_, &port_}); }
};

// Every named operation, run against a given state, returning its error text.
std::vector<std::pair<const char*, std::function<std::string(FeatureAccess&)>>> all_operations() {
    auto text = [](const auto& r) { return r.has_value() ? std::string("<ok>") : r.error().to_string(); };
    return {
        {"get_integer", [=](FeatureAccess& f) { return text(f.get_integer("Width")); }},
        {"set_integer", [=](FeatureAccess& f) { return text(f.set_integer("Width", 1)); }},
        {"get_float", [=](FeatureAccess& f) { return text(f.get_float("Width")); }},
        {"set_float", [=](FeatureAccess& f) { return text(f.set_float("Width", 1)); }},
        {"get_boolean", [=](FeatureAccess& f) { return text(f.get_boolean("Width")); }},
        {"set_boolean", [=](FeatureAccess& f) { return text(f.set_boolean("Width", true)); }},
        {"get_string", [=](FeatureAccess& f) { return text(f.get_string("Mode")); }},
        {"get_enum", [=](FeatureAccess& f) { return text(f.get_enum("Mode")); }},
        {"set_string", [=](FeatureAccess& f) { return text(f.set_string("Text", "x")); }},
        {"set_enum", [=](FeatureAccess& f) { return text(f.set_enum("Mode", "A")); }},
        {"execute", [=](FeatureAccess& f) { return text(f.execute("Go")); }},
        {"enum_entries", [=](FeatureAccess& f) { return text(f.enum_entries("Mode")); }},
        {"integer_bounds", [=](FeatureAccess& f) { return text(f.integer_bounds("Width")); }},
        {"integer_increment", [=](FeatureAccess& f) { return text(f.integer_increment("Width")); }},
        {"float_bounds", [=](FeatureAccess& f) { return text(f.float_bounds("Width")); }},
        {"access_mode", [=](FeatureAccess& f) { return text(f.access_mode("Width")); }},
        {"invalidate_caches", [=](FeatureAccess& f) { return text(f.invalidate_caches()); }},
    };
}

TEST_F(FeatureAccessTest, PreconditionsInOrder) {
    const struct {
        const char* what;
        FeatureState state;
        const char* message;
        bool is_transport;
    } cases[] = {
        // The connection check comes first, whatever else the state says.
        {"no connection", {false, true, true, &map_, &port_}, "driver is not connected", true},
        {"worker stopped, control lost", {true, false, true, &map_, &port_},
         "device control was lost (heartbeat failed)", true},
        {"worker stopped", {true, false, false, &map_, &port_}, "driver is not connected", true},
        {"no model", {true, true, false, nullptr, &port_}, "device description: feature model not loaded", false},
    };
    for (const auto& c : cases) {
        for (auto& [op, run] : all_operations()) {
            FeatureAccess f(c.state);
            EXPECT_EQ(run(f), c.message) << c.what << " / " << op;
        }
        FeatureAccess f(c.state);
        auto r = f.get_integer("Width");
        EXPECT_EQ(r.error().transport_error() != nullptr, c.is_transport) << c.what;
    }
    EXPECT_TRUE(port_.log().empty());
}

TEST_F(FeatureAccessTest, UnknownNamesAndKinds) {
    auto f = ready();
    EXPECT_EQ(f.get_integer("width").error().to_string(), "feature 'width' not found");
    EXPECT_EQ(f.execute("").error().to_string(), "feature '' not found");
    EXPECT_EQ(f.get_float("Go").error().to_string(), "node 'Go' does not support this access");
    // get_enum and get_string are the same operation.
    EXPECT_EQ(f.get_enum("Text").value(), "hi");
    EXPECT_EQ(f.get_string("Mode").value(), "A");
    EXPECT_EQ(f.access_mode("Go").value(), AccessMode::WO);
}

TEST_F(FeatureAccessTest, WritesAreTracedBeforeAnyCheck) {
    std::vector<log::Event> events;
    std::mutex m;
    log::set_sink([&](const log::Event& e) {
        std::lock_guard lock(m);
        log::Event copy{e.target, e.level, e.message, e.fields};
        events.push_back(std::move(copy));
    });
    FeatureAccess disconnected({});
    (void)disconnected.set_integer("Nope", -5);
    (void)disconnected.set_float("F", 2.5);
    (void)disconnected.set_boolean("B", true);
    (void)disconnected.set_string("S", "txt");
    (void)disconnected.set_enum("E", "On");
    (void)disconnected.execute("C");
    (void)disconnected.get_integer("Nope");  // reads are not traced
    log::clear_sink();

    struct Expected {
        const char* message;
        std::vector<std::pair<std::string, std::string>> fields;
    };
    const Expected expected[] = {
        {"set integer", {{"feature", "Nope"}, {"value", "-5"}}},
        {"set float", {{"feature", "F"}, {"value", "2.5"}}},
        {"set boolean", {{"feature", "B"}, {"value", "true"}}},
        {"set string", {{"feature", "S"}, {"value", "txt"}}},
        {"set enum", {{"feature", "E"}, {"entry", "On"}}},
        {"execute command", {{"feature", "C"}}},
    };
    ASSERT_EQ(events.size(), std::size(expected));
    for (std::size_t i = 0; i < events.size(); ++i) {
        EXPECT_EQ(events[i].target, "oculane::genicam");
        EXPECT_EQ(events[i].level, log::Level::Trace);
        EXPECT_EQ(events[i].message, expected[i].message);
        std::vector<std::pair<std::string, std::string>> fields;
        for (auto& fld : events[i].fields) fields.emplace_back(fld.name, fld.value);
        EXPECT_EQ(fields, expected[i].fields) << expected[i].message;
    }
}

TEST_F(FeatureAccessTest, InvalidateCachesDropsEveryRegisterCache) {
    auto f = ready();
    port_.poke(0, {3, 0, 0, 0});
    EXPECT_EQ(f.get_integer("Width").value(), 3);
    port_.poke(0, {4, 0, 0, 0});
    EXPECT_EQ(f.get_integer("Width").value(), 3);  // cached
    port_.clear_log();
    ASSERT_TRUE(f.invalidate_caches());
    EXPECT_TRUE(port_.log().empty());
    EXPECT_EQ(f.get_integer("Width").value(), 4);
    EXPECT_EQ(port_.reads(), 1u);
}

TEST_F(FeatureAccessTest, FillPayloadSize) {
    std::optional<std::uint64_t> given = 77;
    FeatureAccess disconnected({});
    ASSERT_TRUE(disconnected.fill_payload_size(given));
    EXPECT_EQ(given, 77u);

    std::optional<std::uint64_t> size;
    EXPECT_EQ(disconnected.fill_payload_size(size).error().to_string(), "driver is not connected");
    auto f = ready();
    port_.poke(0, {50, 0, 0, 0});
    ASSERT_TRUE(f.fill_payload_size(size));
    EXPECT_EQ(size, 100u);

    std::optional<std::uint64_t> zero;
    ASSERT_TRUE(f.set_integer("Width", 0));
    ASSERT_TRUE(f.fill_payload_size(zero));
    EXPECT_EQ(zero, 0u);

    std::optional<std::uint64_t> negative;
    load("<Integer Name=\"PayloadSize\"><Value>-1</Value></Integer>");
    EXPECT_EQ(ready().fill_payload_size(negative).error().to_string(), "device description: negative PayloadSize");
    EXPECT_FALSE(negative.has_value());
}

TEST_F(FeatureAccessTest, NamesAndPresence) {
    FeatureAccess disconnected({});
    EXPECT_FALSE(disconnected.has_feature("Width"));
    EXPECT_EQ(disconnected.feature_names().error().to_string(), "device description: feature model not loaded");
    // The worker state does not matter for these two.
    FeatureAccess stopped({true, false, true, &map_, &port_});
    EXPECT_TRUE(stopped.has_feature("Width"));
    EXPECT_FALSE(stopped.has_feature(""));
    EXPECT_FALSE(stopped.has_feature("width"));
    auto names = stopped.feature_names().value();
    ASSERT_EQ(names.size(), map_.size());
    EXPECT_EQ(names[0], "Width");
    EXPECT_EQ(names[1], "WidthReg");
    EXPECT_NE(std::find(names.begin(), names.end(), "TLParamsLocked"), names.end());
}

// Writes outside the bounds or off the increment are refused before any
// traffic, with the bounds in the message.
TEST_F(FeatureAccessTest, OutOfRangeWritesSendNothing) {
    load("<Integer Name=\"Packet\"><pValue>PacketReg</pValue></Integer>"
         "<Integer Name=\"PacketReg\"><pValue>Raw</pValue><Min>500</Min><Max>8192</Max><Inc>4</Inc></Integer>" +
         reg("IntReg", "Raw", "0", "4") +
         "<Float Name=\"Gain\"><pValue>GainReg</pValue><Min>0</Min><Max>24.5</Max></Float>" +
         reg("FloatReg", "GainReg", "8", "4") +
         "<Float Name=\"Free\"><pValue>GainReg</pValue></Float>"
         "<Integer Name=\"Period\"><pValue>Raw</pValue><Min>10</Min><Max>1000</Max></Integer>"
         "<Converter Name=\"Rate\"><FormulaTo>1000000/FROM</FormulaTo><FormulaFrom>1000000/TO</FormulaFrom>"
         "<pValue>Period</pValue></Converter>");
    auto f = ready();
    auto text = [](const GenicamResult<void>& r) { return r ? std::string("<ok>") : r.error().to_string(); };
    const struct {
        std::function<GenicamResult<void>()> write;
        const char* error;  // nullptr: accepted
    } cases[] = {
        {[&] { return f.set_integer("Packet", 499); }, "value 499 out of range [500, 8192] in steps of 4 for 'Packet'"},
        {[&] { return f.set_integer("Packet", 8196); }, "value 8196 out of range [500, 8192] in steps of 4 for 'Packet'"},
        {[&] { return f.set_integer("Packet", 1001); }, "value 1001 out of range [500, 8192] in steps of 4 for 'Packet'"},
        {[&] { return f.set_float("Packet", 7998.6); }, "value 7999 out of range [500, 8192] in steps of 4 for 'Packet'"},
        {[&] { return f.set_integer("Period", 5); }, "value 5 out of range [10, 1000] for 'Period'"},
        {[&] { return f.set_float("Gain", 24.6); }, "value 24.6 out of range [0, 24.5] for 'Gain'"},
        {[&] { return f.set_float("Gain", -0.1); }, "value -0.1 out of range [0, 24.5] for 'Gain'"},
        {[&] { return f.set_float("Gain", NAN); }, "value nan out of range [0, 24.5] for 'Gain'"},
        {[&] { return f.set_integer("Gain", 25); }, "value 25 out of range [0, 24.5] for 'Gain'"},
        {[&] { return f.set_float("Rate", 999.0); }, "value 999 out of range [1000, 100000] for 'Rate'"},
        {[&] { return f.set_integer("Packet", 1000); }, nullptr},
        {[&] { return f.set_float("Gain", 24.5); }, nullptr},
        {[&] { return f.set_float("Free", 1e30); }, nullptr},
        {[&] { return f.set_float("Rate", 2000.0); }, nullptr},
    };
    for (const auto& c : cases) {
        port_.clear_log();
        auto r = c.write();
        if (c.error) {
            EXPECT_EQ(text(r), c.error);
            EXPECT_EQ(port_.writes(), 0u) << c.error;
        } else {
            EXPECT_EQ(text(r), "<ok>");
            EXPECT_EQ(port_.writes(), 1u);
        }
    }
}

}  // namespace
}  // namespace oculane::testing
