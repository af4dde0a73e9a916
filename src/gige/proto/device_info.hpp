#pragma once
// A device's identity record: the first 248 bytes of its bootstrap space,
// which is also the payload of its discovery acknowledge.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "gige/proto/bootstrap.hpp"
#include "util/inet.hpp"
#include "util/utf8.hpp"

namespace oculane {

struct DeviceInfo {
    static constexpr std::size_t kSize = bootstrap::kDiscoveryDataSize;

    std::uint16_t spec_major = 0;
    std::uint16_t spec_minor = 0;
    std::uint32_t device_mode = 0;
    std::array<std::uint8_t, 6> mac{};  // transmission order
    std::uint32_t ip_config_options = 0;
    std::uint32_t ip_config_current = 0;
    // IPv4 addresses as numbers: 192.168.1.10 is 0xC0A8010A.
    std::uint32_t ip = 0;
    std::uint32_t subnet_mask = 0;
    std::uint32_t gateway = 0;
    std::string manufacturer;
    std::string model;
    std::string device_version;
    std::string manufacturer_info;
    std::string serial;
    std::string user_defined_name;

    // No record from fewer than kSize bytes; bytes past kSize are ignored.
    static std::optional<DeviceInfo> parse(std::span<const std::uint8_t> bytes);

    // The kSize-byte block a device sends. Texts longer than their field are cut
    // at a character boundary; a text filling its field exactly has no zero byte.
    std::array<std::uint8_t, kSize> encode() const;

    // "192.168.1.10" and "00:0c:df:04:a1:7e".
    std::string ip_string() const;
    std::string mac_string() const;

    bool operator==(const DeviceInfo&) const = default;
};

// The record's text fields, each with the bootstrap area it mirrors: the
// identity block lays them out there, and a connected host reads them there.
struct DeviceInfoText {
    std::string DeviceInfo::*member;
    bootstrap::StringArea area;
};
inline constexpr DeviceInfoText kDeviceInfoTexts[] = {
    {&DeviceInfo::manufacturer, bootstrap::kManufacturerName},
    {&DeviceInfo::model, bootstrap::kModelName},
    {&DeviceInfo::device_version, bootstrap::kDeviceVersion},
    {&DeviceInfo::manufacturer_info, bootstrap::kManufacturerInfo},
    {&DeviceInfo::serial, bootstrap::kSerialNumber},
    {&DeviceInfo::user_defined_name, bootstrap::kUserDefinedName},
};

// The text of a fixed-width, zero-padded field: bytes up to the first zero (or
// the whole field), decoded as UTF-8 with every invalid sequence replaced by
// U+FFFD. A field reaching past the end of `bytes` is cut to what is there.
std::string string_reg(std::span<const std::uint8_t> bytes, std::size_t offset, std::size_t width);

using inet::format_ipv4;
std::string format_mac(const std::array<std::uint8_t, 6>& mac);

}  // namespace oculane
