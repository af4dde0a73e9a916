#include "util/utf8.hpp"

namespace oculane {

std::string utf8_lossy(std::span<const std::uint8_t> b) {
    static constexpr char kReplacement[] = "\xEF\xBF\xBD";  // U+FFFD
    std::string out;
    out.reserve(b.size());
    std::size_t i = 0;
    const std::size_t n = b.size();
    while (i < n) {
        const std::uint8_t c = b[i];
        if (c < 0x80) {
            // Runs of ASCII are the common case (XML, vendor names).
            std::size_t j = i + 1;
            while (j < n && b[j] < 0x80) ++j;
            out.append(reinterpret_cast<const char*>(b.data() + i), j - i);
            i = j;
            continue;
        }
        // Lead byte: sequence length and the allowed range of the second byte,
        // which is what excludes overlong forms, surrogates and values past
        // U+10FFFF.
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
            const std::uint8_t d = b[i + k];
            const bool ok = k == 1 ? (d >= lo && d <= hi) : (d >= 0x80 && d <= 0xBF);
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
