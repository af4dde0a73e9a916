#include "sim/register_space.hpp"

#include <algorithm>
#include <stdexcept>

#include "error/gvcp_status.hpp"

namespace oculane::sim {

void RegisterSpace::map(std::uint32_t base, std::uint32_t size, Access access, std::string name) {
    if (size == 0 || base % 4 != 0 || size % 4 != 0 || std::uint64_t{base} + size > 0x1'0000'0000ull)
        throw std::logic_error("register region " + name + " is not word aligned");
    auto pos = std::lower_bound(regions_.begin(), regions_.end(), base,
                                [](const Region& r, std::uint32_t b) { return r.base < b; });
    // 64-bit: a region may end exactly at the top of the address space.
    if (pos != regions_.end() && pos->base < std::uint64_t{base} + size)
        throw std::logic_error("register region " + name + " overlaps " + pos->name);
    if (pos != regions_.begin() && std::prev(pos)->base + std::prev(pos)->size > base)
        throw std::logic_error("register region " + name + " overlaps " + std::prev(pos)->name);
    regions_.insert(pos, Region{base, size, access, std::move(name), std::vector<std::uint8_t>(size, 0)});
}

const RegisterSpace::Region* RegisterSpace::find(std::uint32_t address) const {
    auto pos = std::upper_bound(regions_.begin(), regions_.end(), address,
                                [](std::uint32_t a, const Region& r) { return a < r.base; });
    if (pos == regions_.begin()) return nullptr;
    --pos;
    return pos->contains(address) ? &*pos : nullptr;
}

RegisterSpace::Region* RegisterSpace::find(std::uint32_t address) {
    return const_cast<Region*>(static_cast<const RegisterSpace*>(this)->find(address));
}

std::uint16_t RegisterSpace::check_read(std::uint32_t address) const {
    if (find(address) || permissive_) return GvcpStatus::kSuccess;
    return GvcpStatus::kInvalidAddress;
}

std::uint16_t RegisterSpace::check_write(std::uint32_t address) const {
    if (const Region* r = find(address))
        return r->access == Access::ReadOnly ? GvcpStatus::kWriteProtect : GvcpStatus::kSuccess;
    if (!permissive_) return GvcpStatus::kInvalidAddress;
    if (loose_.size() >= kPermissiveWordLimit && !loose_.contains(address))
        return GvcpStatus::kInvalidAddress;
    return GvcpStatus::kSuccess;
}

std::uint32_t RegisterSpace::get(std::uint32_t address) const {
    if (const Region* r = find(address)) {
        std::uint32_t v = 0;
        for (std::uint32_t i = 0; i < 4; ++i) {
            const std::uint32_t off = address - r->base + i;
            v = (v << 8) | (off < r->size ? r->bytes[off] : 0);
        }
        return v;
    }
    if (auto it = loose_.find(address); it != loose_.end()) return it->second;
    return 0;
}

void RegisterSpace::set(std::uint32_t address, std::uint32_t value) {
    if (Region* r = find(address)) {
        for (std::uint32_t i = 0; i < 4; ++i) {
            const std::uint32_t off = address - r->base + i;
            if (off < r->size) r->bytes[off] = static_cast<std::uint8_t>(value >> (24 - 8 * i));
        }
        return;
    }
    if (!permissive_) return;
    if (loose_.size() >= kPermissiveWordLimit && !loose_.contains(address)) return;
    loose_[address] = value;
}

void RegisterSpace::write_bytes(std::uint32_t address, std::span<const std::uint8_t> bytes) {
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const auto a = static_cast<std::uint32_t>(address + i);
        if (Region* r = find(a)) r->bytes[a - r->base] = bytes[i];
    }
}

std::vector<std::uint8_t> RegisterSpace::read_bytes(std::uint32_t address, std::uint32_t size) const {
    std::vector<std::uint8_t> out(size, 0);
    for (std::uint32_t i = 0; i < size; ++i) {
        const std::uint32_t a = address + i;
        if (const Region* r = find(a)) {
            out[i] = r->bytes[a - r->base];
        } else if (permissive_) {
            const std::uint32_t word = a & ~3u;
            if (auto it = loose_.find(word); it != loose_.end())
                out[i] = static_cast<std::uint8_t>(it->second >> (24 - 8 * (a - word)));
        }
    }
    return out;
}

bool RegisterSpace::append_region_bytes(std::uint32_t address, std::uint32_t size,
                                        std::vector<std::uint8_t>& out) const {
    const Region* r = find(address);
    if (!r || size > r->size - (address - r->base)) return false;
    const auto first = r->bytes.begin() + (address - r->base);
    out.insert(out.end(), first, first + size);
    return true;
}

std::string RegisterSpace::region_name(std::uint32_t address) const {
    const Region* r = find(address);
    return r ? r->name : std::string{};
}

}  // namespace oculane::sim
