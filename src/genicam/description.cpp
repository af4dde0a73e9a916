#include "genicam/description.hpp"

#include <algorithm>
#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fmt/format.h>

#include "gige/control_port.hpp"
#include "util/overload.hpp"

namespace oculane {

namespace {

// Closes the descriptor on every path out of the reader.
class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

CameraResult<std::vector<std::uint8_t>> try_register(std::uint32_t reg, const TimedMemoryRead& read,
                                                     std::chrono::nanoseconds ack_wait) {
    auto block = read(reg, kUrlRegisterLength, gige::saturating_mul(ack_wait, 2));
    if (!block) return std::unexpected(std::move(block.error()));
    // The register is NUL-padded; the location ends at the first NUL.
    auto end = std::find(block->begin(), block->end(), std::uint8_t{0});
    std::string text = decode_utf8_lossy(std::span<const std::uint8_t>(block->data(), end - block->begin()));
    auto url = XmlUrl::parse(text);
    if (!url) return std::unexpected(CameraError::malformed(std::move(url.error())));
    return load_description(*url, read, ack_wait);
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
                const auto timeout = gige::saturating_mul(ack_wait, l.size / 512 + 2);
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
                                                          std::chrono::nanoseconds ack_wait) {
    // Never returned: the first register always replaces it.
    CameraError pending = CameraError::malformed("no GenICam URL");
    for (std::uint32_t reg : {kFirstUrlRegister, kSecondUrlRegister}) {
        auto bytes = try_register(reg, read, ack_wait);
        if (bytes) return bytes;
        pending = std::move(bytes.error());
        OCULANE_LOG(log::Level::Debug, log::kGige, "GenICam URL at {:#x} failed: {}", reg, pending);
    }
    return std::unexpected(std::move(pending));
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

CameraResult<std::vector<std::uint8_t>> fetch_description(const gige::ControlPort& port) {
    TimedMemoryRead read = [&port](std::uint32_t address, std::uint32_t length,
                                   std::chrono::nanoseconds timeout) {
        return port.read_memory(address, length).wait_owned(timeout);
    };
    return fetch_description(read, std::chrono::duration_cast<std::chrono::nanoseconds>(port.wait()));
}

CameraResult<std::vector<std::uint8_t>> read_description_file(const std::string& path, std::size_t max_size) {
    // O_NONBLOCK so that opening a FIFO cannot hang before the type check.
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (fd.get() < 0) return std::unexpected(CameraError::io_errno(errno));
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

std::string decode_utf8_lossy(std::span<const std::uint8_t> b) {
    static constexpr char kReplacement[] = "\xEF\xBF\xBD";
    std::string out;
    out.reserve(b.size());
    std::size_t i = 0;
    const std::size_t n = b.size();
    while (i < n) {
        const std::uint8_t c = b[i];
        if (c < 0x80) {
            // Runs of ASCII are the common case in XML.
            std::size_t j = i + 1;
            while (j < n && b[j] < 0x80) ++j;
            out.append(reinterpret_cast<const char*>(b.data() + i), j - i);
            i = j;
            continue;
        }
        // Lead byte: sequence length and the allowed range of the second byte
        // (which excludes overlong forms, surrogates and values past U+10FFFF).
        std::size_t len = 0;
        std::uint8_t lo = 0x80, hi = 0xBF;
        if (c >= 0xC2 && c <= 0xDF) len = 2;
        else if (c == 0xE0) len = 3, lo = 0xA0;
        else if ((c >= 0xE1 && c <= 0xEC) || c == 0xEE || c == 0xEF) len = 3;
        else if (c == 0xED) len = 3, hi = 0x9F;
        else if (c == 0xF0) len = 4, lo = 0x90;
        else if (c >= 0xF1 && c <= 0xF3) len = 4;
        else if (c == 0xF4) len = 4, hi = 0x8F;
        if (len == 0) {
            out += kReplacement;
            ++i;
            continue;
        }
        // One replacement for the longest valid prefix of a broken sequence;
        // the byte that broke it starts afresh.
        std::size_t k = 1;
        while (k < len && i + k < n) {
            std::uint8_t d = b[i + k];
            bool ok = k == 1 ? (d >= lo && d <= hi) : (d >= 0x80 && d <= 0xBF);
            if (!ok) break;
            ++k;
        }
        if (k == len) out.append(reinterpret_cast<const char*>(b.data() + i), len);
        else out += kReplacement;
        i += k;
    }
    return out;
}

}  // namespace oculane
