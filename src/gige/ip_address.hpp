#pragma once
// An IPv4 or IPv6 address as given by the user. GVCP itself runs over IPv4
// only; an IPv6 address is kept so it can be shown, and connecting to one
// fails cleanly.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace oculane::gige {

class IpAddress {
public:
    IpAddress() = default;
    static IpAddress v4(std::uint32_t host_order) { return IpAddress(host_order); }

    // The standard textual forms only: no blanks, host names, ports or zones.
    static std::optional<IpAddress> parse(std::string_view text);

    bool is_v4() const { return std::holds_alternative<std::uint32_t>(addr_); }
    // Host order; 0 for an IPv6 address.
    std::uint32_t v4_value() const { return is_v4() ? std::get<std::uint32_t>(addr_) : 0; }

    // Dotted decimal, or the canonical IPv6 text.
    std::string to_string() const;

    friend bool operator==(const IpAddress&, const IpAddress&) = default;

private:
    explicit IpAddress(std::uint32_t v4) : addr_(v4) {}
    explicit IpAddress(std::array<std::uint8_t, 16> v6) : addr_(v6) {}
    std::variant<std::uint32_t, std::array<std::uint8_t, 16>> addr_{std::uint32_t{0}};
};

}  // namespace oculane::gige
