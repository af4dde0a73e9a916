// The description the virtual camera serves, fetched the way the client does
// (URL registers, memory reads, unzip) over the device's GVCP answers, and
// parsed into a node map.

#include <gtest/gtest.h>

#include "corpus.hpp"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "genicam/description.hpp"
#include "genicam/node.hpp"
#include "genicam/parser.hpp"
#include "gige/proto/bytes.hpp"
#include "gige/proto/gvcp.hpp"
#include "sim/device.hpp"

using namespace oculane;
using namespace oculane::sim;

namespace {

// Byte access to a Device through its GVCP answers, with no socket.
class DevicePort : public PortIo {
public:
    explicit DevicePort(Device& d) : device_(d) {}

    CameraResult<void> read(std::uint64_t address, std::span<std::uint8_t> dst) override {
        std::size_t done = 0;
        while (done < dst.size()) {
            const auto count = static_cast<std::uint32_t>(std::min<std::size_t>(512, (dst.size() - done + 3) & ~std::size_t{3}));
            auto ack = transact(gvcp::encode_read_mem(static_cast<std::uint32_t>(address + done), count, next_id()));
            if (!ack) return std::unexpected(ack.error());
            const auto n = std::min(ack->size() - 4, dst.size() - done);
            std::copy_n(ack->begin() + 4, n, dst.begin() + static_cast<std::ptrdiff_t>(done));
            done += n;
        }
        return {};
    }
    CameraResult<void> write(std::uint64_t address, std::span<const std::uint8_t> src) override {
        auto ack = transact(gvcp::encode_write_mem(static_cast<std::uint32_t>(address), src, next_id()));
        if (!ack) return std::unexpected(ack.error());
        return {};
    }

private:
    std::uint16_t next_id() { return ++id_; }
    CameraResult<std::vector<std::uint8_t>> transact(const std::vector<std::uint8_t>& cmd) {
        auto out = device_.on_datagram(cmd, Endpoint{0x7F000001, 40000}, Clock::now());
        if (out.size() != 1) return std::unexpected(CameraError::ack_timeout());
        auto ack = gvcp::parse_ack(out[0].bytes);
        if (!ack) return std::unexpected(CameraError::malformed("bad ack"));
        if (ack->header.status != 0)
            return std::unexpected(CameraError::device_status(static_cast<std::uint16_t>(ack->header.ack - 1), ack->header.status));
        return std::vector<std::uint8_t>(ack->payload.begin(), ack->payload.end());
    }

    Device& device_;
    std::uint16_t id_ = 0;
};

namespace fs = std::filesystem;

using ::oculane::test_corpus::find_corpus;

std::map<std::string, int> kinds(const Genicam& g) {
    std::map<std::string, int> out;
    for (const auto& n : g.nodes()) ++out[std::string(kind_name(n.data))];
    return out;
}

}  // namespace

TEST(ServedDescription, FetchedThroughEveryUrlVariantAndParsed) {
    struct Case {
        UrlFault fault;
        bool zip;
    };
    for (const Case c : {Case{UrlFault::None, true}, Case{UrlFault::None, false}, Case{UrlFault::BadText, true},
                         Case{UrlFault::Http, true}, Case{UrlFault::CorruptZip, true},
                         Case{UrlFault::TruncatedZip, true}}) {
        DeviceConfig cfg;
        cfg.first_url_fault = c.fault;
        cfg.serve_zip = c.zip;
        Device device(cfg);
        DevicePort port(device);
        auto bytes = fetch_description(port);
        ASSERT_TRUE(bytes.has_value()) << static_cast<int>(c.fault) << ": " << bytes.error().to_string();
        EXPECT_EQ(std::string(bytes->begin(), bytes->end()), device.description());
    }
}

TEST(ServedDescription, ParsesIntoEveryNodeKind) {
    Device device(DeviceConfig{});
    auto map = parse_description(device.description());
    ASSERT_TRUE(map.has_value()) << map.error().to_string();
    const auto k = kinds(*map);
    for (const char* kind : {"Integer", "Float", "Boolean", "StringValue", "Enumeration", "Command", "Register",
                             "Converter", "SwissKnife", "Category", "Port"})
        EXPECT_GT(k.count(kind), 0u) << kind;
    for (const char* name : {"Width", "Height", "PixelFormat", "PayloadSize", "ExposureTime", "AcquisitionStart",
                             "AcquisitionStop", "AcquisitionMode", "TestPattern", "TriggerMode", "ReverseXBit",
                             "BinningHorizontalField", "LUTValueReg", "DeviceUserID", "DeviceUserData", "GainReg",
                             "GammaReg"})
        EXPECT_TRUE(map->find(name)) << name;
    // The look-up table register's address holds an inline formula.
    EXPECT_TRUE(std::any_of(map->nodes().begin(), map->nodes().end(), [](const Node& n) {
        return n.name.starts_with("__anonymous_IntSwissKnife_");
    }));
    // Left out by default, so the parser's own node is the one in the map.
    const auto locked = map->find("TLParamsLocked");
    ASSERT_TRUE(locked);
    EXPECT_EQ(*locked + 1, map->size()) << map->node(map->size() - 1).name;  // built-in nodes come last
}

TEST(ServedDescription, MakersDescriptionsAreServedUnchanged) {
    const fs::path corpus = find_corpus();
    if (corpus.empty()) GTEST_SKIP() << "shared/genicam-corpus not found above " << OCULANE_SOURCE_DIR;
    int served = 0;
    for (const auto& entry : fs::directory_iterator(corpus)) {
        if (entry.path().extension() != ".xml") continue;
        DeviceConfig cfg;
        cfg.description = ::oculane::test_corpus::read_file(entry.path());
        cfg.description_name = entry.path().stem().string();
        Device device(cfg);
        DevicePort port(device);
        auto bytes = fetch_description(port);
        ASSERT_TRUE(bytes.has_value()) << entry.path() << ": " << bytes.error().to_string();
        EXPECT_TRUE(std::string(bytes->begin(), bytes->end()) == *cfg.description) << entry.path();
        ++served;
    }
    EXPECT_GT(served, 0);
}
