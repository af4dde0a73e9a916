#include "genicam/url.hpp"

#include <fmt/format.h>

#include "util/overload.hpp"

namespace oculane {

namespace {

bool is_white(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }

std::string_view trim_white(std::string_view s) {
    while (!s.empty() && is_white(s.front())) s.remove_prefix(1);
    while (!s.empty() && is_white(s.back())) s.remove_suffix(1);
    return s;
}

char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool starts_with_nocase(std::string_view s, std::string_view prefix) {
    if (s.size() < prefix.size()) return false;
    for (std::size_t i = 0; i < prefix.size(); ++i)
        if (lower(s[i]) != prefix[i]) return false;
    return true;
}

bool ends_with_nocase(std::string_view s, std::string_view suffix) {
    return s.size() >= suffix.size() && starts_with_nocase(s.substr(s.size() - suffix.size()), suffix);
}

// Hexadecimal without a prefix, an optional leading '+', at most 64 bits.
std::expected<std::uint64_t, const char*> parse_hex_u64(std::string_view s) {
    if (!s.empty() && s.front() == '+') s.remove_prefix(1);
    if (s.empty()) return std::unexpected("cannot parse integer from empty string");
    std::uint64_t v = 0;
    for (char c : s) {
        unsigned d;
        if (c >= '0' && c <= '9') d = unsigned(c - '0');
        else if (c >= 'a' && c <= 'f') d = unsigned(c - 'a' + 10);
        else if (c >= 'A' && c <= 'F') d = unsigned(c - 'A' + 10);
        else return std::unexpected("invalid digit found in string");
        if (v >> 60) return std::unexpected("number too large to fit in target type");
        v = (v << 4) | d;
    }
    return v;
}

}  // namespace

std::expected<XmlUrl, std::string> XmlUrl::parse(std::string_view text) {
    text = trim_white(text);
    while (!text.empty() && text.front() == '\0') text.remove_prefix(1);
    while (!text.empty() && text.back() == '\0') text.remove_suffix(1);

    if (starts_with_nocase(text, "local:")) {
        std::string_view rest = text.substr(6);
        std::string_view pieces[3];
        std::size_t count = 0;
        while (count < 3) {
            auto semi = rest.find(';');
            pieces[count++] = rest.substr(0, semi);
            if (semi == std::string_view::npos) break;
            rest.remove_prefix(semi + 1);
        }
        Local local;
        local.file_name = std::string(trim_white(pieces[0]));
        if (count < 2) return std::unexpected(std::string("missing address"));
        auto address = parse_hex_u64(trim_white(pieces[1]));
        if (!address) return std::unexpected(fmt::format("bad address: {}", address.error()));
        if (count < 3) return std::unexpected(std::string("missing size"));
        auto size = parse_hex_u64(trim_white(pieces[2]));
        if (!size) return std::unexpected(fmt::format("bad size: {}", size.error()));
        local.address = *address;
        local.size = *size;
        return XmlUrl(std::move(local));
    }
    if (starts_with_nocase(text, "file:")) {
        std::string_view path = text.substr(5);
        while (path.starts_with("//")) path.remove_prefix(2);
        return XmlUrl(File{std::string(path)});
    }
    if (starts_with_nocase(text, "http://") || starts_with_nocase(text, "https://"))
        return XmlUrl(Http{std::string(text)});
    return std::unexpected(fmt::format("unrecognized GenICam URL '{}'", text));
}

bool XmlUrl::is_zip() const {
    return std::visit(Overload{
                          [](const Local& l) { return ends_with_nocase(l.file_name, ".zip"); },
                          [](const File& f) { return ends_with_nocase(f.path, ".zip"); },
                          [](const Http& h) { return ends_with_nocase(h.url, ".zip"); },
                      },
                      v_);
}

}  // namespace oculane
