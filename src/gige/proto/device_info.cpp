#include "gige/proto/device_info.hpp"

#include <algorithm>
#include <cstring>

#include <fmt/format.h>

#include "gige/proto/bytes.hpp"

namespace oculane {

namespace {

// Field layout, expressed as the bootstrap addresses the block mirrors.
constexpr std::size_t kMacOffset = bootstrap::kMacHigh + 2;

void put_u32(std::span<std::uint8_t> out, std::size_t offset, std::uint32_t v) {
    ByteWriter w(out.subspan(offset));
    w.u32(v);
}

}  // namespace

std::string string_reg(std::span<const std::uint8_t> bytes, std::size_t offset, std::size_t width) {
    if (offset >= bytes.size()) return {};
    auto field = bytes.subspan(offset, std::min(width, bytes.size() - offset));
    const auto zero = std::find(field.begin(), field.end(), std::uint8_t{0});
    return utf8_lossy(field.first(static_cast<std::size_t>(zero - field.begin())));
}

std::optional<DeviceInfo> DeviceInfo::parse(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < kSize) return std::nullopt;
    DeviceInfo d;
    ByteReader head(bytes);
    d.spec_major = head.u16();
    d.spec_minor = head.u16();
    d.device_mode = head.u32();
    std::memcpy(d.mac.data(), bytes.data() + kMacOffset, d.mac.size());
    d.ip_config_options = be32_at(bytes, bootstrap::kIpConfigOptions);
    d.ip_config_current = be32_at(bytes, bootstrap::kIpConfigCurrent);
    d.ip = be32_at(bytes, bootstrap::kCurrentIp);
    d.subnet_mask = be32_at(bytes, bootstrap::kCurrentSubnetMask);
    d.gateway = be32_at(bytes, bootstrap::kCurrentGateway);
    for (const auto& f : kDeviceInfoTexts) d.*f.member = string_reg(bytes, f.area.address, f.area.size);
    return d;
}

std::array<std::uint8_t, DeviceInfo::kSize> DeviceInfo::encode() const {
    std::array<std::uint8_t, kSize> out{};
    std::span<std::uint8_t> o(out);
    ByteWriter head(o);
    head.u16(spec_major);
    head.u16(spec_minor);
    head.u32(device_mode);
    std::memcpy(out.data() + kMacOffset, mac.data(), mac.size());
    put_u32(o, bootstrap::kIpConfigOptions, ip_config_options);
    put_u32(o, bootstrap::kIpConfigCurrent, ip_config_current);
    put_u32(o, bootstrap::kCurrentIp, ip);
    put_u32(o, bootstrap::kCurrentSubnetMask, subnet_mask);
    put_u32(o, bootstrap::kCurrentGateway, gateway);
    for (const auto& f : kDeviceInfoTexts) {
        const std::string& text = this->*f.member;
        std::size_t len = std::min<std::size_t>(text.size(), f.area.size);
        // Never leave half a character at the end of a cut text.
        if (len < text.size())
            while (len > 0 && (static_cast<std::uint8_t>(text[len]) & 0xC0) == 0x80) --len;
        std::memcpy(out.data() + f.area.address, text.data(), len);
    }
    return out;
}

std::string format_mac(const std::array<std::uint8_t, 6>& m) {
    return fmt::format("{:02x}:{:02x}:{:02x}:{:02x}:{:02x}:{:02x}", m[0], m[1], m[2], m[3], m[4], m[5]);
}

std::string DeviceInfo::ip_string() const { return format_ipv4(ip); }
std::string DeviceInfo::mac_string() const { return format_mac(mac); }

}  // namespace oculane
