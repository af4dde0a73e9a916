#include <optional>
#include <limits>

#include "genicam/node_eval_fixture.hpp"

namespace oculane::testing {
namespace {

struct ReadCase {
    const char* what;
    std::string element;  // register element type
    std::string length;
    std::string extra;    // further children
    std::vector<std::uint8_t> bytes;
    std::int64_t expected;
};

TEST_F(NodeEvalTest, IntegerRegistersDecode) {
    const ReadCase cases[] = {
        {"little 2 bytes", "IntReg", "2", "", {1, 2}, 513},
        {"big 2 bytes", "IntReg", "2", "<Endianess>BigEndian</Endianess>", {1, 2}, 258},
        {"other Endianess text is little", "IntReg", "2", "<Endianess>bigendian</Endianess>", {1, 2}, 513},
        {"big masked lowest byte", "MaskedIntReg", "4",
         "<LSB>31</LSB><MSB>24</MSB><Endianess>BigEndian</Endianess>", {0xAA, 0xBB, 0xCC, 0xDD}, 0xDD},
        {"little Bit 3", "MaskedIntReg", "1", "<Bit>3</Bit>", {0x08}, 1},
        {"signed 0xFFFF", "IntReg", "2", "<Sign>Signed</Sign>", {0xFF, 0xFF}, -1},
        {"unsigned 0xFFFF", "IntReg", "2", "", {0xFF, 0xFF}, 65535},
        {"sign text other than Signed", "IntReg", "2", "<Sign>signed</Sign>", {0xFF, 0xFF}, 65535},
        {"8 bytes bit 63", "IntReg", "8", "", {0, 0, 0, 0, 0, 0, 0, 0x80},
         std::numeric_limits<std::int64_t>::min()},
        {"3 bytes", "IntReg", "3", "<Endianess>BigEndian</Endianess>", {1, 2, 3}, 0x010203},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        load(reg(c.element, "R", "0x100", c.length, c.extra));
        port_.poke(0x100, c.bytes);
        auto v = get_int("R");
        ASSERT_TRUE(v.has_value()) << error_text(v);
        EXPECT_EQ(*v, c.expected);
        EXPECT_TRUE(map_.evaluation_stack().empty());
    }
}

TEST_F(NodeEvalTest, IntegerRegisterShapeErrorsNameTheNode) {
    const struct {
        std::string xml;
        const char* message;
    } cases[] = {
        {reg("IntReg", "X", "0", "9"), "formula in 'X': unsupported integer register length 9"},
        {reg("MaskedIntReg", "X", "0", "4", "<LSB>5</LSB><MSB>2</MSB>"),
         "formula in 'X': bad bit range 5..2 for 4 bytes"},
        {reg("FloatReg", "X", "0", "2"), "formula in 'X': unsupported float register length 2"},
    };
    for (const auto& c : cases) {
        load(c.xml);
        auto v = c.xml.starts_with("<Float") ? error_text(get_float("X")) : error_text(get_int("X"));
        EXPECT_EQ(v, c.message);
        if (c.xml.starts_with("<Float"))
            EXPECT_EQ(error_text(set_float("X", 1.0)), c.message);
        else
            EXPECT_EQ(error_text(set_int("X", 1)), c.message);
    }
}

TEST_F(NodeEvalTest, IntegerRegisterWrites) {
    load(reg("IntReg", "Byte", "0x10", "1") + reg("IntReg", "Big", "0x20", "2",
                                               "<Endianess>BigEndian</Endianess>") +
         reg("MaskedIntReg", "Flag", "0x30", "1", "<Bit>3</Bit>"));
    ASSERT_TRUE(set_int("Byte", 300));
    EXPECT_EQ(port_.peek(0x10, 1), (std::vector<std::uint8_t>{0x2C}));
    ASSERT_TRUE(set_int("Big", 0x0102));
    EXPECT_EQ(port_.peek(0x20, 2), (std::vector<std::uint8_t>{1, 2}));

    port_.poke(0x30, {0xFF});
    ASSERT_TRUE(set_int("Flag", 0));
    EXPECT_EQ(port_.peek(0x30, 1), (std::vector<std::uint8_t>{0xF7}));
}

TEST_F(NodeEvalTest, ConstantValueWritesStayInTheMap) {
    load("<Integer Name=\"C\"><Value>5</Value></Integer>");
    ASSERT_TRUE(set_int("C", 42));
    EXPECT_EQ(get_int("C").value(), 42);
    EXPECT_TRUE(port_.log().empty());
}

TEST_F(NodeEvalTest, CachePolicies) {
    const struct {
        const char* cachable;  // nullptr: no Cachable child
        std::size_t reads_after_two_reads;
        std::size_t reads_after_write_and_read;  // cumulative
    } cases[] = {
        {nullptr, 1, 2},
        {"NoCache", 2, 3},
        {"WriteThrough", 1, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.cachable ? c.cachable : "absent");
        std::string extra = c.cachable ? std::string("<Cachable>") + c.cachable + "</Cachable>" : "";
        load(reg("IntReg", "R", "0x40", "4", extra));
        port_.clear_log();
        port_.poke(0x40, {7, 0, 0, 0});
        EXPECT_EQ(get_int("R").value(), 7);
        EXPECT_EQ(get_int("R").value(), 7);
        EXPECT_EQ(port_.reads(), c.reads_after_two_reads);
        ASSERT_TRUE(set_int("R", 9));
        EXPECT_EQ(get_int("R").value(), 9);
        EXPECT_EQ(port_.reads(), c.reads_after_write_and_read);
    }
}

TEST_F(NodeEvalTest, InvalidationGoesOneLevel) {
    load(reg("IntReg", "X", "0x0", "4") +
         reg("IntReg", "A", "0x4", "4", "<pInvalidator>X</pInvalidator>") +
         reg("IntReg", "B", "0x8", "4", "<pInvalidator>A</pInvalidator>"));
    ASSERT_TRUE(get_int("A"));
    ASSERT_TRUE(get_int("B"));
    port_.clear_log();
    ASSERT_TRUE(set_int("X", 1));
    ASSERT_TRUE(get_int("A"));
    ASSERT_TRUE(get_int("B"));
    ASSERT_EQ(port_.reads(), 1u);
    EXPECT_EQ(port_.log().back().address, 0x4u);
}

TEST_F(NodeEvalTest, WriteThroughAFeatureInvalidatesWhatNamesTheFeature) {
    // Descriptions often name the feature, not its register, as invalidator.
    load("<Integer Name=\"Width\"><pValue>WidthReg</pValue></Integer>" + reg("IntReg", "WidthReg", "0x0", "4") +
         reg("IntReg", "Payload", "0x4", "4", "<pInvalidator>Width</pInvalidator>"));
    port_.poke(0x4, {1, 0, 0, 0});
    EXPECT_EQ(get_int("Payload").value(), 1);
    port_.poke(0x4, {2, 0, 0, 0});
    ASSERT_TRUE(set_int("Width", 10));
    EXPECT_EQ(get_int("Payload").value(), 2);
}

TEST_F(NodeEvalTest, CyclesFailAndLeaveTheStackEmpty) {
    load("<Integer Name=\"A\"><pValue>B</pValue></Integer>"
         "<Integer Name=\"B\"><pValue>A</pValue></Integer>"
         "<Integer Name=\"Fine\"><Value>3</Value></Integer>"
         "<IntSwissKnife Name=\"K\"><pVariable Name=\"V\">K</pVariable><Formula>V+1</Formula></IntSwissKnife>"
         "<String Name=\"S1\"><pValue>S2</pValue></String><String Name=\"S2\"><pValue>S1</pValue></String>");
    auto a = get_int("A");
    ASSERT_FALSE(a.has_value());
    EXPECT_TRUE(a.error().is<genicam_error::CircularReference>());
    EXPECT_EQ(a.error().to_string(), "circular reference through 'A'");
    EXPECT_TRUE(map_.evaluation_stack().empty());
    EXPECT_EQ(get_int("Fine").value(), 3);

    EXPECT_TRUE(get_int("K").error().is<genicam_error::CircularReference>());
    EXPECT_TRUE(eval().string_value(id("S1")).error().is<genicam_error::CircularReference>());
    EXPECT_TRUE(eval().set_string_value(id("S1"), "x").error().is<genicam_error::CircularReference>());
    EXPECT_TRUE(access_mode(map_, id("A")).error().is<genicam_error::CircularReference>());
    EXPECT_TRUE(map_.evaluation_stack().empty());
}

TEST_F(NodeEvalTest, AddressIsTheSumOfItsTerms) {
    load("<Integer Name=\"Base\"><Value>0x1000</Value></Integer>"
         "<Integer Name=\"Sel\"><Value>2</Value></Integer>"
         "<IntReg Name=\"R\"><Address>0x10</Address><pAddress>Base</pAddress>"
         "<IntSwissKnife><pVariable Name=\"S\">Sel</pVariable><Formula>S*4</Formula></IntSwissKnife>"
         "<Length>4</Length><pPort>Device</pPort></IntReg>"
         "<IntReg Name=\"Zero\"><pPort>Device</pPort></IntReg>");
    auto where = eval().register_address(id("R"));
    ASSERT_TRUE(where.has_value()) << error_text(where);
    EXPECT_EQ(where->first, 0x1018);
    EXPECT_EQ(where->second, 4);
    // No address and no length: address 0, 4 bytes, also for writes.
    EXPECT_EQ(eval().register_address(id("Zero")).value(), (std::pair<std::int64_t, std::int64_t>{0, 4}));
    ASSERT_TRUE(set_int("Zero", 5));
    EXPECT_EQ(port_.log().back(), (MemoryPort::Access{true, 0, {5, 0, 0, 0}}));
}

// Address constants are unsigned; node values may move an address down. A
// sum that leaves 0..2^64-1 is a description fault, never a read elsewhere.
TEST_F(NodeEvalTest, AddressSumsMustFit64Bits) {
    const struct {
        const char* terms;
        std::int64_t offset;  // the value of node Off
        std::optional<std::uint64_t> address;
    } cases[] = {
        {"<Address>0xFFFFFFFF00000000</Address>", 0, 0xFFFFFFFF00000000u},
        {"<Address>0xFFFFFFFFFFFFFFFF</Address>", 0, 0xFFFFFFFFFFFFFFFFu},
        {"<Address>0x100</Address><pAddress>Off</pAddress>", -4, 0xFCu},
        {"<Address>0xFFFFFFFFFFFFFFFF</Address><Address>1</Address>", 0, std::nullopt},
        {"<Address>0xFFFFFFFFFFFFFFF0</Address><pAddress>Off</pAddress>", 0x1000, std::nullopt},
        {"<Address>0x10</Address><pAddress>Off</pAddress>", -0x20, std::nullopt},
        {"<Address>0x10</Address><pIndex Offset=\"0x4000000000000000\">Off</pIndex>", 4, std::nullopt},
    };
    for (const auto& c : cases) {
        load("<Integer Name=\"Off\"><Value>" + std::to_string(c.offset) + "</Value></Integer><IntReg Name=\"R\">" +
             c.terms + "<Length>4</Length><pPort>Device</pPort></IntReg>");
        port_.clear_log();
        auto where = eval().register_address(id("R"));
        if (c.address) {
            ASSERT_TRUE(where.has_value()) << c.terms << ": " << error_text(where);
            EXPECT_EQ(static_cast<std::uint64_t>(where->first), *c.address) << c.terms;
            continue;
        }
        EXPECT_EQ(error_text(where), "device description: address of register 'R' does not fit 64 bits") << c.terms;
        EXPECT_EQ(error_text(get_int("R")), "device description: address of register 'R' does not fit 64 bits");
        EXPECT_TRUE(port_.log().empty()) << c.terms;
    }
}

TEST_F(NodeEvalTest, ReferencesAndRefusals) {
    load("<Integer Name=\"D\"><pValue>Nowhere</pValue></Integer>"
         "<Integer Name=\"NoValue\"></Integer>"
         "<Integer Name=\"F\"><Value>1</Value><pMax>FloatMax</pMax></Integer>"
         "<Float Name=\"FloatMax\"><Value>2.5</Value></Float>"
         "<Category Name=\"Cat\"/>"
         "<String Name=\"Str\"><Value>x</Value></String>" +
         reg("IntReg", "RO", "0", "4", "<AccessMode>RO</AccessMode>") +
         reg("IntReg", "WO", "4", "4", "<AccessMode>WO</AccessMode>") +
         reg("MaskedIntReg", "WOMasked", "8", "4", "<AccessMode>WO</AccessMode><Bit>1</Bit>") +
         reg("FloatReg", "FR", "12", "4"));
    EXPECT_EQ(error_text(get_int("D")), "dangling reference 'Nowhere'");
    EXPECT_EQ(error_text(get_int("NoValue")), "node '<value reference>' does not support this access");
    EXPECT_EQ(error_text(set_int("NoValue", 1)), "node 'NoValue' is not accessible this way (access mode)");
    EXPECT_EQ(eval().int_bounds(id("F")).value().second, 3);  // 2.5 rounds away from zero
    EXPECT_EQ(error_text(get_int("Cat")), "node 'Cat' does not support this access");
    EXPECT_EQ(error_text(get_int("Str")), "node 'Str' does not support this access");
    EXPECT_EQ(error_text(get_int("FR")), "node 'FR' does not support this access");
    EXPECT_EQ(error_text(set_int("RO", 1)), "node 'RO' is not accessible this way (access mode)");
    EXPECT_EQ(error_text(get_int("WO")), "node 'WO' is not accessible this way (access mode)");
    EXPECT_TRUE(set_int("WO", 1));
    EXPECT_EQ(error_text(set_int("WOMasked", 1)), "node 'WOMasked' is not accessible this way (access mode)");
}

TEST_F(NodeEvalTest, RegisterLengthsAreBoundedBeforeAnyAccess) {
    for (const char* length : {"-4", "0x7FFFFFFFFFFFFFFF", "67108865"}) {
        SCOPED_TRACE(length);
        load("<Integer Name=\"L\"><Value>" + std::string(length) + "</Value></Integer>"
             "<Register Name=\"R\"><Address>0</Address><pLength>L</pLength><pPort>Device</pPort></Register>"
             "<StringReg Name=\"S\"><Address>0</Address><pLength>L</pLength><pPort>Device</pPort></StringReg>");
        port_.clear_log();
        auto r = eval().register_read(id("R"));
        ASSERT_FALSE(r.has_value());
        EXPECT_TRUE(r.error().is<genicam_error::FormulaError>()) << r.error().to_string();
        EXPECT_FALSE(eval().set_string_value(id("S"), "x").has_value());
        EXPECT_TRUE(port_.log().empty());
    }
}

TEST_F(NodeEvalTest, PortFailuresAreTransportAndChangeNoCache) {
    load(reg("IntReg", "R", "0", "4") + reg("IntReg", "D", "4", "4", "<pInvalidator>R</pInvalidator>"));
    port_.poke(4, {1, 0, 0, 0});
    ASSERT_EQ(get_int("D").value(), 1);
    port_.fail_with(CameraError::ack_timeout());
    auto r = get_int("R");
    ASSERT_FALSE(r.has_value());
    ASSERT_NE(r.error().transport_error(), nullptr);
    EXPECT_TRUE(r.error().transport_error()->is<camera_error::AckTimeout>());
    EXPECT_FALSE(set_int("R", 1).has_value());
    port_.fail_with(std::nullopt);
    port_.clear_log();
    port_.poke(4, {2, 0, 0, 0});
    EXPECT_EQ(get_int("D").value(), 1);  // the failed write invalidated nothing
    EXPECT_EQ(port_.reads(), 0u);
    ASSERT_TRUE(get_int("R"));
    EXPECT_EQ(port_.reads(), 1u);  // the failed read stored nothing
}

}  // namespace
}  // namespace oculane::testing

namespace oculane::testing {
namespace {

// A description may chain references arbitrarily deep; evaluation must fail
// cleanly instead of running out of stack, and a chain of ordinary depth works.
TEST_F(NodeEvalTest, DeepReferenceChainsAreBounded) {
    for (int depth : {100, 5000}) {
        std::string xml;
        for (int i = 0; i < depth; ++i)
            xml += "<IntSwissKnife Name=\"K" + std::to_string(i) + "\"><pVariable Name=\"V\">K" +
                   std::to_string(i + 1) + "</pVariable><Formula>V+1</Formula></IntSwissKnife>";
        xml += "<Integer Name=\"K" + std::to_string(depth) + "\"><Value>0</Value></Integer>";
        load(xml);
        auto v = get_int("K0");
        if (depth == 100) {
            EXPECT_EQ(v.value(), 100);
        } else {
            ASSERT_FALSE(v.has_value());
        }
        EXPECT_TRUE(map_.evaluation_stack().empty());
    }
}

}  // namespace
}  // namespace oculane::testing
