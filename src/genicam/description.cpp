#include "genicam/description.hpp"

#include <algorithm>
#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fmt/format.h>

#include "gige/control_port.hpp"
#include "util/overload.hpp"
#include "util/unique_fd.hpp"

namespace oculane {

namespace {

// `blank` is set when the register was read and names no location at all,
// the usual state of the second register.
CameraResult<std::vector<std::uint8_t>> try_register(std::uint32_t reg, const TimedMemoryRead& read,
                                                     std::chrono::nanoseconds ack_wait, bool& blank,
                                                     std::string* location) {
    blank = false;
    auto block = read(reg, kUrlRegisterLength, gige::saturating_mul(ack_wait, 2));
    if (!block) return std::unexpected(std::move(block.error()));
    // The register is NUL-padded; the location ends at the first NUL.
    auto end = std::find(block->begin(), block->end(), std::uint8_t{0});
    std::string text = utf8_lossy(std::span<const std::uint8_t>(block->data(), end - block->begin()));
    blank = text.find_first_not_of(" \t\r\n") == std::string::npos;
    auto url = XmlUrl::parse(text);
    if (!url) return std::unexpected(CameraError::malformed(std::move(url.error())));
    auto loaded = load_description(*url, read, ack_wait);
    if (loaded && location) *location = std::move(text);
    return loaded;
}

}  // namespace

CameraResult<std::vector<std::uint8_t>> load_description(const XmlUrl& url, const TimedMemoryRead& read,
                                                         std::chrono::nanoseconds ack_wait) {
    CameraResult<std::vector<std::uint8_t>> bytes = std::visit(
        Overload{
            [&](const XmlUrl::Local& l) -> CameraResult<std::vector<std::uint8_t>> {
                if (l.address > 0xFFFFFFFFu)
                    return std::unexpected(CameraError::malformed("XML address beyond 32 bit"));
                // The size comes from the device: refuse an absurd one before
                // reading anything, rather than allocate what it asks for.
                if (l.size > kMaxDescriptionSize)
                    return std::unexpected(CameraError::malformed(
                        fmt::format("XML size {:#x} beyond the {} byte limit", l.size, kMaxDescriptionSize)));
                if (l.size == 0) return std::vector<std::uint8_t>{};
                // Saturating: a user may configure a wait so long that the
                // product would wrap round to a negative one.
                const auto timeout = gige::operation_budget(ack_wait, gige::memory_commands(l.size));
                auto data =
                    read(static_cast<std::uint32_t>(l.address), static_cast<std::uint32_t>(l.size), timeout);
                if (data && data->size() != l.size)
                    return std::unexpected(CameraError::malformed(
                        fmt::format("memory read returned {} of {} bytes", data->size(), l.size)));
                return data;
            },
            [](const XmlUrl::File& f) { return read_description_file(f.path); },
            [](const XmlUrl::Http&) -> CameraResult<std::vector<std::uint8_t>> {
                return std::unexpected(CameraError::unsupported("http-hosted GenICam XML"));
            },
        },
        url.variant());
    if (!bytes || !url.is_zip()) return bytes;
    auto member = extract_first_file(*bytes);
    if (!member) return std::unexpected(CameraError::malformed(std::move(member.error())));
    return std::move(*member);
}

CameraResult<std::vector<std::uint8_t>> fetch_description(const TimedMemoryRead& read,
                                                          std::chrono::nanoseconds ack_wait, std::string* location) {
    // When both fail, the first register that names a location tells why:
    // a blank second register must not hide the first one's real failure.
    std::optional<CameraError> reported;
    bool reported_blank = false;
    for (std::uint32_t reg : {kFirstUrlRegister, kSecondUrlRegister}) {
        bool blank = false;
        auto bytes = try_register(reg, read, ack_wait, blank, location);
        if (bytes) return bytes;
        OCULANE_LOG(log::Level::Debug, log::kGige, "GenICam URL at {:#x} failed: {}", reg, bytes.error());
        if (!reported || (reported_blank && !blank)) {
            reported = std::move(bytes.error());
            reported_blank = blank;
        }
    }
    return std::unexpected(std::move(*reported));
}

CameraResult<std::vector<std::uint8_t>> fetch_description(PortIo& port) {
    TimedMemoryRead read = [&port](std::uint32_t address, std::uint32_t length,
                                   std::chrono::nanoseconds) -> CameraResult<std::vector<std::uint8_t>> {
        std::vector<std::uint8_t> out(length);
        if (auto r = port.read(address, out); !r) return std::unexpected(std::move(r.error()));
        return out;
    };
    return fetch_description(read, std::chrono::nanoseconds{0});
}

CameraResult<std::vector<std::uint8_t>> fetch_description(const gige::ControlPort& port,
                                                          const gige::WaitLimit& limit, std::string* location) {
    TimedMemoryRead read = [&port, &limit](std::uint32_t address, std::uint32_t length,
                                           std::chrono::nanoseconds timeout) {
        return port.read_memory(address, length, limit.narrowed(timeout));
    };
    return fetch_description(read, std::chrono::duration_cast<std::chrono::nanoseconds>(port.wait()), location);
}

CameraResult<std::vector<std::uint8_t>> fetch_description(const gige::ControlPort& port) {
    return fetch_description(port, gige::WaitLimit{});
}

CameraResult<std::vector<std::uint8_t>> read_description_file(const std::string& path, std::size_t max_size) {
    // O_NONBLOCK so that opening a FIFO cannot hang before the type check.
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!fd) return std::unexpected(CameraError::io_errno(errno));
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) return std::unexpected(CameraError::io_errno(errno));
    if (!S_ISREG(st.st_mode))
        return std::unexpected(CameraError::io(fmt::format("'{}' is not a regular file", path)));
    if (static_cast<std::uint64_t>(st.st_size) > max_size)
        return std::unexpected(
            CameraError::io(fmt::format("'{}' is larger than the {} byte limit", path, max_size)));

    // Read to the end rather than trust st_size: the file may change, and some
    // (procfs) report 0. Stop one byte past the cap.
    std::vector<std::uint8_t> out(std::min<std::size_t>(static_cast<std::size_t>(st.st_size), max_size) + 1);
    std::size_t got = 0;
    for (;;) {
        if (got == out.size()) {
            if (got > max_size) break;
            out.resize(std::min(out.size() * 2 + 4096, max_size + 1));
        }
        ssize_t n = ::read(fd.get(), out.data() + got, out.size() - got);
        if (n < 0) {
            if (errno == EINTR) continue;
            return std::unexpected(CameraError::io_errno(errno));
        }
        if (n == 0) {
            out.resize(got);
            return out;
        }
        got += static_cast<std::size_t>(n);
    }
    return std::unexpected(CameraError::io(fmt::format("'{}' is larger than the {} byte limit", path, max_size)));
}

}  // namespace oculane
