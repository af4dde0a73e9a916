#pragma once
// The device's address space: mapped regions of bytes, each read-only or
// read-write, plus an optional permissive store for every unmapped address.
//
// Transport-free and not thread-safe: the owning Device serialises access.
// Accesses are word based (4 bytes, aligned); memory commands are split into
// words by the caller so that register behaviour fires the same way whether
// a host uses WRITEREG or WRITEMEM.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

namespace oculane::sim {

enum class Access : std::uint8_t { ReadOnly, ReadWrite };

class RegisterSpace {
public:
    // Unmapped words a permissive space remembers before it refuses more; a
    // host writing all over the address space must not grow us without bound.
    static constexpr std::size_t kPermissiveWordLimit = std::size_t{1} << 20;

    // Maps [base, base + size) zero-filled. Regions must not overlap and must
    // start and end on 4-byte boundaries (checked; a violation is a programming
    // error and throws std::logic_error at construction time of the device).
    void map(std::uint32_t base, std::uint32_t size, Access access, std::string name);
    // Every unmapped word reads as zero or as what was last written to it.
    void set_permissive(bool on) { permissive_ = on; }
    bool permissive() const { return permissive_; }

    // GVCP status for a word access at an aligned address: 0 when allowed,
    // invalid address (0x8003) when unmapped, write protect (0x8004) when a
    // write meets a read-only region, or 0x8003 when the permissive store is
    // full and the word is new.
    std::uint16_t check_read(std::uint32_t address) const;
    std::uint16_t check_write(std::uint32_t address) const;

    // Word access in device (big-endian) order; unchecked: reading an unmapped
    // word gives 0, writing one is dropped unless the space is permissive.
    std::uint32_t get(std::uint32_t address) const;
    void set(std::uint32_t address, std::uint32_t value);

    // Byte access used to fill regions (strings, description memory).
    // Bytes outside mapped regions are ignored on write and zero on read.
    void write_bytes(std::uint32_t address, std::span<const std::uint8_t> bytes);
    std::vector<std::uint8_t> read_bytes(std::uint32_t address, std::uint32_t size) const;

    // Appends [address, address + size) to `out` when one mapped region holds
    // all of it (the common case of a memory read), else returns false.
    bool append_region_bytes(std::uint32_t address, std::uint32_t size, std::vector<std::uint8_t>& out) const;

    // Name of the region holding an address, or "" when unmapped.
    std::string region_name(std::uint32_t address) const;

private:
    struct Region {
        std::uint32_t base = 0;
        std::uint32_t size = 0;
        Access access = Access::ReadWrite;
        std::string name;
        std::vector<std::uint8_t> bytes;
        bool contains(std::uint32_t a) const { return a >= base && a - base < size; }
    };
    const Region* find(std::uint32_t address) const;
    Region* find(std::uint32_t address);

    std::vector<Region> regions_;  // sorted by base
    bool permissive_ = false;
    std::unordered_map<std::uint32_t, std::uint32_t> loose_;  // permissive words by address
};

}  // namespace oculane::sim
