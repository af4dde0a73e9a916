#pragma once
// The text of an operating-system error number, the same wherever an errno
// ends up in a message or a log line.

#include <string>

namespace oculane {

// "Cannot assign requested address (os error 99)"
std::string os_error_text(int err);

}  // namespace oculane
