// The description the device serves: its text, where it lies in device
// memory and the location registers that point at it.

#include "sim/device.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <stdexcept>

#include <fmt/format.h>

#include "error/gvcp_status.hpp"
#include "gige/proto/bootstrap.hpp"
#include "gige/proto/bytes.hpp"
#include "gige/proto/device_info.hpp"
#include "gige/proto/gvcp.hpp"
#include "gige/proto/pixel_layout.hpp"
#include "sim/device_internal.hpp"
#include "sim/feature_registers.hpp"
#include "sim/description_xml.hpp"
#include "sim/zip_archive.hpp"

namespace oculane::sim {

using namespace detail;
using gvcp::Ack;
using gvcp::Command;

namespace {

constexpr std::string_view kTLParamsLockedMarker = "<!--@TLPARAMSLOCKED@-->";
constexpr std::string_view kTLParamsLockedNodes = R"(<Integer Name="TLParamsLocked" NameSpace="Standard">
      <ToolTip>Locks the transport-layer parameters while an acquisition runs.</ToolTip>
      <Visibility>Invisible</Visibility>
      <pValue>TLParamsLockedReg</pValue>
      <Min>0</Min>
      <Max>1</Max>
    </Integer>
    <IntReg Name="TLParamsLockedReg">
      <Address>0x1007C</Address>
      <Length>4</Length>
      <AccessMode>RW</AccessMode>
      <pPort>Device</pPort>
      <Endianess>BigEndian</Endianess>
    </IntReg>)";

// The entries of PixelFormat and ChunkPixelFormat: every format the test
// pattern can draw.
constexpr std::string_view kPixelFormatsMarker = "<!--@PIXELFORMATS@-->";

std::string pixel_format_entries() {
    std::string out;
    for (const auto& f : gvsp::pixel_formats()) {
        if (!out.empty()) out += "\n      ";
        out += fmt::format(R"(<EnumEntry Name="{}" NameSpace="Standard">
        <Value>0x{:08X}</Value>
      </EnumEntry>)",
                           f.name, f.code);
    }
    return out;
}

}  // namespace

void Device::build_description() {
    if (own_description_) {
        description_ = std::string(kBuiltinDescription);
        if (auto pos = description_.find(kTLParamsLockedMarker); pos != std::string::npos)
            description_.replace(pos, kTLParamsLockedMarker.size(),
                                 config_.tl_params_locked ? kTLParamsLockedNodes : std::string_view{});
        const std::string entries = pixel_format_entries();
        for (auto pos = description_.find(kPixelFormatsMarker); pos != std::string::npos;
             pos = description_.find(kPixelFormatsMarker, pos + entries.size()))
            description_.replace(pos, kPixelFormatsMarker.size(), entries);
    } else {
        description_ = *config_.description;
    }
    std::string base = config_.description_name.empty() ? std::string(kDefaultName) : config_.description_name;
    const auto text = std::span(reinterpret_cast<const std::uint8_t*>(description_.data()), description_.size());
    const bool zip = config_.serve_zip;
    served_name_ = base + (zip ? ".zip" : ".xml");
    served_ = zip ? make_zip(base + ".xml", text) : std::vector<std::uint8_t>(text.begin(), text.end());

    std::vector<std::uint8_t> corrupt;
    if (config_.first_url_fault == UrlFault::CorruptZip) {
        corrupt = zip ? served_ : make_zip(base + ".xml", text);
        // Data starts after the 30-byte local header and the name. Setting both
        // block-type bits of the first deflate block makes it the reserved type,
        // which every inflater refuses.
        const std::size_t data = 30 + base.size() + 4;
        corrupt.at(data) |= 0x06;
    }

    description_address_ = config_.description_address.value_or(
        own_description_ ? kOwnDescriptionAddress : kForeignDescriptionAddress);
    const std::uint64_t total = round_up4(served_.size()) + round_up4(corrupt.size());
    if (total > kMaxDescriptionBytes || description_address_ % 4 != 0 ||
        description_address_ + total > 0x1'0000'0000ull)
        throw std::runtime_error("description does not fit the device memory at the chosen address");
    space_.map(description_address_, static_cast<std::uint32_t>(total), Access::ReadOnly, "description");
    space_.write_bytes(description_address_, served_);
    if (!corrupt.empty()) {
        corrupt_address_ = description_address_ + round_up4(served_.size());
        space_.write_bytes(corrupt_address_, corrupt);
    }

    const std::string good = fmt::format("Local:{};{:x};{:x}", served_name_, description_address_, served_.size());
    std::string first = good;
    switch (config_.first_url_fault) {
        case UrlFault::None: break;
        case UrlFault::BadText: first = fmt::format("Locl:{};{:x}", served_name_, description_address_); break;
        case UrlFault::Http: first = fmt::format("http://oculane.invalid/{}", served_name_); break;
        case UrlFault::CorruptZip:
            first = fmt::format("Local:{}.zip;{:x};{:x}", base, corrupt_address_, corrupt.size());
            break;
        case UrlFault::TruncatedZip:
            first = fmt::format("Local:{}.zip;{:x};{:x}", base, description_address_, served_.size() / 2);
            break;
    }
    const bool second = config_.second_url || config_.first_url_fault != UrlFault::None;
    auto put = [&](bs::StringArea area, const std::string& text_) OCULANE_REQUIRES(mu_) {
        std::vector<std::uint8_t> bytes(area.size, 0);
        std::memcpy(bytes.data(), text_.data(), std::min<std::size_t>(text_.size(), area.size - 1));
        space_.write_bytes(area.address, bytes);
    };
    put(bs::kFirstUrl, first);
    put(bs::kSecondUrl, second ? good : std::string{});
}

}  // namespace oculane::sim
