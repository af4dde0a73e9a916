#include "genicam/chunk_layout.hpp"

#include <algorithm>

namespace oculane {

namespace {

std::uint32_t be32(const std::uint8_t* p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | std::uint32_t{p[3]};
}

}  // namespace

std::optional<std::vector<ChunkEntry>> walk_chunks(std::span<const std::uint8_t> payload) {
    std::vector<ChunkEntry> chunks;
    std::uint64_t end = payload.size();
    while (end > 0) {
        if (end < 8 || chunks.size() == kMaxChunks) return std::nullopt;
        const std::uint8_t* tail = payload.data() + (end - 8);
        const std::uint32_t id = be32(tail);
        const std::uint64_t length = be32(tail + 4);
        end -= 8;
        if (length > end) return std::nullopt;
        end -= length;
        chunks.push_back(ChunkEntry{id, end, length});
    }
    std::reverse(chunks.begin(), chunks.end());
    return chunks;
}

std::optional<std::span<const std::uint8_t>> chunk_data(std::span<const std::uint8_t> payload,
                                                        std::span<const ChunkEntry> chunks, std::uint32_t id) {
    for (auto it = chunks.rbegin(); it != chunks.rend(); ++it) {
        if (it->id != id) continue;
        if (it->offset > payload.size() || it->length > payload.size() - it->offset) return std::nullopt;
        return payload.subspan(static_cast<std::size_t>(it->offset), static_cast<std::size_t>(it->length));
    }
    return std::nullopt;
}

void append_chunk(std::vector<std::uint8_t>& out, std::uint32_t id, std::span<const std::uint8_t> data) {
    out.insert(out.end(), data.begin(), data.end());
    const auto length = static_cast<std::uint32_t>(data.size());
    for (std::uint32_t v : {id, length})
        for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(v >> shift));
}

}  // namespace oculane
