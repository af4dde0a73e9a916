#include <gtest/gtest.h>

#include <cstring>

#include "genicam/inflate.hpp"
#include "genicam/zip.hpp"
#include "zip_builder.hpp"

using namespace oculane;
using namespace oculane::testing;

namespace {

const std::vector<std::uint8_t> kXml = bytes_of("<?xml version=\"1.0\"?><RegisterDescription/>\n");

void put32(std::vector<std::uint8_t>& v, std::size_t at, std::uint32_t x) {
    for (int k = 0; k < 4; ++k) v[at + k] = (x >> (8 * k)) & 0xFF;
}
void put16(std::vector<std::uint8_t>& v, std::size_t at, std::uint16_t x) {
    v[at] = x & 0xFF;
    v[at + 1] = x >> 8;
}
std::size_t end_record(const std::vector<std::uint8_t>& zip, std::size_t comment = 0) {
    return zip.size() - 22 - comment;
}
std::size_t central_dir(const std::vector<std::uint8_t>& zip) {
    std::size_t e = end_record(zip);
    return zip[e + 16] | zip[e + 17] << 8 | zip[e + 18] << 16 | std::size_t(zip[e + 19]) << 24;
}

}  // namespace

TEST(ZipExtract, StoredAndDeflatedMembers) {
    for (bool deflate : {false, true}) {
        auto zip = zip_one({.data = kXml, .deflate = deflate});
        auto got = extract_first_file(zip);
        ASSERT_TRUE(got) << got.error();
        EXPECT_EQ(*got, kXml) << "deflate=" << deflate;
    }
}

TEST(ZipExtract, FirstCentralDirectoryEntryWins) {
    ZipWriter w;
    w.add({.name = "readme.txt", .data = bytes_of("first")});
    w.add({.name = "cam.xml", .data = kXml, .deflate = true});
    auto got = extract_first_file(w.finish());
    ASSERT_TRUE(got);
    EXPECT_EQ(*got, bytes_of("first"));

    // An empty directory entry gives an empty description.
    auto dir = extract_first_file(zip_one({.name = "dir/", .data = {}}));
    ASSERT_TRUE(dir);
    EXPECT_TRUE(dir->empty());
}

TEST(ZipExtract, CommentSearchWindow) {
    auto found = extract_first_file(zip_one({.data = kXml}, 65535));
    ASSERT_TRUE(found) << found.error();
    EXPECT_EQ(*found, kXml);

    // One byte more and the record is out of reach. The comment length field
    // cannot say 65,536, so the last byte is plain trailing data.
    auto zip = zip_one({.data = kXml}, 65535);
    zip.push_back('c');
    auto lost = extract_first_file(zip);
    ASSERT_FALSE(lost);
    EXPECT_EQ(lost.error(), "no end-of-central-directory record");
}

TEST(ZipExtract, BrokenArchives) {
    const auto good = zip_one({.data = kXml, .deflate = true});
    const std::size_t cd = central_dir(good);
    const std::size_t er = end_record(good);

    struct Case {
        const char* name;
        std::function<void(std::vector<std::uint8_t>&)> damage;
        const char* error;
    };
    const Case cases[] = {
        {"too short", [](auto& z) { z.resize(21); }, "no end-of-central-directory record"},
        {"no record", [&](auto& z) { put32(z, er, 0x12345678); }, "no end-of-central-directory record"},
        {"zero entries", [&](auto& z) { put16(z, er + 10, 0); }, "empty archive"},
        {"directory past end", [&](auto& z) { put32(z, er + 16, static_cast<std::uint32_t>(z.size() - 3)); },
         "truncated archive"},
        {"directory offset huge", [&](auto& z) { put32(z, er + 16, 0xFFFFFFFF); }, "truncated archive"},
        {"bad directory signature", [&](auto& z) { put32(z, cd, 0); }, "bad central directory"},
        {"directory entry cut",
         [&](auto& z) {
             put32(z, er + 16, static_cast<std::uint32_t>(er - 8));
             put32(z, er - 8, 0x02014B50);
         },
         "truncated archive"},
        {"too large", [&](auto& z) { put32(z, cd + 24, 67108865); }, "archive entry too large"},
        {"local header past end", [&](auto& z) { put32(z, cd + 42, 0xFFFFFFF0); }, "truncated archive"},
        {"bad local header", [](auto& z) { z[0] = 0; }, "bad local file header"},
        {"data past end", [&](auto& z) { put32(z, cd + 20, static_cast<std::uint32_t>(z.size())); },
         "truncated archive data"},
        {"method 12", [&](auto& z) { put16(z, cd + 10, 12); }, "unsupported compression method 12"},
        {"encrypted", [&](auto& z) { put16(z, cd + 8, 1); }, "encrypted archive entry"},
        {"encrypted locally", [&](auto& z) { put16(z, 6, 0x0009); }, "encrypted archive entry"},
        {"crc mismatch", [&](auto& z) { z[cd + 16] ^= 0x01; }, nullptr},
    };
    for (const auto& c : cases) {
        auto zip = good;
        c.damage(zip);
        auto got = extract_first_file(zip);
        ASSERT_FALSE(got) << c.name;
        if (c.error)
            EXPECT_EQ(got.error(), c.error) << c.name;
        else
            EXPECT_TRUE(got.error().starts_with("CRC-32 mismatch: ")) << c.name << ": " << got.error();
    }
}

TEST(ZipExtract, ChangedDataFailsTheChecksum) {
    auto zip = zip_one({.data = kXml});
    zip[30 + 7 + 5] ^= 0x20;  // one byte of the stored member
    auto got = extract_first_file(zip);
    ASSERT_FALSE(got);
    EXPECT_TRUE(got.error().starts_with("CRC-32 mismatch: entry says ")) << got.error();
}

TEST(ZipExtract, StoredMemberAtTheSizeLimitBoundary) {
    // The claimed size alone decides: even a stored member claiming one byte
    // over the limit is refused, and one at the limit is taken as stored.
    auto over = extract_first_file(zip_one({.data = kXml, .claimed_uncompressed = 67108865}));
    ASSERT_FALSE(over);
    EXPECT_EQ(over.error(), "archive entry too large");
    auto at = extract_first_file(zip_one({.data = kXml, .claimed_uncompressed = 67108864}));
    ASSERT_TRUE(at);
    EXPECT_EQ(*at, kXml);
}

TEST(ZipExtract, CorruptDeflateData) {
    auto zip = zip_one({.data = kXml, .deflate = true});
    // Block type 3 is reserved.
    std::size_t data = 30 + 7;
    zip[data] = 0x07;
    auto got = extract_first_file(zip);
    ASSERT_FALSE(got);
    EXPECT_TRUE(got.error().starts_with("deflate: ")) << got.error();

    // A deflate stream cut short.
    auto full = raw_deflate(std::vector<std::uint8_t>(100000, 'x'));
    auto cut = inflate_raw(std::span(full).first(full.size() / 2), 1 << 20);
    ASSERT_FALSE(cut);
    EXPECT_FALSE(cut.error().empty());
}

TEST(ZipExtract, BombStopsAtTheLimit) {
    // 65 MiB of zeros squeezes into about 65 KB, and the header lies about it.
    std::vector<std::uint8_t> zeros((65u << 20), 0);
    auto zip = zip_one({.data = zeros, .deflate = true, .claimed_uncompressed = 1000});
    zeros = {};
    EXPECT_LT(zip.size(), 200000u);
    auto got = extract_first_file(zip);
    ASSERT_FALSE(got);
    EXPECT_TRUE(got.error().starts_with("deflate: ")) << got.error();
}

TEST(ZipExtract, InflateLimitIsExact) {
    std::vector<std::uint8_t> data(5000, 'a');
    auto packed = raw_deflate(data);
    auto exact = inflate_raw(packed, 5000);
    ASSERT_TRUE(exact);
    EXPECT_EQ(*exact, data);
    auto under = inflate_raw(packed, 4999, 10);
    ASSERT_FALSE(under);
    EXPECT_EQ(under.error(), "output exceeds 4999 bytes");
}
