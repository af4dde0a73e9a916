#include "util/os_error.hpp"

#include <cstring>

#include <fmt/format.h>

namespace oculane {

std::string os_error_text(int err) {
    char buf[256];
    // GNU strerror_r may return a static string instead of filling buf; either
    // way the result is safe to use from several threads at once.
    const char* text = strerror_r(err, buf, sizeof buf);
    return fmt::format("{} (os error {})", text, err);
}

}  // namespace oculane
