// Values and registers chosen by a selector (pIndex).
#include "genicam/node_eval_fixture.hpp"

namespace oculane::testing {
namespace {

constexpr std::string_view kSelector =
    "<Integer Name=\"Sel\"><Value>0</Value></Integer>"
    "<Integer Name=\"A\"><Value>100</Value></Integer>"
    "<Integer Name=\"B\"><Value>200</Value></Integer>";

TEST_F(NodeEvalTest, IndexedIntegerReadsTheSelectedEntry) {
    load(std::string(kSelector) +
         "<Integer Name=\"Refs\"><pIndex>Sel</pIndex><pValueIndexed Index=\"0\">A</pValueIndexed>"
         "<pValueIndexed Index=\"1\">B</pValueIndexed><ValueDefault>-1</ValueDefault></Integer>"
         "<Integer Name=\"Consts\"><pIndex>Sel</pIndex><ValueIndexed Index=\"0x1\">11</ValueIndexed>"
         "<ValueIndexed Index=\"2\">22</ValueIndexed><pValueDefault>B</pValueDefault></Integer>"
         "<Integer Name=\"NoDefault\"><pIndex>Sel</pIndex><ValueIndexed Index=\"1\">5</ValueIndexed>"
         "<Value>9</Value></Integer>"
         "<Integer Name=\"Nothing\"><pIndex>Sel</pIndex><ValueIndexed Index=\"1\">5</ValueIndexed></Integer>");
    const struct {
        std::int64_t sel;
        std::int64_t refs, consts, no_default;
        bool nothing_ok;
    } cases[] = {
        {0, 100, 200, 9, false},
        {1, 200, 11, 5, true},
        {2, -1, 22, 9, false},
        {-7, -1, 200, 9, false},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(set_int("Sel", c.sel));
        EXPECT_EQ(get_int("Refs").value(), c.refs) << c.sel;
        EXPECT_EQ(get_int("Consts").value(), c.consts) << c.sel;
        EXPECT_EQ(get_int("NoDefault").value(), c.no_default) << c.sel;
        EXPECT_EQ(get_float("Refs").value(), static_cast<double>(c.refs)) << c.sel;
        if (c.nothing_ok) {
            EXPECT_EQ(get_int("Nothing").value(), 5);
        } else {
            EXPECT_EQ(error_text(get_int("Nothing")), "node '<value reference>' does not support this access");
        }
    }
}

TEST_F(NodeEvalTest, IndexedIntegerWritesTheSelectedEntry) {
    load(std::string(kSelector) +
         "<Integer Name=\"Refs\"><pIndex>Sel</pIndex><pValueIndexed Index=\"0\">A</pValueIndexed>"
         "<ValueIndexed Index=\"1\">7</ValueIndexed><ValueDefault>0</ValueDefault></Integer>");
    ASSERT_TRUE(set_int("Refs", 123));  // selector 0: written through to A
    EXPECT_EQ(get_int("A").value(), 123);
    ASSERT_TRUE(set_int("Sel", 1));
    ASSERT_TRUE(set_int("Refs", 8));  // selector 1: the constant entry is replaced
    EXPECT_EQ(get_int("Refs").value(), 8);
    EXPECT_EQ(get_int("A").value(), 123);
    ASSERT_TRUE(set_int("Sel", 5));
    ASSERT_TRUE(set_int("Refs", 9));  // no entry: the default constant
    EXPECT_EQ(get_int("Refs").value(), 9);
    ASSERT_TRUE(set_int("Sel", 1));
    EXPECT_EQ(get_int("Refs").value(), 8);
}

TEST_F(NodeEvalTest, IndexedFloat) {
    load(std::string(kSelector) + reg("FloatReg", "R", "0x0", "8") +
         "<Float Name=\"F\"><pIndex>Sel</pIndex><ValueIndexed Index=\"0\">1.5</ValueIndexed>"
         "<pValueIndexed Index=\"1\">R</pValueIndexed><ValueDefault>-2.5</ValueDefault></Float>");
    EXPECT_EQ(get_float("F").value(), 1.5);
    ASSERT_TRUE(set_float("F", 0.25));
    EXPECT_EQ(get_float("F").value(), 0.25);
    ASSERT_TRUE(set_int("Sel", 1));
    ASSERT_TRUE(set_float("F", 3.0));
    EXPECT_EQ(port_.writes(), 1u);
    EXPECT_EQ(get_float("F").value(), 3.0);
    ASSERT_TRUE(set_int("Sel", 3));
    EXPECT_EQ(get_float("F").value(), -2.5);
}

TEST_F(NodeEvalTest, SelectorErrorsComeThrough) {
    load("<Integer Name=\"Dangling\"><pIndex>Gone</pIndex><ValueIndexed Index=\"0\">1</ValueIndexed></Integer>"
         "<Integer Name=\"Loop\"><pIndex>Loop</pIndex><ValueDefault>1</ValueDefault></Integer>");
    EXPECT_EQ(error_text(get_int("Dangling")), "dangling reference 'Gone'");
    EXPECT_EQ(error_text(get_int("Loop")), "circular reference through 'Loop'");
}

// A register indexed by a selector sits at address + index * offset; the
// offset is given, read from a node, or the register's length.
TEST_F(NodeEvalTest, IndexedRegisterAddresses) {
    load(std::string(kSelector) + "<Integer Name=\"Step\"><Value>0x100</Value></Integer>" +
         reg("IntReg", "ByOffset", "0x1000", "4", "<pIndex Offset=\"0x10\">Sel</pIndex>") +
         reg("IntReg", "ByNode", "0x2000", "4", "<pIndex pOffset=\"Step\">Sel</pIndex>") +
         reg("StringReg", "ByLength", "0x3000", "8", "<pIndex>Sel</pIndex>"));
    const struct {
        const char* node;
        std::int64_t sel;
        std::int64_t address;
    } cases[] = {
        {"ByOffset", 0, 0x1000}, {"ByOffset", 3, 0x1030}, {"ByNode", 2, 0x2200},
        {"ByLength", 0, 0x3000}, {"ByLength", 2, 0x3010},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(set_int("Sel", c.sel));
        auto where = eval().register_address(id(c.node));
        ASSERT_TRUE(where.has_value()) << error_text(where);
        EXPECT_EQ(where->first, c.address) << c.node << " at " << c.sel;
    }
}

// The cached bytes of an indexed register belong to the address they came
// from: changing the selector, by any path, reads the other register.
TEST_F(NodeEvalTest, IndexedRegisterCacheFollowsTheSelector) {
    load(reg("IntReg", "SelReg", "0x0", "4", "<Cachable>NoCache</Cachable>") + "<Integer Name=\"Sel\"><pValue>SelReg</pValue></Integer>" +
         reg("IntReg", "Val", "0x100", "4", "<pIndex Offset=\"4\">Sel</pIndex>") +
         reg("IntReg", "Other", "0x0", "4", "<Cachable>NoCache</Cachable>"));
    port_.poke(0x100, {10, 0, 0, 0});
    port_.poke(0x104, {11, 0, 0, 0});
    EXPECT_EQ(get_int("Val").value(), 10);
    ASSERT_TRUE(set_int("Sel", 1));
    EXPECT_EQ(get_int("Val").value(), 11);
    ASSERT_TRUE(set_int("Val", 21));  // written at the selected address
    EXPECT_EQ(port_.peek(0x104, 4), (std::vector<std::uint8_t>{21, 0, 0, 0}));
    EXPECT_EQ(port_.peek(0x100, 4), (std::vector<std::uint8_t>{10, 0, 0, 0}));
    // The selector register changed through another feature at the same address.
    ASSERT_TRUE(set_int("Other", 0));
    EXPECT_EQ(get_int("Val").value(), 10);
    // Same selector again: served from the cache.
    port_.clear_log();
    EXPECT_EQ(get_int("Val").value(), 10);
    EXPECT_EQ(port_.reads(), 1u);  // the uncached selector register only
}

// The same holds for a register whose address or length comes from other
// nodes (pAddress through a swiss knife over a selector, pLength): its
// cache only serves the address and length it was read from.
TEST_F(NodeEvalTest, CacheBehindPAddressFollowsTheAddress) {
    load(reg("IntReg", "SelReg", "0x0", "4", "<Cachable>NoCache</Cachable>") +
         "<Integer Name=\"Sel\"><pValue>SelReg</pValue></Integer>"
         "<IntSwissKnife Name=\"Where\"><pVariable Name=\"S\">Sel</pVariable><Formula>0x100 + S*0x20</Formula></IntSwissKnife>"
         "<IntReg Name=\"Val\"><pAddress>Where</pAddress><Address>4</Address><Length>4</Length>"
         "<pPort>Device</pPort></IntReg>"
         "<Integer Name=\"Len\"><Value>2</Value></Integer>"
         "<IntReg Name=\"Sized\"><Address>0x200</Address><pLength>Len</pLength><pPort>Device</pPort></IntReg>");
    port_.poke(0x104, {10, 0, 0, 0});
    port_.poke(0x124, {11, 1, 0, 0});
    const struct {
        std::int64_t sel;
        std::int64_t val;
        std::size_t device_reads;  // the uncached selector register, and Val when it missed the cache
    } cases[] = {{0, 10, 2}, {0, 10, 1}, {1, 267, 2}, {1, 267, 1}, {0, 10, 2}};
    for (const auto& c : cases) {
        port_.poke(0, {static_cast<std::uint8_t>(c.sel), 0, 0, 0});  // the selector changes behind our back
        port_.clear_log();
        EXPECT_EQ(get_int("Val").value(), c.val) << c.sel;
        EXPECT_EQ(port_.reads(), c.device_reads) << c.sel;
    }
    port_.poke(0x200, {1, 0, 0, 1});
    EXPECT_EQ(get_int("Sized").value(), 1);
    ASSERT_TRUE(set_int("Len", 4));
    EXPECT_EQ(get_int("Sized").value(), 0x01000001);  // four bytes now, not the two cached ones
}

}  // namespace
}  // namespace oculane::testing
