#include <limits>

#include "genicam/node_eval_fixture.hpp"

namespace oculane::testing {
namespace {

TEST_F(NodeEvalTest, Booleans) {
    const struct {
        const char* what;
        std::string on_off;
        std::uint8_t held;
        bool reads;
        std::uint8_t true_writes, false_writes;
    } cases[] = {
        {"on 5 off 4, holds 3", "<OnValue>5</OnValue><OffValue>4</OffValue>", 3, false, 5, 4},
        {"on 5 off 4, holds 5", "<OnValue>5</OnValue><OffValue>4</OffValue>", 5, true, 5, 4},
        {"defaults, holds 1", "", 1, true, 1, 0},
        {"defaults, holds 2", "", 2, false, 1, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        load("<Boolean Name=\"B\"><pValue>R</pValue>" + c.on_off + "</Boolean>" + reg("IntReg", "R", "0", "1"));
        port_.poke(0, {c.held});
        EXPECT_EQ(eval().bool_value(id("B")).value(), c.reads);
        ASSERT_TRUE(eval().set_bool_value(id("B"), true));
        EXPECT_EQ(port_.peek(0, 1)[0], c.true_writes);
        ASSERT_TRUE(eval().set_bool_value(id("B"), false));
        EXPECT_EQ(port_.peek(0, 1)[0], c.false_writes);
    }
    load(reg("IntReg", "R", "0", "1"));
    port_.poke(0, {7});
    EXPECT_TRUE(eval().bool_value(id("R")).value());
    ASSERT_TRUE(eval().set_bool_value(id("R"), true));
    EXPECT_EQ(port_.peek(0, 1)[0], 1);
}

TEST_F(NodeEvalTest, Enumerations) {
    load("<Enumeration Name=\"E\"><EnumEntry Name=\"Off\"><Value>0</Value></EnumEntry>"
         "<EnumEntry Name=\"On\"><Value>1</Value></EnumEntry>"
         "<EnumEntry Name=\"AlsoOn\"><Value>1</Value></EnumEntry><pValue>R</pValue></Enumeration>" +
         reg("IntReg", "R", "0", "4"));
    auto ev = eval();
    auto entries = ev.enum_entries(id("E")).value();
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[2].name, "AlsoOn");
    EXPECT_EQ(entries[2].value, 1);
    port_.clear_log();
    ASSERT_TRUE(ev.enum_entries(id("E")));
    EXPECT_TRUE(port_.log().empty());

    port_.poke(0, {1, 0, 0, 0});
    EXPECT_EQ(ev.string_value(id("E")).value(), "On");  // first of equal values
    ASSERT_TRUE(ev.set_enum_entry(id("E"), "Off"));
    EXPECT_EQ(port_.peek(0, 4)[0], 0);
    EXPECT_EQ(ev.string_value(id("E")).value(), "Off");
    ASSERT_TRUE(ev.set_string_value(id("E"), "AlsoOn"));
    EXPECT_EQ(port_.peek(0, 4)[0], 1);
    EXPECT_EQ(error_text(ev.set_enum_entry(id("E"), "off")), "enumeration 'E' has no entry 'off'");
    ASSERT_TRUE(ev.set_int_value(id("E"), 2));
    EXPECT_EQ(error_text(ev.string_value(id("E"))), "enumeration 'E' has no entry 'value 2'");
    EXPECT_EQ(error_text(ev.enum_entries(id("R"))), "node 'R' does not support this access");
    EXPECT_EQ(error_text(ev.set_enum_entry(id("R"), "On")), "node 'R' does not support this access");
}

TEST_F(NodeEvalTest, StringsFromValuesRegistersAndReferences) {
    load("<String Name=\"Const\"><Value>hello</Value></String>"
         "<String Name=\"Ref\"><pValue>SR</pValue></String>"
         "<String Name=\"Empty\"></String>"
         "<StringReg Name=\"SR\"><Address>0x100</Address><Length>16</Length><pPort>Device</pPort></StringReg>"
         "<StringReg Name=\"Full\"><Address>0x200</Address><Length>4</Length><pPort>Device</pPort></StringReg>");
    auto ev = eval();
    EXPECT_EQ(ev.string_value(id("Const")).value(), "hello");
    ASSERT_TRUE(ev.set_string_value(id("Const"), "bye"));
    EXPECT_EQ(ev.string_value(id("Const")).value(), "bye");
    EXPECT_TRUE(port_.log().empty());

    port_.poke(0x100, {'M', 'o', 'n', 'o', '8', 0, 'x', 'y'});
    EXPECT_EQ(ev.string_value(id("Ref")).value(), "Mono8");
    // A text longer than its register is refused, not cut; one that fills it
    // exactly is written without a terminating zero.
    port_.clear_log();
    EXPECT_EQ(error_text(ev.set_string_value(id("Ref"), "ABCDEFGHIJKLMNOPQ")),
              "text length 17 out of range [0, 16] for 'SR'");
    EXPECT_EQ(error_text(ev.check_string_write(id("Ref"), "ABCDEFGHIJKLMNOPQ")),
              "text length 17 out of range [0, 16] for 'Ref'");
    EXPECT_TRUE(port_.log().empty());
    ASSERT_TRUE(ev.check_string_write(id("Ref"), "ABCDEFGHIJKLMNOP"));
    ASSERT_TRUE(ev.set_string_value(id("Ref"), "ABCDEFGHIJKLMNOP"));
    EXPECT_EQ(port_.log().back().bytes.size(), 16u);
    EXPECT_EQ(port_.peek(0x100, 17), (std::vector<std::uint8_t>{'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H', 'I', 'J',
                                                                'K', 'L', 'M', 'N', 'O', 'P', 0}));
    ASSERT_TRUE(ev.set_string_value(id("Ref"), "ab"));
    EXPECT_EQ(port_.log().back().bytes, (std::vector<std::uint8_t>{'a', 'b', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));

    port_.poke(0x200, {'a', 0xFF, 'b', 0xC3});
    EXPECT_EQ(ev.string_value(id("Full")).value(), "a\xEF\xBF\xBD" "b\xEF\xBF\xBD");

    EXPECT_EQ(error_text(ev.string_value(id("Empty"))), "node 'Empty' does not support this access");
    EXPECT_EQ(error_text(ev.set_string_value(id("Empty"), "x")),
              "node 'Empty' is not accessible this way (access mode)");
}

TEST_F(NodeEvalTest, Commands) {
    load("<Command Name=\"Start\"><pValue>R</pValue></Command>"
         "<Command Name=\"Custom\"><pValue>R</pValue><CommandValue>0x55</CommandValue></Command>"
         "<Command Name=\"Local\"><Value>0</Value></Command>"
         "<Integer Name=\"I\"><Value>1</Value></Integer>" +
         reg("IntReg", "R", "0x20", "4", "<AccessMode>WO</AccessMode>"));
    auto ev = eval();
    ASSERT_TRUE(ev.execute(id("Start")));
    EXPECT_EQ(port_.log().back(), (MemoryPort::Access{true, 0x20, {1, 0, 0, 0}}));
    ASSERT_TRUE(ev.execute(id("Custom")));
    EXPECT_EQ(port_.log().back(), (MemoryPort::Access{true, 0x20, {0x55, 0, 0, 0}}));
    EXPECT_EQ(port_.reads(), 0u);
    ASSERT_TRUE(ev.execute(id("Local")));
    EXPECT_EQ(*map_.node(id("Local")).get_if<node_data::Command>()->value.int_if(), 1);
    EXPECT_EQ(error_text(ev.execute(id("I"))), "node 'I' does not support this access");
}

TEST_F(NodeEvalTest, IntegerBoundsAndIncrement) {
    constexpr auto kMin = std::numeric_limits<std::int64_t>::min();
    constexpr auto kMax = std::numeric_limits<std::int64_t>::max();
    load("<Integer Name=\"Open\"><Value>0</Value></Integer>"
         "<Integer Name=\"Closed\"><Value>0</Value><Min>-2</Min><pMax>MaxReg</pMax><Inc>8</Inc></Integer>"
         "<Integer Name=\"BadMax\"><Value>0</Value><pMax>Missing</pMax></Integer>" +
         reg("IntReg", "MaxReg", "0", "2") + reg("MaskedIntReg", "Bit", "4", "1", "<Bit>0</Bit>") +
         reg("FloatReg", "F", "8", "4"));
    port_.poke(0, {0x00, 0x04});
    auto ev = eval();
    EXPECT_EQ(ev.int_bounds(id("Open")).value(), (std::pair{kMin, kMax}));
    EXPECT_EQ(ev.int_increment(id("Open")).value(), 1);
    EXPECT_EQ(ev.int_bounds(id("Closed")).value(), (std::pair<std::int64_t, std::int64_t>{-2, 1024}));
    EXPECT_EQ(ev.int_increment(id("Closed")).value(), 8);
    EXPECT_EQ(error_text(ev.int_bounds(id("BadMax"))), "dangling reference 'Missing'");
    EXPECT_EQ(ev.int_bounds(id("Bit")).value(), (std::pair<std::int64_t, std::int64_t>{0, 1}));
    EXPECT_EQ(error_text(ev.int_bounds(id("F"))), "node 'F' does not support this access");
    EXPECT_EQ(error_text(ev.int_increment(id("Bit"))), "node 'Bit' does not support this access");
}

// An integer register holds what its length, sign and bit field allow.
TEST_F(NodeEvalTest, IntegerRegistersHaveTheirNaturalBounds) {
    constexpr auto kMin = std::numeric_limits<std::int64_t>::min();
    constexpr auto kMax = std::numeric_limits<std::int64_t>::max();
    const struct {
        const char* what;
        std::string xml;
        std::int64_t min, max;
    } cases[] = {
        {"4-byte unsigned", reg("IntReg", "R", "0", "4"), 0, 4294967295},
        {"2-byte signed", reg("IntReg", "R", "0", "2", "<Sign>Signed</Sign>"), -32768, 32767},
        {"3-byte unsigned", reg("IntReg", "R", "0", "3"), 0, 16777215},
        {"8-byte unsigned", reg("IntReg", "R", "0", "8"), 0, kMax},
        {"8-byte signed", reg("IntReg", "R", "0", "8", "<Sign>Signed</Sign>"), kMin, kMax},
        {"big-endian bits 24..31", reg("MaskedIntReg", "R", "0", "4", "<LSB>31</LSB><MSB>24</MSB><Endianess>BigEndian</Endianess>"), 0, 255},
        {"signed 4-bit field", reg("MaskedIntReg", "R", "0", "4", "<LSB>4</LSB><MSB>7</MSB><Sign>Signed</Sign>"), -8, 7},
        {"one bit", reg("MaskedIntReg", "R", "0", "4", "<Bit>9</Bit>"), 0, 1},
        {"through an Integer", "<Integer Name=\"I\"><pValue>R</pValue><Min>-1</Min></Integer>" + reg("IntReg", "R", "0", "1"), -1, 255},
        // What cannot be read has no bounds of its own; reading reports it.
        {"9 bytes", reg("IntReg", "R", "0", "9"), kMin, kMax},
        {"bit outside", reg("MaskedIntReg", "R", "0", "1", "<Bit>9</Bit>"), kMin, kMax},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        load(c.xml);
        const NodeId target = map_.find("I") ? id("I") : id("R");
        EXPECT_EQ(eval().int_bounds(target).value(), (std::pair{c.min, c.max}));
    }
    EXPECT_EQ(port_.reads(), 0u);
}

TEST_F(NodeEvalTest, AccessModes) {
    load("<Integer Name=\"ByRO\"><pValue>RORegister</pValue></Integer>"
         "<Integer Name=\"Const\"><Value>1</Value></Integer>"
         "<Float Name=\"FConst\"><Value>1.0</Value></Float>"
         "<Boolean Name=\"Dangling\"><pValue>Nope</pValue></Boolean>"
         "<Enumeration Name=\"ByWO\"><pValue>WORegister</pValue></Enumeration>"
         "<Integer Name=\"Chain\"><pValue>ByRO</pValue></Integer>"
         "<Command Name=\"Cmd\"><Value>0</Value></Command>"
         "<String Name=\"S\"><Value>x</Value></String>"
         "<IntSwissKnife Name=\"K\"><Formula>1</Formula></IntSwissKnife>"
         // A converter has the mode of the value it converts.
         "<Converter Name=\"Conv\"><FormulaTo>FROM</FormulaTo><FormulaFrom>TO</FormulaFrom><pValue>Plain</pValue></Converter>"
         "<IntConverter Name=\"ConvRO\"><FormulaTo>FROM</FormulaTo><FormulaFrom>TO</FormulaFrom>"
         "<pValue>RORegister</pValue></IntConverter>"
         "<Converter Name=\"ConvConst\"><FormulaTo>FROM</FormulaTo><FormulaFrom>TO</FormulaFrom><Value>3</Value></Converter>"
         "<Float Name=\"ByConv\"><pValue>Conv</pValue></Float>"
         "<String Name=\"SRO\"><pValue>StrRO</pValue></String>"
         "<String Name=\"SRW\"><pValue>StrRW</pValue></String>"
         "<StringReg Name=\"StrRW\"><Address>0</Address><Length>4</Length></StringReg>"
         "<StringReg Name=\"StrRO\"><Address>0</Address><Length>4</Length><AccessMode>RO</AccessMode></StringReg>"
         "<Integer Name=\"Loop\"><pValue>LoopConv</pValue></Integer>"
         "<IntConverter Name=\"LoopConv\"><FormulaFrom>TO</FormulaFrom><pValue>Loop</pValue></IntConverter>" +
         reg("IntReg", "RORegister", "0", "4", "<AccessMode>RO</AccessMode>") +
         reg("IntReg", "WORegister", "0", "4", "<AccessMode>WO</AccessMode>") + reg("IntReg", "Plain", "0", "4"));
    const std::pair<const char*, AccessMode> cases[] = {
        {"ByRO", AccessMode::RO},     {"Const", AccessMode::RW}, {"FConst", AccessMode::RW},
        {"Dangling", AccessMode::RO}, {"ByWO", AccessMode::WO},  {"Chain", AccessMode::RO},
        {"Cmd", AccessMode::WO},      {"S", AccessMode::RO},     {"K", AccessMode::RO},
        {"Plain", AccessMode::RW},    {"Conv", AccessMode::RW},  {"ConvRO", AccessMode::RO},
        {"ConvConst", AccessMode::RO}, {"ByConv", AccessMode::RW}, {"SRO", AccessMode::RO},
        {"Loop", AccessMode::RO},     {"SRW", AccessMode::RW},
    };
    for (const auto& [name, mode] : cases) {
        if (std::string_view(name) == "Loop") {
            EXPECT_EQ(error_text(access_mode(map_, id(name))), "circular reference through 'Loop'");
            continue;
        }
        EXPECT_EQ(access_mode(map_, id(name)).value(), mode) << name;
    }
    EXPECT_TRUE(port_.log().empty());
}

// Missing bounds and increments come from the node the value stands for;
// a Converter's come through its read formula, swapped when it decreases.
TEST_F(NodeEvalTest, BoundsComeFromTheValueNode) {
    load("<Integer Name=\"Packet\"><pValue>PacketReg</pValue></Integer>"
         "<Integer Name=\"PacketReg\"><pValue>Raw</pValue><Min>500</Min><pMax>Top</pMax><Inc>4</Inc></Integer>"
         "<Integer Name=\"Top\"><Value>8192</Value></Integer>" +
         reg("IntReg", "Raw", "0", "4") +
         "<Integer Name=\"OwnMin\"><pValue>PacketReg</pValue><Min>1000</Min></Integer>"
         "<Integer Name=\"Plain\"><pValue>Raw</pValue></Integer>"
         "<Float Name=\"AsFloat\"><pValue>PacketReg</pValue></Float>"
         "<Integer Name=\"Period\"><pValue>Raw</pValue><Min>10</Min><Max>1000</Max></Integer>"
         "<Converter Name=\"Rate\"><FormulaTo>1000000/FROM</FormulaTo><FormulaFrom>1000000/TO</FormulaFrom>"
         "<pValue>Period</pValue></Converter>"
         "<Float Name=\"FrameRate\"><pValue>Rate</pValue></Float>"
         "<Converter Name=\"Unbounded\"><FormulaTo>FROM</FormulaTo><FormulaFrom>TO*2</FormulaFrom>"
         "<pValue>Raw</pValue></Converter>"
         "<Float Name=\"Scaled\"><pValue>Unbounded</pValue><Max>5.5</Max></Float>"
         // Formulas that are not monotonic over the range give no bounds;
         // an infinite end is no bound either.
         "<IntConverter Name=\"Case\"><FormulaFrom>(TO = 1) ? 1 : 0</FormulaFrom><pValue>Raw</pValue></IntConverter>"
         "<IntConverter Name=\"Signed\"><FormulaFrom>(TO > 32767) ? TO - 65536 : TO</FormulaFrom>"
         "<pValue>Raw16</pValue></IntConverter>"
         "<IntConverter Name=\"Low16\"><FormulaFrom>TO &amp; 0xffff</FormulaFrom><pValue>Raw</pValue></IntConverter>"
         "<Converter Name=\"Reciprocal\"><FormulaFrom>1000000 / TO</FormulaFrom><pValue>Raw</pValue></Converter>" +
         reg("IntReg", "Raw16", "8", "2"));
    constexpr double kLow = std::numeric_limits<double>::lowest();
    constexpr double kHigh = std::numeric_limits<double>::max();
    const struct {
        const char* node;
        std::int64_t min, max, inc;
    } ints[] = {
        {"Packet", 500, 8192, 4},
        {"OwnMin", 1000, 8192, 4},
        {"Plain", 0, 4294967295, 1},
    };
    for (const auto& c : ints) {
        EXPECT_EQ(eval().int_bounds(id(c.node)).value(), (std::pair{c.min, c.max})) << c.node;
        EXPECT_EQ(eval().int_increment(id(c.node)).value(), c.inc) << c.node;
    }
    const struct {
        const char* node;
        double min, max;
    } floats[] = {
        {"AsFloat", 500, 8192},
        {"Rate", 1000, 100000},  // 1000000/1000 .. 1000000/10
        {"FrameRate", 1000, 100000},
        {"Unbounded", 0, 8589934590.0},
        {"Scaled", 0, 5.5},
        {"Case", kLow, kHigh},
        {"Signed", kLow, kHigh},
        {"Low16", 0, 65535},
        {"Reciprocal", 1000000 / 4294967295.0, kHigh},
    };
    for (const auto& c : floats)
        EXPECT_EQ(eval().float_bounds(id(c.node)).value(), (std::pair{c.min, c.max})) << c.node;
    EXPECT_EQ(port_.reads(), 0u);  // bounds came from the description alone
    EXPECT_TRUE(map_.evaluation_stack().empty());
}

// Registers behind chunk and event ports have no device registers to read;
// a pPort must name a port. Either way nothing reaches the device.
TEST_F(NodeEvalTest, RegistersReachTheDeviceOnlyThroughADevicePort) {
    auto at = [](std::string_view name, std::string_view port) {
        return "<IntReg Name=\"" + std::string(name) + "\"><Address>0x10</Address><Length>4</Length>" +
               (port.empty() ? std::string() : "<pPort>" + std::string(port) + "</pPort>") + "</IntReg>";
    };
    load("<Port Name=\"Device\"/><Port Name=\"ChunkPort\"><ChunkID>8000</ChunkID></Port>"
         "<Port Name=\"EventPort\"><EventID>9000</EventID></Port><Integer Name=\"NotAPort\"><Value>1</Value></Integer>" +
         at("OnDevice", "Device") + at("NoPort", "") + at("InChunk", "ChunkPort") + at("InEvent", "EventPort") +
         at("WrongPort", "NotAPort") + at("NoSuchPort", "Gone") +
         "<Integer Name=\"ChunkWidth\"><pValue>InChunk</pValue></Integer>");
    port_.poke(0x10, {7, 0, 0, 0});
    const struct {
        const char* node;
        const char* error;  // nullptr: read from the device
    } cases[] = {
        {"OnDevice", nullptr},
        {"NoPort", nullptr},
        {"InChunk", "node 'InChunk' cannot be read from the device: it is carried in the chunk data of frames (port 'ChunkPort')"},
        {"ChunkWidth", "node 'InChunk' cannot be read from the device: it is carried in the chunk data of frames (port 'ChunkPort')"},
        {"InEvent", "node 'InEvent' cannot be read from the device: it is carried in event data (port 'EventPort')"},
        {"WrongPort", "device description: register 'WrongPort' is read through 'NotAPort', which is not a port"},
        {"NoSuchPort", "device description: register 'NoSuchPort' is read through 'Gone', which is not a port"},
    };
    for (const auto& c : cases) {
        map_.clear_register_caches();
        port_.clear_log();
        if (!c.error) {
            EXPECT_EQ(get_int(c.node).value(), 7) << c.node;
            ASSERT_TRUE(set_int(c.node, 7)) << c.node;
            EXPECT_EQ(port_.log().size(), 2u) << c.node;
            continue;
        }
        EXPECT_EQ(error_text(get_int(c.node)), c.error);
        EXPECT_EQ(error_text(set_int(c.node, 1)), c.error);
        EXPECT_TRUE(port_.log().empty()) << c.node;
    }
    // The built-in registers use the device even where no port is called "Device".
    auto parsed = parse_description("<RegisterDescription><Port Name=\"Dev\"/></RegisterDescription>");
    ASSERT_TRUE(parsed.has_value());
    map_ = std::move(*parsed);
    EXPECT_TRUE(get_int("GevTimestampTickFrequency").has_value());
}

}  // namespace
}  // namespace oculane::testing
