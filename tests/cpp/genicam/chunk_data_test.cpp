// The chunk layout walk (table cases and a fuzz run over random and mutated
// payloads) and chunk features of the shared descriptions evaluated against
// synthesised chunk payloads, with no device behind them.

#include <gtest/gtest.h>

#include "corpus.hpp"

#include <cstdlib>
#include <filesystem>
#include <random>
#include <set>

#include "genicam/chunk_layout.hpp"
#include "genicam/data_model.hpp"
#include "support/fuzz.hpp"
#include "genicam/parser.hpp"

namespace oculane::testing {
namespace {

std::vector<std::uint8_t> layout(std::initializer_list<std::pair<std::uint32_t, std::vector<std::uint8_t>>> chunks) {
    std::vector<std::uint8_t> out;
    for (const auto& [id, data] : chunks) append_chunk(out, id, data);
    return out;
}

TEST(ChunkLayout, WalksFromTheEndAndRefusesWhatDoesNotAddUp) {
    struct Case {
        const char* name;
        std::vector<std::uint8_t> payload;
        std::optional<std::vector<std::pair<std::uint32_t, std::uint64_t>>> want;  // (id, length)
    };
    auto valid = layout({{0xA1, std::vector<std::uint8_t>(12, 7)}, {0xB2, {1, 2, 3, 4}}, {0xC3, {}}});
    auto too_long = valid;
    too_long[too_long.size() - 1] = 0x40;  // the last chunk claims 64 bytes, before the start
    auto leftover = valid;
    leftover.insert(leftover.begin(), {9, 9, 9});  // three bytes no chunk accounts for
    const std::vector<Case> cases = {
        {"empty payload", {}, std::vector<std::pair<std::uint32_t, std::uint64_t>>{}},
        {"three chunks", valid, {{{0xA1, 12}, {0xB2, 4}, {0xC3, 0}}}},
        {"shorter than a tag", std::vector<std::uint8_t>(7, 0), std::nullopt},
        {"length reaching before the start", too_long, std::nullopt},
        {"bytes left before the first chunk", leftover, std::nullopt},
        {"length of 0xFFFFFFFF", {0, 0, 0, 1, 0xFF, 0xFF, 0xFF, 0xFF}, std::nullopt},
        {"too many empty chunks", std::vector<std::uint8_t>(8 * (kMaxChunks + 1), 0), std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto got = walk_chunks(c.payload);
        ASSERT_EQ(got.has_value(), c.want.has_value());
        if (!got) continue;
        ASSERT_EQ(got->size(), c.want->size());
        for (std::size_t i = 0; i < got->size(); ++i) {
            EXPECT_EQ((*got)[i].id, (*c.want)[i].first);
            EXPECT_EQ((*got)[i].length, (*c.want)[i].second);
        }
    }
    auto chunks = *walk_chunks(valid);
    EXPECT_EQ(chunks[0].offset, 0u);
    auto b2 = chunk_data(valid, chunks, 0xB2);
    ASSERT_TRUE(b2);
    EXPECT_EQ(std::vector<std::uint8_t>(b2->begin(), b2->end()), (std::vector<std::uint8_t>{1, 2, 3, 4}));
    EXPECT_FALSE(chunk_data(valid, chunks, 0xD4));
}

// A layout the walk accepts tiles the payload exactly; anything else is
// refused. Run under the sanitizers too (make sanitize), where a read past
// the payload (an exact-size heap copy of it) is caught.
TEST(ChunkLayout, FuzzedPayloadsAreTiledExactlyOrRefused) {
    // A tenth of the run's count: each payload is walked whole.
    const std::size_t iterations = std::max<std::size_t>(1, testing::fuzz_iterations(200'000) / 10);
    std::mt19937_64 rng(20);
    std::size_t accepted = 0;
    for (std::size_t i = 0; i < iterations; ++i) {
        std::vector<std::uint8_t> payload;
        if (i % 2 == 0) {
            const auto n = rng() % 64;
            payload.resize(n);
            for (auto& b : payload) b = static_cast<std::uint8_t>(rng());
        } else {
            // A valid layout with a few bytes changed: lengths and ids hit.
            for (int c = 0, n = static_cast<int>(rng() % 5); c < n; ++c)
                append_chunk(payload, static_cast<std::uint32_t>(rng()), std::vector<std::uint8_t>(rng() % 20, 0x5A));
            for (int m = 0, n = static_cast<int>(rng() % 3); m < n && !payload.empty(); ++m)
                payload[rng() % payload.size()] = static_cast<std::uint8_t>(rng());
        }
        const std::vector<std::uint8_t> exact(payload.begin(), payload.end());  // heap block of exact size
        auto chunks = walk_chunks(exact);
        if (!chunks) continue;
        ++accepted;
        std::uint64_t at = 0;
        for (const auto& c : *chunks) {
            ASSERT_EQ(c.offset, at);
            at += c.length + 8;
        }
        ASSERT_EQ(at, exact.size());
        for (const auto& c : *chunks) ASSERT_TRUE(chunk_data(exact, *chunks, c.id));
    }
    EXPECT_GT(accepted, 0u);
}

// Every chunk feature of each shared description that has chunk ports,
// against a payload that carries every chunk its ports name, each with room
// for its registers. Values are whatever zero bytes make of them; what
// matters is that each is found, reads its chunk and never the device.
TEST(ChunkLayout, CorpusChunkFeaturesEvaluateAgainstSynthesisedChunks) {
    namespace fs = std::filesystem;
    const fs::path corpus = test_corpus::find_corpus();
    if (corpus.empty()) GTEST_SKIP() << "shared/genicam-corpus is not beside the checkout";
    struct Case {
        const char* file;
        std::size_t min_features;
    };
    for (const Case& c : {Case{"basler-a2A2600-20gmBAS.xml", 15}, Case{"flir-bfs-pge-50s4c.xml", 18},
                          Case{"huaray-ds5131mg30ce.xml", 75}}) {
        SCOPED_TRACE(c.file);
        auto map = parse_description(test_corpus::read_file(corpus / c.file));
        ASSERT_TRUE(map) << map.error().to_string();
        std::set<std::uint32_t> ids;
        for (const Node& node : map->nodes())
            if (const auto* port = node.get_if<node_data::Port>(); port && port->kind == node_data::PortKind::Chunk)
                if (const auto* id = port->id.int_if()) ids.insert(static_cast<std::uint32_t>(*id));
        ASSERT_FALSE(ids.empty());
        std::vector<std::uint8_t> payload;
        append_chunk(payload, 0xFFFFFFF0, std::vector<std::uint8_t>(64, 0));  // an image
        for (std::uint32_t id : ids) append_chunk(payload, id, std::vector<std::uint8_t>(256, 0));
        auto chunks = walk_chunks(payload);
        ASSERT_TRUE(chunks);
        DataModel model(std::move(*map));
        const auto names = model.chunk_feature_names();
        EXPECT_GE(names.size(), c.min_features);
        ChunkPortData data(payload, *chunks);
        std::size_t evaluated = 0;
        for (const auto& name : names) {
            auto v = model.value(name, data);
            // Zero bytes are no entry of some enumerations; nothing else may fail.
            if (!v) {
                EXPECT_TRUE(v.error().is<genicam_error::NoEnumEntry>() || v.error().is<genicam_error::Unavailable>())
                    << name << ": " << v.error().to_string();
                EXPECT_EQ(v.error().to_string().find("carries no chunk"), std::string::npos) << name;
                continue;
            }
            ++evaluated;
        }
        EXPECT_GE(evaluated, c.min_features);
        EXPECT_EQ(model.chunk_values(data, *chunks).size(), evaluated);
        // Without the chunks, none of them has a value.
        const std::span<const std::uint8_t> image_bytes = std::span<const std::uint8_t>(payload).first(72);
        const std::span<const ChunkEntry> image_chunk = std::span<const ChunkEntry>(*chunks).first(1);
        ChunkPortData image_only(image_bytes, image_chunk);
        EXPECT_TRUE(model.chunk_values(image_only, image_chunk).empty());
    }
}

}  // namespace
}  // namespace oculane::testing
