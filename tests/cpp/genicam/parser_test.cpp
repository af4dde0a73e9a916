#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "genicam/node.hpp"
#include "genicam/parser.hpp"

using namespace oculane;

namespace {

constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();

Genicam parse(const std::string& body) {
    auto map = parse_description("<RegisterDescription>" + body + "</RegisterDescription>");
    if (!map) {
        ADD_FAILURE() << map.error().to_string();
        std::abort();
    }
    return std::move(*map);
}

const Node& named(const Genicam& map, std::string_view name) {
    auto id = map.find(name);
    if (!id) {
        ADD_FAILURE() << "no node " << name;
        std::abort();
    }
    return map.node(*id);
}

template <class T>
const T& data(const Genicam& map, std::string_view name) {
    const T* d = named(map, name).get_if<T>();
    if (d == nullptr) {
        ADD_FAILURE() << name << " is a " << kind_name(named(map, name).data);
        std::abort();
    }
    return *d;
}

const node_data::Register& reg(const Genicam& map, std::string_view name) {
    return data<node_data::Register>(map, name);
}
const register_kind::Int& int_kind(const Genicam& map, std::string_view name) {
    return std::get<register_kind::Int>(reg(map, name).kind);
}

std::vector<std::string> names(const Genicam& map) {
    std::vector<std::string> out;
    for (const Node& n : map.nodes()) out.push_back(n.name);
    return out;
}

// A link by name that stayed unresolved, or the name of the node it resolved to.
std::string target(const Genicam& map, const Link& link) {
    if (const NodeId* id = link.id_if()) return "#" + map.node(*id).name;
    return link.name();
}
std::string target(const Genicam& map, const ValueRef& ref) {
    const Link* link = ref.link_if();
    return link ? target(map, *link) : "<not a link>";
}

}  // namespace

TEST(DescriptionNumbers, IntegerSyntax) {
    const struct {
        const char* text;
        std::optional<std::int64_t> value;
    } cases[] = {
        {"0", 0},
        {"42", 42},
        {" \t42\r\n", 42},
        {"+7", 7},
        {"-7", -7},
        {"0x10", 16},
        {"0X1f", 31},
        {"0xAbC", 0xabc},
        {"0x+10", 16},
        {"0xFFFFFFFFFFFFFFFF", -1},
        {"0x8000000000000000", kMin},
        {"9223372036854775807", kMax},
        {"-9223372036854775808", kMin},
        {"9223372036854775808", std::nullopt},
        {"0x10000000000000000", std::nullopt},
        {"", std::nullopt},
        {"   ", std::nullopt},
        {"+", std::nullopt},
        {"-", std::nullopt},
        {"0x", std::nullopt},
        {"0x+", std::nullopt},
        {"0x-1", std::nullopt},
        {"-0x10", std::nullopt},
        {"+-1", std::nullopt},
        {"--1", std::nullopt},
        {"12abc", std::nullopt},
        {"1 2", std::nullopt},
        {"abc", std::nullopt},
        {"1.0", std::nullopt},
        {"0x0x1", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(parse_description_int(c.text), c.value) << '"' << c.text << '"';
}

TEST(DescriptionNumbers, FloatSyntax) {
    const double inf = std::numeric_limits<double>::infinity();
    const struct {
        const char* text;
        std::optional<double> value;
    } cases[] = {
        {"1.5", 1.5},     {" -2.25 ", -2.25}, {"+3", 3.0},        {"1e3", 1000.0},
        {"1E-2", 0.01},   {".5", 0.5},        {"5.", 5.0},        {"inf", inf},
        {"-Infinity", -inf}, {"INF", inf},   {"1e999", inf},     {"-1e999", -inf},
        {"0x10", std::nullopt}, {"", std::nullopt}, {"+", std::nullopt}, {"+-1", std::nullopt},
        {"1.2.3", std::nullopt}, {"abc", std::nullopt}, {"nan(1)", std::nullopt}, {"1e", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(parse_description_float(c.text), c.value) << '"' << c.text << '"';
    auto nan = parse_description_float("NaN");
    ASSERT_TRUE(nan.has_value());
    EXPECT_TRUE(std::isnan(*nan));
}

TEST(DescriptionParser, IntegerValueReferences) {
    Genicam map = parse(R"(
        <Integer Name="Hex"><Value>0x10</Value></Integer>
        <Integer Name="Blank"><Value>  42  </Value></Integer>
        <Integer Name="Linked"><Value>1</Value><pValue> Hex </pValue><pMin>Nowhere</pMin><Max>9</Max><Inc>2</Inc></Integer>
        <Integer Name="Bare"/>)");
    EXPECT_EQ(data<node_data::Integer>(map, "Hex").value, ValueRef::integer(16));
    EXPECT_EQ(data<node_data::Integer>(map, "Blank").value, ValueRef::integer(42));
    const auto& linked = data<node_data::Integer>(map, "Linked");
    EXPECT_EQ(target(map, linked.value), "#Hex") << "pValue wins over Value and is trimmed";
    EXPECT_EQ(target(map, linked.min), "Nowhere") << "unknown names stay unresolved";
    EXPECT_EQ(linked.max, ValueRef::integer(9));
    EXPECT_EQ(linked.inc, ValueRef::integer(2));
    const auto& bare = data<node_data::Integer>(map, "Bare");
    EXPECT_TRUE(bare.value.is_absent() && bare.min.is_absent() && bare.max.is_absent() && bare.inc.is_absent());
}

TEST(DescriptionParser, FloatValueReferences) {
    Genicam map = parse(R"(
        <Float Name="Hex"><Value>0x10</Value></Float>
        <Float Name="Exp"><Value>1e3</Value><Min>-inf</Min></Float>
        <Float Name="Ref"><pValue>Exp</pValue></Float>)");
    EXPECT_EQ(data<node_data::Float>(map, "Hex").value, ValueRef::integer(16));
    const auto& exp = data<node_data::Float>(map, "Exp");
    EXPECT_EQ(exp.value, ValueRef::floating(1000.0));
    EXPECT_EQ(exp.min, ValueRef::floating(-std::numeric_limits<double>::infinity()));
    EXPECT_TRUE(exp.max.is_absent());
    EXPECT_EQ(target(map, data<node_data::Float>(map, "Ref").value), "#Exp");
}

TEST(DescriptionParser, BooleanStringCommandEnumeration) {
    Genicam map = parse(R"(
        <Boolean Name="Plain"><Value>1</Value></Boolean>
        <Boolean Name="Custom"><pValue>Reg</pValue><OnValue>5</OnValue></Boolean>
        <String Name="Const"><Value> Mono8 </Value></String>
        <String Name="Linked"><Value>ignored</Value><pValue>Reg</pValue></String>
        <String Name="Empty"/>
        <Command Name="Go"><pValue>Reg</pValue><CommandValue>0x2</CommandValue></Command>
        <Command Name="Go1"><Value>0</Value></Command>
        <Enumeration Name="Mode">
          <EnumEntry Name="Off"><Value>0</Value></EnumEntry>
          <EnumEntry><Value>7</Value></EnumEntry>
          <EnumEntry Name="Bad"></EnumEntry>
          <EnumEntry Name="On"><Value> 0x1 </Value></EnumEntry>
          <EnumEntry Name="Off"><Value>2</Value></EnumEntry>
          <pValue>Reg</pValue>
        </Enumeration>
        <IntReg Name="Reg"><Address>0</Address></IntReg>)");
    const auto& plain = data<node_data::Boolean>(map, "Plain");
    EXPECT_EQ(plain.on_value, 1);
    EXPECT_EQ(plain.off_value, 0);
    const auto& custom = data<node_data::Boolean>(map, "Custom");
    EXPECT_EQ(custom.on_value, 5);
    EXPECT_EQ(custom.off_value, 0) << "a missing OffValue is 0";
    EXPECT_EQ(target(map, custom.value), "#Reg");

    EXPECT_EQ(data<node_data::StringValue>(map, "Const").value, ValueRef::text("Mono8"));
    EXPECT_EQ(target(map, data<node_data::StringValue>(map, "Linked").value), "#Reg");
    EXPECT_TRUE(data<node_data::StringValue>(map, "Empty").value.is_absent());

    const auto& go = data<node_data::Command>(map, "Go");
    EXPECT_EQ(target(map, go.value), "#Reg");
    EXPECT_EQ(go.command_value, ValueRef::integer(2));
    EXPECT_TRUE(data<node_data::Command>(map, "Go1").command_value.is_absent());

    const auto& mode = data<node_data::Enumeration>(map, "Mode");
    ASSERT_EQ(mode.entries.size(), 3u);
    EXPECT_EQ(mode.entries[0].name, "Off");
    EXPECT_EQ(mode.entries[0].value, 0);
    EXPECT_EQ(mode.entries[1].name, "On");
    EXPECT_EQ(mode.entries[1].value, 1);
    EXPECT_EQ(mode.entries[2].name, "Off");
    EXPECT_EQ(mode.entries[2].value, 2);
    EXPECT_EQ(target(map, mode.value), "#Reg");
    EXPECT_FALSE(map.find("Bad").has_value()) << "entries are not nodes";
}

TEST(DescriptionParser, RegisterCommonPart) {
    Genicam map = parse(R"(
        <IntReg Name="Two">
          <pAddress>Base</pAddress><Address>0x10</Address><Address></Address><pAddress>Missing</pAddress>
          <pLength>Len</pLength>
        </IntReg>
        <IntReg Name="Base"><Address>0x100</Address><Length>4</Length><AccessMode>RO</AccessMode><Cachable>NoCache</Cachable></IntReg>
        <Integer Name="Len"><Value>4</Value></Integer>
        <Register Name="Raw"><Address>1</Address><Length>16</Length><AccessMode>WO</AccessMode><Cachable>WriteThrough</Cachable></Register>
        <StringReg Name="Text"><Length>8</Length><AccessMode>rw</AccessMode><Cachable>nocache</Cachable></StringReg>
        <FloatReg Name="F"><Endianess>BigEndian</Endianess></FloatReg>
        <FloatReg Name="G"><Endianess>bigendian</Endianess></FloatReg>)");
    const auto& two = reg(map, "Two").common;
    ASSERT_EQ(two.address.size(), 3u);
    EXPECT_EQ(target(map, two.address[0]), "#Base");
    EXPECT_EQ(two.address[1], ValueRef::integer(0x10));
    EXPECT_EQ(target(map, two.address[2]), "Missing");
    EXPECT_EQ(target(map, two.length), "#Len");
    EXPECT_EQ(two.access, AccessMode::RW);
    EXPECT_EQ(two.cache_policy, CachePolicy::CacheOnRead);
    EXPECT_FALSE(two.cache.has_value());

    const auto& base = reg(map, "Base").common;
    EXPECT_EQ(base.access, AccessMode::RO);
    EXPECT_EQ(base.cache_policy, CachePolicy::NoCache);
    EXPECT_EQ(base.length, ValueRef::integer(4));

    const auto& raw = reg(map, "Raw");
    EXPECT_TRUE(std::holds_alternative<register_kind::Bytes>(raw.kind));
    EXPECT_EQ(raw.common.access, AccessMode::WO);
    EXPECT_EQ(raw.common.cache_policy, CachePolicy::WriteThrough);

    const auto& text = reg(map, "Text");
    EXPECT_TRUE(std::holds_alternative<register_kind::Str>(text.kind));
    EXPECT_EQ(text.common.access, AccessMode::RW) << "anything but exact RO or WO is RW";
    EXPECT_EQ(text.common.cache_policy, CachePolicy::CacheOnRead) << "values are case-sensitive";
    EXPECT_TRUE(text.common.address.empty());

    EXPECT_EQ(std::get<register_kind::Float>(reg(map, "F").kind).endianness, Endianness::Big);
    EXPECT_EQ(std::get<register_kind::Float>(reg(map, "G").kind).endianness, Endianness::Little);
}

TEST(DescriptionParser, IntegerRegisterKinds) {
    Genicam map = parse(R"(
        <IntReg Name="Plain"><Address>0</Address></IntReg>
        <IntReg Name="SignedBig"><Sign>Signed</Sign><Endianess>BigEndian</Endianess><LSB>3</LSB></IntReg>
        <IntReg Name="LowerCase"><Sign>signed</Sign><Endianess>LittleEndian</Endianess></IntReg>
        <MaskedIntReg Name="Bit"><Bit>3</Bit></MaskedIntReg>
        <MaskedIntReg Name="Range"><LSB>31</LSB><MSB>16</MSB><Bit>5</Bit></MaskedIntReg>
        <MaskedIntReg Name="OnlyMsb"><MSB>7</MSB></MaskedIntReg>
        <MaskedIntReg Name="Wide"><LSB>0x100000003</LSB><MSB></MSB></MaskedIntReg>
        <MaskedIntReg Name="None"/>)");
    const struct {
        const char* name;
        std::optional<std::uint32_t> lsb, msb;
        Sign sign;
        Endianness endianness;
    } cases[] = {
        {"Plain", std::nullopt, std::nullopt, Sign::Unsigned, Endianness::Little},
        // An IntReg has no bit numbers, whatever children it carries.
        {"SignedBig", std::nullopt, std::nullopt, Sign::Signed, Endianness::Big},
        {"LowerCase", std::nullopt, std::nullopt, Sign::Unsigned, Endianness::Little},
        {"Bit", 3u, 3u, Sign::Unsigned, Endianness::Little},
        {"Range", 31u, 16u, Sign::Unsigned, Endianness::Little},
        {"OnlyMsb", std::nullopt, 7u, Sign::Unsigned, Endianness::Little},
        {"Wide", 3u, std::nullopt, Sign::Unsigned, Endianness::Little},
        {"None", std::nullopt, std::nullopt, Sign::Unsigned, Endianness::Little},
    };
    for (const auto& c : cases) {
        const auto& k = int_kind(map, c.name);
        EXPECT_EQ(k.lsb, c.lsb) << c.name;
        EXPECT_EQ(k.msb, c.msb) << c.name;
        EXPECT_EQ(k.sign, c.sign) << c.name;
        EXPECT_EQ(k.endianness, c.endianness) << c.name;
    }
}

TEST(DescriptionParser, StructRegEntries) {
    Genicam map = parse(R"(
        <StructReg Comment="no name">
          <Address>0x20</Address><pAddress>Base</pAddress><Length>4</Length><AccessMode>RO</AccessMode>
          <Cachable>NoCache</Cachable><Endianess>BigEndian</Endianess><Sign>Signed</Sign>
          <pInvalidator>Base</pInvalidator>
          <StructEntry Name="B3"><Bit>3</Bit><AccessMode>rw</AccessMode></StructEntry>
          <StructEntry><Bit>4</Bit></StructEntry>
          <StructEntry Name="Field"><LSB>15</LSB><MSB>8</MSB><AccessMode>RW</AccessMode>
            <Endianess>LittleEndian</Endianess><Sign>Unsigned</Sign><pInvalidator>Base</pInvalidator></StructEntry>
          <StructEntry Name="WriteOnly"><Bit>0</Bit><AccessMode>WO</AccessMode></StructEntry>
        </StructReg>
        <IntReg Name="Base"><Address>0</Address></IntReg>)");
    EXPECT_EQ(names(map), (std::vector<std::string>{"B3", "Field", "WriteOnly", "Base", "TLParamsLocked",
                                                     "GevSCPSPacketSize", "GevTimestampTickFrequency"}));
    const auto& b3 = reg(map, "B3");
    ASSERT_EQ(b3.common.address.size(), 2u);
    EXPECT_EQ(b3.common.address[0], ValueRef::integer(0x20));
    EXPECT_EQ(target(map, b3.common.address[1]), "#Base");
    EXPECT_EQ(b3.common.length, ValueRef::integer(4));
    EXPECT_EQ(b3.common.access, AccessMode::RO) << "rw on an entry keeps the StructReg's mode";
    EXPECT_EQ(b3.common.cache_policy, CachePolicy::NoCache);
    const auto& k3 = std::get<register_kind::Int>(b3.kind);
    EXPECT_EQ(k3.lsb, 3u);
    EXPECT_EQ(k3.msb, 3u);
    EXPECT_EQ(k3.endianness, Endianness::Big);
    EXPECT_EQ(k3.sign, Sign::Signed);

    const auto& field = reg(map, "Field");
    EXPECT_EQ(field.common.access, AccessMode::RW);
    const auto& kf = std::get<register_kind::Int>(field.kind);
    EXPECT_EQ(kf.lsb, 15u);
    EXPECT_EQ(kf.msb, 8u);
    EXPECT_EQ(kf.endianness, Endianness::Little) << "an entry's own Endianess child wins";
    EXPECT_EQ(kf.sign, Sign::Unsigned);
    EXPECT_EQ(reg(map, "WriteOnly").common.access, AccessMode::WO);

    // Only the entry's own invalidator is recorded, not the StructReg's.
    NodeId base = *map.find("Base");
    auto stale = map.invalidated_by(base);
    ASSERT_EQ(stale.size(), 1u);
    EXPECT_EQ(map.node(stale[0]).name, "Field");
}

TEST(DescriptionParser, InlineAddressFormulasAndAnonymousNames) {
    Genicam map = parse(R"(
        <IntReg Name="First">
          <Address>0x4</Address>
          <IntSwissKnife><pVariable Name="B">Base</pVariable><Formula> B * 2 </Formula></IntSwissKnife>
        </IntReg>
        <Integer><Value>1</Value></Integer>
        <Unknown/>
        <IntReg Name="Second">
          <IntSwissKnife><Formula>0x100</Formula></IntSwissKnife>
        </IntReg>
        <IntReg Name="Base"><Address>0</Address></IntReg>)");
    EXPECT_EQ(names(map),
              (std::vector<std::string>{"__anonymous_IntSwissKnife_1", "First", "__anonymous_Integer_2",
                                        "__anonymous_IntSwissKnife_4", "Second", "Base", "TLParamsLocked",
                                        "GevSCPSPacketSize", "GevTimestampTickFrequency"}))
        << "nameless ignored elements advance the counter too";
    const auto& first = reg(map, "First").common;
    ASSERT_EQ(first.address.size(), 2u);
    EXPECT_EQ(first.address[0], ValueRef::integer(4));
    EXPECT_EQ(target(map, first.address[1]), "#__anonymous_IntSwissKnife_1");
    const auto& knife = data<node_data::SwissKnife>(map, "__anonymous_IntSwissKnife_1");
    EXPECT_EQ(knife.formula.source, "B * 2");
    EXPECT_EQ(knife.formula.compiled, nullptr);
    ASSERT_EQ(knife.variables.size(), 1u);
    EXPECT_EQ(knife.variables[0].name, "B");
    EXPECT_EQ(target(map, knife.variables[0].target), "#Base");
}

TEST(DescriptionParser, AnonymousNamesCountFromOneWithoutOtherNamelessElements) {
    Genicam map = parse(R"(
        <IntReg Name="A"><IntSwissKnife><Formula>1</Formula></IntSwissKnife></IntReg>
        <IntReg Name="B"><IntSwissKnife><Formula>2</Formula></IntSwissKnife></IntReg>)");
    EXPECT_EQ(target(map, reg(map, "A").common.address[0]), "#__anonymous_IntSwissKnife_1");
    EXPECT_EQ(target(map, reg(map, "B").common.address[0]), "#__anonymous_IntSwissKnife_2");
}

TEST(DescriptionParser, FormulasAndVariables) {
    Genicam map = parse(R"(
        <Converter Name="Conv">
          <pVariable Name="K">Gain</pVariable>
          <pVariable>NoName</pVariable>
          <pVariable Name="Empty"/>
          <FormulaTo>TO * K</FormulaTo>
          <FormulaFrom>
            FROM / K
          </FormulaFrom>
          <pValue>Raw</pValue>
        </Converter>
        <IntConverter Name="IntConv"><FormulaTo>TO</FormulaTo></IntConverter>
        <SwissKnife Name="Knife"><pVariable Name="A">Gain</pVariable><pVariable Name="B">Ghost</pVariable></SwissKnife>
        <Integer Name="Gain"><Value>2</Value></Integer>
        <IntReg Name="Raw"/>)");
    const auto& conv = data<node_data::Converter>(map, "Conv");
    EXPECT_EQ(target(map, conv.value), "#Raw");
    EXPECT_EQ(conv.to.source, "TO * K");
    EXPECT_EQ(conv.from.source, "FROM / K");
    ASSERT_EQ(conv.variables.size(), 1u);
    EXPECT_EQ(conv.variables[0].name, "K");
    EXPECT_EQ(target(map, conv.variables[0].target), "#Gain");

    const auto& int_conv = data<node_data::Converter>(map, "IntConv");
    EXPECT_EQ(int_conv.from.source, "");
    EXPECT_TRUE(int_conv.value.is_absent());

    const auto& knife = data<node_data::SwissKnife>(map, "Knife");
    EXPECT_EQ(knife.formula.source, "");
    ASSERT_EQ(knife.variables.size(), 2u);
    EXPECT_EQ(target(map, knife.variables[1].target), "Ghost");
}

TEST(DescriptionParser, GroupsAreWalkedAtAnyDepthUnknownElementsAreNot) {
    Genicam map = parse(R"(
        <Group Comment="outer"><Group><Integer Name="Deep"/></Group><Port Name="Device"/></Group>
        <Extension><Integer Name="Hidden"/><Group><Integer Name="AlsoHidden"/></Group></Extension>
        <Category Name="Root"><pFeature>Deep</pFeature><pFeature>Hidden</pFeature><pFeature/></Category>)");
    EXPECT_TRUE(map.find("Deep").has_value());
    EXPECT_TRUE(named(map, "Device").is<node_data::Port>());
    EXPECT_FALSE(map.find("Hidden").has_value());
    EXPECT_FALSE(map.find("AlsoHidden").has_value());
    const auto& cat = data<node_data::Category>(map, "Root");
    ASSERT_EQ(cat.features.size(), 2u);
    EXPECT_EQ(target(map, cat.features[0]), "#Deep");
    EXPECT_EQ(target(map, cat.features[1]), "Hidden");
}

// Faults of the description itself fail the whole parse, naming the node and
// the text: a number that does not parse (an Address beyond 64 bits would
// otherwise read address 0) and a name given to two nodes.
TEST(DescriptionParser, DescriptionFaultsNameTheNode) {
    const struct {
        const char* body;
        const char* error;
    } cases[] = {
        {"<IntReg Name='R'><Address>0x1FFFFFFFFFFFFFFFF</Address></IntReg>",
         "node 'R': Address '0x1FFFFFFFFFFFFFFFF' is not a 64-bit integer"},
        {"<IntReg Name='R'><Address>0x10</Address><Address> 12x </Address></IntReg>",
         "node 'R': Address '12x' is not a 64-bit integer"},
        {"<Integer Name='Junk'><Value>abc</Value></Integer>", "node 'Junk': Value 'abc' is not a 64-bit integer"},
        {"<Integer Name='I'><Value>1</Value><Max>99999999999999999999</Max></Integer>",
         "node 'I': Max '99999999999999999999' is not a 64-bit integer"},
        {"<Float Name='F'><Max>junk</Max></Float>", "node 'F': Max 'junk' is not a number"},
        {"<Boolean Name='B'><OffValue>x</OffValue></Boolean>", "node 'B': OffValue 'x' is not a 64-bit integer"},
        {"<Enumeration Name='E'><EnumEntry Name='Bad'><Value>x</Value></EnumEntry></Enumeration>",
         "node 'E': Value 'x' is not a 64-bit integer"},
        {"<MaskedIntReg Name='M'><MSB>junk</MSB></MaskedIntReg>", "node 'M': MSB 'junk' is not a 64-bit integer"},
        {"<StructReg><Address>0</Address><StructEntry Name='S'><Bit>b</Bit></StructEntry></StructReg>",
         "node 'S': Bit 'b' is not a 64-bit integer"},
        {"<IntReg Name='R'><IntSwissKnife><Formula>1</Formula></IntSwissKnife><Length>4k</Length></IntReg>",
         "node 'R': Length '4k' is not a 64-bit integer"},
        {"<IntReg Name='R'><pIndex Offset='four'>S</pIndex></IntReg>", "node 'R': Offset 'four' is not a 64-bit integer"},
        {"<Integer Name='I'><pIndex>S</pIndex><ValueIndexed Index='one'>1</ValueIndexed></Integer>",
         "node 'I': Index 'one' is not a 64-bit integer"},
        {"<Integer Name='I'><pIndex>S</pIndex><ValueIndexed Index='3'>1.5</ValueIndexed></Integer>",
         "node 'I': ValueIndexed '1.5' is not a 64-bit integer"},
        {"<Integer Name='Width'><Value>1</Value></Integer><IntReg Name='Width'/>", "duplicate node name 'Width'"},
        {"<StructReg><StructEntry Name='A'/><StructEntry Name='A'/></StructReg>", "duplicate node name 'A'"},
    };
    for (const auto& c : cases) {
        auto map = parse_description(std::string("<RegisterDescription>") + c.body + "</RegisterDescription>");
        ASSERT_FALSE(map.has_value()) << c.body;
        EXPECT_TRUE(map.error().is<genicam_error::DescriptionError>()) << c.body;
        EXPECT_EQ(map.error().to_string(), std::string("device description: ") + c.error);
    }
}

TEST(DescriptionParser, InvalidationTable) {
    Genicam map = parse(R"(
        <IntReg Name="Trigger"/>
        <Integer Name="A"><pInvalidator>Trigger</pInvalidator><pInvalidator>Ghost</pInvalidator><pInvalidator> Trigger </pInvalidator></Integer>
        <Integer Name="B"><pInvalidator>Trigger</pInvalidator></Integer>
        <Integer Name="C"><pInvalidator>A</pInvalidator></Integer>)");
    auto id = [&](std::string_view n) { return *map.find(n); };
    auto stale = map.invalidated_by(id("Trigger"));
    EXPECT_EQ(std::vector<NodeId>(stale.begin(), stale.end()), (std::vector<NodeId>{id("A"), id("A"), id("B")}));
    auto from_a = map.invalidated_by(id("A"));
    EXPECT_EQ(std::vector<NodeId>(from_a.begin(), from_a.end()), std::vector<NodeId>{id("C")});
    EXPECT_TRUE(map.invalidated_by(id("C")).empty());
    EXPECT_EQ(map.invalidation_table().size(), 2u) << "unknown invalidator names are dropped";
}

TEST(DescriptionParser, BuiltInNodesWhenMissing) {
    Genicam map = parse(R"(<Integer Name="Width"/>)");
    EXPECT_EQ(names(map), (std::vector<std::string>{"Width", "TLParamsLocked", "GevSCPSPacketSize",
                                                     "GevTimestampTickFrequency"}));
    const auto& locked = data<node_data::Integer>(map, "TLParamsLocked");
    EXPECT_EQ(locked.value, ValueRef::integer(0));
    EXPECT_EQ(locked.min, ValueRef::integer(0));
    EXPECT_EQ(locked.max, ValueRef::integer(1));
    EXPECT_TRUE(locked.inc.is_absent());

    const auto& packet = reg(map, "GevSCPSPacketSize");
    EXPECT_EQ(packet.common.address, std::vector<ValueRef>{ValueRef::integer(0xd04)});
    EXPECT_EQ(packet.common.length, ValueRef::integer(4));
    EXPECT_EQ(packet.common.access, AccessMode::RW);
    EXPECT_EQ(packet.common.cache_policy, CachePolicy::NoCache);
    const auto& pk = std::get<register_kind::Int>(packet.kind);
    EXPECT_EQ(pk.lsb, 31u);
    EXPECT_EQ(pk.msb, 16u);
    EXPECT_EQ(pk.sign, Sign::Unsigned);
    EXPECT_EQ(pk.endianness, Endianness::Big);

    const auto& tick = reg(map, "GevTimestampTickFrequency");
    EXPECT_EQ(tick.common.address, std::vector<ValueRef>{ValueRef::integer(0x93c)});
    EXPECT_EQ(tick.common.length, ValueRef::integer(8));
    EXPECT_EQ(tick.common.access, AccessMode::RO);
    EXPECT_EQ(tick.common.cache_policy, CachePolicy::CacheOnRead);
    const auto& tk = std::get<register_kind::Int>(tick.kind);
    EXPECT_FALSE(tk.lsb.has_value() || tk.msb.has_value());
    EXPECT_EQ(tk.endianness, Endianness::Big);
}

TEST(DescriptionParser, BuiltInNodesYieldToTheDescriptionsOwnOfAnyKind) {
    Genicam map = parse(R"(
        <Boolean Name="TLParamsLocked"><pValue>GevSCPSPacketSize</pValue></Boolean>
        <IntReg Name="GevSCPSPacketSize"><Address>0x1</Address></IntReg>
        <Integer Name="Ref"><pValue>GevTimestampTickFrequency</pValue></Integer>)");
    EXPECT_EQ(names(map),
              (std::vector<std::string>{"TLParamsLocked", "GevSCPSPacketSize", "Ref", "GevTimestampTickFrequency"}));
    EXPECT_TRUE(named(map, "TLParamsLocked").is<node_data::Boolean>());
    EXPECT_EQ(reg(map, "GevSCPSPacketSize").common.address, std::vector<ValueRef>{ValueRef::integer(1)});
    EXPECT_EQ(target(map, data<node_data::Integer>(map, "Ref").value), "#GevTimestampTickFrequency")
        << "built-in nodes take part in link resolution";
}

TEST(DescriptionParser, DoctypeWithEntitiesInADeviceDescription) {
    auto map = parse_description(
        "<?xml version='1.0'?>\n<!DOCTYPE RegisterDescription [<!ENTITY base '0x4000'>]>\n"
        "<RegisterDescription><IntReg Name='R'><Address>&base;</Address></IntReg></RegisterDescription>");
    ASSERT_TRUE(map.has_value()) << map.error().to_string();
    EXPECT_EQ(reg(*map, "R").common.address, std::vector<ValueRef>{ValueRef::integer(0x4000)});
}

TEST(DescriptionParser, MalformedXmlIsADescriptionError) {
    const struct {
        std::string text;
        const char* message;
    } cases[] = {
        {"<RegisterDescription><Integer Name='A'></RegisterDescription>",
         "device description: mismatched tag at line 1, column 42"},
        {"", "device description: no element found at line 1, column 1"},
        {"<?xml version='1.0'?>\n\n<R>&nope;</R>", "device description: undefined entity at line 3, column 4"},
    };
    for (const auto& c : cases) {
        auto map = parse_description(c.text);
        ASSERT_FALSE(map.has_value()) << c.text;
        EXPECT_TRUE(map.error().is<genicam_error::DescriptionError>());
        EXPECT_EQ(map.error().to_string(), c.message);
    }
}

TEST(DescriptionParser, RootNameIsNotChecked) {
    Genicam map = parse_description("<Anything><Integer Name='X'/></Anything>").value();
    EXPECT_TRUE(map.find("X").has_value());
}

TEST(DescriptionParser, HostileInputFailsAsADescriptionError) {
    std::string deep;
    for (int i = 0; i < 100'000; ++i) deep += "<Group>";
    std::string laughs = "<!DOCTYPE R [<!ENTITY a 'aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa'>";
    std::string prev = "a";
    for (int i = 0; i < 6; ++i) {
        std::string next = prev + "x";
        laughs += "<!ENTITY " + next + " '" + std::string(16, ' ');
        for (int j = 0; j < 16; ++j) laughs += "&" + prev + ";";
        laughs += "'>";
        prev = next;
    }
    laughs += "]><R><Integer Name='&" + prev + ";'/></R>";
    for (const std::string& text : {deep, laughs}) {
        auto map = parse_description(text);
        ASSERT_FALSE(map.has_value());
        EXPECT_TRUE(map.error().is<genicam_error::DescriptionError>());
        EXPECT_TRUE(map.error().to_string().starts_with("device description: ")) << map.error().to_string();
    }
}

TEST(DescriptionParser, ConstantsJoinTheVariableList) {
    Genicam map = parse(R"(
        <SwissKnife Name="K">
          <Constant Name="H">0x10</Constant>
          <pVariable Name="V">Gain</pVariable>
          <Constant Name="F"> 1000.0 </Constant>
          <Constant Name="E">1e3</Constant>
          <Constant Name="Bad">ten</Constant>
          <Constant>5</Constant>
          <Formula>H</Formula>
        </SwissKnife>
        <Integer Name="Gain"><Value>2</Value></Integer>)");
    const auto& vars = data<node_data::SwissKnife>(map, "K").variables;
    ASSERT_EQ(vars.size(), 5u);
    const struct {
        const char* name;
        ValueRef constant;
    } want[] = {{"H", ValueRef::integer(16)},    {"V", ValueRef::absent()},
                {"F", ValueRef::floating(1000)}, {"E", ValueRef::floating(1000)},
                {"Bad", ValueRef::text("ten")}};
    for (std::size_t i = 0; i < vars.size(); ++i) {
        EXPECT_EQ(vars[i].name, want[i].name);
        EXPECT_EQ(vars[i].constant, want[i].constant) << want[i].name;
        EXPECT_EQ(vars[i].is_constant(), !want[i].constant.is_absent()) << want[i].name;
    }
    EXPECT_EQ(target(map, vars[1].target), "#Gain");
}

TEST(DescriptionParser, SelectorIndexedValues) {
    Genicam map = parse(R"(
        <Integer Name="I"><pIndex>Sel</pIndex>
          <ValueIndexed Index="0x1">7</ValueIndexed><pValueIndexed Index="2">A</pValueIndexed>
          <ValueDefault>-1</ValueDefault></Integer>
        <Float Name="F"><pIndex>Sel</pIndex><ValueIndexed Index="0">1.5</ValueIndexed>
          <pValueDefault>A</pValueDefault><Value>3</Value></Float>
        <Integer Name="Plain"><Value>1</Value></Integer>
        <Integer Name="Sel"><Value>0</Value></Integer>
        <Integer Name="A"><Value>0</Value></Integer>)");
    const auto& i = data<node_data::Integer>(map, "I");
    ASSERT_TRUE(i.indexed.has_value());
    EXPECT_EQ(target(map, i.indexed->selector), "#Sel");
    ASSERT_EQ(i.indexed->entries.size(), 2u);
    EXPECT_EQ(i.indexed->entries[0], (std::pair{std::int64_t{1}, ValueRef::integer(7)}));
    EXPECT_EQ(i.indexed->entries[1].first, 2);
    EXPECT_EQ(target(map, i.indexed->entries[1].second), "#A");
    EXPECT_EQ(i.indexed->fallback, ValueRef::integer(-1));
    EXPECT_TRUE(i.value.is_absent());

    const auto& f = data<node_data::Float>(map, "F");
    ASSERT_TRUE(f.indexed.has_value());
    EXPECT_EQ(f.indexed->entries.at(0).second, ValueRef::floating(1.5));
    EXPECT_EQ(target(map, f.indexed->fallback), "#A");
    EXPECT_EQ(f.value, ValueRef::floating(3));
    EXPECT_FALSE(data<node_data::Integer>(map, "Plain").indexed.has_value());
}

TEST(DescriptionParser, SelectorIndexedRegisters) {
    Genicam map = parse(R"(
        <IntReg Name="ByOffset"><Address>0</Address><pIndex Offset="0x40">Sel</pIndex></IntReg>
        <IntReg Name="ByNode"><Address>0</Address><pIndex pOffset="Step">Sel</pIndex></IntReg>
        <IntReg Name="ByLength"><Address>0</Address><pIndex>Sel</pIndex></IntReg>
        <IntReg Name="Plain"><Address>0</Address></IntReg>
        <StructReg Name="S"><Address>0</Address><pIndex Offset="8">Sel</pIndex>
          <StructEntry Name="E"><Bit>1</Bit></StructEntry></StructReg>
        <Integer Name="Sel"><Value>0</Value></Integer>
        <Integer Name="Step"><Value>0</Value></Integer>)");
    const struct {
        const char* name;
        ValueRef offset;
    } cases[] = {{"ByOffset", ValueRef::integer(0x40)},
                 {"ByNode", ValueRef::ref(Link::to(*map.find("Step")))},
                 {"ByLength", ValueRef::absent()},
                 {"E", ValueRef::integer(8)}};
    for (const auto& c : cases) {
        const auto& index = reg(map, c.name).common.index;
        ASSERT_TRUE(index.has_value()) << c.name;
        EXPECT_EQ(target(map, index->selector), "#Sel") << c.name;
        EXPECT_EQ(index->offset, c.offset) << c.name;
    }
    EXPECT_FALSE(reg(map, "Plain").common.index.has_value());
}
