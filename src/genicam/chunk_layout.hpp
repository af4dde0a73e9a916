#pragma once
// The chunk layout of GigE Vision payloads: every chunk is its data followed
// by a 4-byte chunk id and a 4-byte data length (big-endian), so the layout
// is read from the end of the payload towards its start. The first chunk
// (the one whose data starts at offset 0) is the image in a chunk frame.
//
// Pure parsing of a byte span; nothing is copied.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace oculane {

struct ChunkEntry {
    std::uint32_t id = 0;
    std::uint64_t offset = 0;  // of the chunk's data in the payload
    std::uint64_t length = 0;  // of the chunk's data
};

// A payload that claims more chunks than this is taken as malformed: a
// device must not make us build a list without bound (a run of empty
// chunks costs 8 bytes each).
inline constexpr std::size_t kMaxChunks = 4096;

// Chunk ids and lengths as they are laid out in the payload, in payload
// order (the first starts at offset 0). Nothing when the layout does not
// account for every byte: a length that reaches before the start, fewer than
// 8 bytes left for an id and length, or more than kMaxChunks chunks. An
// empty payload has no chunks.
std::optional<std::vector<ChunkEntry>> walk_chunks(std::span<const std::uint8_t> payload);

// The data of the chunk with this id (the last one in the payload when the
// id repeats); nothing when absent.
std::optional<std::span<const std::uint8_t>> chunk_data(std::span<const std::uint8_t> payload,
                                                        std::span<const ChunkEntry> chunks, std::uint32_t id);

// Appends one chunk (data, id, length) to `out`: the layout the walk reads.
void append_chunk(std::vector<std::uint8_t>& out, std::uint32_t id, std::span<const std::uint8_t> data);

}  // namespace oculane
