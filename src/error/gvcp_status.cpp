#include "error/gvcp_status.hpp"

namespace oculane {

const char* GvcpStatus::name() const {
    switch (code) {
        case kSuccess: return "success";
        case kPacketResend: return "packet resend";
        case kNotImplemented: return "not implemented";
        case kInvalidParameter: return "invalid parameter";
        case kInvalidAddress: return "invalid address";
        case kWriteProtect: return "write protect";
        case kBadAlignment: return "bad alignment";
        case kAccessDenied: return "access denied";
        case kBusy: return "busy";
        case kPacketUnavailable: return "packet unavailable";
        case kDataOverrun: return "data overrun";
        case kInvalidHeader: return "invalid header";
        case kPacketNotYetAvailable: return "packet not yet available";
        case kPacketAndPrevRemoved: return "packet and previous removed from memory";
        case kPacketRemoved: return "packet removed from memory";
        case kNoRefTime: return "no reference time";
        case kPacketTemporarilyUnavailable: return "packet temporarily unavailable";
        case kOverflow: return "overflow";
        case kActionLate: return "action late";
        case kLeaderTrailerOverflow: return "leader/trailer overflow";
        case kGenericError: return "generic error";
        default: return nullptr;
    }
}

std::string GvcpStatus::to_string() const {
    if (const char* n = name()) return fmt::format("{} (0x{:04x})", n, code);
    return fmt::format("status 0x{:04x}", code);
}

}  // namespace oculane
