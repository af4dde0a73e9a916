#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>

#include <sys/stat.h>
#include <unistd.h>

#include "genicam/description.hpp"
#include "gige/control_port.hpp"
#include "util/log.hpp"
#include "zip_builder.hpp"

using namespace oculane;
using namespace oculane::testing;
using namespace std::chrono_literals;

namespace {

// Device memory as a few regions; every read is recorded, and reads of
// unmapped bytes fail like a device answering "invalid address".
class FakeMemory : public PortIo {
public:
    struct Read {
        std::uint32_t address;
        std::uint32_t length;
        std::chrono::nanoseconds timeout;
    };

    void put(std::uint64_t address, std::vector<std::uint8_t> bytes) { regions_[address] = std::move(bytes); }
    void put_url(std::uint32_t reg, std::string_view text) {
        std::vector<std::uint8_t> block(512, 0);
        std::memcpy(block.data(), text.data(), std::min<std::size_t>(text.size(), 512));
        put(reg, std::move(block));
    }

    CameraResult<void> read(std::uint64_t address, std::span<std::uint8_t> out) override {
        for (const auto& [start, bytes] : regions_) {
            if (address >= start && address + out.size() <= start + bytes.size()) {
                std::memcpy(out.data(), bytes.data() + (address - start), out.size());
                return {};
            }
        }
        return std::unexpected(CameraError::device_status(0x0084, 0x8003));
    }
    CameraResult<void> write(std::uint64_t, std::span<const std::uint8_t>) override {
        return std::unexpected(CameraError::device_status(0x0086, 0x8004));
    }

    TimedMemoryRead timed() {
        return [this](std::uint32_t address, std::uint32_t length,
                      std::chrono::nanoseconds timeout) -> CameraResult<std::vector<std::uint8_t>> {
            reads.push_back({address, length, timeout});
            std::vector<std::uint8_t> out(length);
            if (auto r = read(address, out); !r) return std::unexpected(r.error());
            return out;
        };
    }

    std::vector<Read> reads;

private:
    std::map<std::uint64_t, std::vector<std::uint8_t>> regions_;
};

const std::vector<std::uint8_t> kXml = bytes_of("<RegisterDescription ModelName=\"T\"/>");

// Captures debug events for the duration of a test.
class LogCapture {
public:
    LogCapture() {
        log::set_sink(
            [this](const log::Event& e) {
                std::lock_guard lock(mu_);
                lines_.push_back(std::string(e.target) + " " + e.message);
            },
            log::Level::Debug);
    }
    ~LogCapture() { log::clear_sink(); }
    std::vector<std::string> lines() {
        std::lock_guard lock(mu_);
        return lines_;
    }

private:
    std::mutex mu_;
    std::vector<std::string> lines_;
};

class TempDir {
public:
    TempDir() {
        char tmpl[] = "/tmp/oculane-desc-XXXXXX";
        path_ = ::mkdtemp(tmpl);
    }
    ~TempDir() { std::filesystem::remove_all(path_); }
    std::string file(const std::string& name, const std::vector<std::uint8_t>& bytes) const {
        std::string p = path_ + "/" + name;
        std::ofstream(p, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
        return p;
    }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

}  // namespace

TEST(DescriptionFetch, LocalZipFromFirstRegister) {
    FakeMemory mem;
    const auto zip = zip_one({.data = kXml, .deflate = true});
    mem.put(0x10000, zip);
    mem.put_url(kFirstUrlRegister, fmt::format("Local:cam.zip;10000;{:x}", zip.size()));

    auto got = fetch_description(mem.timed(), 100ms);
    ASSERT_TRUE(got) << got.error().to_string();
    EXPECT_EQ(*got, kXml);
    ASSERT_EQ(mem.reads.size(), 2u);  // the second register is never read
    EXPECT_EQ(mem.reads[0].address, kFirstUrlRegister);
    EXPECT_EQ(mem.reads[0].length, 512u);
    EXPECT_EQ(mem.reads[0].timeout, 200ms);
    EXPECT_EQ(mem.reads[1].address, 0x10000u);
    EXPECT_EQ(mem.reads[1].length, zip.size());
}

TEST(DescriptionFetch, LocalReadTimeoutScalesWithSize) {
    FakeMemory mem;
    std::vector<std::uint8_t> xml(0x400, ' ');
    mem.put(0x10000, xml);
    mem.put_url(kFirstUrlRegister, "Local:cam.xml;10000;400");
    auto got = fetch_description(mem.timed(), 100ms);
    ASSERT_TRUE(got);
    ASSERT_EQ(mem.reads.size(), 2u);
    // Two whole waits, plus the allowance for each of the two commands.
    EXPECT_EQ(mem.reads[1].timeout, 200ms + 2 * gige::kCommandAllowance);
    EXPECT_EQ(*got, xml);
}

TEST(DescriptionFetch, HugeWaitsSaturateInsteadOfWrapping) {
    // A wait configured near the largest duration must stay "very long", not
    // wrap round to a negative (already expired) one when multiplied.
    FakeMemory mem;
    std::vector<std::uint8_t> xml(0x400, ' ');
    mem.put(0x10000, xml);
    mem.put_url(kFirstUrlRegister, "Local:cam.xml;10000;400");
    const auto huge = std::chrono::nanoseconds::max() / 2;
    auto got = fetch_description(mem.timed(), huge);
    ASSERT_TRUE(got) << got.error().to_string();
    ASSERT_EQ(mem.reads.size(), 2u);
    EXPECT_EQ(mem.reads[0].timeout, 2 * huge);
    EXPECT_EQ(mem.reads[1].timeout, std::chrono::nanoseconds::max());
}

TEST(DescriptionFetch, SecondRegisterAfterLoggedFailure) {
    LogCapture capture;
    FakeMemory mem;
    mem.put(0x8000, kXml);
    mem.put_url(kFirstUrlRegister, "Local:x.xml;0x8000;100");
    mem.put_url(kSecondUrlRegister, fmt::format("  local:x.xml;8000;{:x}  ", kXml.size()));
    auto got = fetch_description(mem.timed(), 10ms);
    ASSERT_TRUE(got) << got.error().to_string();
    EXPECT_EQ(*got, kXml);
    auto lines = capture.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0],
              "oculane::gige GenICam URL at 0x200 failed: malformed packet: bad address: invalid digit found in "
              "string");
}

// The first register that names a location tells why both failed: the
// usual blank second register must not hide the real cause.
TEST(DescriptionFetch, BothRegistersFailWithTheFirstRealError) {
    struct Case {
        const char* first;  // nullptr: the register itself is unreadable
        const char* second;
        std::string error;
    };
    const std::string invalid_address = "device answered command 0x0084 with invalid address (0x8003)";
    const Case cases[] = {
        {"http://cam/x.xml", "Local:x.xml;100000000;10", "device does not support http-hosted GenICam XML"},
        {"Local:x.xml;8000", "http://cam/x.xml", "malformed packet: missing size"},
        {"", "Local:x.xml", "malformed packet: missing address"},
        {"  ", "ftp://x", "malformed packet: unrecognized GenICam URL 'ftp://x'"},
        // Memory that is not there: the device's own answer comes through.
        {"", "Local:x.xml;9000;10", invalid_address},
        {"Local:x.xml;9000;10", "", invalid_address},
        {nullptr, "", invalid_address},
        // A location naming more than the cap is refused before any read.
        {"", "Local:x.xml;A000;4000001", "malformed packet: XML size 0x4000001 beyond the 67108864 byte limit"},
        {"Local:x.zip;8000;10", "", "malformed packet: no end-of-central-directory record"},
        {"", "", "malformed packet: unrecognized GenICam URL ''"},
    };
    for (const auto& c : cases) {
        FakeMemory mem;
        mem.put(0x8000, std::vector<std::uint8_t>(16, 'x'));
        if (c.first) mem.put_url(kFirstUrlRegister, c.first);
        mem.put_url(kSecondUrlRegister, c.second);
        auto got = fetch_description(mem.timed(), 10ms);
        ASSERT_FALSE(got) << (c.first ? c.first : "unreadable") << " / " << c.second;
        EXPECT_EQ(got.error().to_string(), c.error) << (c.first ? c.first : "unreadable") << " / " << c.second;
        for (const auto& r : mem.reads) EXPECT_NE(r.address, 0xA000u) << "read despite the cap";
    }
}

TEST(DescriptionFetch, UnreadableRegisters) {
    FakeMemory mem;  // nothing mapped
    auto got = fetch_description(mem);
    ASSERT_FALSE(got);
    EXPECT_TRUE(got.error().is<camera_error::DeviceStatus>());
}

TEST(DescriptionFetch, OverPortIo) {
    FakeMemory mem;
    mem.put(0x2000, kXml);
    mem.put_url(kFirstUrlRegister, fmt::format("local:cam.xml;2000;{:x}", kXml.size()));
    auto got = fetch_description(mem);
    ASSERT_TRUE(got);
    EXPECT_EQ(*got, kXml);
}

TEST(DescriptionFile, ReadsPlainAndZippedFiles) {
    TempDir dir;
    std::string plain = dir.file("d.xml", kXml);
    std::string zipped = dir.file("d.zip", zip_one({.data = kXml, .deflate = true}));
    FakeMemory mem;
    for (const std::string& path : {plain, zipped}) {
        auto url = XmlUrl::parse("file://" + path);
        ASSERT_TRUE(url);
        auto got = load_description(*url, mem.timed(), 10ms);
        ASSERT_TRUE(got) << path << ": " << got.error().to_string();
        EXPECT_EQ(*got, kXml) << path;
    }
    EXPECT_TRUE(mem.reads.empty());
}

TEST(DescriptionFile, RefusesWhatIsNotARegularFile) {
    TempDir dir;
    std::string fifo = dir.path() + "/fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    struct Case {
        std::string path;
        std::string error;
    };
    const Case cases[] = {
        {"/dev/zero", "io error: '/dev/zero' is not a regular file"},
        {dir.path(), "io error: '" + dir.path() + "' is not a regular file"},
        {fifo, "io error: '" + fifo + "' is not a regular file"},  // opening must not block
        {dir.path() + "/missing.xml", "io error: No such file or directory (os error 2)"},
    };
    for (const auto& c : cases) {
        auto got = read_description_file(c.path);
        ASSERT_FALSE(got) << c.path;
        EXPECT_TRUE(got.error().is<camera_error::Io>()) << c.path;
        EXPECT_EQ(got.error().to_string(), c.error);
    }
}

TEST(DescriptionFile, SizeCap) {
    TempDir dir;
    std::string path = dir.file("big.xml", std::vector<std::uint8_t>(1001, 'x'));
    auto over = read_description_file(path, 1000);
    ASSERT_FALSE(over);
    EXPECT_EQ(over.error().to_string(), "io error: '" + path + "' is larger than the 1000 byte limit");
    auto at = read_description_file(path, 1001);
    ASSERT_TRUE(at);
    EXPECT_EQ(at->size(), 1001u);
}

TEST(DescriptionFile, ProcfsFilesReportingZeroSizeAreReadWhole) {
    // procfs files claim size 0 yet have content: the reader must not trust st_size.
    auto got = read_description_file("/proc/self/status");
    if (!got) GTEST_SKIP() << "procfs not readable here: " << got.error().to_string();
    EXPECT_FALSE(got->empty());
}

TEST(DescriptionText, Utf8LossyDecoding) {
    struct Case {
        std::string in;
        std::string out;
    };
    const std::string R = "\xEF\xBF\xBD";
    const Case cases[] = {
        {"plain", "plain"},
        {"\xC2\xB5m", "\xC2\xB5m"},
        {"\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},
        {"a\xFF" "b", "a" + R + "b"},
        {"\xC0\xAF", R + R},              // overlong: each byte on its own
        {"\xE2\x82", R},                  // truncated sequence at the end: one replacement
        {"\xE2\x82x", R + "x"},
        {"\xED\xA0\x80", R + R + R},      // surrogate
        {"\xF4\x90\x80\x80", R + R + R + R},  // beyond U+10FFFF
        {"\xF0\x9F\x98", R},
        {std::string("a\0b", 3), std::string("a\0b", 3)},
    };
    for (const auto& c : cases) {
        auto bytes = std::span(reinterpret_cast<const std::uint8_t*>(c.in.data()), c.in.size());
        EXPECT_EQ(utf8_lossy(bytes), c.out);
    }
}

// UTF-16 with a byte-order mark reaches the parser untouched (it decodes
// it); everything else is cleaned up as UTF-8, so a UTF-16 mark is not
// turned into replacement characters.
TEST(DescriptionText, Utf16WithAMarkIsLeftToTheParser) {
    const std::string R = "\xEF\xBF\xBD";
    const struct {
        std::string in, out;
    } cases[] = {
        {std::string("\xFF\xFE<\0a\0", 6), std::string("\xFF\xFE<\0a\0", 6)},
        {std::string("\xFE\xFF\0<\0a", 6), std::string("\xFE\xFF\0<\0a", 6)},
        {"\xEF\xBB\xBF<a/>", "\xEF\xBB\xBF<a/>"},  // a UTF-8 mark is valid UTF-8
        {"\xFF<a/>", R + "<a/>"},
        {"\xFE", R},
    };
    for (const auto& c : cases) {
        auto bytes = std::span(reinterpret_cast<const std::uint8_t*>(c.in.data()), c.in.size());
        EXPECT_EQ(description_text(bytes), c.out);
    }
}

namespace {

// A stand-in node map: the text it was parsed from.
struct FakeModel {
    std::string text;
};

}  // namespace

TEST(FeatureModelLoad, CachesBytesAndRetriesTheParse) {
    DescriptionBytes cache;
    std::optional<FakeModel> model;
    int fetches = 0, parses = 0;
    bool parse_ok = false;
    auto xml = [&] {
        return cached_description(cache, [&]() -> CameraResult<std::vector<std::uint8_t>> {
            ++fetches;
            return kXml;
        });
    };
    auto parse = [&](std::string_view text) -> GenicamResult<FakeModel> {
        ++parses;
        if (!parse_ok) return std::unexpected(GenicamError::description_error("broken"));
        return FakeModel{std::string(text)};
    };
    auto live = [] { return std::optional<CameraError>{}; };

    auto first = ensure_feature_model(model, live, xml, parse);
    ASSERT_FALSE(first);
    EXPECT_EQ(first.error().to_string(), "device description: broken");
    EXPECT_FALSE(model);

    parse_ok = true;
    ASSERT_TRUE(ensure_feature_model(model, live, xml, parse));
    ASSERT_TRUE(model);
    EXPECT_EQ(model->text, std::string(kXml.begin(), kXml.end()));
    ASSERT_TRUE(ensure_feature_model(model, live, xml, parse));
    EXPECT_EQ(fetches, 1);  // fetched once, parsed until it worked, then left alone
    EXPECT_EQ(parses, 2);
}

TEST(FeatureModelLoad, ConnectionChecks) {
    DescriptionBytes cache;
    auto xml = [&] {
        return cached_description(cache, []() -> CameraResult<std::vector<std::uint8_t>> { return kXml; });
    };
    auto parse = [](std::string_view text) -> GenicamResult<FakeModel> { return FakeModel{std::string(text)}; };

    // Not connected at all.
    std::optional<FakeModel> model;
    auto gone = ensure_feature_model(model, [] { return std::optional(CameraError::not_connected()); }, xml, parse);
    ASSERT_FALSE(gone);
    ASSERT_NE(gone.error().transport_error(), nullptr);
    EXPECT_TRUE(gone.error().transport_error()->is<camera_error::NotConnected>());
    EXPECT_FALSE(cache);  // nothing was fetched

    // Control lost while parsing: the new model is dropped.
    int checks = 0;
    auto lost_later = [&] {
        return ++checks == 1 ? std::optional<CameraError>{} : std::optional(CameraError::control_lost());
    };
    auto lost = ensure_feature_model(model, lost_later, xml, parse);
    ASSERT_FALSE(lost);
    EXPECT_EQ(lost.error().to_string(), "device control was lost (heartbeat failed)");
    EXPECT_FALSE(model);

    // A fetch failure arrives wrapped, unchanged.
    DescriptionBytes empty;
    auto failing = [&] {
        return cached_description(empty, []() -> CameraResult<std::vector<std::uint8_t>> {
            return std::unexpected(CameraError::unsupported("http-hosted GenICam XML"));
        });
    };
    auto fetch_failed = ensure_feature_model(model, [] { return std::optional<CameraError>{}; }, failing, parse);
    ASSERT_FALSE(fetch_failed);
    EXPECT_EQ(fetch_failed.error().kind(), GenicamError::Kind::Transport);
    EXPECT_EQ(fetch_failed.error().to_string(), "device does not support http-hosted GenICam XML");
    EXPECT_FALSE(empty);
}

TEST(FeatureModelLoad, LogsOnlyASuccessfulLoad) {
    LogCapture capture;
    DescriptionBytes cache;
    auto xml = [&] {
        return cached_description(cache, []() -> CameraResult<std::vector<std::uint8_t>> { return kXml; });
    };
    auto live = [] { return std::optional<CameraError>{}; };
    std::optional<FakeModel> model;
    auto broken = [](std::string_view) -> GenicamResult<FakeModel> {
        return std::unexpected(GenicamError::description_error("broken"));
    };
    ASSERT_FALSE(ensure_feature_model(model, live, xml, broken));
    EXPECT_TRUE(capture.lines().empty());

    auto parse = [](std::string_view text) -> GenicamResult<FakeModel> { return FakeModel{std::string(text)}; };
    ASSERT_TRUE(ensure_feature_model(model, live, xml, parse));
    ASSERT_TRUE(ensure_feature_model(model, live, xml, parse));  // already loaded: nothing more to say
    EXPECT_EQ(capture.lines(), std::vector<std::string>{"oculane::gige GenICam feature model loaded"});
}
