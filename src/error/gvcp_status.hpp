#pragma once
// The 16-bit status word of a GVCP acknowledge and its display text.

#include <cstdint>
#include <string>

#include <fmt/format.h>

namespace oculane {

struct GvcpStatus {
    std::uint16_t code = 0;

    static constexpr std::uint16_t kSuccess = 0x0000;
    static constexpr std::uint16_t kPacketResend = 0x0100;
    static constexpr std::uint16_t kNotImplemented = 0x8001;
    static constexpr std::uint16_t kInvalidParameter = 0x8002;
    static constexpr std::uint16_t kInvalidAddress = 0x8003;
    static constexpr std::uint16_t kWriteProtect = 0x8004;
    static constexpr std::uint16_t kBadAlignment = 0x8005;
    static constexpr std::uint16_t kAccessDenied = 0x8006;
    static constexpr std::uint16_t kBusy = 0x8007;
    static constexpr std::uint16_t kPacketUnavailable = 0x800C;
    static constexpr std::uint16_t kDataOverrun = 0x800D;
    static constexpr std::uint16_t kInvalidHeader = 0x800E;
    static constexpr std::uint16_t kPacketNotYetAvailable = 0x8010;
    static constexpr std::uint16_t kPacketAndPrevRemoved = 0x8011;
    static constexpr std::uint16_t kPacketRemoved = 0x8012;
    static constexpr std::uint16_t kNoRefTime = 0x8013;
    static constexpr std::uint16_t kPacketTemporarilyUnavailable = 0x8014;
    static constexpr std::uint16_t kOverflow = 0x8015;
    static constexpr std::uint16_t kActionLate = 0x8016;
    static constexpr std::uint16_t kLeaderTrailerOverflow = 0x8017;
    static constexpr std::uint16_t kGenericError = 0x8FFF;

    // Any status with the top bit set is an error.
    constexpr bool is_error() const { return (code & 0x8000) != 0; }
    // Name of a known code, or nullptr for codes the protocol does not name.
    const char* name() const;
    // "access denied (0x8006)", or "status 0x8008" for unnamed codes.
    std::string to_string() const;

    friend constexpr bool operator==(GvcpStatus, GvcpStatus) = default;
};

}  // namespace oculane

template <>
struct fmt::formatter<oculane::GvcpStatus> : fmt::formatter<std::string> {
    auto format(oculane::GvcpStatus s, format_context& ctx) const {
        return fmt::formatter<std::string>::format(s.to_string(), ctx);
    }
};
