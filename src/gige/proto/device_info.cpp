#include "gige/proto/device_info.hpp"

#include <algorithm>
#include <cstring>
#include <string_view>

#include <fmt/format.h>

#include "gige/proto/bytes.hpp"

namespace oculane {

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD

// Field layout, expressed as the bootstrap addresses the block mirrors.
constexpr std::size_t kMacOffset = bootstrap::kMacHigh + 2;

struct TextField {
    std::string DeviceInfo::*member;
    bootstrap::StringArea area;
};
constexpr TextField kTextFields[] = {
    {&DeviceInfo::manufacturer, bootstrap::kManufacturerName},
    {&DeviceInfo::model, bootstrap::kModelName},
    {&DeviceInfo::device_version, bootstrap::kDeviceVersion},
    {&DeviceInfo::manufacturer_info, bootstrap::kManufacturerInfo},
    {&DeviceInfo::serial, bootstrap::kSerialNumber},
    {&DeviceInfo::user_defined_name, bootstrap::kUserDefinedName},
};

std::uint32_t u32_at(std::span<const std::uint8_t> b, std::size_t offset) {
    ByteReader r(b.subspan(std::min(offset, b.size())));
    return r.u32();
}

void put_u32(std::span<std::uint8_t> out, std::size_t offset, std::uint32_t v) {
    ByteWriter w(out.subspan(offset));
    w.u32(v);
}

}  // namespace

std::string utf8_lossy(std::span<const std::uint8_t> s) {
    std::string out;
    out.reserve(s.size());
    std::size_t i = 0;
    const std::size_t n = s.size();
    while (i < n) {
        const std::uint8_t b = s[i];
        if (b < 0x80) {
            out.push_back(static_cast<char>(b));
            ++i;
            continue;
        }
        // Continuation bytes needed and the allowed range of the first one,
        // which excludes overlongs, surrogates and values above U+10FFFF.
        int need = 0;
        std::uint8_t lo = 0x80, hi = 0xBF;
        if (b >= 0xC2 && b <= 0xDF) {
            need = 1;
        } else if (b == 0xE0) {
            need = 2, lo = 0xA0;
        } else if ((b >= 0xE1 && b <= 0xEC) || b == 0xEE || b == 0xEF) {
            need = 2;
        } else if (b == 0xED) {
            need = 2, hi = 0x9F;
        } else if (b == 0xF0) {
            need = 3, lo = 0x90;
        } else if (b >= 0xF1 && b <= 0xF3) {
            need = 3;
        } else if (b == 0xF4) {
            need = 3, hi = 0x8F;
        } else {
            out.append(kReplacement);
            ++i;
            continue;
        }
        std::size_t j = i + 1;
        int got = 0;
        while (got < need && j < n) {
            const std::uint8_t c = s[j];
            if (c < lo || c > hi) break;
            lo = 0x80, hi = 0xBF;
            ++j, ++got;
        }
        if (got == need)
            out.append(reinterpret_cast<const char*>(s.data() + i), j - i);
        else
            out.append(kReplacement);  // one replacement per maximal invalid prefix
        i = j;
    }
    return out;
}

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
    d.ip_config_options = u32_at(bytes, bootstrap::kIpConfigOptions);
    d.ip_config_current = u32_at(bytes, bootstrap::kIpConfigCurrent);
    d.ip = u32_at(bytes, bootstrap::kCurrentIp);
    d.subnet_mask = u32_at(bytes, bootstrap::kCurrentSubnetMask);
    d.gateway = u32_at(bytes, bootstrap::kCurrentGateway);
    for (const auto& f : kTextFields) d.*f.member = string_reg(bytes, f.area.address, f.area.size);
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
    for (const auto& f : kTextFields) {
        const std::string& text = this->*f.member;
        std::size_t len = std::min<std::size_t>(text.size(), f.area.size);
        // Never leave half a character at the end of a cut text.
        if (len < text.size())
            while (len > 0 && (static_cast<std::uint8_t>(text[len]) & 0xC0) == 0x80) --len;
        std::memcpy(out.data() + f.area.address, text.data(), len);
    }
    return out;
}

std::string format_ipv4(std::uint32_t a) {
    return fmt::format("{}.{}.{}.{}", a >> 24, (a >> 16) & 0xFF, (a >> 8) & 0xFF, a & 0xFF);
}

std::string format_mac(const std::array<std::uint8_t, 6>& m) {
    return fmt::format("{:02x}:{:02x}:{:02x}:{:02x}:{:02x}:{:02x}", m[0], m[1], m[2], m[3], m[4], m[5]);
}

std::string DeviceInfo::ip_string() const { return format_ipv4(ip); }
std::string DeviceInfo::mac_string() const { return format_mac(mac); }

}  // namespace oculane
