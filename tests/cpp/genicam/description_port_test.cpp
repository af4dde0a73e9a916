// The description fetched through a real control port (worker thread, GVCP on
// loopback) from the virtual camera, for its own description and for every
// maker's description it is given, zipped and plain. Each test uses its own
// 127.79.x.y address: ctest runs tests in parallel and every camera listens
// on port 3956.

#include <gtest/gtest.h>

#include "corpus.hpp"

#include <filesystem>
#include <fstream>
#include <sstream>

#include "genicam/description.hpp"
#include "genicam/parser.hpp"
#include "gige/gige_camera.hpp"
#include "sim/device.hpp"
#include "sim/server.hpp"
#include "sim/served_device.hpp"

using namespace oculane;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

constexpr std::uint32_t kBase = 0x7F4F0000;  // 127.79.0.0

struct ServedCamera : test::ServedDevice {
    ServedCamera(std::uint32_t host, sim::DeviceConfig cfg)
        : ServedDevice(test::at_address(std::move(cfg), kBase | host)) {
        if (!server) return;
        camera = std::make_unique<gige::GigECamera>(
            gige::GigESettings{.device = gige::IpAddress::v4(ip()), .ack_timeout = 200ms, .retries = 3});
        if (auto r = camera->connect(); !r) ADD_FAILURE() << r.error().to_string();
    }
    ~ServedCamera() {
        if (camera) camera->disconnect(500ms);
    }
    CameraResult<std::vector<std::uint8_t>> fetch() {
        if (!camera || !camera->connection()) return std::unexpected(CameraError::not_connected());
        return fetch_description(camera->connection()->port());
    }

    std::unique_ptr<gige::GigECamera> camera;
};

using ::oculane::test_corpus::find_corpus;

using ::oculane::test_corpus::read_file;

}  // namespace

TEST(DescriptionOverControlPort, OwnDescriptionThroughEveryUrlVariant) {
    std::uint32_t host = 1;
    for (auto fault : {sim::UrlFault::None, sim::UrlFault::BadText, sim::UrlFault::Http, sim::UrlFault::CorruptZip,
                       sim::UrlFault::TruncatedZip}) {
        for (bool zip : {true, false}) {
            sim::DeviceConfig cfg;
            cfg.first_url_fault = fault;
            cfg.serve_zip = zip;
            ServedCamera cam(host++, cfg);
            auto bytes = cam.fetch();
            ASSERT_TRUE(bytes) << int(fault) << "/" << zip << ": " << bytes.error().to_string();
            EXPECT_EQ(std::string(bytes->begin(), bytes->end()), cam.device->description());
            auto map = parse_description(utf8_lossy(*bytes));
            EXPECT_TRUE(map) << map.error().to_string();
        }
    }
}

TEST(DescriptionOverControlPort, MakersDescriptionsZippedAndPlain) {
    const fs::path dir = find_corpus();
    if (dir.empty()) GTEST_SKIP() << "the GenICam corpus (shared/genicam-corpus) is not beside this checkout";
    std::uint32_t host = 0x100;
    int files = 0;
    for (const auto& entry : fs::directory_iterator(dir)) {
        if (entry.path().extension() != ".xml") continue;
        ++files;
        const std::string text = read_file(entry.path());
        for (bool zip : {true, false}) {
            sim::DeviceConfig cfg;
            cfg.description = text;
            cfg.description_name = entry.path().stem().string();
            cfg.serve_zip = zip;
            ServedCamera cam(host++, cfg);
            auto bytes = cam.fetch();
            ASSERT_TRUE(bytes) << entry.path() << " zip=" << zip << ": " << bytes.error().to_string();
            const std::string got(bytes->begin(), bytes->end());
            EXPECT_TRUE(got == text) << entry.path() << " zip=" << zip << ": " << got.size() << " of "
                                     << text.size() << " bytes";
        }
    }
    EXPECT_GT(files, 0);
}
